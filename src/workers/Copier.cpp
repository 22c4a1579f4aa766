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
    gone_ = false;
    for (;;) {
        if (stopping()) break;
        serveDeletions(guard);
        if (callRoot([this] { return root_.moveListUpdated(); })) moves = snapshot(toMoveList_);
        serveMoves(moves, guard);
        if (stopping() || gone_) break;
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

void Copier::stopForGonePlayer() {
    gone_ = true;
    callRoot([this] { root_.playerGone(); });
}

void Copier::serveDeletions(const PlayerGuard& guard) {
    std::unique_lock lock(*todoLock_);
    if (toDeleteList_->empty()) return;  // nothing to show or clear
    while (!toDeleteList_->empty()) {
        Record record = toDeleteList_->takeFirst();
        lock.unlock();
        callRoot([this, &record] {
            root_.setCopyingSong(nullptr);
            root_.setMovingSong(nullptr);
            if (record->song) root_.setDeletingSong(record->song);
        });
        // The record forgets a file only once it is gone: one that could not
        // be removed (a read-only player) is still there, still ours.
        std::expected<void, QString> removed = std::unexpected(QStringLiteral("not inside the player folder"));
        if (guard.contains(record->from)) {
            removed = playerfiles::removeFile(record->from);
            if (removed) playerfiles::fileRemovedFrom(pathByRemovingLastComponent(record->from), guard.folder());
        }
        if (removed) {
            {
                std::lock_guard forget(*todoLock_);
                previousFiles_->remove(record->from);
                // The plan names a file as it is spelled on disk; the record
                // knows it by its decomposed name.
                previousFiles_->remove(decomposed(record->from));
            }
            callRoot([this, &record] {
                root_.workDone(record);
                root_.writePreviousFiles();
            });
        } else {
            callRoot([this, &record, &removed] { root_.fileFailed(record->from, removed.error()); });
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
        if (!guard.volumeStillMounted()) {
            stopForGonePlayer();
            return;
        }
        std::expected<void, QString> moved = std::unexpected(QStringLiteral("not inside the player folder"));
        if (guard.contains(record->from) && guard.contains(record->to)) {
            playerfiles::fileWillBeAddedTo(pathByRemovingLastComponent(record->to));
            moved = playerfiles::moveFile(record->from, record->to);
            if (moved) playerfiles::fileRemovedFrom(pathByRemovingLastComponent(record->from), guard.folder());
        }
        {
            std::lock_guard lock(*todoLock_);
            toMoveList_->removeIdentical(record.get());
            // A move that failed leaves the file, and its record, where they were.
            if (moved) {
                previousFiles_->remove(decomposed(record->from));
                previousFiles_->insert(decomposed(record->to), record->song);
            }
        }
        if (moved) callRoot([this, &record] {
            root_.workDone(record);
            root_.writePreviousFiles();
        });
        else callRoot([this, &record, &moved] { root_.fileFailed(record->from, moved.error()); });
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
    if (!guard.volumeStillMounted()) {
        stopForGonePlayer();
        return false;
    }
    QString folder = pathByRemovingLastComponent(record->to);
    if (!playerfiles::fileWillBeAddedTo(folder)) {
        callRoot([this, &record, &folder] { root_.fileFailed(record->to, QStringLiteral("the folder %1 could not be made").arg(folder)); });
        return true;
    }
    callRoot([this, &record] { root_.setCopyingSong(record); });
    if (fsys::existsNoFollow(record->to)) {
        // Already in place: nothing to do. Otherwise the file in the way goes,
        // and a later snapshot that holds the record copies it.
        if (!sameFile(record->from, record->to)) playerfiles::removeFile(record->to);
        return true;
    }
    if (auto copied = playerfiles::copyFile(record->from, record->to, stoppingFlag()); !copied) {
        playerfiles::fileRemovedFrom(folder, guard.folder());
        if (!stopping()) callRoot([this, &record, &copied] { root_.fileFailed(record->to, copied.error()); });
        return true;
    }
    playerfiles::removeFile(hiddenPath(record->to));
    {
        std::lock_guard lock(*todoLock_);
        toCopyList_->removeMatching(record->to, record->from);
        previousFiles_->insert(record->to, song);
    }
    callRoot([this, &record] {
        root_.workDone(record);
        root_.writePreviousFiles();
    });
    return true;
}
