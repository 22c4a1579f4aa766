#include "Settings.h"

#include "Defaults.h"

namespace settings {

const QString kCustomProfile = QStringLiteral("Custom");

const std::vector<Setting>& table() {
    static const std::vector<Setting> settings = [] {
        auto text = [](std::string_view key, const char* meaning, std::optional<plist::Object> def = std::nullopt, QStringList allowed = {}) {
            return Setting{key, Type::Text, QString::fromUtf8(meaning), std::move(def), std::move(allowed)};
        };
        auto boolean = [](std::string_view key, const char* meaning, std::optional<plist::Object> def = std::nullopt) {
            return Setting{key, Type::Boolean, QString::fromUtf8(meaning), std::move(def)};
        };
        auto integer = [](std::string_view key, const char* meaning, std::optional<plist::Object> def, qint64 min, qint64 max) {
            return Setting{key, Type::Integer, QString::fromUtf8(meaning), std::move(def), {}, min, max};
        };
        auto managed = [](std::string_view key, const char* meaning) { return Setting{key, Type::Managed, QString::fromUtf8(meaning)}; };
        return std::vector<Setting>{
            text("pathToPlayer", "the player folder (a folder on a volume under the volumes folder)"),
            text("playerProfile", "the player profile", "Standard MP3 player", profileTitles()),
            boolean("createAlbumSubfolders", "songs of an album go into a folder named after the album", true),
            boolean("createArtistSubfolders", "a folder per artist above the album folder", false),
            boolean("playlistSongsInAlbumSubfolders", "songs of playlists are laid out in album folders", false),
            boolean("createPlaylistSubfolders", "a folder per playlist", true),
            boolean("createPlaylistGroupSubfolders", "playlist folders are gathered in a folder \"Playlists\"", false),
            boolean("otherSongsInAlbumSubfolders", "single songs go into their album's folder", true),
            boolean("createOtherSongsSubfolder", "single songs go into a folder \"Other songs\"", false),
            boolean("playerAacCompatible", "the player plays AAC files", false),
            boolean("convertHighBitRateSongs", "songs above the threshold are converted", false),
            integer("convertHighBitRateThreshold", "the threshold, kbit/s", 160, 8, kNoBitRateLimit),
            text("convertToFormat", "format of converted songs", "MP3", {QStringLiteral("MP3"), QStringLiteral("AAC")}),
            integer("convertToBitrate", "bit rate of converted songs, kbit/s", 128, 8, 320),
            boolean("sortFilesOnDisk", "sort the player's folders before ejecting"),
            boolean("checkForUpdates", "look for a newer Brisle at start and every twelve hours", true),
            integer("skippedBuild", "the update the user chose to skip", std::nullopt, 0, 0),
            managed("previousSongs", "files Brisle has put on the player"),
            managed("wantedStuff", "the selection"),
            managed("wantedSongs", "the older form of the selection"),
            managed("playerWasMountPoint", "the player's volume was a mount point when the record was saved"),
        };
    }();
    return settings;
}

const Setting* find(std::string_view key) {
    for (const Setting& s : table())
        if (s.key == key) return &s;
    return nullptr;
}

plist::Object::Dict registeredDefaults() {
    plist::Object::Dict values;
    for (const Setting& s : table())
        if (s.registered) values.emplace_back(std::string(s.key), *s.registered);
    return values;
}

namespace {

std::optional<bool> parseBoolean(const QString& text) {
    QString l = text.toLower();
    if (l == u"true" || l == u"yes" || l == u"on" || l == u"1") return true;
    if (l == u"false" || l == u"no" || l == u"off" || l == u"0") return false;
    return std::nullopt;
}

}  // namespace

std::expected<plist::Object, QString> parse(const Setting& s, const QString& text) {
    QString key = QString::fromUtf8(s.key.data(), qsizetype(s.key.size()));
    switch (s.type) {
    case Type::Managed:
        return std::unexpected(QStringLiteral("\"%1\" is kept by Brisle itself (%2)").arg(key, s.meaning));
    case Type::Boolean:
        if (std::optional<bool> b = parseBoolean(text)) return plist::Object(*b);
        return std::unexpected(QStringLiteral("%1 is true or false, not \"%2\"").arg(key, text));
    case Type::Integer: {
        bool ok = false;
        qint64 n = text.toLongLong(&ok);
        if (!ok || n < s.minimum || (s.maximum > 0 && n > s.maximum)) {
            if (s.maximum > 0) return std::unexpected(QStringLiteral("%1 is a whole number from %2 to %3, not \"%4\"").arg(key).arg(s.minimum).arg(s.maximum).arg(text));
            return std::unexpected(QStringLiteral("%1 is a whole number, not \"%2\"").arg(key, text));
        }
        return plist::Object(std::int64_t(n));
    }
    case Type::Text:
        if (!s.allowed.isEmpty() && !s.allowed.contains(text))
            return std::unexpected(QStringLiteral("%1 is one of: %2").arg(key, s.allowed.join(QStringLiteral(", "))));
        if (text.isEmpty()) return std::unexpected(QStringLiteral("%1 cannot be empty").arg(key));
        return plist::Object(text.toStdString());
    }
    return std::unexpected(QString());
}

bool hasExpectedType(const Setting& s, const plist::Object& v) {
    switch (s.type) {
    case Type::Text: return v.ifString() != nullptr;
    case Type::Boolean: return v.ifBool() != nullptr;
    case Type::Integer: return v.ifInteger() != nullptr;
    case Type::Managed:
        if (s.key == "wantedSongs") return v.ifArray() != nullptr;
        if (s.key == "playerWasMountPoint") return v.ifBool() != nullptr;
        return v.ifDict() != nullptr;
    }
    return false;
}

QStringList keysOfWrongType(const plist::Object::Dict& stored) {
    QStringList wrong;
    for (const auto& [key, value] : stored) {
        const Setting* s = find(key);
        bool ok = !s || hasExpectedType(*s, value);
        if (ok && key == "wantedStuff") {
            for (const char* part : {"wantedSongs", "wantedAlbums", "wantedPlaylists"})
                if (const plist::Object* list = value.find(part); list && !list->ifArray()) ok = false;
        } else if (ok && key == "previousSongs") {
            for (const auto& [path, id] : *value.ifDict())
                if (!id.ifString()) ok = false;
        }
        if (!ok) wrong.append(QString::fromStdString(key));
    }
    return wrong;
}

QString describe(const Setting& s, const plist::Object& v) {
    if (s.type == Type::Managed) {
        if (s.key == "previousSongs") return QStringLiteral("%1 files").arg(v.ifDict() ? v.ifDict()->size() : 0);
        if (s.key == "wantedSongs") return QStringLiteral("%1 songs").arg(v.ifArray() ? v.ifArray()->size() : 0);
        if (auto* b = v.ifBool()) return *b ? QStringLiteral("true") : QStringLiteral("false");
        auto count = [&](const char* key) {
            const plist::Object* list = v.find(key);
            return list && list->ifArray() ? list->ifArray()->size() : 0;
        };
        return QStringLiteral("%1 playlists, %2 albums, %3 songs").arg(count("wantedPlaylists")).arg(count("wantedAlbums")).arg(count("wantedSongs"));
    }
    if (auto* b = v.ifBool()) return *b ? QStringLiteral("true") : QStringLiteral("false");
    if (auto* i = v.ifInteger()) return QString::number(*i);
    if (auto* t = v.ifString()) return QString::fromStdString(*t);
    return QStringLiteral("(a value of another type)");
}

FolderChoices folderChoices(const Defaults& d) {
    FolderChoices c;
    c.album = !d.boolean("createAlbumSubfolders") ? 0 : d.boolean("createArtistSubfolders") ? 2 : 1;
    if (d.boolean("playlistSongsInAlbumSubfolders")) c.playlist = 3;
    else if (d.boolean("createPlaylistSubfolders")) c.playlist = d.boolean("createPlaylistGroupSubfolders") ? 2 : 1;
    else c.playlist = 0;
    c.song = d.boolean("otherSongsInAlbumSubfolders") ? 2 : d.boolean("createOtherSongsSubfolder") ? 1 : 0;
    return c;
}

plist::Object::Dict folderKeys(const FolderChoices& c) {
    return {
        {"createAlbumSubfolders", c.album > 0},
        {"createArtistSubfolders", c.album == 2},
        {"createPlaylistSubfolders", c.playlist > 0},
        {"createPlaylistGroupSubfolders", c.playlist > 1},
        {"playlistSongsInAlbumSubfolders", c.playlist == 3},
        {"createOtherSongsSubfolder", c.song > 0},
        {"otherSongsInAlbumSubfolders", c.song == 2},
    };
}

const std::vector<PlayerProfile>& playerProfiles() {
    static const std::vector<PlayerProfile> profiles = {
        {QStringLiteral("Standard MP3 player"), QStringLiteral("/"), {1, 1, 1}, false, kNoBitRateLimit},
        {QStringLiteral("Standard smartphone"), QStringLiteral("/Music/"), {1, 1, 1}, false, kNoBitRateLimit},
        {QStringLiteral("Sony Ericsson phone"), QStringLiteral("/MP3/"), {2, 3, 2}, true, kNoBitRateLimit},
        {QStringLiteral("Nokia Series 60 phone"), QStringLiteral("/MP3/"), {0, 0, 0}, true, kNoBitRateLimit},
        {QStringLiteral("Motorola phone"), QStringLiteral("/mobile/audio/"), {0, 0, 0}, true, 128},
        {QStringLiteral("Palm device"), QStringLiteral("/Audio/"), {0, 0, 0}, false, kNoBitRateLimit},
        {QStringLiteral("Windows Mobile device"), QStringLiteral("/My Documents/My Music/"), {0, 0, 0}, false, kNoBitRateLimit},
    };
    return profiles;
}

const PlayerProfile* playerProfile(const QString& title) {
    for (const PlayerProfile& p : playerProfiles())
        if (p.title == title) return &p;
    return nullptr;
}

QStringList profileTitles() {
    QStringList titles;
    for (const PlayerProfile& p : playerProfiles()) titles.append(p.title);
    titles.append(kCustomProfile);
    return titles;
}

}  // namespace settings
