// Planning passes, the workers' messages and the status.

#include "Controller.h"

#include "RecordSaver.h"
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
    if (!volume_.mounted()) return;
    // A sort or an eject is moving the player's files about; it plans anew
    // when it ends.
    if (volume_.busy()) return;

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
        if (!storedStateDamaged_)
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
    if (!busy) recordSaver_->saveIfRequested();
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

void Controller::workDone(const Record& record) {
    if (!record) return;
    switch (record->kind) {
    case WorkRecord::Kind::Conversion: ++done_.converted; break;
    case WorkRecord::Kind::Copy: ++done_.copied; break;
    case WorkRecord::Kind::Move: ++done_.moved; break;
    case WorkRecord::Kind::Delete: ++done_.removed; break;
    }
    failures_.remove(record->kind == WorkRecord::Kind::Copy ? record->to : record->from);
}

void Controller::fileFailed(const QString& path, const QString& reason) {
    // Each planning pass tries again; say so once per file and reason.
    auto it = failures_.find(path);
    if (it != failures_.end() && *it == reason) return;
    failures_.insert(path, reason);
    ui_.warning(reason.contains(path) ? reason : path + QStringLiteral(": ") + reason);
}

void Controller::playerGone() {
    ui_.warning(QStringLiteral("The player %1 went away during the sync; nothing more was written to it.").arg(driveNameFromPath(pathToPlayer())));
    checkMounted();
    updateStatus();
    updatePlayer();
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
    StatusInputs in;
    in.playerName = driveNameFromPath(pathToPlayer());
    in.mounted = volume_.mounted();
    in.updateDue = updateDue_;
    switch (volume_.job()) {
    case PlayerVolume::Job::None: break;
    case PlayerVolume::Job::Sorting: in.volumeJob = QStringLiteral("Sorting files") + QChar(0x2026); break;
    case PlayerVolume::Job::Ejecting: in.volumeJob = QStringLiteral("Ejecting") + QChar(0x2026); break;
    }
    auto nameOf = [](const Record& r) -> std::optional<QString> {
        if (!r) return std::nullopt;
        return r->song ? r->song->name() : QString();
    };
    in.converting = nameOf(convertingSong_);
    in.copying = nameOf(copyingSong_);
    in.moving = nameOf(movingSong_);
    if (deletingSong_) in.deleting = deletingSong_->name();
    in.conversionProgress = conversionProgress_;
    // Reading the sizes asks the file system; a busy volume is left alone.
    if (in.mounted && !volume_.busy())
        if (std::optional<Volumes::VolumeSizes> sizes = Volumes::volumeSizes(pathToPlayer())) lastSizes_ = sizes;
    in.sizes = lastSizes_;
    {
        std::lock_guard lock(work_.todoLock);
        in.conversions = work_.todoList.size();
        in.copies = work_.toCopyList.size();
        in.moves = work_.toMoveList.size();
        in.deletions = work_.toDeleteList.size();
        in.bytesToCopy = work_.toCopyList.totalWeight();
        in.bytesFreed = work_.toDeleteList.totalWeight();
    }
    status_ = computeStatus(in);
    if (convertingSong_) updateProgress();
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
    if (!percent) {
        conversionProgress_.clear();
        return;
    }
    QString text = QStringLiteral("%1 (%2%)").arg(convertingSong_->song->name()).arg(*percent);
    if (text == conversionProgress_) return;
    conversionProgress_ = text;
    status_.substatus = text;
    ui_.progressChanged();
}
