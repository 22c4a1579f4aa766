// The conversation between the controller and its workers: what each side
// sends, in which order, on which thread, and what the controller redraws.

#include "app/Controller.h"
#include "library/PathUtils.h"
#include "library/Song.h"
#include "platform/FileSystem.h"
#include "workers/Convertor.h"
#include "workers/Copier.h"
#include "support/SyncFixture.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>

#include <gtest/gtest.h>

namespace {

// A controller stand-in that notes every worker call, where it ran and
// whether todoLock was free, and hands the worker its own lists.
class RecordingPort : public QObject, public ControllerPort {
public:
    WorkLists work;
    QStringList calls;
    int offMainThread = 0, underLock = 0;
    bool copyFlag = false, moveFlag = false;
    Copier* copier = nullptr;
    Convertor* convertor = nullptr;
    std::function<void(const QString&)> after;  // runs after each noted call

    void setConvertor(Convertor* c) override {
        note(QStringLiteral("register convertor"));
        convertor = c;
        c->setList(work.todoList, work.toCacheList, work.todoLock);
    }
    void setCopier(Copier* c) override {
        note(QStringLiteral("register copier"));
        copier = c;
        c->setList(work.toCopyList, work.toMoveList, work.toDeleteList, work.previousFiles, work.todoLock);
    }
    void setConvertorBusy(bool busy) override { note(QStringLiteral("convertor busy %1").arg(busy)); }
    void setCopierBusy(bool busy) override { note(QStringLiteral("copier busy %1").arg(busy)); }
    void setConvertingSong(const Record& r, const QString&) override { note(QStringLiteral("converting ") + describe(r)); }
    void setCopyingSong(const Record& r) override { note(QStringLiteral("copying ") + describe(r)); }
    void setMovingSong(const Record& r) override { note(QStringLiteral("moving ") + describe(r)); }
    void setDeletingSong(Song* s) override { note(QStringLiteral("deleting ") + (s ? s->name() : QStringLiteral("-"))); }
    void runCopier() override { note(QStringLiteral("runCopier")); }
    bool copyListUpdated() override {
        note(QStringLiteral("copyListUpdated?"));
        return std::exchange(copyFlag, false);
    }
    bool moveListUpdated() override {
        note(QStringLiteral("moveListUpdated?"));
        return std::exchange(moveFlag, false);
    }
    void writePreviousFiles() override { note(QStringLiteral("write")); }
    void updateStatus() override { note(QStringLiteral("status")); }

    QString describe(const Record& r) const {
        if (!r) return QStringLiteral("-");
        return QFileInfo(r->to.isEmpty() ? r->from : r->to).fileName();
    }
    // The calls that change something: queries, status refreshes and
    // clearings of an empty item left out.
    QStringList changes() const {
        QStringList out;
        for (const QString& c : calls)
            if (!c.endsWith(u'?') && c != u"status" && !c.endsWith(QStringLiteral(" -"))) out.append(c);
        return out;
    }

private:
    void note(const QString& call) {
        if (QThread::currentThread() != QCoreApplication::instance()->thread()) ++offMainThread;
        // A worker blocked in this call while holding the lock would keep it held.
        if (work.todoLock.try_lock()) work.todoLock.unlock();
        else ++underLock;
        calls.append(call);
        if (after) after(call);
    }
};

template <typename W>
class WorkerOnThread {
public:
    WorkerOnThread(RecordingPort& port, const Defaults& defaults) : worker(port, port, defaults) {
        worker.moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, &worker, &Worker::start);
        thread.start();
    }
    ~WorkerOnThread() {
        worker.requestStop();
        thread.quit();
        while (!thread.wait(10)) QCoreApplication::processEvents();
    }
    W worker;
    QThread thread;
};

class Messaging : public ::testing::Test {
protected:
    Song* song(int id) { return f.song(id); }
    void passOf(Worker& w, const char* busyNo) {
        port.calls.clear();
        w.run();
        ASSERT_TRUE(waitUntil([&] { return port.calls.contains(QLatin1String(busyNo)); }));
        QCoreApplication::processEvents();  // the calls that follow busy NO
    }
    void add(RecordList WorkLists::*list, std::initializer_list<Record> records) {
        std::lock_guard lock(port.work.todoLock);
        for (const Record& r : records) (port.work.*list).append(r);
    }

    SyncFixture f;
    RecordingPort port;
};

TEST_F(Messaging, PassesOverEmptyListsChangeNothingButTheirBusyFlags) {
    WorkerOnThread<Copier> copier(port, f.lib.defaults);
    WorkerOnThread<Convertor> convertor(port, f.lib.defaults);
    ASSERT_TRUE(waitUntil([&] { return port.copier && port.convertor; }));

    passOf(copier.worker, "copier busy 0");
    EXPECT_EQ(port.changes(), (QStringList{"copier busy 1", "copier busy 0"})) << port.calls.join(u',').toStdString();
    EXPECT_EQ(port.calls.first(), "copier busy 1");

    passOf(convertor.worker, "convertor busy 0");
    EXPECT_EQ(port.calls, (QStringList{"convertor busy 1", "converting -", "convertor busy 0"}));
}

TEST_F(Messaging, WorkerCallsRunOnTheMainThreadInOrderAndNeverUnderTheLock) {
    WorkerOnThread<Copier> copier(port, f.lib.defaults);
    WorkerOnThread<Convertor> convertor(port, f.lib.defaults);
    ASSERT_TRUE(waitUntil([&] { return port.copier && port.convertor; }));
    f.put(QStringLiteral("A/X/03 Three.mp3"));
    f.put(QStringLiteral("old.mp3"));
    f.put(QStringLiteral("late.mp3"));
    f.put(QStringLiteral("notes.txt"));
    add(&WorkLists::toDeleteList, {WorkRecord::remove(f.at(QStringLiteral("A/X/03 Three.mp3")), song(f.three)),
                                   WorkRecord::remove(f.at(QStringLiteral("notes.txt")))});
    add(&WorkLists::toMoveList, {WorkRecord::move(song(f.two), f.at(QStringLiteral("old.mp3")), f.at(QStringLiteral("Mix/01 Two.mp3")))});
    Record first = WorkRecord::copy(song(f.one), song(f.one)->copyFromPath(), f.at(QStringLiteral("1.mp3")));
    Record second = WorkRecord::copy(song(f.two), song(f.two)->copyFromPath(), f.at(QStringLiteral("2.mp3")));
    add(&WorkLists::toCopyList, {first, second});
    // A deletion that comes in while the first file is copied.
    port.after = [&](const QString& call) {
        if (call == u"copying 1.mp3") add(&WorkLists::toDeleteList, {WorkRecord::remove(f.at(QStringLiteral("late.mp3")), song(f.one))});
    };
    passOf(copier.worker, "copier busy 0");
    port.after = nullptr;
    EXPECT_EQ(port.changes(), (QStringList{"copier busy 1",
                                           "write", "deleting Three",  // forgotten and saved before the file goes
                                           "write",                    // a file without song leaves the deleting item alone
                                           "moving 01 Two.mp3", "write",
                                           "copying 1.mp3", "write",
                                           "write", "deleting One",    // served before the next copy
                                           "copying 2.mp3", "write",
                                           "copier busy 0"}))
        << port.calls.join(u", ").toStdString();
    EXPECT_EQ(treeOf(f.player), (QStringList{"1.mp3", "2.mp3", "Mix/", "Mix/01 Two.mp3"}));

    // A conversion of a file that is no audio fails, still with every call
    // on the main thread.
    add(&WorkLists::todoList, {WorkRecord::conversion(song(f.four), f.at(QStringLiteral("B/Y/01 Four.mp3")))});
    passOf(convertor.worker, "convertor busy 0");
    EXPECT_EQ(port.calls.first(), "convertor busy 1");
    EXPECT_EQ(port.offMainThread, 0);
    EXPECT_EQ(port.underLock, 0);
}

// ---- the controller's side ----

class ControllerSide : public ::testing::Test {
protected:
    void SetUp() override {
        c = f.controller();
        c->setCopierBusy(false);
        c->addSongs({song(f.one), song(f.two)});
        ASSERT_TRUE(waitUntil([&] { return !c->updateDue(); }));
        album = c->wantedByLayout().value(f.at(QStringLiteral("A/X/01 One.mp3")));
        ASSERT_TRUE(album);
        ui.reloadedItems.clear();
    }
    Song* song(int id) { return c->library().songWithTrackId(id); }

    SyncFixture f;
    ScriptedUi& ui = f.lib.ui;
    std::unique_ptr<Controller> c;
    const SYWanted* album = nullptr;
};

TEST_F(ControllerSide, RunCopierBeforeTheCopierRegistersOnlyRaisesTheFlags) {
    auto fresh = f.controller();
    Record record = WorkRecord::copy(song(f.one), song(f.one)->copyFromPath(), f.at(QStringLiteral("1.mp3")));
    fresh->startWorkers();
    {
        std::lock_guard lock(fresh->work().todoLock);
        fresh->work().toCopyList.append(record);
    }
    fresh->runCopier();  // before the registration call could be served
    EXPECT_TRUE(fresh->copyListUpdated());
    EXPECT_FALSE(fresh->copyListUpdated()) << "answered once";
    EXPECT_TRUE(fresh->moveListUpdated());
    EXPECT_FALSE(fresh->moveListUpdated());
    ASSERT_TRUE(waitUntil([&] { return !fresh->copierBusy() && fresh->idle(); }));
    waitUntil([] { return false; }, 300);
    EXPECT_FALSE(fsys::exists(record->to)) << "registration starts no pass";
    fresh->runCopier();
    EXPECT_TRUE(waitUntil([&] { return fsys::exists(record->to) && fresh->idle(); }));
    fresh->stopWorkers();
}

TEST_F(ControllerSide, CurrentItemsRedrawTheirRowsOnlyWhenTheyChange) {
    Record copying = WorkRecord::copy(song(f.one), song(f.one)->copyFromPath(), f.at(QStringLiteral("A/X/01 One.mp3")));
    int status = ui.statusChanges;
    c->setCopyingSong(copying);
    EXPECT_EQ(ui.reloadedItems, std::vector<const SYWanted*>{album});
    EXPECT_EQ(ui.statusChanges, status + 1);
    c->setCopyingSong(copying);
    EXPECT_EQ(ui.reloadedItems.size(), 1u) << "the current record again redraws nothing";
    EXPECT_EQ(ui.statusChanges, status + 1) << "and refreshes nothing";
    c->setCopyingSong(nullptr);
    EXPECT_EQ(ui.reloadedItems.size(), 2u) << "the old record's row";

    // Deleting: the status follows every call, the same song too.
    c->setDeletingSong(song(f.two));
    c->setDeletingSong(song(f.two));
    EXPECT_EQ(ui.statusChanges, status + 4);

    // Conversions: a record without a planned path has no row.
    ui.reloadedItems.clear();
    c->setConvertingSong(WorkRecord::conversion(song(f.four)), f.lib.folder() + QStringLiteral("/temp"));
    c->setConvertingSong(nullptr, QString());
    EXPECT_TRUE(ui.reloadedItems.empty());
    c->setConvertingSong(WorkRecord::conversion(song(f.two), f.at(QStringLiteral("A/X/02 Two.mp3"))), QString());
    EXPECT_EQ(ui.reloadedItems, std::vector<const SYWanted*>{album});
    c->setConvertingSong(nullptr, QString());
}

TEST_F(ControllerSide, ARemovedItemIsNeverRedrawn) {
    Record copying = WorkRecord::copy(song(f.one), song(f.one)->copyFromPath(), f.at(QStringLiteral("A/X/01 One.mp3")));
    c->setCopyingSong(copying);
    c->removeItem(album);  // the next pass is due in 0.1 s; the copier goes on meanwhile
    ui.reloadedItems.clear();
    c->setCopyingSong(nullptr);
    c->setConvertingSong(WorkRecord::conversion(song(f.one), copying->to), QString());
    for (const SYWanted* item : ui.reloadedItems) {
        bool alive = std::any_of(c->wantedStuff().begin(), c->wantedStuff().end(), [&](const auto& w) { return w.get() == item; });
        EXPECT_TRUE(alive) << "a deleted item was handed to the list";
    }
}

}  // namespace
