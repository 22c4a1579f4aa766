#pragma once

// The music library as read from the library file: songs by "Track ID" and by
// "Persistent ID", albums grouped by name, and playlists. Filled at start-up;
// when the file is rewritten, songs new to it join and the playlists are read
// again.

#include "Song.h"
#include "platform/plist/Arena.h"
#include "platform/plist/Value.h"

#include <QHash>
#include <QString>

#include <deque>
#include <memory>
#include <string_view>
#include <vector>

class Library {
public:
    explicit Library(const SongContext& context) : context_(context) {}

    struct Counts {
        int candidates = 0;
        int usable = 0;
        LeftOutCounts leftOut;
        // Tracks but none usable: the file must be written anew.
        bool unusable() const { return candidates > 0 && usable == 0; }
    };

    // Takes the parsed file (or nothing, for a file that could not be parsed)
    // and loads its tracks: filtered, sorted, with missing files left out.
    Counts loadTracks(std::shared_ptr<const plist::Document> document);
    // Groups the songs loaded at start-up into albums by album name.
    void groupAlbums();
    // Loads the songs of a rewritten file that are not loaded yet (by
    // persistent ID; one whose file was missing counts as new), at the end of
    // their albums, so the songs already there keep their places. The file's
    // track numbers name the songs from now on. Answers the new songs.
    std::vector<Song*> addNewTracks(std::shared_ptr<const plist::Document> document);
    // Replaces the playlists with those of a (re-)read file, or with none.
    void readPlaylistsFrom(const plist::Document* document);

    Album* playlistWithID(const QString& persistentId) const;
    Song* songWithPersistentId(const QString& persistentId) const;
    Song* songWithTrackId(qint64 trackId) const { return songsByTrackId_.value(trackId); }
    Album* albumNamed(const QString& name) const { return albums_.value(name); }

    // In load order (newest release first, then disc, track and name).
    const std::vector<std::unique_ptr<Song>>& songs() const { return songs_; }
    // In order of first appearance.
    const std::vector<std::unique_ptr<Album>>& albums() const { return albumList_; }
    // Playlist identifiers in file order.
    const std::vector<QString>& playlistIds() const { return playlistOrder_; }

    const SongContext& context() const { return context_; }
    Counts counts() const { return counts_; }

private:
    Song* addSong(plist::Value dict, const SongKeys* keys, std::int64_t trackId, std::string_view persistentId, std::string_view path);
    void groupSongs(std::size_t first, const plist::Document* document);

    const SongContext& context_;
    Counts counts_;
    std::shared_ptr<const plist::Document> document_;  // the songs' dictionaries live here
    std::unique_ptr<SongKeys> songKeys_;                // resolved against document_
    std::vector<char, plist::LargeAllocator<char>> pathText_;  // the songs' decoded paths live here
    // The same for songs added from rewritten files.
    std::vector<std::shared_ptr<const plist::Document>> laterDocuments_;
    std::vector<std::unique_ptr<SongKeys>> laterSongKeys_;  // resolved against laterDocuments_, one each
    std::deque<std::vector<char, plist::LargeAllocator<char>>> laterPathText_;
    std::vector<std::unique_ptr<Song>> songs_;
    QHash<qint64, Song*> songsByTrackId_;
    // Keyed by the identifiers' text in the document, which lives as long.
    QHash<QByteArrayView, Song*> songsByPersistentId_;
    QHash<qint64, LeftOut> leftOut_;  // by "Track ID", for the playlists' counts
    std::vector<std::unique_ptr<Album>> albumList_;
    QHash<QString, Album*> albums_;
    std::vector<QString> playlistOrder_;
    QHash<QString, std::shared_ptr<Album>> playlists_;  // shared: QHash needs copyable values
};
