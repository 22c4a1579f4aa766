// Planning passes, the workers' messages and the status.

#include "Controller.h"

#include "library/PathUtils.h"
#include "planning/Planner.h"
#include "platform/Defaults.h"
#include "platform/FileSystem.h"
#include "app/UserInterface.h"
#include "workers/Convertor.h"
#include "workers/Copier.h"

#include <QThread>
#include <QTimer>

#include <algorithm>

namespace {

const QChar kEllipsis(0x2026);

// "%.1f MB" through single precision, as the list shows sizes.
QString megabytes(quint64 bytes) { return QString::asprintf("%.1f", double(float(bytes)) * 9.53674316e-07); }

}  // namespace

// ---- planning ----

void Controller::requestUpdate() {
    QTimer::singleShot(100, this, &Controller::updatePlayerDeferred);
    updateDue_ = true;
}

void Controller::updatePlayerDeferred() {
    updateDue_ = false;
    updatePlayer();
}

void Controller::updatePlayer() {
    if (updateDue_) return;
    {
        std::lock_guard lock(work_.todoLock);
        work_.toCopyList.clear();
        work_.toMoveList.clear();
        work_.toDeleteList.clear();
        work_.todoList.clear();
    }
    runCopier();
    // A busy copier stops after its file; plan once it has.
    if (copierBusy_) {
        requestUpdate();
        return;
    }
    if (!mounted_) return;

    Planner::Input input;
    input.playerFolder = pathToPlayer();
    input.convertingSong = convertingSong_ ? convertingSong_->song : nullptr;
    {
        std::lock_guard lock(work_.todoLock);
        input.previousFiles = work_.previousFiles;
    }
    Planner::Result plan = Planner::plan(input, selection_->wantedStuff(), *library_);
    wantedByLayout_ = std::move(plan.wantedByLayout);
    {
        std::lock_guard lock(work_.todoLock);
        work_.previousFiles = std::move(plan.previousFiles);
        for (const auto& w : plan.conversions) work_.todoList.append(w.record);
        for (const auto& w : plan.copies) work_.toCopyList.append(w.record, w.weight);
        for (const auto& w : plan.moves) work_.toMoveList.append(w.record);
        for (const auto& w : plan.deletions) work_.toDeleteList.append(w.record, w.weight);
    }
    if (plan.forgotGoneFiles) savePreviousFiles();
    else if (plan.tookOverFiles) writePreviousFiles();
    ui_.reloadData();
    if (!convertorBusy_) runConvertor();
    runCopier();
}

void Controller::runConvertor() {
    if (!convertor_) return;
    convertorQueued_ = true;
    convertor_->run();
}

quint64 Controller::bytesToCopy() {
    std::lock_guard lock(work_.todoLock);
    return work_.toCopyList.totalWeight();
}

Controller::PendingWork Controller::pending() const {
    std::lock_guard lock(work_.todoLock);
    return {work_.todoList.snapshot(), work_.toCacheList.snapshot(), work_.toCopyList.snapshot(), work_.toMoveList.snapshot(),
            work_.toDeleteList.snapshot(), work_.previousFiles, work_.toCopyList.totalWeight()};
}

// ---- the workers' messages ----

void Controller::setConvertor(Convertor* convertor) {
    convertor_ = convertor;
    convertor->setList(work_.todoList, work_.toCacheList, work_.todoLock);
    // The first pass starts once the registration call has returned.
    QTimer::singleShot(0, this, [this] { runConvertor(); });
}

void Controller::setCopier(Copier* copier) {
    copier_ = copier;
    copier->setList(work_.toCopyList, work_.toMoveList, work_.toDeleteList, work_.previousFiles, work_.todoLock);
    copierBusy_ = false;
}

void Controller::setConvertorBusy(bool busy) {
    convertorBusy_ = busy;
    convertorQueued_ = false;
    if (!busy) Q_EMIT workerIdle();
}

void Controller::setCopierBusy(bool busy) {
    copierBusy_ = busy;
    copierQueued_ = false;
    if (!busy && previousFilesDirty_) savePreviousFiles();
    if (!busy) Q_EMIT workerIdle();
}

void Controller::runCopier() {
    std::unique_lock lock(work_.todoLock);
    if (!copierBusy_) {
        lock.unlock();
        if (copier_) {
            copierQueued_ = true;
            copier_->run();
        }
        return;
    }
    copyListUpdated_ = true;
    moveListUpdated_ = true;
}

bool Controller::copyListUpdated() {
    bool updated = copyListUpdated_;
    copyListUpdated_ = false;
    return updated;
}

bool Controller::moveListUpdated() {
    bool updated = moveListUpdated_;
    moveListUpdated_ = false;
    return updated;
}

void Controller::redrawRecordRow(const Record& record) {
    if (!record || record->to.isEmpty()) return;
    SYWanted* item = wantedByLayout_.value(record->to);
    if (!item) return;
    // The map is as old as the last pass: an item removed since then is
    // deleted, and must not reach the list.
    const auto& stuff = selection_->wantedStuff();
    if (std::none_of(stuff.begin(), stuff.end(), [item](const auto& w) { return w.get() == item; })) return;
    ui_.reloadItem(item);
}

void Controller::setConvertingSong(const Record& record, const QString& path) {
    Record old = convertingSong_;
    convertingSong_ = record;
    convertingPath_ = path;
    // The song that was converting is in the cache now (or failed): the bytes
    // its copies will take are known.
    if (old && old != record) {
        quint64 size = old->song->copiedSize();
        std::lock_guard lock(work_.todoLock);
        work_.toCopyList.reweigh(old->song, size);
    }
    updateStatus();
    redrawRecordRow(record);
    redrawRecordRow(old);
}

void Controller::setCopyingSong(const Record& record) {
    if (record == copyingSong_) return;
    Record old = copyingSong_;
    copyingSong_ = record;
    updateStatus();
    redrawRecordRow(record);
    redrawRecordRow(old);
}

void Controller::setMovingSong(const Record& record) {
    if (record == movingSong_) return;
    movingSong_ = record;
    updateStatus();
}

void Controller::setDeletingSong(Song* song) {
    deletingSong_ = song;
    updateStatus();
}

// ---- status ----

void Controller::updateStatus() {
    StatusView v;
    QString activityTitle, activityDetail;
    bool converting = bool(convertingSong_);
    std::size_t todo, copies, moves, deletions;
    {
        std::lock_guard lock(work_.todoLock);
        todo = work_.todoList.size();
        copies = work_.toCopyList.size();
        moves = work_.toMoveList.size();
        deletions = work_.toDeleteList.size();
    }
    if (converting) {
        v.status = todo ? QStringLiteral("Converting %1 songs").arg(todo + 1) + kEllipsis : QStringLiteral("Converting 1 song") + kEllipsis;
    }
    // The copier takes a copy or move out of its list only once it is done,
    // while deletions and conversions leave theirs first: hence the counts.
    if (updateDue_) {
        activityTitle = QStringLiteral("Refreshing") + kEllipsis;
        v.activity = true;
    } else if (copyingSong_) {
        activityTitle = (copies > 1 ? QStringLiteral("Copying %1 songs").arg(copies) : QStringLiteral("Copying 1 song")) + kEllipsis;
        activityDetail = copyingSong_->song ? copyingSong_->song->name() : QString();
        v.activity = true;
    } else if (movingSong_) {
        activityTitle = (moves > 1 ? QStringLiteral("Moving %1 songs").arg(moves) : QStringLiteral("Moving 1 song")) + kEllipsis;
        activityDetail = movingSong_->song ? movingSong_->song->name() : QString();
        v.activity = true;
    } else if (deletingSong_) {
        activityTitle = (deletions ? QStringLiteral("Removing %1 songs").arg(deletions + 1) : QStringLiteral("Removing 1 song")) + kEllipsis;
        activityDetail = deletingSong_->name();
        v.activity = true;
    } else {
        v.activity = converting;
    }
    if (converting) {
        v.status2 = activityTitle;
        v.substatus2 = activityDetail;
    } else {
        v.status = activityTitle;
        v.substatus = activityDetail;
    }

    if (!mounted_) {
        v.freeSpace = QStringLiteral("Not mounted");
        v.barDeterminate = true;
        v.barMaximum = 1.0;
        v.barValue = 0.0;
        v.ejectEnabled = false;
    } else {
        if (std::optional<Volumes::VolumeSizes> sizes = Volumes::volumeSizes(pathToPlayer())) lastSizes_ = sizes;
        // Some drivers never tell the sizes (FUSE FAT reports 0); without one
        // good reading the room is unknown, not zero.
        Volumes::VolumeSizes sizes = lastSizes_.value_or(Volumes::VolumeSizes{});
        std::lock_guard lock(work_.todoLock);
        quint64 toCopy = work_.toCopyList.totalWeight();
        quint64 room = sizes.freeBytes + work_.toDeleteList.totalWeight();
        if (!lastSizes_) {
            v.freeSpace = QString();
            v.barDeterminate = true;
            v.barMaximum = 1.0;
            v.barValue = 0.0;
        } else if (toCopy <= room) {
            v.freeSpace = QStringLiteral("%1 MB available").arg(megabytes(room - toCopy));
            v.barDeterminate = true;
            v.barMaximum = double(sizes.totalBytes);
            v.barValue = double(sizes.totalBytes) - double(room - toCopy);
        } else {
            v.freeSpace = QStringLiteral("%1 MB over").arg(megabytes(toCopy - room));
            v.barDeterminate = false;
        }
        v.ejectEnabled = work_.toMoveList.empty() && work_.toCopyList.empty() && work_.toDeleteList.empty() && !updateDue_;
    }
    v.playerName = driveNameFromPath(pathToPlayer());
    if (converting) v.substatus = status_.substatus;
    status_ = v;
    if (converting) updateProgress();
    ui_.statusChanged();
}

std::optional<int> Controller::conversionPercent() const {
    if (!convertingSong_) return std::nullopt;
    qint64 size = qint64(std::int32_t(fsys::size(convertingPath_).value_or(0)));
    auto expected = qint64(convertingSong_->song->copiedSize());
    if (expected <= 0) return 0;
    qint64 n = std::min(std::max<qint64>(size, 0), expected);
    return int(100 * n / expected);
}

void Controller::updateProgress() {
    std::optional<int> percent = conversionPercent();
    if (!percent) return;
    QString text = QStringLiteral("%1 (%2%)").arg(convertingSong_->song->name()).arg(*percent);
    if (text == status_.substatus) return;
    status_.substatus = text;
    ui_.progressChanged();
}
