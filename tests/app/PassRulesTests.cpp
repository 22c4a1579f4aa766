// When a planning pass runs and what it leaves in the shared lists, through
// a controller whose copier is simulated by its busy messages.

#include "app/Controller.h"
#include "library/LibraryLoader.h"
#include "library/Song.h"
#include "support/QtPrinters.h"
#include "support/SyncFixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

namespace {

class PassRules : public ::testing::Test {
protected:
    void SetUp() override {
        c = f.controller();
        ASSERT_TRUE(c->mounted());
        c->setCopierBusy(false);  // an idle copier that has not registered: runCopier sends nothing
        c->addSongs({song(f.one), song(f.two), song(f.three)});
        ASSERT_TRUE(waitUntil([&] { return !c->updateDue(); }));
        ASSERT_EQ(sizes(), (Sizes{3, 0, 0, 0, 0}));
        ASSERT_EQ(c->bytesToCopy(), 3000u) << "the sum of the copied sizes";
    }
    Song* song(int id) { return c->library().songWithTrackId(id); }
    Record sentinel() { return WorkRecord::copy(song(f.one), QStringLiteral("/nowhere"), f.at(QStringLiteral("sentinel"))); }
    void putSentinels() {
        std::lock_guard lock(c->work().todoLock);
        c->work().toCopyList.append(sentinel(), 7);
        c->work().toMoveList.append(sentinel());
        c->work().toDeleteList.append(WorkRecord::remove(f.at(QStringLiteral("x"))));
        c->work().todoList.append(WorkRecord::conversion(song(f.four)));
        c->work().toCacheList.append(WorkRecord::conversion(song(f.four)));
    }
    // Copies, moves, deletions, conversions and conversions ahead of time.
    using Sizes = std::array<std::size_t, 5>;
    Sizes sizes() {
        std::lock_guard lock(c->work().todoLock);
        WorkLists& w = c->work();
        return {w.toCopyList.size(), w.toMoveList.size(), w.toDeleteList.size(), w.todoList.size(), w.toCacheList.size()};
    }

    SyncFixture f;
    std::unique_ptr<Controller> c;
};

// A rewritten library brings a song new to it: the wanted playlist and the
// wanted album that hold it plan it.
TEST_F(PassRules, SongsNewToARewrittenLibraryAreLoadedAndPlanned) {
    c->addPlaylists({QStringLiteral("P1")});
    int five = f.lib.builder.addTrack({{"Name", "Five"}, {"Artist", "A"}, {"Album", "X"}, {"Track Number", 5}});
    f.lib.builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {five, f.two});
    c->libraryRewritten(readLibraryFile(f.lib.builder.write()));
    ASSERT_TRUE(waitUntil([&] { return !c->updateDue(); }));
    QStringList copies;
    for (const Record& r : c->pending().copies) copies.append(f.rel(r->to));
    EXPECT_EQ(copies, (QStringList{"A/X/01 One.mp3", "A/X/02 Two.mp3", "A/X/03 Three.mp3", "A/X/04 Five.mp3", "Mix/01 Five.mp3", "Mix/02 Two.mp3"}));
}

TEST_F(PassRules, NothingHappensWhileADeferredPassIsDueAndRequestsGatherIntoOne) {
    int passes = 0;
    QObject::connect(c.get(), &Controller::planned, [&] { ++passes; });
    for (int i = 0; i < 10; ++i) c->requestUpdate();
    putSentinels();
    int reloads = f.lib.ui.reloads;
    c->updatePlayer();
    EXPECT_EQ(sizes(), (Sizes{4, 1, 1, 1, 1})) << "the lists are left for the pending pass";
    EXPECT_EQ(f.lib.ui.reloads, reloads);
    ASSERT_TRUE(waitUntil([&] { return !c->updateDue(); }));
    EXPECT_EQ(sizes(), (Sizes{3, 0, 0, 0, 1})) << "the deferred pass replans; requests ahead of time stay";
    waitUntil([] { return false; }, 300);
    EXPECT_EQ(passes, 1) << "ten requests, one pass";
}

TEST_F(PassRules, AnEditWhileAPassIsUnderWayDropsItsResultAndPlansAnew) {
    c->updatePlayer();
    QCoreApplication::processEvents();  // the items are taken
    ASSERT_TRUE(c->updateDue()) << "under way";
    c->removeItem(c->wantedStuff().front().get());
    ASSERT_TRUE(waitUntil([&] { return !c->updateDue(); }));
    EXPECT_EQ(sizes(), (Sizes{0, 0, 0, 0, 0})) << "planned for the list as it is now";
}

TEST_F(PassRules, WithoutThePlayerThePassEmptiesTheListsAndLooksAtNothing) {
    {
        std::lock_guard lock(c->work().todoLock);
        c->work().previousFiles.insert(f.at(QStringLiteral("gone.mp3")), song(f.one));
    }
    c->setMounted(false);
    putSentinels();
    int reloads = f.lib.ui.reloads;
    auto layout = c->wantedByLayout();
    c->updatePlayer();
    EXPECT_EQ(sizes(), (Sizes{0, 0, 0, 0, 1}));
    EXPECT_EQ(c->bytesToCopy(), 0u);
    std::lock_guard lock(c->work().todoLock);
    EXPECT_TRUE(c->work().previousFiles.contains(f.at(QStringLiteral("gone.mp3")))) << "no scan: nothing is forgotten";
    EXPECT_EQ(f.lib.ui.reloads, reloads);
    EXPECT_EQ(c->wantedByLayout(), layout);
}

TEST_F(PassRules, ABusyCopierEmptiesTheListsAndThePassIsRetriedUntilItIsIdle) {
    c->setCopierBusy(true);
    (void)c->copyListUpdated();
    (void)c->moveListUpdated();
    putSentinels();
    c->updatePlayer();
    EXPECT_EQ(sizes(), (Sizes{0, 0, 0, 0, 1}));
    EXPECT_TRUE(c->updateDue());
    EXPECT_TRUE(c->copyListUpdated()) << "the busy copier is told its lists changed";
    EXPECT_TRUE(c->moveListUpdated());

    // Each retry empties the lists again and plans nothing.
    for (int i = 0; i < 3; ++i) {
        putSentinels();
        ASSERT_TRUE(waitUntil([&] { return sizes()[0] == 0; }, 1000)) << "retry " << i;
        EXPECT_TRUE(c->updateDue());
    }
    QElapsedTimer idleFor;
    idleFor.start();
    c->setCopierBusy(false);
    ASSERT_TRUE(waitUntil([&] { return !c->updateDue(); }, 1000));
    EXPECT_LT(idleFor.elapsed(), 400);
    EXPECT_EQ(sizes(), (Sizes{3, 0, 0, 0, 4})) << "planned once the copier is idle; requests ahead of time stay";
}

// Which mounts concern the player is a test on the text: a volume PLAYER
// counts for a player on "PLAYER 2", another does not, and without a player
// none does. Whether it is mounted then is the volume's own answer.
TEST(PlayerMounts, OnlyMountsThatConcernThePlayerCountAndAMissingVolumeIsNoPlayer) {
    SyncFixture f;
    auto c = f.controller();
    ASSERT_TRUE(c->mounted());
    ASSERT_TRUE(f.lib.defaults.set("pathToPlayer", QString(f.volume + QStringLiteral(" 2/Music")).toStdString()));
    EXPECT_TRUE(c->volume().concerns(f.volume));
    EXPECT_FALSE(c->volume().concerns(f.volume.chopped(6) + QStringLiteral("OTHER")));
    c->setMounted(false);
    c->diskMounted(f.volume);
    EXPECT_FALSE(c->mounted()) << "an empty or missing mount point is no player";
    ASSERT_TRUE(f.lib.defaults.remove("pathToPlayer"));
    EXPECT_FALSE(c->volume().concerns(f.volume));
}

}  // namespace
