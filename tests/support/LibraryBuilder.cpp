#include "LibraryBuilder.h"

#include "platform/FileSystem.h"
#include "platform/plist/Plist.h"

#include <QDir>
#include <QFile>
#include <QUrl>

LibraryBuilder::LibraryBuilder(QString folder) : folder_(std::move(folder)) { QDir().mkpath(folder_ + QStringLiteral("/files")); }

std::string LibraryBuilder::fileUrl(const QString& path) {
    QByteArray encoded = QUrl::toPercentEncoding(path, "/");
    return "file://localhost" + encoded.toStdString();
}

int LibraryBuilder::addTrack(const plist::Object::Dict& values, bool createFile, int bytes) {
    int id = nextId_++;
    plist::Object dict = plist::Object::dict();
    dict.set("Track ID", id);
    dict.set("Name", "Song " + std::to_string(id));
    dict.set("Artist", "Artist");
    dict.set("Album", "Album");
    dict.set("Kind", "MPEG audio file");
    dict.set("Total Time", 240000);
    dict.set("Date Added", plist::Date{1167609600});
    char pid[17];
    std::snprintf(pid, sizeof pid, "%016X", 0xA000 + id);
    dict.set("Persistent ID", std::string(pid));
    dict.set("Track Type", "File");
    for (const auto& [k, v] : values) {
        if (v.isNull()) dict.remove(k);
        else dict.set(k, v);
    }
    QString ext = QStringLiteral(".mp3");
    if (const plist::Object* kind = dict.find("Kind"); kind && kind->asString() != "MPEG audio file") ext = QStringLiteral(".m4a");
    QString path = folder_ + QStringLiteral("/files/track %1%2").arg(id).arg(ext);
    if (!dict.find("Location")) dict.set("Location", fileUrl(path));
    if (createFile) {
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray(bytes, 'x'));
    }
    tracks_.push_back(Track{id, std::move(dict), path});
    return id;
}

void LibraryBuilder::setValue(int trackId, const std::string& key, const plist::Object& value) {
    for (Track& t : tracks_)
        if (t.id == trackId) t.dict.set(key, value);
}

void LibraryBuilder::addPlaylist(const QString& name, const QString& persistentId, const std::vector<int>& trackIds) {
    plist::Object items = plist::Object::array();
    for (int id : trackIds) items.append(plist::Object(plist::Object::Dict{{"Track ID", id}}));
    playlists_.append(plist::Object(plist::Object::Dict{
        {"Name", name.toStdString()},
        {"Playlist ID", int(playlists_.ifArray()->size()) + 1},
        {"Playlist Persistent ID", persistentId.toStdString()},
        {"All Items", true},
        {"Playlist Items", std::move(items)},
    }));
}

QString LibraryBuilder::write(const QString& fileName) const {
    plist::Object tracks = plist::Object::dict();
    for (const Track& t : tracks_) tracks.set(std::to_string(t.id), t.dict);
    plist::Object root(plist::Object::Dict{
        {"Major Version", 1},
        {"Minor Version", 1},
        {"Application Version", "7.0.2"},
        {"Music Folder", fileUrl(folder_ + QStringLiteral("/files/"))},
        {"Library Persistent ID", "0123456789ABCDEF"},
        {"Tracks", std::move(tracks)},
        {"Playlists", playlists_},
    });
    QString path = folder_ + u'/' + fileName;
    auto written = fsys::writeFileAtomically(path, QByteArray::fromStdString(plist::writeXml(root)));
    Q_ASSERT(written);
    return path;
}

QString LibraryBuilder::persistentIdOf(int trackId) const {
    for (const Track& t : tracks_)
        if (t.id == trackId) return QString::fromStdString(t.dict.find("Persistent ID") ? t.dict.find("Persistent ID")->asString() : std::string());
    return {};
}

QString LibraryBuilder::pathOf(int trackId) const {
    for (const Track& t : tracks_)
        if (t.id == trackId) return t.path;
    return {};
}
