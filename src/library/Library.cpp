#include "Library.h"

#include "SongContext.h"
#include "platform/FileSystem.h"
#include "platform/plist/Arena.h"

#include <algorithm>
#include <array>
#include <functional>
#include <span>
#include <thread>
#include <unordered_map>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

template <typename T>
using LargeVector = std::vector<T, plist::LargeAllocator<T>>;

// The four sort keys of a usable track, read once, and where the rest of
// what loading keeps of it is.
struct SortKey {
    double release;  // -inf when absent: undated tracks come last
    std::int64_t disc;
    std::int64_t track;
    std::string_view name;  // UTF-8, in the document
    std::size_t usable;     // index into the usable tracks
};

// Names without regard to case. Most names are plain ASCII as far as they
// differ, and comparing their bytes folded costs no conversion; the rest are
// compared as Unicode text.
int compareNames(std::string_view a, std::string_view b) {
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char x = std::uint8_t(a[i]), y = std::uint8_t(b[i]);
        if ((x | y) & 0x80) return QString::fromUtf8(a.substr(i)).compare(QString::fromUtf8(b.substr(i)), Qt::CaseInsensitive);
        if (x >= 'A' && x <= 'Z') x = x - 'A' + 'a';
        if (y >= 'A' && y <= 'Z') y = y - 'A' + 'a';
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

bool loadOrder(const SortKey& a, const SortKey& b) {
    if (a.release != b.release) return a.release > b.release;
    if (a.disc != b.disc) return a.disc < b.disc;
    if (a.track != b.track) return a.track < b.track;
    return compareNames(a.name, b.name) < 0;
}

// The fields of a track the loader reads, found in one pass over the track's
// entries: for a hundred thousand tracks, looking each key up on its own
// walks every dictionary a dozen times.
enum Field { Release, Disc, TrackNumber, Name, Protected, HasVideo, TrackType, PersistentId, Location, TrackId, AlbumName, Artist, Compilation, Podcast, kFields };

constexpr const char* kFieldKeys[kFields] = {"Release Date", "Disc Number", "Track Number", "Name", "Protected", "Has Video", "Track Type",
                                             "Persistent ID", "Location", "Track ID", "Album", "Artist", "Compilation", "Podcast"};

class TrackFields {
public:
    explicit TrackFields(const plist::Document* doc) {
        for (int f = 0; f < kFields; ++f) {
            plist::Key key = doc ? doc->key(kFieldKeys[f]) : plist::Key(kFieldKeys[f]);
            byPointer_ = key.resolved();
            if (!key.interned()) continue;
            std::size_t i = slot(key.interned());
            while (table_[i].key) i = (i + 1) % kSlots;
            table_[i] = {key.interned(), f};
        }
    }

    // The values of the fields in this track; absent ones stay absent.
    std::array<plist::Value, kFields> read(plist::Value dict) const {
        std::array<plist::Value, kFields> v{};
        const plist::Entry* e = dict.entries();
        std::size_t n = dict.size();
        for (std::size_t j = 0; j < n; ++j) {
            int f = byPointer_ ? fieldOf(e[j].key) : fieldOfText(dict.keyAt(j));
            if (f >= 0) v[std::size_t(f)] = plist::Value(&e[j].value);
        }
        return v;
    }

private:
    static constexpr std::size_t kSlots = 64;
    static std::size_t slot(const char* key) { return (reinterpret_cast<std::uintptr_t>(key) >> 3) % kSlots; }
    int fieldOf(const char* key) const {
        for (std::size_t i = slot(key);; i = (i + 1) % kSlots) {
            if (table_[i].key == key) return table_[i].field;
            if (!table_[i].key) return -1;
        }
    }
    static int fieldOfText(std::string_view key) {
        for (int f = 0; f < kFields; ++f)
            if (key == kFieldKeys[f]) return f;
        return -1;
    }

    struct Slot {
        const char* key = nullptr;
        int field = -1;
    };
    std::array<Slot, kSlots> table_{};
    bool byPointer_ = false;  // the document interns its keys
};

// Whether the files of one folder exist as regular files (the paths at
// `members`, all in that folder): a FIFO, a device, a folder or anything in
// /proc or /sys is no song. Each lookup is a system call, so where a folder
// holds several songs its entries are read once instead: a name listed there
// as a regular file exists. The rest (links, names that a file system matches
// without regard to case, folders that cannot be read) are looked up one by
// one. `byName` is scratch space.
void folderFilesExist(std::span<const std::string_view> paths, const std::vector<std::size_t>& members, std::vector<char>& present,
                      std::vector<std::pair<std::string_view, std::size_t>>& byName) {
    std::string_view first = paths[members[0]];
    std::string folder(first.substr(0, first.rfind('/')));
    const char* folderPath = folder.empty() ? "/" : folder.c_str();
    // Each path is stored NUL-terminated, so its name is a C string.
    auto name = [&](std::size_t i) { return paths[i].data() + folder.size() + 1; };

    int fd = ::open(folderPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) fd = ::open(folderPath, O_PATH | O_DIRECTORY | O_CLOEXEC);  // searchable but not readable
    if (fd < 0) return;  // no folder, no files
    if (fsys::onPseudoFileSystem(fd)) {
        ::close(fd);
        return;
    }
    struct stat st, here;
    const bool knowHere = ::fstat(fd, &here) == 0;
    bool found = false;  // whether the last lookup found anything at all
    auto isFile = [&](std::size_t i) {
        found = ::fstatat(fd, name(i), &st, 0) == 0;
        if (!found || !S_ISREG(st.st_mode)) return false;
        if (knowHere && st.st_dev == here.st_dev) return true;
        // A link that leads to another file system may lead into /proc.
        int file = ::openat(fd, name(i), O_PATH | O_CLOEXEC);
        bool pseudo = file < 0 || fsys::onPseudoFileSystem(file);
        if (file >= 0) ::close(file);
        return !pseudo;
    };
    // The first file is looked up: a folder may be readable but not
    // searchable, and then none of its files can be opened, listed or not.
    present[members[0]] = isFile(members[0]);
    const bool searchable = found;
    constexpr std::size_t kListFrom = 4;  // fewer files are looked up sooner than listed
    if (searchable && members.size() >= kListFrom) {
        byName.clear();
        for (std::size_t k = 1; k < members.size(); ++k) byName.emplace_back(name(members[k]), members[k]);
        std::sort(byName.begin(), byName.end());
        auto byText = [](const auto& a, const auto& b) { return a.first < b.first; };
        std::size_t unresolved = byName.size();
        // A large folder that holds few of the songs is not read to its end.
        const std::size_t enough = 16 * members.size() + 1024;
        std::size_t seen = 0;
        alignas(8) char buffer[16384];
        while (unresolved > 0 && seen < enough) {
            ssize_t n = ::getdents64(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            for (ssize_t at = 0; at < n && unresolved > 0;) {
                const auto* e = reinterpret_cast<const struct dirent64*>(buffer + at);
                at += e->d_reclen;
                ++seen;
                if (e->d_type != DT_REG) continue;  // links may lead nowhere, or to no file
                auto [from, to] = std::equal_range(byName.begin(), byName.end(), std::pair(std::string_view(e->d_name), std::size_t(0)), byText);
                for (auto it = from; it != to; ++it) {
                    if (!present[it->second]) --unresolved;
                    present[it->second] = 1;
                }
            }
        }
    }
    for (std::size_t k = 1; k < members.size(); ++k)
        if (!present[members[k]]) present[members[k]] = isFile(members[k]);
    ::close(fd);
}

// Whether each file exists. Looking up 100,000 deep paths is a good part of
// the start, so songs of one folder are looked for together, relative to the
// folder (each lookup is then one step instead of eight), and two threads
// share the work.
std::vector<char> filesExist(std::span<const std::string_view> paths) {
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
        std::vector<std::pair<std::string_view, std::size_t>> byName;
        for (std::size_t g = from; g < to; ++g) folderFilesExist(paths, groups[g], present, byName);
    };
    std::size_t half = groups.size() / 2;
    std::thread helper;
    if (paths.size() > 2000) helper = std::thread(check, half, groups.size());
    check(0, helper.joinable() ? half : groups.size());
    if (helper.joinable()) helper.join();
    return present;
}

// A usable track whose file exists, as loading keeps it.
struct Found {
    plist::Value dict;
    std::int64_t trackId;
    std::string_view persistentId;
    std::string_view path;  // decoded, in the caller's path text
};

// The usable tracks of a document whose files exist, in load order. Their
// decoded paths go into `pathText`, cleared and reserved whole so that the
// views into it stay valid while it lives. `known`, when given, is asked for
// each usable track and leaves out those it answers true for.
LargeVector<Found> usableTracks(const plist::Document* doc, LargeVector<char>& pathText, Library::Counts& counts,
                                const std::function<bool(std::int64_t trackId, std::string_view persistentId)>& known,
                                QHash<qint64, LeftOut>* leftOut) {
    TrackFields fields(doc);
    plist::Value tracks = doc ? doc->root()["Tracks"] : plist::Value();

    // One pass over the tracks in file order, where their dictionaries lie one
    // after another in memory, reads all that loading needs of them. Filtering
    // before the (stable) sort keeps the same tracks in the same order.
    struct Usable {
        plist::Value dict;
        std::int64_t trackId;
        std::string_view persistentId;
        std::string_view location;
    };
    LargeVector<Usable> usable;
    LargeVector<SortKey> keys;
    usable.reserve(tracks.size());
    keys.reserve(tracks.size());
    std::size_t locationBytes = 0;
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        plist::Value t = tracks.valueAt(i);
        if (!t.isDict()) continue;
        auto f = fields.read(t);
        auto leaveOut = [&](LeftOut reason) {
            counts.leftOut.add(reason);
            if (leftOut) leftOut->insert(f[TrackId].integer(), reason);
        };
        if (f[Protected].asBoolean() || f[HasVideo].asBoolean()) {
            leaveOut(f[Protected].asBoolean() ? LeftOut::Protected : LeftOut::Video);
            continue;
        }
        ++counts.candidates;
        if (f[TrackType].string() != "File") {
            leaveOut(LeftOut::NotAFile);
            continue;
        }
        // Everything stored names songs by this; one without it can't be kept.
        if (!f[PersistentId].isString()) {
            leaveOut(LeftOut::NoPersistentId);
            continue;
        }
        ++counts.usable;
        if (known && known(f[TrackId].integer(), f[PersistentId].string())) continue;
        plist::Value release = f[Release];
        keys.push_back(SortKey{
            release.type() == plist::Type::Date ? release.date().secondsSince1970 : -std::numeric_limits<double>::infinity(),
            f[Disc].asInteger(),
            f[TrackNumber].asInteger(),
            f[Name].string(),
            usable.size(),
        });
        usable.push_back(Usable{t, f[TrackId].integer(), f[PersistentId].string(), f[Location].string()});
        locationBytes += usable.back().location.size() + 1;
    }

    // The decoded paths, NUL-terminated one after another in one buffer
    // (reserved whole: decoding never lengthens a URL).
    pathText.clear();
    pathText.reserve(locationBytes);
    LargeVector<std::pair<std::size_t, std::size_t>> pathSpans;
    pathSpans.reserve(usable.size());
    std::string path;
    for (const Usable& u : usable) {
        path.clear();
        appendFileUrlPath(u.location, path);
        pathSpans.emplace_back(pathText.size(), path.size());
        pathText.insert(pathText.end(), path.begin(), path.end());
        pathText.push_back('\0');
    }

    std::stable_sort(keys.begin(), keys.end(), loadOrder);

    LargeVector<std::string_view> paths;
    paths.reserve(keys.size());
    for (const SortKey& key : keys) {
        auto [at, size] = pathSpans[key.usable];
        paths.emplace_back(pathText.data() + at, size);
    }

    std::vector<char> present = filesExist(paths);
    LargeVector<Found> found;
    found.reserve(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const Usable& u = usable[keys[i].usable];
        if (!present[i]) {  // usable, but its file is missing
            counts.leftOut.add(LeftOut::FileMissing);
            if (leftOut) leftOut->insert(u.trackId, LeftOut::FileMissing);
            continue;
        }
        found.push_back(Found{u.dict, u.trackId, u.persistentId, paths[i]});
    }
    return found;
}

}  // namespace

Song* Library::addSong(plist::Value dict, const SongKeys* keys, std::int64_t trackId, std::string_view persistentId, std::string_view path) {
    songs_.push_back(std::make_unique<Song>(dict, context_, keys));
    Song* s = songs_.back().get();
    s->setDecodedPath(path);
    songsByTrackId_.insert(trackId, s);
    songsByPersistentId_.insert(QByteArrayView(persistentId.data(), qsizetype(persistentId.size())), s);
    return s;
}

Library::Counts Library::loadTracks(std::shared_ptr<const plist::Document> document) {
    document_ = std::move(document);
    laterDocuments_.clear();
    laterPathText_.clear();
    laterSongKeys_.clear();
    songs_.clear();
    songsByTrackId_.clear();
    songsByPersistentId_.clear();
    leftOut_.clear();
    songKeys_ = std::make_unique<SongKeys>(document_.get());
    Counts counts;
    const LargeVector<Found> found = usableTracks(document_.get(), pathText_, counts, nullptr, &leftOut_);
    songs_.reserve(found.size());
    songsByTrackId_.reserve(qsizetype(found.size()));
    songsByPersistentId_.reserve(qsizetype(found.size()));
    for (const Found& f : found) addSong(f.dict, songKeys_.get(), f.trackId, f.persistentId, f.path);
    counts_ = counts;
    return counts;
}

std::vector<Song*> Library::addNewTracks(std::shared_ptr<const plist::Document> document) {
    // A rewritten file may number its tracks anew: its playlists name the
    // songs by its own numbers.
    QHash<qint64, Song*> byTrackId;
    laterPathText_.emplace_back();
    Counts counts;
    const LargeVector<Found> found = usableTracks(document.get(), laterPathText_.back(), counts, [&](std::int64_t trackId, std::string_view id) {
        Song* song = songsByPersistentId_.value(QByteArrayView(id.data(), qsizetype(id.size())));
        if (song) byTrackId.insert(trackId, song);
        return song != nullptr;
    }, nullptr);
    auto keys = std::make_unique<SongKeys>(document.get());
    songsByTrackId_ = std::move(byTrackId);
    std::vector<Song*> added;
    for (const Found& f : found) added.push_back(addSong(f.dict, keys.get(), f.trackId, f.persistentId, f.path));
    // The new songs are views of this document, their paths of this text,
    // their keys resolved against it.
    if (added.empty()) {
        laterPathText_.pop_back();
    } else {
        laterDocuments_.push_back(std::move(document));
        laterSongKeys_.push_back(std::move(keys));
    }
    groupSongs(songs_.size() - added.size(), added.empty() ? nullptr : laterDocuments_.back().get());
    return added;
}

void Library::groupAlbums() {
    albumList_.clear();
    albums_.clear();
    albums_.reserve(qsizetype(songs_.size() / 10));
    groupSongs(0, document_.get());
}

void Library::groupSongs(std::size_t first, const plist::Document* document) {
    TrackFields fields(document);
    // Songs of one album mostly follow each other in load order: the same
    // name as the song before needs no conversion and no lookup.
    Album* previous = nullptr;
    std::string_view previousText;
    for (std::size_t i = first; i < songs_.size(); ++i) {
        const auto& song = songs_[i];
        auto f = fields.read(song->dict());
        std::string_view albumText = f[AlbumName].string();
        Album* album = previous;
        if (!previous || albumText != previousText) {
            QString name = albumText.empty() ? kOtherSongs : QString::fromUtf8(albumText);
            Album*& named = albums_[name];
            if (!named) {
                QString artist;
                if (name != kOtherSongs && !f[Compilation].asBoolean() && !f[Podcast].asBoolean()) artist = QString::fromUtf8(f[Artist].string());
                albumList_.push_back(std::make_unique<Album>(name, artist));
                named = albumList_.back().get();
            }
            album = previous = named;
            previousText = albumText;
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
            else playlist->addLeftOut(leftOut_.value(trackId.integer(), LeftOut::NoSuchTrack));
        }
        QString key = QString::fromUtf8(id.string());
        // A later playlist with the same identifier replaces the earlier one.
        if (!playlists_.contains(key)) playlistOrder_.push_back(key);
        playlists_.insert(key, std::move(playlist));
    }
}

Song* Library::songWithPersistentId(const QString& persistentId) const {
    QByteArray id = persistentId.toUtf8();
    return songsByPersistentId_.value(QByteArrayView(id));
}

Album* Library::playlistWithID(const QString& persistentId) const {
    auto it = playlists_.constFind(persistentId);
    return it == playlists_.constEnd() ? nullptr : it->get();
}
