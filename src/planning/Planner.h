#pragma once

// One planning pass: what the player should hold (the layouts of the wanted
// items) against what it holds (the player folder and the record of the
// files the program put there), turned into conversions, copies, moves and
// deletions.
//
//   scan the player -> build the layout (taking over files already in place)
//   -> forget gone files -> reconcile other files -> match wanted paths with
//   present files -> leftovers are deleted
//
// The planner reads the disk but changes nothing on it, and touches no shared
// state: the controller applies its result under todoLock. It changes the
// wanted list only in its other-file items. Main thread only.

#include "selection/Wanted.h"
#include "WorkRecord.h"

#include <QHash>
#include <QString>

#include <memory>
#include <vector>

class Library;
class Song;

class Planner {
public:
    struct Input {
        QString playerFolder;
        QHash<QString, Song*> previousFiles;  // a copy, taken under the lock
        Song* convertingSong = nullptr;       // the song being converted now
    };

    struct Weighted {
        Record record;
        quint64 weight = 0;  // copies: the bytes they will take; deletions: the bytes they free
    };

    struct Result {
        QHash<QString, Song*> previousFiles;  // the record after this pass
        bool forgotGoneFiles = false;         // it must be saved now
        bool tookOverFiles = false;           // it gained files found in place
        std::vector<Weighted> conversions, copies, moves, deletions;
        QHash<QString, SYWanted*> wantedByLayout;
        bool otherFilesChanged = false;
    };

    static Result plan(const Input& input, std::vector<std::unique_ptr<SYWanted>>& wantedStuff, const Library& library);
};
