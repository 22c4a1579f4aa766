// brisle config: the settings of the preferences sheet, typed as they are
// stored, with bad values refused before anything is written.

#include "CliSession.h"

#include "library/PathUtils.h"
#include "platform/FileSystem.h"
#include "platform/Locations.h"
#include "platform/Volumes.h"

#include <QDir>
#include <QFileInfo>

#include <unordered_set>

namespace cli {

namespace {

enum class Kind { Text, Boolean, Integer, Managed };

struct Setting {
    const char* key;
    Kind kind;
    const char* meaning;
};

const Setting kSettings[] = {
    {"pathToPlayer", Kind::Text, "the player folder (a folder on a volume under the volumes folder)"},
    {"playerProfile", Kind::Text, "the player profile"},
    {"createAlbumSubfolders", Kind::Boolean, "songs of an album go into a folder named after the album"},
    {"createArtistSubfolders", Kind::Boolean, "a folder per artist above the album folder"},
    {"playlistSongsInAlbumSubfolders", Kind::Boolean, "songs of playlists are laid out in album folders"},
    {"createPlaylistSubfolders", Kind::Boolean, "a folder per playlist"},
    {"createPlaylistGroupSubfolders", Kind::Boolean, "playlist folders are gathered in a folder \"Playlists\""},
    {"otherSongsInAlbumSubfolders", Kind::Boolean, "single songs go into their album's folder"},
    {"createOtherSongsSubfolder", Kind::Boolean, "single songs go into a folder \"Other songs\""},
    {"playerAacCompatible", Kind::Boolean, "the player plays AAC files"},
    {"convertHighBitRateSongs", Kind::Boolean, "songs above the threshold are converted"},
    {"convertHighBitRateThreshold", Kind::Integer, "the threshold, kbit/s"},
    {"convertToFormat", Kind::Text, "format of converted songs (MP3, or AAC for anything else)"},
    {"convertToBitrate", Kind::Integer, "bit rate of converted songs, kbit/s"},
    {"sortFilesOnDisk", Kind::Boolean, "sort the player's folders before ejecting"},
    {"skippedBuild", Kind::Integer, "the update the user chose to skip"},
    {"previousSongs", Kind::Managed, "files Brisle has put on the player"},
    {"wantedStuff", Kind::Managed, "the selection"},
    {"wantedSongs", Kind::Managed, "the older form of the selection"},
};

const QStringList kProfiles = {
    QStringLiteral("Standard MP3 player"), QStringLiteral("Standard smartphone"), QStringLiteral("Sony Ericsson phone"),
    QStringLiteral("Nokia Series 60 phone"), QStringLiteral("Motorola phone"), QStringLiteral("Palm device"),
    QStringLiteral("Windows Mobile device"), QStringLiteral("Custom"),
};

const Setting* findSetting(const QString& key) {
    for (const Setting& s : kSettings)
        if (key == QLatin1String(s.key)) return &s;
    return nullptr;
}

// Dates and data have no JSON form and are written as null. A dict read
// from a file may repeat a key; the first is the one the program reads.
void writeValue(JsonWriter& json, const plist::Object& v) {
    if (auto* b = v.ifBool()) json.value(*b);
    else if (auto* i = v.ifInteger()) json.value(qint64(*i));
    else if (auto* r = v.ifReal()) json.value(*r);
    else if (auto* s = v.ifString()) json.value(QString::fromStdString(*s));
    else if (auto* a = v.ifArray()) {
        json.beginArray();
        for (const auto& item : *a) writeValue(json, item);
        json.endArray();
    } else if (auto* dict = v.ifDict()) {
        std::unordered_set<std::string_view> seen;
        json.beginObject();
        for (const auto& [k, item] : *dict) {
            if (!seen.insert(k).second) continue;
            json.key(QString::fromStdString(k));
            writeValue(json, item);
        }
        json.endObject();
    } else {
        json.null();
    }
}

QString textOf(const Setting& s, const plist::Object& v) {
    if (s.kind == Kind::Managed) {
        if (s.key == std::string_view("previousSongs")) return QStringLiteral("%1 files").arg(v.ifDict() ? v.ifDict()->size() : 0);
        if (s.key == std::string_view("wantedSongs")) return QStringLiteral("%1 songs").arg(v.ifArray() ? v.ifArray()->size() : 0);
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

int show(Session& session, const Options& o) {
    Defaults& d = session.defaults();
    if (o.json) {
        JsonWriter json;
        json.beginObject();
        for (const Setting& s : kSettings) {
            json.key(s.key);
            if (std::optional<plist::Object> v = d.object(s.key)) writeValue(json, *v);
            else json.null();
        }
        json.endObject();
        return finishJson(json);
    }
    print(QStringLiteral("Settings file: ") + d.filePath());
    for (const Setting& s : kSettings) {
        std::optional<plist::Object> v = d.object(s.key);
        QString value = v ? textOf(s, *v) : QStringLiteral("(not set)");
        if (v && !d.contains(s.key)) value += QStringLiteral("  (default)");
        print(QStringLiteral("%1 = %2").arg(QLatin1String(s.key), -32).arg(value));
    }
    return 0;
}

std::optional<bool> parseBoolean(const QString& v) {
    QString l = v.toLower();
    if (l == u"true" || l == u"yes" || l == u"on" || l == u"1") return true;
    if (l == u"false" || l == u"no" || l == u"off" || l == u"0") return false;
    return std::nullopt;
}

// The player folder as the preferences sheet builds it: the volumes folder,
// the volume's name and a folder within it, without a trailing "/".
std::optional<QString> playerPath(const QString& given) {
    QString path = QDir::cleanPath(given);
    if (!QDir::isAbsolutePath(path) || driveNameFromPath(path).isEmpty()) {
        fail(QStringLiteral("pathToPlayer must be a folder on a volume under %1 (for example %1PLAYER/Music), not \"%2\"")
                 .arg(Locations::volumesFolder(), given));
        return std::nullopt;
    }
    return path;
}

int set(Session& session, const QString& key, const QString& value) {
    const Setting* s = findSetting(key);
    if (!s) {
        QStringList keys;
        for (const Setting& k : kSettings)
            if (k.kind != Kind::Managed) keys.append(QLatin1String(k.key));
        fail(QStringLiteral("unknown setting \"%1\"; the settings are: %2").arg(key, keys.join(QStringLiteral(", "))));
        return 2;
    }
    if (s->kind == Kind::Managed) {
        fail(QStringLiteral("\"%1\" is kept by Brisle itself (%2); change the selection with \"brisle select\"").arg(key, QLatin1String(s->meaning)));
        return 2;
    }
    plist::Object::Dict changes;
    if (s->kind == Kind::Boolean) {
        std::optional<bool> b = parseBoolean(value);
        if (!b) {
            fail(QStringLiteral("%1 is true or false, not \"%2\"").arg(key, value));
            return 2;
        }
        changes.emplace_back(s->key, *b);
    } else if (s->kind == Kind::Integer) {
        bool ok = false;
        qint64 n = value.toLongLong(&ok);
        bool rate = key == u"convertToBitrate" || key == u"convertHighBitRateThreshold";
        if (!ok || (rate && (n < 8 || n > (key == u"convertToBitrate" ? 320 : 10000))) || n < 0) {
            fail(rate ? QStringLiteral("%1 is a bit rate in kbit/s (%2), not \"%3\"").arg(key, key == u"convertToBitrate" ? QStringLiteral("8 to 320") : QStringLiteral("8 or more"), value)
                      : QStringLiteral("%1 is a whole number, not \"%2\"").arg(key, value));
            return 2;
        }
        changes.emplace_back(s->key, plist::Object(std::int64_t(n)));
    } else if (key == u"pathToPlayer") {
        std::optional<QString> path = playerPath(value);
        if (!path) return 2;
        // A new player: the older form of the selection must not be taken
        // over from it.
        if (*path != session.defaults().string("pathToPlayer")) changes.emplace_back("wantedSongs", plist::Object::array());
        changes.emplace_back(s->key, path->toStdString());
    } else if (key == u"playerProfile") {
        if (!kProfiles.contains(value)) {
            fail(QStringLiteral("playerProfile is one of: %1").arg(kProfiles.join(QStringLiteral(", "))));
            return 2;
        }
        changes.emplace_back(s->key, value.toStdString());
    } else {
        if (value.isEmpty()) {
            fail(QStringLiteral("%1 cannot be empty").arg(key));
            return 2;
        }
        changes.emplace_back(s->key, value.toStdString());
    }
    if (auto written = session.defaults().set(changes); !written) {
        fail(written.error());
        return 1;
    }
    if (key == u"pathToPlayer") {
        // Like the preferences sheet: the folders inside the volume are made
        // when the volume is there. A mount point whose volume is not mounted
        // is an empty folder of this computer's own disk: nothing goes there,
        // or the next sync would fill the computer instead of the player.
        QString volume = Locations::volumesFolder() + driveNameFromPath(value);
        std::optional<Volumes::MountEntry> mount = Volumes::mountHolding(volume);
        if (mount && mount->mountPoint == QFileInfo(volume).canonicalFilePath()) fsys::makePath(QDir::cleanPath(value));
    }
    print(QStringLiteral("%1 = %2").arg(key, value));
    return 0;
}

}  // namespace

int configCommand(const Options& o) {
    const QStringList& p = o.positional;
    QString sub = p.value(0);
    if (!((sub == u"show" && p.size() == 1) || (sub == u"set" && p.size() == 3))) {
        std::fputs("usage: brisle config show [--json]\n       brisle config set KEY VALUE\n", stderr);
        return 2;
    }
    Session session(o);
    if (auto loaded = session.defaults().load(); !loaded) {
        fail(loaded.error());
        if (sub == u"set") return 1;  // never write over a file we could not read
    }
    session.defaults().registerDefaults(Defaults::standardDefaults());
    return sub == u"show" ? show(session, o) : set(session, p[1], p[2]);
}

}  // namespace cli
