#pragma once

// The library model: songs, albums (also standing for playlists) and the
// plain files found on the player. Songs are thin wrappers over the track
// dictionaries of the library file and answer values by the library's keys;
// absent keys answer nothing.
//
// Used from the main thread and both worker threads; nothing here changes
// after loading except through the loader, before the workers start.

#include "platform/plist/Value.h"

#include <QString>
#include <QVariant>

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Album;
class SongContext;

// The album of songs that name none, and the folder single songs go into.
inline const QString kOtherSongs = QStringLiteral("Other songs");

// The keys songs read often, resolved against the document that holds their
// dictionaries: a lookup then compares one pointer per entry, not text.
struct SongKeys {
    explicit SongKeys(const plist::Document* document = nullptr);
    plist::Key name, album, artist, kind, bitRate, totalTime, dateAdded, persistentId, trackId, trackNumber, location, podcast, compilation;
};

class SYContent {
public:
    virtual ~SYContent() = default;
    virtual quint64 copiedSize() const = 0;
    virtual QString name() const = 0;
    // Key lookup for the list's columns; nothing for unknown keys.
    virtual QVariant valueForKey(std::string_view key) const;
    virtual bool isSong() const { return false; }
};

class Song final : public SYContent {
public:
    // keys: resolved against the document of dict, living as long as the song.
    Song(plist::Value dict, const SongContext& context, const SongKeys* keys = nullptr);

    plist::Value dict() const { return dict_; }
    const SongContext& context() const { return context_; }
    const SongKeys& keys() const { return *keys_; }

    // Typed reads of the track dictionary ("Album" is never empty).
    QString string(std::string_view key) const;
    std::int64_t integer(std::string_view key) const;  // any number; 0 when absent
    bool flag(std::string_view key) const;             // booleans and numbers
    std::optional<double> date(std::string_view key) const;  // seconds since 1970

    qint64 trackId() const { return dict_[keys_->trackId].integer(); }
    QString persistentId() const;  // null when the track has none
    QString name() const override;
    QString albumName() const;

    QVariant valueForKey(std::string_view key) const override;
    bool isSong() const override { return true; }

    // Where the song comes from.
    QString originalPath() const;              // null when Location is no usable file URL
    std::string originalPathBytes() const;     // the same, as file-system bytes
    // The loader decodes every Location once; songs keep the result (text
    // that lives as long as the library).
    void setDecodedPath(std::string_view bytes) { decodedPath_ = bytes; }
    QString copyFromPath() const;
    bool needsConversion() const;

    // The conversion cache. A cached file is named for its song and for the
    // format and bit rate it was made at: a change of either converts anew.
    struct Conversion {
        bool aac = false;
        int bitrateKbps = 0;
        QString cachePath;
    };
    // What a conversion makes under the settings now. The convertor takes it
    // once, so the file it writes and the name it goes under agree.
    Conversion conversion() const;
    QString cacheDir() const;
    QString cachePath() const { return conversion().cachePath; }
    bool isCached() const;
    // A song that could not be converted is set aside, and left off the
    // player, until its file changes: a mark beside its cache name holds the
    // size and modification time its file had then.
    void setAside() const;
    bool isSetAside() const;

    // Names on the player.
    QString copiedExtension() const;
    QString legacyPlayerDir() const;
    QString legacyFileName() const;
    QString legacyAlbumPath() const;
    QString albumPath() const;
    bool legacyIsCopied() const;

    quint64 copiedSize() const override;
    double lastUsed() const;  // "Date Added", or the distant past

    // Written once by the loader.
    Album* albumObject() const { return album_; }
    int index() const { return index_; }
    void setAlbum(Album* album, int index) {
        album_ = album;
        index_ = index;
    }

private:
    QString fileName(std::int64_t number) const;

    QString text(const plist::Key& key) const;

    plist::Value dict_;
    const SongContext& context_;
    const SongKeys* keys_;  // not owned
    Album* album_ = nullptr;  // not owned
    int index_ = 0;
    std::string_view decodedPath_;  // owned by the library; empty: decode on demand
};

// Why a track of the library file is not among the songs.
enum class LeftOut { Protected, Video, NotAFile, NoPersistentId, FileMissing, NoSuchTrack };

// Tracks left out, by reason.
struct LeftOutCounts {
    std::array<int, 6> byReason{};
    void add(LeftOut reason) { ++byReason[std::size_t(reason)]; }
    int operator[](LeftOut reason) const { return byReason[std::size_t(reason)]; }
    int total() const;
};

// A group of songs: an album of the library or a playlist.
class Album {
public:
    Album(QString name, QString artist) : name_(std::move(name)), artist_(std::move(artist)) {}

    const QString& name() const { return name_; }
    const QString& artist() const { return artist_; }
    const std::vector<Song*>& tracks() const { return tracks_; }
    void append(Song* song) { tracks_.push_back(song); }
    // A playlist's items that name no song, by reason.
    const LeftOutCounts& leftOut() const { return leftOut_; }
    void addLeftOut(LeftOut reason) { leftOut_.add(reason); }

    QVariant valueForKey(std::string_view key) const;
    quint64 copiedSize() const;
    bool isCached() const;

private:
    QString name_;
    QString artist_;
    std::vector<Song*> tracks_;  // owned by the library
    LeftOutCounts leftOut_;
};

// A file on the player that holds no song of the library.
class SYFile final : public SYContent {
public:
    explicit SYFile(QString path) : path_(std::move(path)) {}

    const QString& path() const { return path_; }
    QString name() const override;
    quint64 copiedSize() const override;
    QVariant valueForKey(std::string_view key) const override;

private:
    QString path_;
};

QString decodeFileUrl(std::string_view url, std::string* bytes = nullptr);
// The same as file-system bytes, appended to out; false, with out as it was,
// when the URL names no usable file.
bool appendFileUrlPath(std::string_view url, std::string& out);

Q_DECLARE_METATYPE(Album*)
