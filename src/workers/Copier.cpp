#include "Copier.h"

#include "PlayerFiles.h"
#include "RecordList.h"
#include "library/PathUtils.h"
#include "library/Song.h"
#include "platform/Defaults.h"
#include "platform/FileSystem.h"
#include "platform/Locations.h"
#include "platform/Log.h"

#include <QDir>
#include <QThread>

#include <cmath>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// One pass:
//   deletions (always read from the shared list)
//   -> the moves of the move snapshot
//   -> one copy from the copy snapshot
//   -> back to the deletions, until the copy snapshot is used up.
// The snapshots are refreshed only when the controller says its lists changed.

void Copier::setList(RecordList& toCopyList, RecordList& toMoveList, RecordList& toDeleteList, QHash<QString, Song*>& previousFiles, std::mutex& todoLock) {
    toCopyList_ = &toCopyList;
    toMoveList_ = &toMoveList;
    toDeleteList_ = &toDeleteList;
    previousFiles_ = &previousFiles;
    todoLock_ = &todoLock;
}

void Copier::start() {
    callRoot([this] { root_.setCopier(this); });
}

bool Copier::sameFile(const QString& from, const QString& to) {
    std::optional<double> toDate = fsys::modificationTime(to), fromDate = fsys::modificationTime(from);
    std::optional<std::uint64_t> toSize = fsys::size(to), fromSize = fsys::size(from);
    if (!toDate || !fromDate || !toSize || !fromSize) return false;
    double d = *toDate - *fromDate;
    bool datesAgree = (d > -5 && d < 5) || (d > -3605 && d < -3595) || (d > 3595 && d < 3605);
    return datesAgree && *toSize == *fromSize;
}

void Copier::process() {
    Q_ASSERT(QThread::currentThread() == thread());
    callRoot([this] { root_.setCopierBusy(true); });
    PlayerGuard guard(defaults_.string("pathToPlayer"));
    std::deque<Record> copies, moves;
    auto snapshot = [this](const RecordList* list) {
        std::lock_guard lock(*todoLock_);
        return std::deque<Record>(list->begin(), list->end());
    };
    copies = snapshot(toCopyList_);
    moves = snapshot(toMoveList_);
    for (;;) {
        if (stopping()) break;
        serveDeletions(guard);
        if (callRoot([this] { return root_.moveListUpdated(); })) moves = snapshot(toMoveList_);
        serveMoves(moves, guard);
        if (stopping()) break;
        if (callRoot([this] { return root_.copyListUpdated(); })) copies = snapshot(toCopyList_);
        if (!copyOne(copies, guard)) break;
    }
    // What was copied should reach a removable player, not only the cache,
    // before anyone pulls it out. A folder on this computer's own disk (the
    // home folder's file system) is left to the system's own flushing.
    if (guard.isValid()) {
        int fd = ::open(fsys::encode(guard.folder()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct stat player, home;
        if (fd >= 0) {
            bool ownDisk = ::fstat(fd, &player) == 0 && ::stat(fsys::encode(QDir::homePath()).constData(), &home) == 0 && player.st_dev == home.st_dev;
            if (!ownDisk) ::syncfs(fd);
            ::close(fd);
        }
    }
    callRoot([this] {
        root_.setCopierBusy(false);
        root_.setCopyingSong(nullptr);
        root_.updateStatus();
    });
}

void Copier::serveDeletions(const PlayerGuard& guard) {
    std::unique_lock lock(*todoLock_);
    if (toDeleteList_->empty()) return;  // nothing to show or clear
    while (!toDeleteList_->empty()) {
        Record record = toDeleteList_->takeFirst();
        previousFiles_->remove(record->from);
        // The plan names a file as it is spelled on disk; the record knows it
        // by its decomposed name.
        previousFiles_->remove(decomposed(record->from));
        lock.unlock();
        callRoot([this, &record] {
            root_.writePreviousFiles();
            root_.setCopyingSong(nullptr);
            root_.setMovingSong(nullptr);
            if (record->song) root_.setDeletingSong(record->song);
        });
        if (guard.contains(record->from)) {
            playerfiles::removeFile(record->from);
            playerfiles::fileRemovedFrom(pathByRemovingLastComponent(record->from), guard.folder());
        }
        lock.lock();
    }
    lock.unlock();
    callRoot([this] { root_.setDeletingSong(nullptr); });
}

void Copier::serveMoves(std::deque<Record>& moves, const PlayerGuard& guard) {
    if (moves.empty()) return;  // nothing to show or clear
    while (!moves.empty() && !stopping()) {
        Record record = moves.front();
        moves.pop_front();
        callRoot([this, &record] { root_.setMovingSong(record); });
        bool safe = guard.contains(record->from) && guard.contains(record->to);
        if (safe) {
            playerfiles::fileWillBeAddedTo(pathByRemovingLastComponent(record->to));
            playerfiles::moveFile(record->from, record->to);
            playerfiles::fileRemovedFrom(pathByRemovingLastComponent(record->from), guard.folder());
        }
        {
            std::lock_guard lock(*todoLock_);
            toMoveList_->removeIdentical(record.get());
            if (safe) {
                previousFiles_->remove(decomposed(record->from));
                previousFiles_->insert(decomposed(record->to), record->song);
            }
        }
        callRoot([this] { root_.writePreviousFiles(); });
    }
    callRoot([this] {
        root_.setMovingSong(nullptr);
        root_.updateStatus();
    });
}

bool Copier::copyOne(std::deque<Record>& copies, const PlayerGuard& guard) {
    if (copies.empty()) return false;
    Record record = copies.front();
    copies.pop_front();
    Song* song = record->song;
    // Waits in the list until the convertor has put it in the cache.
    if (song && song->needsConversion() && !song->isCached()) return true;
    if (!guard.contains(record->to)) return true;
    QString folder = pathByRemovingLastComponent(record->to);
    if (!playerfiles::fileWillBeAddedTo(folder)) return true;
    callRoot([this, &record] { root_.setCopyingSong(record); });
    if (fsys::existsNoFollow(record->to)) {
        // Already in place: nothing to do. Otherwise the file in the way goes,
        // and a later snapshot that holds the record copies it.
        if (!sameFile(record->from, record->to)) playerfiles::removeFile(record->to);
        return true;
    }
    if (auto copied = playerfiles::copyFile(record->from, record->to, stoppingFlag()); !copied) {
        if (!stopping()) logMessage(copied.error());
        playerfiles::fileRemovedFrom(folder, guard.folder());
        return true;
    }
    playerfiles::removeFile(hiddenPath(record->to));
    {
        std::lock_guard lock(*todoLock_);
        toCopyList_->removeMatching(record->to, record->from);
        previousFiles_->insert(record->to, song);
    }
    callRoot([this] { root_.writePreviousFiles(); });
    return true;
}
