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
// state: the controller applies its result under todoLock. It never reads the
// wanted tree itself, so that it can run on a thread of its own:
//   main thread    itemOf() for each root item: its layout, order and file
//   any thread     a Planner: scan(), then plan(items)
//   main thread    applyOtherFiles(): the other-file items it adds and drops
// The static plan() does all of it in place.

#include "selection/Wanted.h"
#include "WorkRecord.h"

#include <QHash>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>
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

    // One root item of the wanted list as the pass needs it.
    struct Item {
        SYWanted* item = nullptr;  // its identity only: never read off the main thread
        SYWanted::SortKey key;
        Layout layout;
        std::optional<QString> otherFile;  // other-file items: the file's path
        bool removeFile = false;           // and whether its deletion was confirmed
    };
    // Main thread.
    static Item itemOf(SYWanted& item);

    struct Result {
        QHash<QString, Song*> previousFiles;  // the record after this pass
        bool forgotGoneFiles = false;         // it must be saved now
        bool tookOverFiles = false;           // it gained files found in place
        std::vector<Weighted> conversions, copies, moves, deletions;
        QHash<QString, SYWanted*> wantedByLayout;
        // Wanted paths (files or folders) that stood at one place with
        // another, and the names they were given, while something is still
        // to go there.
        std::vector<std::pair<QString, QString>> renamed;
        // Other-file items that leave the list, and new ones for its end.
        std::vector<const SYWanted*> droppedFiles;
        std::vector<std::unique_ptr<SYWanted>> newFiles;
        bool otherFilesChanged = false;
    };

    // `cancelled`, when set, ends the pass early with a result of no use.
    Planner(Input input, const Library& library, const std::atomic<bool>* cancelled = nullptr);
    ~Planner();
    Planner(const Planner&) = delete;
    Planner& operator=(const Planner&) = delete;

    // Lists the player folder.
    void scan();
    // The rest of the pass, size reads included; after scan(), once.
    Result plan(std::vector<Item> items);

    // Drops and adds the result's other-file items (main thread); a second
    // call changes nothing.
    static void applyOtherFiles(Result& result, std::vector<std::unique_ptr<SYWanted>>& wantedStuff);

    // The whole pass on this thread, the other-file items applied.
    static Result plan(const Input& input, std::vector<std::unique_ptr<SYWanted>>& wantedStuff, const Library& library);

private:
    class Pass;
    std::unique_ptr<Pass> pass_;
};
