#include "Library.h"

#include "SongContext.h"

#include <algorithm>
#include <thread>

#include <sys/stat.h>

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

bool fileExists(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

}  // namespace

Library::Counts Library::loadTracks(std::shared_ptr<const plist::Document> document) {
    document_ = std::move(document);
    songs_.clear();
    songsByTrackId_.clear();
    songsByPersistentId_.clear();

    plist::Value tracks = document_ ? document_->root()["Tracks"] : plist::Value();
    songsByTrackId_.reserve(qsizetype(tracks.size()));
    songsByPersistentId_.reserve(qsizetype(tracks.size()));

    std::vector<SortKey> keys;
    keys.reserve(tracks.size());
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        plist::Value t = tracks.valueAt(i);
        if (!t.isDict()) continue;
        plist::Value release = t["Release Date"];
        keys.push_back(SortKey{
            release.type() == plist::Type::Date ? release.date().secondsSince1970 : -std::numeric_limits<double>::infinity(),
            t["Disc Number"].asInteger(),
            t["Track Number"].asInteger(),
            QString::fromUtf8(t["Name"].string()),
            t,
        });
    }
    std::stable_sort(keys.begin(), keys.end(), loadOrder);

    Counts counts;
    std::vector<std::unique_ptr<Song>> usable;
    usable.reserve(keys.size());
    for (const SortKey& key : keys) {
        plist::Value t = key.dict;
        if (t["Protected"].asBoolean() || t["Has Video"].asBoolean()) continue;
        ++counts.candidates;
        if (t["Track Type"].string() != "File") continue;
        // Everything stored names songs by this; one without it can't be kept.
        if (!t["Persistent ID"].isString()) continue;
        ++counts.usable;
        usable.push_back(std::make_unique<Song>(t, context_));
    }

    // Looking up 100,000 paths is a good part of the start: share it out.
    std::vector<char> present(usable.size());
    auto check = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) present[i] = fileExists(usable[i]->originalPathBytes());
    };
    std::size_t half = usable.size() / 2;
    std::thread helper;
    if (usable.size() > 2000) helper = std::thread(check, half, usable.size());
    check(0, helper.joinable() ? half : usable.size());
    if (helper.joinable()) helper.join();

    for (std::size_t i = 0; i < usable.size(); ++i) {
        if (!present[i]) continue;
        auto& song = usable[i];
        Song* s = song.get();
        songs_.push_back(std::move(song));
        songsByTrackId_.insert(s->trackId(), s);
        songsByPersistentId_.insert(s->persistentId(), s);
    }
    counts_ = counts;
    return counts;
}

void Library::groupAlbums() {
    albumList_.clear();
    albums_.clear();
    albums_.reserve(qsizetype(songs_.size() / 10));
    const QString otherSongs = QStringLiteral("Other songs");
    for (const auto& song : songs_) {
        QString name = song->albumName();
        Album*& album = albums_[name];
        if (!album) {
            QString artist;
            if (name != otherSongs && !song->flag("Compilation") && !song->flag("Podcast")) artist = song->string("Artist");
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
    for (std::size_t i = 0; i < lists.size(); ++i) {
        plist::Value p = lists.at(i);
        plist::Value id = p["Playlist Persistent ID"];
        // A playlist without an identifier could never be named again.
        if (!id.isString()) continue;
        auto playlist = std::make_unique<Album>(QString::fromUtf8(p["Name"].string()), QString());
        plist::Value items = p["Playlist Items"];
        for (std::size_t j = 0; j < items.size(); ++j) {
            plist::Value trackId = items.at(j)["Track ID"];
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
