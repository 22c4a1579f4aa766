#pragma once

// The worker that changes the player: it removes files no longer wanted,
// moves files whose place changed and copies new songs from the library or
// the cache, keeping the record of the player's files (previousFiles) in step
// and having it saved after every change.
//
// Lives in the copier thread; the lists, the record and the lock are the
// controller's own objects.

#include "Worker.h"

#include <QHash>

#include <deque>
#include <mutex>

class Defaults;
class RecordList;
class Song;

class Copier final : public Worker {
    Q_OBJECT
public:
    Copier(ControllerPort& root, const Defaults& defaults) : Worker(root), defaults_(defaults) {}

    // Registration hands over the controller's objects themselves.
    void setList(RecordList& toCopyList, RecordList& toMoveList, RecordList& toDeleteList, QHash<QString, Song*>& previousFiles, std::mutex& todoLock);
    void start() override;

    // Whether the file at "to" already is the one at "from": same size, and
    // modification dates within 5 seconds (or an hour and 5 seconds: FAT keeps
    // local time, and daylight saving moves it).
    static bool sameFile(const QString& from, const QString& to);

protected:
    void process() override;

private:
    void stopForGonePlayer();
    void serveDeletions(const class PlayerGuard& guard);
    void serveMoves(std::deque<Record>& snapshot, const class PlayerGuard& guard);
    // False when the copy snapshot is used up.
    bool copyOne(std::deque<Record>& snapshot, const class PlayerGuard& guard);

    const Defaults& defaults_;
    std::mutex* todoLock_ = nullptr;
    RecordList* toCopyList_ = nullptr;
    RecordList* toMoveList_ = nullptr;
    RecordList* toDeleteList_ = nullptr;
    QHash<QString, Song*>* previousFiles_ = nullptr;
    bool gone_ = false;  // the player's volume went away during this pass
};
