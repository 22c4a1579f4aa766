#pragma once

// The worker that converts songs the player can't play into MP3 (or AAC)
// files in the cache, tags them and asks for the copier to run. It serves the
// plan's conversions (todoList) before those asked for ahead of time
// (toCacheList), one song at a time.
//
// Lives in the convertor thread; the lists and the lock are the controller's.

#include "Worker.h"

#include <mutex>

class Defaults;
class RecordList;
class Song;
struct SongTags;

class Convertor final : public Worker {
    Q_OBJECT
public:
    Convertor(ControllerPort& root, const Defaults& defaults) : Worker(root), defaults_(defaults) {}

    void setList(RecordList& todoList, RecordList& toCacheList, std::mutex& todoLock);
    void start() override;

    // The file a conversion is written to before it moves into the cache: in
    // the cache folder itself, so the move is a rename and no other user can
    // plant anything at a known name in a shared temporary folder.
    static QString temporaryPath(const QString& cacheDir);
    static SongTags tagsFor(const Song& song);

protected:
    void process() override;

private:
    Record nextRecord();
    void convert(const Record& record);

    const Defaults& defaults_;
    std::mutex* todoLock_ = nullptr;
    RecordList* todoList_ = nullptr;
    RecordList* toCacheList_ = nullptr;
};
