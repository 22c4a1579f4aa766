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
#include "workers/RecordList.h"

#include <QElapsedTimer>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <array>
#include <atomic>
#include <future>
#include <utility>

// ---- planning ----
//
// A pass runs in three places, so that the main thread is never held long:
//   main thread   updatePlayer(): empties the lists, starts the pass thread,
//                 then takes the wanted items (layouts, order keys) a slice of
//                 a few milliseconds at a time, the window live in between
//   pass thread   meanwhile lists the player folder; once the items are in,
//                 plans, size reads included (reads only songs and the disk)
//   main thread   passEnded(): applies the result, unless something it
//                 depended on changed since it began (planGeneration_): then
//                 it is dropped and the pass begins anew.
// Only one pass is under way; one that is dropped is cancelled and ends
// quickly. All state below is the main thread's but for what the pass thread
// fills in (the result), handed over by the queued call that ends it.

namespace {
constexpr int kDeferMs = 100;
constexpr int kSliceMs = 8;
}  // namespace

// The four lists of a plan, built before they are swapped in whole.
struct Controller::PlannedLists {
    RecordList todo, copies, moves, deletions;

    explicit PlannedLists(const Planner::Result& plan) {
        for (const auto& w : plan.conversions) todo.append(w.record);
        for (const auto& w : plan.copies) copies.append(w.record, w.weight);
        for (const auto& w : plan.moves) moves.append(w.record);
        for (const auto& w : plan.deletions) deletions.append(w.record, w.weight);
    }
};

struct Controller::PlanningPass {
    quint64 generation = 0;  // planGeneration_ when it began
    std::atomic<bool> cancelled{false};
    std::vector<Planner::Item> items;  // being taken, main thread
    std::size_t nextItem = 0;
    std::promise<std::vector<Planner::Item>> itemsTaken;  // the pass thread waits for them
    std::future<std::vector<Planner::Item>> itemsArrived = itemsTaken.get_future();
    bool itemsSent = false;
    // The pass thread's, until it ends.
    Planner::Result result;
    std::optional<PlannedLists> lists;

    // Main thread: the pass thread stops soon, and nothing of it lands.
    void cancel() {
        cancelled = true;
        if (itemsSent) return;
        itemsSent = true;
        itemsTaken.set_value({});
    }
};

struct Controller::PassThread {
    QThreadPool pool;
    std::shared_ptr<PlanningPass> current;  // the pass under way

    PassThread() { pool.setMaxThreadCount(1); }
    ~PassThread() {
        if (current) current->cancel();
        pool.waitForDone();
    }

    // Frees a large value here rather than on the main thread.
    template <typename T>
    void discard(T value) {
        auto held = std::make_shared<T>(std::move(value));
        pool.start([held = std::move(held)]() mutable { held.reset(); });
    }
};

void Controller::requestUpdate() {
    ++planGeneration_;
    if (updateDue_) return;
    if (!updateTimer_) {
        updateTimer_ = new QTimer(this);
        updateTimer_->setSingleShot(true);
        updateTimer_->setInterval(kDeferMs);
        connect(updateTimer_, &QTimer::timeout, this, [this] {
            updateDue_ = false;
            updatePlayer();
        });
    }
    updateDue_ = true;
    updateTimer_->start();
}

void Controller::updatePlayer() {
    if (updateTimer_ && updateTimer_->isActive()) return;
    ++planGeneration_;
    if (passThread_ && passThread_->current) return;  // planned anew when it ends
    if (beginPass()) startPass();
    // No player to plan for: the empty lists are the plan, and whoever waits
    // for one (the window, to show itself) must hear of it.
    else if (!updateDue_ && !volume_.mounted()) Q_EMIT planned();
}

bool Controller::planNow() {
    dropPass();
    ++planGeneration_;
    if (!beginPass()) return false;
    Planner::Input input{pathToPlayer(), {}, convertingSong_ ? convertingSong_->song : nullptr};
    {
        std::lock_guard lock(work_.todoLock);
        input.previousFiles = work_.previousFiles;
    }
    Planner::Result plan = Planner::plan(input, selection_->wantedStuff(), *library_);
    applyPlan(plan, nullptr);
    Q_EMIT planned();
    return true;
}

// The start of every pass: the lists are emptied at once. A busy copier is
// told, and the pass waits until it has ended its file. Answers whether to
// plan.
bool Controller::beginPass() {
    if (!passThread_) passThread_ = {new PassThread, [](PassThread* thread) { delete thread; }};
    std::array<RecordList, 4> emptied;  // tens of thousands of records take a while to free
    {
        std::lock_guard lock(work_.todoLock);
        std::swap(emptied[0], work_.toCopyList);
        std::swap(emptied[1], work_.toMoveList);
        std::swap(emptied[2], work_.toDeleteList);
        std::swap(emptied[3], work_.todoList);
    }
    passThread_->discard(std::move(emptied));
    if (copierBusy_) {
        runCopier();
        requestUpdate();
        return false;
    }
    // A sort or an eject is moving the player's files about; it plans anew
    // when it ends.
    return volume_.mounted() && !volume_.busy();
}

void Controller::startPass() {
    if (!itemsTimer_) {
        itemsTimer_ = new QTimer(this);
        itemsTimer_->setSingleShot(true);
        itemsTimer_->setInterval(0);
        connect(itemsTimer_, &QTimer::timeout, this, &Controller::takeItems);
    }
    auto pass = std::make_shared<PlanningPass>();
    pass->generation = planGeneration_;
    passThread_->current = pass;
    updateDue_ = true;
    Planner::Input input{pathToPlayer(), {}, convertingSong_ ? convertingSong_->song : nullptr};
    {
        std::lock_guard lock(work_.todoLock);
        input.previousFiles = work_.previousFiles;
    }
    const Library& library = *library_;
    passThread_->pool.start([this, pass, input = std::move(input), &library] {
        Planner planner(input, library, &pass->cancelled);
        planner.scan();
        std::vector<Planner::Item> items = pass->itemsArrived.get();
        if (pass->cancelled) return;
        pass->result = planner.plan(std::move(items));
        if (pass->cancelled) return;
        pass->lists.emplace(pass->result);
        QMetaObject::invokeMethod(this, [this, pass] { passEnded(pass); }, Qt::QueuedConnection);
    });
    itemsTimer_->start();
}

// One slice of the items, on the main thread.
void Controller::takeItems() {
    const std::shared_ptr<PlanningPass> pass = passThread_ ? passThread_->current : nullptr;
    if (!pass || pass->itemsSent) return;
    if (pass->generation != planGeneration_) return replan();
    QElapsedTimer slice;
    slice.start();
    const auto& stuff = selection_->wantedStuff();
    while (pass->nextItem < stuff.size()) {
        pass->items.push_back(Planner::itemOf(*stuff[pass->nextItem++]));
        if (pass->nextItem < stuff.size() && slice.elapsed() >= kSliceMs) {
            itemsTimer_->start();
            return;
        }
    }
    pass->itemsSent = true;
    pass->itemsTaken.set_value(std::move(pass->items));
}

void Controller::passEnded(const std::shared_ptr<PlanningPass>& pass) {
    if (!passThread_ || passThread_->current != pass) return;  // dropped already
    if (pass->generation != planGeneration_) return replan();
    passThread_->current.reset();
    applyPlan(pass->result, &*pass->lists);
    Q_EMIT planned();
}

// The pass under way plans for what has changed since: it is dropped and
// begins anew.
void Controller::replan() {
    dropPass();
    updatePlayer();
}

void Controller::dropPass() {
    if (updateTimer_) updateTimer_->stop();
    if (passThread_ && passThread_->current) {
        passThread_->current->cancel();
        passThread_->current.reset();
    }
    updateDue_ = false;
}

// `lists`, when given, were built from the plan off the main thread.
void Controller::applyPlan(Planner::Result& plan, PlannedLists* lists) {
    updateDue_ = false;
    ui_.aboutToReload();  // other files come and go in the wanted tree
    Planner::applyOtherFiles(plan, selection_->wantedStuff());
    passThread_->discard(std::exchange(wantedByLayout_, std::move(plan.wantedByLayout)));
    QHash<QString, Song*> oldRecord;
    {
        std::lock_guard lock(work_.todoLock);
        oldRecord = std::exchange(work_.previousFiles, std::move(plan.previousFiles));
        // The lists were emptied when the pass began; whatever came since
        // stays ahead of the plan.
        auto put = [](RecordList& list, RecordList* built, const std::vector<Planner::Weighted>& planned) {
            if (built && list.empty()) {
                std::swap(list, *built);
                return;
            }
            for (const auto& w : planned) list.append(w.record, w.weight);
        };
        put(work_.todoList, lists ? &lists->todo : nullptr, plan.conversions);
        put(work_.toCopyList, lists ? &lists->copies : nullptr, plan.copies);
        put(work_.toMoveList, lists ? &lists->moves : nullptr, plan.moves);
        // A damaged stored selection may have been read as far less than the
        // user chose: nothing is removed on its word.
        if (!storedStateDamaged_) put(work_.toDeleteList, lists ? &lists->deletions : nullptr, plan.deletions);
    }
    passThread_->discard(std::move(oldRecord));
    // Every pass gives them the same names: each is told once.
    const QString player = decomposed(pathToPlayer()) + u'/';
    for (const auto& [wanted, given] : plan.renamed) {
        if (toldPlaces_.contains(given)) continue;
        toldPlaces_.insert(given);
        ui_.notice(QStringLiteral("\"%1\" would stand at the same place on the player as another wanted file or folder; it goes to \"%2\".")
                       .arg(wanted.mid(wanted.startsWith(player) ? player.size() : 0), given.mid(given.startsWith(player) ? player.size() : 0)));
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

Controller::RowWork Controller::pendingFor(const Layout& layout) const {
    RowWork w;
    std::lock_guard lock(work_.todoLock);
    for (const auto& [path, song] : layout.entries()) {
        w.copies += std::size_t(work_.toCopyList.countTo(path));
        w.conversions += std::size_t(work_.todoList.countTo(path));
        if (convertingSong_ && convertingSong_->to == path) ++w.conversions;
    }
    return w;
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
    // The first pass of the start waited for the copier: it begins now, not
    // a gathering delay later (the window waits for it).
    if (updateTimer_ && updateTimer_->isActive()) {
        updateTimer_->stop();
        updateDue_ = false;
        updatePlayer();
    }
}

void Controller::setConvertorBusy(bool busy) {
    convertorBusy_ = busy;
    convertorQueued_ = false;
    if (!busy) Q_EMIT workerIdle();
}

void Controller::setCopierBusy(bool busy) {
    ++planGeneration_;  // the copier changes the record as it goes
    copierBusy_ = busy;
    copierQueued_ = false;
    if (!busy) recordSaver_->saveIfRequested();
    if (!busy) Q_EMIT workerIdle();
}

void Controller::runCopier() {
    std::unique_lock lock(work_.todoLock);
    if (!copierBusy_) {
        lock.unlock();
        // Its lists are empty until the pass under way lands, which starts it.
        if (passThread_ && passThread_->current) return;
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

void Controller::conversionFailed(const Record& record, const QString& reason) {
    ui_.warning(QStringLiteral("\"%1\" could not be converted (%2); it stays off the player until its file %3 changes.")
                    .arg(record->song->name(), reason, record->song->originalPath()));
    // Its copies wait for nothing now: a new plan leaves them out.
    requestUpdate();
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
    ui_.redrawItem(item);
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
