#pragma once

// The selection: the ordered list of root wanted items, the rules by which
// dropped songs and playlists join it, and its saved form.
//
// Main thread only. Saving and replanning are the controller's: these
// operations only change the list.

#include "Wanted.h"

#include <QStringList>

#include <memory>
#include <vector>

class Library;
class Song;

class Selection {
public:
    explicit Selection(const Library& library) : library_(library) {}

    std::vector<std::unique_ptr<SYWanted>>& wantedStuff() { return wantedStuff_; }
    const std::vector<std::unique_ptr<SYWanted>>& wantedStuff() const { return wantedStuff_; }

    // Songs join by album object: a wanted album gets the songs ticked (a new
    // one ticks only them), songs of "Other songs" become single songs once.
    void addSongs(const std::vector<Song*>& songs);
    // Playlists not yet wanted are appended ("As playlist").
    void addPlaylists(const QStringList& persistentIds);
    // Removes the item (by identity) when it is in the list.
    void removeItem(const SYWanted* item);
    // The library gained songs: wanted albums take their new tracks.
    void tracksAdded();

    // The saved form: {"wantedSongs", "wantedAlbums", "wantedPlaylists"}.
    plist::Object propertyList() const;
    // Replaces the list with the saved selection; entries that name nothing
    // loaded, or that are not of the expected shape, are dropped.
    void restore(const plist::Object& saved);

    // A flat list of songs as wanted items: whole albums where every track of
    // the album is given (counted by occurrences), single songs for the rest.
    std::vector<std::unique_ptr<SYWanted>> wantedObjectsForSongs(const std::vector<Song*>& songs) const;

    // The list in the order the music list shows it.
    std::vector<SYWanted*> sorted() const;

private:
    const Library& library_;
    std::vector<std::unique_ptr<SYWanted>> wantedStuff_;
};
