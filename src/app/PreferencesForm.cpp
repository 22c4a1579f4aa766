#include "PreferencesForm.h"

#include "PlayerVolume.h"
#include "library/PathUtils.h"
#include "platform/Alerts.h"
#include "platform/Defaults.h"
#include "platform/Locations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

const QString kMp3 = QStringLiteral("MP3");
// Kept in the cache folder by the locks that keep other Brisle processes off
// it; not a converted song, and held while this one runs.
const QString kLocksFolder = QStringLiteral(".locks");

// What FAT and exFAT refuse in names on Linux, besides control characters.
const QString kFatRefuses = QStringLiteral("*?<>|\":\\");

// The usual rates, with a stored one that is not among them (within the range
// the setting allows), in order.
QList<int> bitrates(QList<int> usual, std::string_view key, qint64 stored) {
    const settings::Setting* s = settings::find(key);
    if (s && stored >= s->minimum && stored <= s->maximum && !usual.contains(int(stored))) {
        usual.append(int(stored));
        std::sort(usual.begin(), usual.end());
    }
    return usual;
}

// A stored rate the pop-up can show, else the registered one.
int storedRate(const Defaults& defaults, std::string_view key, const QList<int>& items) {
    qint64 stored = defaults.integer(key);
    if (items.contains(int(stored))) return int(stored);
    return int(*settings::find(key)->registered->ifInteger());
}

}  // namespace

PreferencesForm::PreferencesForm(Defaults& defaults, Alerts& alerts, bool conversionOn, QString cacheFolder)
    : defaults_(defaults), alerts_(alerts), conversionOn_(conversionOn), cacheFolder_(std::move(cacheFolder)),
      volumeSource_([] {
          Volumes::mountNewRemovableMedia();
          return Volumes::mountedVolumes();
      }),
      conversionFormat_(kMp3) {}

QStringList PreferencesForm::conversionFormats() { return {kMp3}; }

void PreferencesForm::fillVolumes() {
    volumes_.clear();
    for (const Volumes::MountedVolume& v : volumeSource_()) {
        QString name = driveNameFromPath(v.mountPoint);
        if (!name.isEmpty()) volumes_.push_back({name, v.iconName, true, v.fatFamily});
    }
    QString stored = driveNameFromPath(defaults_.string("pathToPlayer"));
    if (!stored.isEmpty() && std::none_of(volumes_.begin(), volumes_.end(), [&](const Volume& v) { return v.name == stored; }))
        volumes_.push_back({stored, Volumes::iconNameFor(Volumes::VolumeKind::RemovableDrive), false, true});
    disk_ = !stored.isEmpty() ? stored : volumes_.empty() ? QString() : volumes_.front().name;
}

bool PreferencesForm::open() {
    for (;;) {
        fillVolumes();
        if (!volumes_.empty()) break;
        int answer = alerts_.alert({QStringLiteral("No players found"),
                                    QStringLiteral("Please connect an MP3 player or memory card reader to continue"),
                                    {QStringLiteral("Retry"), QStringLiteral("Quit")}});
        if (answer != 0) return false;
    }

    QString profile = defaults_.string("playerProfile");
    profile_ = settings::profileTitles().contains(profile) ? profile : settings::kCustomProfile;
    path_ = drivePathFromPath(defaults_.string("pathToPlayer"));
    if (path_.isEmpty()) path_ = QStringLiteral("/");
    if (!path_.endsWith(u'/')) path_ += u'/';
    folders_ = settings::folderChoices(defaults_);
    sortFilesOnDisk_ = defaults_.boolean("sortFilesOnDisk");

    qint64 threshold = defaults_.integer("convertHighBitRateThreshold");
    maximumBitrates_ = bitrates({96, 112, 128, 160, 192, 224, 256, 320, settings::kNoBitRateLimit}, "convertHighBitRateThreshold", threshold);
    conversionBitrates_ = bitrates({64, 96, 112, 128, 160, 192, 224, 256, 320}, "convertToBitrate", defaults_.integer("convertToBitrate"));
    if (conversionOn_) {
        aacCompatible_ = defaults_.boolean("playerAacCompatible");
        maximumBitrate_ = defaults_.boolean("convertHighBitRateSongs") && maximumBitrates_.contains(int(threshold))
                              ? int(threshold)
                              : settings::kNoBitRateLimit;
        QString format = defaults_.string("convertToFormat");
        conversionFormat_ = conversionFormats().contains(format) ? format : kMp3;
        conversionBitrate_ = storedRate(defaults_, "convertToBitrate", conversionBitrates_);
    }
    return true;
}

void PreferencesForm::setProfile(const QString& title) {
    profile_ = title;
    const settings::PlayerProfile* p = settings::playerProfile(title);
    if (!p) return;
    path_ = p->path;
    folders_ = p->folders;
    aacCompatible_ = p->aacCompatible;
    maximumBitrate_ = p->maximumBitRate;
}

void PreferencesForm::setPath(const QString& text) {
    path_ = text;
    valueChanged();
}

void PreferencesForm::setFolders(const settings::FolderChoices& folders) {
    folders_ = folders;
    valueChanged();
}

void PreferencesForm::setAacCompatible(bool on) {
    aacCompatible_ = on;
    valueChanged();
}

void PreferencesForm::setMaximumBitrate(int tag) {
    maximumBitrate_ = tag;
    valueChanged();
}

QString PreferencesForm::newPath() const {
    QString joined = Locations::volumesFolder() + u'/' + disk_ + u'/' + path_;
    QString path;
    for (QChar c : joined)
        if (c != u'/' || !path.endsWith(u'/')) path += c;
    if (path.size() > 1 && path.endsWith(u'/')) path.chop(1);
    return path;
}

std::optional<QString> PreferencesForm::pathError() const {
    auto volume = std::find_if(volumes_.begin(), volumes_.end(), [&](const Volume& v) { return v.name == disk_; });
    if (disk_.isEmpty() || volume == volumes_.end()) return QStringLiteral("Choose the player's volume.");
    const QString volumes = Locations::volumesFolder();
    if (QString(path_ + u'/').startsWith(volumes))
        return QStringLiteral("\"%1\" is a full path. Type only the folder inside the volume, such as /Music/.").arg(path_);
    for (const QString& part : path_.split(u'/', Qt::SkipEmptyParts)) {
        if (part == u"." || part == u"..")
            return QStringLiteral("The folder cannot go through \".\" or \"..\". Type a folder inside the volume, such as /Music/.");
        for (QChar c : part) {
            if (c.unicode() < 0x20 || c.unicode() == 0x7f) return QStringLiteral("The folder \"%1\" holds a control character.").arg(part);
            if (volume->fatFamily && kFatRefuses.contains(c))
                return QStringLiteral("The folder \"%1\" holds \"%2\", which the player's file system (FAT) does not allow in names.").arg(part, c);
        }
        if (volume->fatFamily && (part.endsWith(u'.') || part.endsWith(u' ')))
            return QStringLiteral("The folder \"%1\" ends in a dot or a space, which the player's file system (FAT) does not keep.").arg(part);
    }
    if (std::optional<QString> why = PlayerVolume::refusal(newPath())) return *why;
    return std::nullopt;
}

bool PreferencesForm::cacheHasEntries() const {
    const QStringList entries = QDir(cacheFolder_).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    return std::any_of(entries.begin(), entries.end(), [](const QString& e) { return e != kLocksFolder; });
}

void PreferencesForm::emptyCache() const {
    QDir cache(cacheFolder_);
    for (const QFileInfo& entry : cache.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        if (entry.fileName() == kLocksFolder) continue;
        // A link is removed, never followed.
        if (entry.isDir() && !entry.isSymLink()) QDir(entry.filePath()).removeRecursively();
        else QFile::remove(entry.filePath());
    }
}

std::expected<void, QString> PreferencesForm::ok() {
    if (std::optional<QString> why = pathError()) return std::unexpected(*why);
    const QString folder = newPath();
    plist::Object::Dict changes = PlayerVolume::pathChanges(defaults_.string("pathToPlayer"), folder);
    PlayerVolume::makeFolders(folder);
    if (conversionOn_) {
        bool formatChanged = defaults_.string("convertToFormat") != kMp3 || conversionBitrate_ != defaults_.integer("convertToBitrate");
        if (formatChanged && cacheHasEntries()) {
            int answer = alerts_.alert({QStringLiteral("Conversion format changed"),
                                        QStringLiteral("Do you want to empty the cache of previously converted songs?\n\n"
                                                       "Choosing 'No' will mean songs already in the cache will be in the old format "
                                                       "when copied to your player."),
                                        {QStringLiteral("Yes"), QStringLiteral("No")}});
            if (answer == 0) emptyCache();
        }
        changes.emplace_back("sortFilesOnDisk", sortFilesOnDisk_);
        changes.emplace_back("playerAacCompatible", aacCompatible_);
        changes.emplace_back("convertHighBitRateSongs", maximumBitrate_ != settings::kNoBitRateLimit);
        changes.emplace_back("convertHighBitRateThreshold", std::int64_t(maximumBitrate_));
        changes.emplace_back("convertToFormat", kMp3.toStdString());
        changes.emplace_back("convertToBitrate", std::int64_t(conversionBitrate_));
    }
    for (auto& keyValue : settings::folderKeys(folders_)) changes.push_back(std::move(keyValue));
    changes.emplace_back("pathToPlayer", folder.toStdString());
    changes.emplace_back("playerProfile", profile_.toStdString());
    return defaults_.set(changes);
}
