#include "Drops.h"

#include "app/Controller.h"
#include "app/UserInterface.h"
#include "library/Library.h"
#include "platform/plist/Plist.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

namespace {

plist::Object track(const Song* song) { return plist::Object::Dict{{"Persistent ID", song->persistentId().toStdString()}}; }

QByteArray toBytes(const plist::Object& root) {
    std::string xml = plist::writeXml(root);
    return QByteArray(xml.data(), qsizetype(xml.size()));
}

QString text(plist::Value v) { return QString::fromUtf8(v.string().data(), qsizetype(v.string().size())); }

// A dropped folder stands for the files in it.
void addFiles(const QString& path, QStringList& files) {
    if (!QFileInfo(path).isDir()) {
        files.append(path);
        return;
    }
    QDirIterator it(path, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) files.append(it.next());
}

}  // namespace

QByteArray playlistsPayload(const Library& library, const QStringList& persistentIds) {
    plist::Object playlists = plist::Object::array(), tracks = plist::Object::array();
    for (const QString& id : persistentIds) {
        playlists.append(plist::Object::Dict{{"Playlist Persistent ID", id.toStdString()}, {"All Items", true}});
        if (const Album* p = library.playlistWithID(id))
            for (const Song* s : p->tracks()) tracks.append(track(s));
    }
    return toBytes(plist::Object::Dict{{"Playlists", std::move(playlists)}, {"Tracks", std::move(tracks)}});
}

QByteArray tracksPayload(const std::vector<Song*>& songs) {
    plist::Object tracks = plist::Object::array();
    for (const Song* s : songs) tracks.append(track(s));
    return toBytes(plist::Object::Dict{{"Tracks", std::move(tracks)}});
}

DroppedItems readPayload(const QByteArray& bytes, const Library& library) {
    DroppedItems d;
    auto doc = plist::parse(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    if (!doc || !doc->root().isDict()) {
        d.error = QStringLiteral("The dropped items could not be read%1; nothing was added.")
                      .arg(doc ? QString() : QStringLiteral(" (") + QString::fromStdString(doc.error().message) + u')');
        return d;
    }
    plist::Value root = doc->root();
    plist::Value playlists = root["Playlists"];
    if (playlists.isArray() && playlists.size() > 0 && playlists.at(playlists.size() - 1)["All Items"].boolean()) {
        d.wholePlaylists = true;
        for (std::size_t i = 0; i < playlists.size(); ++i) {
            QString id = text(playlists.at(i)["Playlist Persistent ID"]);
            if (!id.isEmpty() && library.playlistWithID(id)) d.playlists.append(id);
        }
        return d;
    }
    plist::Value tracks = root["Tracks"];
    auto take = [&](plist::Value t) {
        if (Song* s = library.songWithPersistentId(text(t["Persistent ID"]))) d.songs.push_back(s);
    };
    for (std::size_t i = 0; i < tracks.size(); ++i) take(tracks.isDict() ? tracks.valueAt(i) : tracks.at(i));
    return d;
}

Song* SongsByPath::find(const QString& path) {
    if (!built_) {
        built_ = true;
        songs_.reserve(qsizetype(library_.songs().size()));
        for (const auto& s : library_.songs()) songs_.insert(s->originalPath(), s.get());
    }
    if (Song* s = songs_.value(QFileInfo(path).absoluteFilePath())) return s;
    return songs_.value(QFileInfo(path).canonicalFilePath());
}

QString applyDrop(Controller& c, const QMimeData& mime, SongsByPath& songsByPath) {
    if (mime.hasFormat(kDropMimeType)) {
        DroppedItems d = readPayload(mime.data(kDropMimeType), c.library());
        if (!d.error.isEmpty()) return d.error;
        if (d.wholePlaylists) c.addPlaylists(d.playlists);
        else c.addSongs(d.songs);
        return {};
    }
    if (mime.hasUrls()) {
        QStringList files, unknown;
        for (const QUrl& url : mime.urls()) {
            if (url.isLocalFile()) addFiles(url.toLocalFile(), files);
            else unknown.append(url.toDisplayString());
        }
        std::vector<Song*> songs;
        for (const QString& file : files) {
            if (Song* s = songsByPath.find(file)) songs.push_back(s);
            else unknown.append(file);
        }
        if (!songs.empty()) c.addSongs(songs);
        if (unknown.isEmpty()) return {};
        const qsizetype shown = 20;
        QString list = unknown.mid(0, shown).join(u'\n');
        if (unknown.size() > shown) list += QStringLiteral("\n(and %1 more)").arg(unknown.size() - shown);
        return QStringLiteral("%1 of the dropped files %2 not in the music library, so Brisle cannot add %3:\n\n%4")
            .arg(unknown.size())
            .arg(unknown.size() == 1 ? QStringLiteral("is") : QStringLiteral("are"), unknown.size() == 1 ? QStringLiteral("it") : QStringLiteral("them"), list);
    }
    return {};
}
