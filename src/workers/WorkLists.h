#pragma once

// The state shared between the controller and the two workers: the five work
// lists and the record of the files the program put on the player, all
// guarded by todoLock. The lock is held only for short groups of changes and
// nobody sends a cross-thread call while holding it.

#include "RecordList.h"

#include <QHash>
#include <QString>

#include <mutex>

class Song;

struct WorkLists {
    std::mutex todoLock;           // not recursive
    RecordList todoList;           // conversions the plan needs; served first
    RecordList toCacheList;        // conversions asked for ahead of time
    RecordList toCopyList;
    RecordList toMoveList;
    RecordList toDeleteList;
    QHash<QString, Song*> previousFiles;  // path on the player -> the song it holds
};
