#include "Library.h"

#include "SongContext.h"

#include <algorithm>
#include <thread>
#include <unordered_map>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The four sort keys of a track, read once.
struct SortKey {
    double release;  // -inf when absent: undated tracks come last
    std::int64_t disc;
    std::int64_t track;
    QString name;
    plist::Value dict;
};

bool loadOrder(const SortKey& a, const SortKey& b) {
    if (a.release != b.release) return a.release > b.release;
    if (a.disc != b.disc) return a.disc < b.disc;
    if (a.track != b.track) return a.track < b.track;
    return a.name.compare(b.name, Qt::CaseInsensitive) < 0;
}

// The keys of a track, resolved once against the document so that the
// hundreds of thousands of lookups below compare pointers.
struct TrackKeys {
    explicit TrackKeys(const plist::Document* doc)
        : release(resolve(doc, "Release Date")), disc(resolve(doc, "Disc Number")), track(resolve(doc, "Track Number")),
          name(resolve(doc, "Name")), isProtected(resolve(doc, "Protected")), video(resolve(doc, "Has Video")),
          type(resolve(doc, "Track Type")), persistentId(resolve(doc, "Persistent ID")), location(resolve(doc, "Location")),
          trackId(resolve(doc, "Track ID")), album(resolve(doc, "Album")), artist(resolve(doc, "Artist")),
          compilation(resolve(doc, "Compilation")), podcast(resolve(doc, "Podcast")) {}
    static plist::Key resolve(const plist::Document* doc, const char* text) { return doc ? doc->key(text) : plist::Key(text); }
    plist::Key release, disc, track, name, isProtected, video, type, persistentId, location, trackId, album, artist, compilation, podcast;
};

// Whether each file exists. Looking up 100,000 deep paths is a good part of
// the start, so songs of one folder share an open descriptor of it (each
// lookup is then one step instead of eight) and two threads share the work.
std::vector<char> filesExist(const std::vector<std::string>& paths) {
    // Songs grouped by folder, folders in order of first appearance.
    std::unordered_map<std::string_view, std::size_t> groupOf;
    std::vector<std::vector<std::size_t>> groups;
    groupOf.reserve(paths.size() / 4);
    for (std::size_t i = 0; i < paths.size(); ++i) {
        std::string_view p = paths[i];
        std::size_t slash = p.rfind('/');
        if (p.empty() || slash == std::string_view::npos) continue;
        auto [it, added] = groupOf.try_emplace(p.substr(0, slash), groups.size());
        if (added) groups.emplace_back();
        groups[it->second].push_back(i);
    }

    std::vector<char> present(paths.size(), 0);
    auto check = [&](std::size_t from, std::size_t to) {
        for (std::size_t g = from; g < to; ++g) {
            const std::vector<std::size_t>& members = groups[g];
            std::string_view first = paths[members[0]];
            std::string folder(first.substr(0, first.rfind('/')));
            int fd = ::open(folder.empty() ? "/" : folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0) continue;  // no folder, no files
            for (std::size_t i : members) {
                struct stat st;
                present[i] = ::fstatat(fd, paths[i].c_str() + folder.size() + 1, &st, 0) == 0;
            }
            ::close(fd);
        }
    };
    std::size_t half = groups.size() / 2;
    std::thread helper;
    if (paths.size() > 2000) helper = std::thread(check, half, groups.size());
    check(0, helper.joinable() ? half : groups.size());
    if (helper.joinable()) helper.join();
    return present;
}

}  // namespace

Library::Counts Library::loadTracks(std::shared_ptr<const plist::Document> document) {
    document_ = std::move(document);
    songs_.clear();
    songsByTrackId_.clear();
    songsByPersistentId_.clear();
    TrackKeys k(document_.get());

    plist::Value tracks = document_ ? document_->root()["Tracks"] : plist::Value();
    songsByTrackId_.reserve(qsizetype(tracks.size()));
    songsByPersistentId_.reserve(qsizetype(tracks.size()));

    std::vector<SortKey> keys;
    keys.reserve(tracks.size());
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        plist::Value t = tracks.valueAt(i);
        if (!t.isDict()) continue;
        plist::Value release = t[k.release];
        keys.push_back(SortKey{
            release.type() == plist::Type::Date ? release.date().secondsSince1970 : -std::numeric_limits<double>::infinity(),
            t[k.disc].asInteger(),
            t[k.track].asInteger(),
            QString::fromUtf8(t[k.name].string()),
            t,
        });
    }
    std::stable_sort(keys.begin(), keys.end(), loadOrder);

    Counts counts;
    std::vector<plist::Value> usable;
    std::vector<std::string> paths;
    usable.reserve(keys.size());
    paths.reserve(keys.size());
    for (const SortKey& key : keys) {
        plist::Value t = key.dict;
        if (t[k.isProtected].asBoolean() || t[k.video].asBoolean()) continue;
        ++counts.candidates;
        if (t[k.type].string() != "File") continue;
        // Everything stored names songs by this; one without it can't be kept.
        if (!t[k.persistentId].isString()) continue;
        ++counts.usable;
        std::string path;
        decodeFileUrl(t[k.location].string(), &path);
        usable.push_back(t);
        paths.push_back(std::move(path));
    }

    std::vector<char> present = filesExist(paths);
    songs_.reserve(usable.size());
    for (std::size_t i = 0; i < usable.size(); ++i) {
        if (!present[i]) continue;  // usable, but its file is missing
        plist::Value t = usable[i];
        songs_.push_back(std::make_unique<Song>(t, context_));
        Song* s = songs_.back().get();
        songsByTrackId_.insert(t[k.trackId].integer(), s);
        songsByPersistentId_.insert(QString::fromUtf8(t[k.persistentId].string()), s);
    }
    counts_ = counts;
    return counts;
}

void Library::groupAlbums() {
    albumList_.clear();
    albums_.clear();
    albums_.reserve(qsizetype(songs_.size() / 10));
    TrackKeys k(document_.get());
    const QString otherSongs = QStringLiteral("Other songs");
    for (const auto& song : songs_) {
        plist::Value t = song->dict();
        std::string_view albumText = t[k.album].string();
        QString name = albumText.empty() ? otherSongs : QString::fromUtf8(albumText);
        Album*& album = albums_[name];
        if (!album) {
            QString artist;
            if (name != otherSongs && !t[k.compilation].asBoolean() && !t[k.podcast].asBoolean()) artist = QString::fromUtf8(t[k.artist].string());
            albumList_.push_back(std::make_unique<Album>(name, artist));
            album = albumList_.back().get();
        }
        album->append(song.get());
        song->setAlbum(album, int(album->tracks().size()));
    }
}

void Library::readPlaylistsFrom(const plist::Document* document) {
    playlists_.clear();
    playlistOrder_.clear();
    plist::Value lists = document ? document->root()["Playlists"] : plist::Value();
    plist::Key trackIdKey = document ? document->key("Track ID") : plist::Key("Track ID");
    for (std::size_t i = 0; i < lists.size(); ++i) {
        plist::Value p = lists.at(i);
        plist::Value id = p["Playlist Persistent ID"];
        // A playlist without an identifier could never be named again.
        if (!id.isString()) continue;
        auto playlist = std::make_unique<Album>(QString::fromUtf8(p["Name"].string()), QString());
        plist::Value items = p["Playlist Items"];
        for (std::size_t j = 0; j < items.size(); ++j) {
            plist::Value trackId = items.at(j)[trackIdKey];
            if (trackId.type() != plist::Type::Integer) continue;
            if (Song* song = songsByTrackId_.value(trackId.integer())) playlist->append(song);
        }
        QString key = QString::fromUtf8(id.string());
        // A later playlist with the same identifier replaces the earlier one.
        if (!playlists_.contains(key)) playlistOrder_.push_back(key);
        playlists_.insert(key, std::move(playlist));
    }
}

Album* Library::playlistWithID(const QString& persistentId) const {
    auto it = playlists_.constFind(persistentId);
    return it == playlists_.constEnd() ? nullptr : it->get();
}
