#pragma once

// Work records: what the planner asks the workers to do. Shared by reference
// between threads, never changed after they are made, and compared by
// identity: the record a worker reports back is the very one it was given.

#include <QString>

#include <memory>

class Song;

struct WorkRecord {
    enum class Kind { Conversion, Copy, Move, Delete };

    Kind kind;
    Song* song = nullptr;  // a delete record of a file that holds no song has none
    QString from;          // copy: the source; move: the current path; delete: the file
    QString to;            // copy, move: the destination; conversion: the planned path, or null

    static std::shared_ptr<const WorkRecord> conversion(Song* song, const QString& to = QString()) {
        return std::make_shared<const WorkRecord>(WorkRecord{Kind::Conversion, song, QString(), to});
    }
    static std::shared_ptr<const WorkRecord> copy(Song* song, const QString& from, const QString& to) {
        return std::make_shared<const WorkRecord>(WorkRecord{Kind::Copy, song, from, to});
    }
    static std::shared_ptr<const WorkRecord> move(Song* song, const QString& from, const QString& to) {
        return std::make_shared<const WorkRecord>(WorkRecord{Kind::Move, song, from, to});
    }
    static std::shared_ptr<const WorkRecord> remove(const QString& from, Song* song = nullptr) {
        return std::make_shared<const WorkRecord>(WorkRecord{Kind::Delete, song, from, QString()});
    }
};

using Record = std::shared_ptr<const WorkRecord>;
