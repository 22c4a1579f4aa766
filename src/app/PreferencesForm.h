#pragma once

// The preferences sheet without its widgets: the state of every control,
// filled from the settings on opening, the player profiles, and what OK
// stores. The dialog shows this state and passes the user's edits in; the
// tests drive it the same way.
//
//   open()  volumes (new media mounted first), then the settings -> controls
//   edits   a profile sets its controls; editing one of those selects "Custom"
//   ok()    the path checked, then stored with the rest in one write
//
// Lives on the main thread.

#include "platform/Settings.h"
#include "platform/Volumes.h"

#include <QList>
#include <QString>

#include <expected>
#include <functional>
#include <optional>
#include <vector>

class Alerts;
class Defaults;

class PreferencesForm {
public:
    // One item of the volume pop-up.
    struct Volume {
        QString name;
        QString iconName;  // a freedesktop icon name
        bool mounted = true;
        bool fatFamily = true;  // names follow FAT's rules (assumed when not mounted)
    };
    using VolumeSource = std::function<std::vector<Volumes::MountedVolume>()>;

    PreferencesForm(Defaults& defaults, Alerts& alerts, bool conversionOn, QString cacheFolder);

    // Where the volumes come from (the mount table, after mounting new
    // media); tests give a list of their own.
    void setVolumeSource(VolumeSource source) { volumeSource_ = std::move(source); }

    // Fills every control from the settings. With no volume to offer, asks
    // "No players found" until one appears; false when the user chose "Quit".
    bool open();

    // ---- the controls ----
    // The volumes mounted now, then the stored player when it is not (after
    // a separator).
    const std::vector<Volume>& volumes() const { return volumes_; }
    const QString& disk() const { return disk_; }
    const QString& profile() const { return profile_; }
    const QString& path() const { return path_; }
    const settings::FolderChoices& folders() const { return folders_; }
    bool sortFilesOnDisk() const { return sortFilesOnDisk_; }
    bool aacCompatible() const { return aacCompatible_; }
    int maximumBitrate() const { return maximumBitrate_; }
    const QString& conversionFormat() const { return conversionFormat_; }
    int conversionBitrate() const { return conversionBitrate_; }
    bool conversionOn() const { return conversionOn_; }

    // The items of the bit-rate and format pop-ups: the usual rates, and a
    // stored rate that is not among them, so that it shows as it is.
    const QList<int>& maximumBitrates() const { return maximumBitrates_; }
    const QList<int>& conversionBitrates() const { return conversionBitrates_; }
    static QStringList conversionFormats();

    // ---- the user's edits ----
    void setDisk(const QString& name) { disk_ = name; }
    // Sets the controls of that profile's row; "Custom" or another title
    // changes nothing but the selection.
    void setProfile(const QString& title);
    // The controls a profile sets: editing one selects "Custom".
    void setPath(const QString& text);
    void setFolders(const settings::FolderChoices& folders);
    void setAacCompatible(bool on);
    void setMaximumBitrate(int tag);
    void setSortFilesOnDisk(bool on) { sortFilesOnDisk_ = on; }
    void setConversionFormat(const QString& title) { conversionFormat_ = title; }
    void setConversionBitrate(int tag) { conversionBitrate_ = tag; }

    // Why the path text cannot be used on the selected volume, or nothing.
    std::optional<QString> pathError() const;
    // The player folder OK would store: the volumes folder, the volume and
    // the path text joined, without repeated or trailing "/".
    QString newPath() const;

    // Stores everything (after asking whether to empty the conversion cache
    // when its format changed). Nothing is stored when the path is refused
    // or the settings file cannot be written; the error says why.
    std::expected<void, QString> ok();

private:
    void valueChanged() { profile_ = settings::kCustomProfile; }
    void fillVolumes();
    bool cacheHasEntries() const;
    void emptyCache() const;

    Defaults& defaults_;
    Alerts& alerts_;
    const bool conversionOn_;
    const QString cacheFolder_;
    VolumeSource volumeSource_;

    std::vector<Volume> volumes_;
    QString disk_, profile_, path_;
    settings::FolderChoices folders_;
    bool sortFilesOnDisk_ = false, aacCompatible_ = false;
    int maximumBitrate_ = settings::kNoBitRateLimit;
    QString conversionFormat_;
    int conversionBitrate_ = 128;
    QList<int> maximumBitrates_, conversionBitrates_;
};
