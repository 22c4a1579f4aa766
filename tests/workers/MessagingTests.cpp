// The conversation between the controller and its workers: what each side
// sends, in which order, on which thread, and what the controller redraws.

#include "app/Controller.h"
#include "library/Song.h"
#include "platform/FileSystem.h"
#include "support/SyncFixture.h"
#include "support/WorkerPort.h"

#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

namespace {

// The calls that change something: queries, status refreshes and clearings
// of an empty item left out.
QStringList changes(const QStringList& calls) {
    QStringList out;
    for (const QString& c : calls)
        if (!c.endsWith(u'?') && c != u"status" && !c.endsWith(QStringLiteral(" -"))) out.append(c);
    return out;
}

class Messaging : public ::testing::Test {
protected:
    Song* song(int id) { return f.song(id); }

    SyncFixture f;
    RecordingPort port;
};

TEST_F(Messaging, WorkerCallsRunOnTheMainThreadInOrderAndNeverUnderTheLock) {
    WorkerOnThread<Copier> copier(port, f.lib.defaults);
    WorkerOnThread<Convertor> convertor(port, f.lib.defaults);
    ASSERT_TRUE(waitUntil([&] { return port.copier && port.convertor; }));
    // Passes over empty lists change nothing but their busy flags.
    ASSERT_TRUE(port.pass(copier.worker, QStringLiteral("copier busy 0")));
    EXPECT_EQ(changes(port.calls), (QStringList{"copier busy 1", "copier busy 0"})) << port.calls.join(u',').toStdString();
    EXPECT_EQ(port.calls.first(), "copier busy 1");
    ASSERT_TRUE(port.pass(convertor.worker, QStringLiteral("convertor busy 0")));
    EXPECT_EQ(port.calls, (QStringList{"convertor busy 1", "converting -", "convertor busy 0"}));

    for (const char* rel : {"A/X/03 Three.mp3", "old.mp3", "late.mp3", "notes.txt"}) f.put(QLatin1String(rel));
    port.add(&WorkLists::toDeleteList, {WorkRecord::remove(f.at(QStringLiteral("A/X/03 Three.mp3")), song(f.three)),
                                   WorkRecord::remove(f.at(QStringLiteral("notes.txt")))});
    port.add(&WorkLists::toMoveList, {WorkRecord::move(song(f.two), f.at(QStringLiteral("old.mp3")), f.at(QStringLiteral("Mix/01 Two.mp3")))});
    port.add(&WorkLists::toCopyList, {WorkRecord::copy(song(f.one), song(f.one)->copyFromPath(), f.at(QStringLiteral("1.mp3"))),
                                 WorkRecord::copy(song(f.two), song(f.two)->copyFromPath(), f.at(QStringLiteral("2.mp3")))});
    // A deletion that comes in while the first file is copied.
    port.after = [&](const QString& call) {
        if (call == u"copying 1.mp3") port.add(&WorkLists::toDeleteList, {WorkRecord::remove(f.at(QStringLiteral("late.mp3")), song(f.one))});
    };
    ASSERT_TRUE(port.pass(copier.worker, QStringLiteral("copier busy 0")));
    port.after = nullptr;
    EXPECT_EQ(changes(port.calls), (QStringList{"copier busy 1",
                                           "deleting Three", "write",  // forgotten and saved once the file is gone
                                           "write",                    // a file without song leaves the deleting item alone
                                           "moving 01 Two.mp3", "write",
                                           "copying 1.mp3", "write",
                                           "deleting One", "write",    // served before the next copy
                                           "copying 2.mp3", "write",
                                           "copier busy 0"}))
        << port.calls.join(u", ").toStdString();
    EXPECT_EQ(treeOf(f.player), (QStringList{"1.mp3", "2.mp3", "Mix/", "Mix/01 Two.mp3"}));

    // A conversion of a file that is no audio fails, still with every call
    // on the main thread.
    port.add(&WorkLists::todoList, {WorkRecord::conversion(song(f.four), f.at(QStringLiteral("B/Y/01 Four.mp3")))});
    ASSERT_TRUE(port.pass(convertor.worker, QStringLiteral("convertor busy 0")));
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
    Record copy(int id, const char* rel) { return WorkRecord::copy(song(id), song(id)->copyFromPath(), f.at(QLatin1String(rel))); }

    SyncFixture f;
    ScriptedUi& ui = f.lib.ui;
    std::unique_ptr<Controller> c;
    const SYWanted* album = nullptr;
};

TEST_F(ControllerSide, RunCopierBeforeTheCopierRegistersOnlyRaisesTheFlags) {
    auto fresh = f.controller();
    Record record = copy(f.one, "1.mp3");
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
}

TEST_F(ControllerSide, ShutdownServesWorkersWaitingForTheMainThread) {
    auto fresh = f.controller();
    fresh->startWorkers();
    QThread::msleep(200);  // both registration calls now wait, unserved
    QElapsedTimer shutdown;
    shutdown.start();
    fresh.reset();
    EXPECT_LT(shutdown.elapsed(), 10000);
}

TEST_F(ControllerSide, CurrentItemsRedrawTheirRowsOnlyWhenTheyChangeAndNeverOnceRemoved) {
    Record copying = copy(f.one, "A/X/01 One.mp3");
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

    // A removed item is never redrawn.
    c->setCopyingSong(copying);
    c->removeItem(album);  // the next pass is due in 0.1 s; the copier goes on meanwhile
    ui.reloadedItems.clear();
    c->setCopyingSong(nullptr);
    c->setConvertingSong(WorkRecord::conversion(song(f.one), copying->to), QString());
    for (const SYWanted* item : ui.reloadedItems)
        EXPECT_TRUE(std::ranges::any_of(c->wantedStuff(), [&](const auto& w) { return w.get() == item; })) << "a deleted item was handed to the list";
}

}  // namespace
