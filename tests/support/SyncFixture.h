#pragma once

// A player and a small library for tests of planning and of the workers.
//
// The player is <volume>/Music, where <volume> is <temporary>/Volumes/PLAYER
// (the temporary volumes folder is the program's for as long as the fixture
// lives) or the volume of a FatImage. The library, with artist and album
// folders on and playlist folders on without the group folder:
//   album X of artist A: One, Two, Three (indexes 1 to 3, MP3, 1000 bytes)
//   album Y of artist B: Four (AAC: it needs converting, and is not cached)
//   playlist Mix (id P1): Two, then One

#include "FatImage.h"
#include "Helpers.h"
#include "TestLibrary.h"

#include <QDir>
#include <QHash>
#include <QStringList>

#include <memory>

class Controller;
class Song;

class SyncFixture {
public:
    // volumePath empty: a temporary volumes folder with a volume PLAYER.
    explicit SyncFixture(const QString& volumePath = {});

    // NFD full path of a path relative to the player folder.
    QString at(const QString& relative) const;
    // The relative form of a full path inside the player, else the path.
    QString rel(const QString& full) const;
    // A file of `bytes` bytes on the player (folders made as needed).
    void put(const QString& relative, int bytes = 1000);

    Song* song(int trackId) const { return lib.song(trackId); }
    QString nameOf(const Song* song) const;

    // A controller over the same settings and library file, loaded, with
    // the saved state restored and the player's presence checked.
    std::unique_ptr<Controller> controller();

    std::unique_ptr<QTemporaryDir> volumesDir;
    std::unique_ptr<VolumesFolderOverride> volumes;
    QString volume;  // the volume folder
    QString player;  // the player folder, no trailing "/"
    TestLibrary lib;
    int one = 0, two = 0, three = 0, four = 0;
};
