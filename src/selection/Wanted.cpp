#include "Wanted.h"

#include "library/Library.h"
#include "library/PathUtils.h"
#include "library/SongContext.h"
#include "platform/Defaults.h"
#include "platform/FileSystem.h"

#include <QDateTime>
#include <QSet>

#include <algorithm>

namespace {

// A missing value on either side counts as equal.
int compareText(const std::optional<QString>& a, const std::optional<QString>& b) {
    if (!a || !b) return 0;
    int c = a->compare(*b, Qt::CaseInsensitive);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

std::optional<QString> textOf(const QVariant& v) { return v.isValid() ? std::optional(v.toString()) : std::nullopt; }

const Defaults& defaultsOf(const Library& library) { return library.context().defaults(); }

}  // namespace

// ---- SYWanted ----

int SYWanted::sort() const {
    switch (kind()) {
    case Kind::Playlist: return 1;
    case Kind::Album: return 2;
    case Kind::Song:
    case Kind::AlbumTrack: return 3;
    case Kind::File: return 4;
    }
    return 0;
}

int SYWanted::compare(const SYWanted& other) const { return compare(sortKey(), other.sortKey()); }

SYWanted::SortKey SYWanted::sortKey() const { return {sort(), textOf(valueForKey("Artist")), textOf(valueForKey("Name"))}; }

int SYWanted::compare(const SortKey& a, const SortKey& b) {
    if (a.sort != b.sort) return a.sort < b.sort ? -1 : 1;
    if (int c = compareText(a.artist, b.artist)) return c;
    return compareText(a.name, b.name);
}

QVariant SYWanted::valueForKey(std::string_view key) const {
    if (std::optional<QVariant> v = field(key)) return *v;
    return valueForUndefinedKey(key);
}

QVariant SYWanted::valueForUndefinedKey(std::string_view) const { return {}; }

bool SYWanted::setValue(const QVariant&, std::string_view) { return false; }

std::optional<QVariant> SYWanted::field(std::string_view key) const {
    if (key == "Checked") return checkState();
    if (key == "type") return type();
    return std::nullopt;
}

// ---- SYWantedGenericSong ----

QString SYWantedGenericSong::persistentID() const { return song_->persistentId(); }

Layout SYWantedGenericSong::layoutDictionary() const {
    Layout layout;
    QString path = pathOnPlayer();
    if (!path.isEmpty()) layout.set(decomposed(path), song_);
    return layout;
}

QString SYWantedGenericSong::type() const {
    if (!song_->flag("Podcast")) return QStringLiteral("Song");
    std::optional<double> released = song_->date("Release Date");
    if (!released) return {};
    return QDateTime::fromMSecsSinceEpoch(qint64(*released * 1000), Qt::UTC).date().toString(Qt::ISODate);
}

QVariant SYWantedGenericSong::valueForUndefinedKey(std::string_view key) const { return song_->valueForKey(key); }

std::optional<QVariant> SYWantedGenericSong::field(std::string_view key) const {
    if (key == "song") return QVariant::fromValue(static_cast<void*>(song_));
    if (key == "persistentID") return persistentID();
    return SYWanted::field(key);
}

QString SYWantedSong::pathOnPlayer() const {
    const Defaults& d = defaultsOf(library_);
    if (d.boolean("otherSongsInAlbumSubfolders")) return song()->albumPath();
    QString folder = d.string("pathToPlayer");
    if (d.boolean("createOtherSongsSubfolder")) folder += u'/' + kOtherSongs;
    return folder + u'/' + song()->legacyFileName();
}

// ---- SYWantedAlbumTrack ----

bool SYWantedAlbumTrack::setValue(const QVariant& value, std::string_view key) {
    if (key != "Checked") return false;
    checked_ = value.toInt() ? 1 : 0;
    return true;
}

std::optional<QVariant> SYWantedAlbumTrack::field(std::string_view key) const {
    if (key == "index") return index_;
    if (key == "album") return QVariant::fromValue(static_cast<void*>(album_));
    return SYWantedGenericSong::field(key);
}

// ---- SYWantedAlbum ----

SYWantedAlbum::SYWantedAlbum(const Library& library, Album* album) : SYWantedAlbum(library, album, static_cast<const std::vector<Song*>*>(nullptr)) {}

SYWantedAlbum::SYWantedAlbum(const Library& library, Album* album, const std::vector<Song*>* songs) : SYWanted(library), album_(album) {
    buildRows(songs);
}

SYWantedAlbum::SYWantedAlbum(const Library& library, Album* album, const plist::Object& saved) : SYWanted(library), album_(album) {
    // Saved while it followed the enabled flags: follow them as they are now.
    // Otherwise every track but the listed exceptions, new tracks included.
    const plist::Object* match = saved.find("matchDisabled");
    bool matchDisabled = match && match->asBoolean();
    QSet<QString> avoid;
    if (const plist::Object* list = saved.find("avoidTracks"); list && list->ifArray()) {
        for (const plist::Object& id : *list->ifArray())
            if (const std::string* s = id.ifString()) avoid.insert(QString::fromStdString(*s));
    }
    std::vector<Song*> keep;
    for (Song* s : album_->tracks()) {
        bool drop = matchDisabled ? s->flag("Disabled") : avoid.contains(s->persistentId());
        if (!drop) keep.push_back(s);
    }
    buildRows(&keep);
}

void SYWantedAlbum::buildRows(const std::vector<Song*>* songs) {
    int index = 0;
    for (Song* s : album_->tracks()) {
        auto row = std::make_unique<SYWantedAlbumTrack>(library_, s, this, ++index);
        bool ticked = !songs || std::find(songs->begin(), songs->end(), s) != songs->end();
        row->setChecked(ticked ? 1 : 0);
        songs_.push_back(std::move(row));
    }
}

void SYWantedAlbum::addNewTracks() {
    const bool followsEnabled = std::all_of(songs_.begin(), songs_.end(), [](const auto& row) { return (row->checkState() != 0) == !row->song()->flag("Disabled"); });
    const std::vector<Song*>& tracks = album_->tracks();
    for (std::size_t i = songs_.size(); i < tracks.size(); ++i) {
        auto row = std::make_unique<SYWantedAlbumTrack>(library_, tracks[i], this, int(i) + 1);
        row->setChecked(followsEnabled ? !tracks[i]->flag("Disabled") : 1);
        songs_.push_back(std::move(row));
    }
}

int SYWantedAlbum::checkState() const {
    bool any = false, all = true;
    for (const auto& row : songs_) {
        if (row->checkState() == 1) any = true;
        else all = false;
    }
    if (any && !all) return -1;
    return any ? 1 : 0;
}

void SYWantedAlbum::click() {
    int state = checkState();
    auto enabled = [](const auto& row) { return row->song()->flag("Disabled") ? 0 : 1; };
    bool onlyEnabled = std::all_of(songs_.begin(), songs_.end(), [&](const auto& row) { return row->checkState() == enabled(row); });
    for (const auto& row : songs_) row->setChecked(state == 1 ? 0 : state == -1 && onlyEnabled ? 1 : enabled(row));
}

Layout SYWantedAlbum::layoutDictionary() const {
    Layout layout;
    for (const auto& row : songs_)
        if (row->checkState() != 0) layout.set(decomposed(row->song()->albumPath()), row->song());
    return layout;
}

QVariant SYWantedAlbum::valueForUndefinedKey(std::string_view key) const { return album_->valueForKey(key); }

std::optional<QVariant> SYWantedAlbum::field(std::string_view key) const {
    if (key == "album") return QVariant::fromValue(album_);
    return SYWanted::field(key);
}

plist::Object SYWantedAlbum::propertyList() const {
    plist::Object avoid = plist::Object::array();
    bool matchDisabled = true;
    for (const auto& row : songs_) {
        if (row->checkState() == 0) avoid.append(row->persistentID().toStdString());
        bool enabled = !row->song()->flag("Disabled");
        if ((row->checkState() != 0) != enabled) matchDisabled = false;
    }
    return plist::Object(plist::Object::Dict{
        {"Name", album_->name().toStdString()},
        {"avoidTracks", std::move(avoid)},
        {"matchDisabled", matchDisabled},
    });
}

// ---- SYWantedPlaylist ----

Layout SYWantedPlaylist::layoutDictionary() const {
    Layout layout;
    const Album* playlist = library_.playlistWithID(playlistID_);
    if (!playlist) return layout;
    const Defaults& d = defaultsOf(library_);
    const SongContext& names = library_.context();
    bool inAlbums = mode_ != 0 || d.boolean("playlistSongsInAlbumSubfolders");
    QString folder = d.string("pathToPlayer");
    if (d.boolean("createPlaylistSubfolders")) {
        if (d.boolean("createPlaylistGroupSubfolders")) folder += QStringLiteral("/Playlists");
        folder += u'/' + names.folderName(playlist->name());
    }
    int n = 0;
    for (Song* s : playlist->tracks()) {
        ++n;
        QString path = inAlbums ? s->albumPath()
                                : folder + u'/' + names.fileName(QString::asprintf("%.2i ", n), s->name(), s->copiedExtension());
        layout.set(decomposed(path), s);
    }
    return layout;
}

QVariant SYWantedPlaylist::valueForUndefinedKey(std::string_view key) const {
    const Album* playlist = library_.playlistWithID(playlistID_);
    return playlist ? playlist->valueForKey(key) : QVariant();
}

bool SYWantedPlaylist::setValue(const QVariant& value, std::string_view key) {
    if (key != "mode") return false;
    setMode(value.toInt());
    return true;
}

plist::Object SYWantedPlaylist::propertyList() const {
    return plist::Object(plist::Object::Dict{{"persistentID", playlistID_.toStdString()}, {"mode", mode_}});
}

std::optional<QVariant> SYWantedPlaylist::field(std::string_view key) const {
    if (key == "mode") return mode_;
    if (key == "persistentID") return playlistID_;
    return SYWanted::field(key);
}

// ---- SYWantedFile ----

QString SYWantedFile::name() const { return path_.section(u'/', -1); }

quint64 SYWantedFile::copiedSize() const { return fsys::size(path_).value_or(0); }

QVariant SYWantedFile::valueForUndefinedKey(std::string_view key) const {
    if (key == "Name") return name();
    if (key == "Copied Size") return sizeText(copiedSize());
    return {};
}

bool SYWantedFile::setValue(const QVariant& value, std::string_view key) {
    if (key != "remove") return false;
    remove_ = value.toBool();
    return true;
}

std::optional<QVariant> SYWantedFile::field(std::string_view key) const {
    if (key == "path") return path_;
    if (key == "remove") return remove_;
    return SYWanted::field(key);
}
