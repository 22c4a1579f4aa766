#pragma once

// What songs need to know about the program around them: the settings, whether
// songs can be converted here, where the cache is, and the naming rules of the
// player's file system. One instance serves every song; it outlives them.

#include <QString>

#include <atomic>
#include <cstdint>

class Defaults;

class SongContext {
public:
    SongContext(const Defaults& defaults, bool conversionOn, QString cacheDir)
        : defaults_(defaults), conversionOn_(conversionOn), cacheDir_(std::move(cacheDir)), id_(nextId()) {}

    const Defaults& defaults() const { return defaults_; }
    // Decided once at start: an MP3 encoder is available.
    bool conversionOn() const { return conversionOn_; }
    // The cache folder, with a trailing "/".
    const QString& cacheDir() const { return cacheDir_; }
    // Conversions make AAC only when "convertToFormat" asks for it by name;
    // anything else (empty, unknown, not text) makes MP3.
    bool convertsToAac() const { return settings().convertsToAac; }
    int convertToBitrate() const { return settings().convertToBitrate; }

    // The settings that decide a song's conversion and its place on the
    // player, as they are now. Songs ask for them for every song of the
    // library at once; each thread keeps its own copy until they change.
    struct Settings {
        bool convertHighBitRateSongs = false;
        qint64 convertHighBitRateThreshold = 0;
        bool playerAacCompatible = false;
        bool convertsToAac = false;
        int convertToBitrate = 0;
        QString pathToPlayer;
        bool createArtistSubfolders = false;
        bool createAlbumSubfolders = false;
    };
    const Settings& settings() const;

    // FAT and exFAT players refuse some characters that other systems take.
    void setFatNames(bool on) { fatNames_.store(on, std::memory_order_relaxed); }
    bool fatNames() const { return fatNames_.load(std::memory_order_relaxed); }

    // One name that becomes a whole folder name on the player.
    QString folderName(const QString& name) const;
    // A file name on the player: prefix (the track number and a space),
    // name, ".", extension. The prefix and extension are kept as they are.
    QString fileName(QStringView prefix, const QString& name, QStringView extension) const;
    // A name component takes at most this many units: UTF-16 units on FAT and
    // exFAT, bytes elsewhere, counted decomposed as names are written. A
    // longer name is cut at a character's end.
    static constexpr qsizetype kMaxNameUnits = 255;

private:
    static std::uint64_t nextId();

    const Defaults& defaults_;
    const bool conversionOn_;
    const QString cacheDir_;
    std::atomic<bool> fatNames_{false};
    const std::uint64_t id_;  // tells contexts apart in the threads' copies
};

// "%.1f MB" of a byte count, through single precision as the status line's
// totals are, so that the list and the status round alike (3.75 MB shows as 3.7).
QString sizeText(quint64 bytes);
