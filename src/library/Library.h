#pragma once

// The music library as read from the library file: songs by "Track ID" and by
// "Persistent ID", albums grouped by name, and playlists. Filled once at
// start-up; only the playlists are read again when the file is rewritten.

#include "Song.h"
#include "platform/plist/Arena.h"
#include "platform/plist/Value.h"

#include <QHash>
#include <QString>

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
    // Groups the loaded songs into albums by album name.
    void groupAlbums();
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
    const SongContext& context_;
    Counts counts_;
    std::shared_ptr<const plist::Document> document_;  // the songs' dictionaries live here
    std::unique_ptr<SongKeys> songKeys_;                // resolved against document_
    std::vector<char, plist::LargeAllocator<char>> pathText_;  // the songs' decoded paths live here
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
