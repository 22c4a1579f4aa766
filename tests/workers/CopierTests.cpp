// The copier changing a real player folder, driven through a started
// controller: deletions, moves and copies, the date rule, the folders it
// makes and removes, and the paths it refuses.

#include "app/Controller.h"
#include "library/PathUtils.h"
#include "library/Song.h"
#include "platform/FileSystem.h"
#include "workers/Copier.h"
#include "support/SyncFixture.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace {

// ---- the folder operations and the date rule, on their own ----

class CopierFolders : public ::testing::Test {
protected:
    QString volumes() const { return pathByRemovingLastComponent(f.volume) + u'/'; }
    SyncFixture f;
};

TEST_F(CopierFolders, FoldersAreMadeInsideAVolumeOnlyAndNeverTheVolumeItself) {
    struct Case {
        QString path;
        bool answer;
        QStringList made;  // below the volumes folder, after the call
    };
    const Case cases[] = {
        {f.player + QStringLiteral("/New/Album"), true, {"PLAYER/", "PLAYER/Music/", "PLAYER/Music/New/", "PLAYER/Music/New/Album/"}},
        {volumes() + QStringLiteral("GONE/Music/A"), false, {"PLAYER/", "PLAYER/Music/"}},
        {volumes() + QStringLiteral("GONE"), true, {"PLAYER/", "PLAYER/Music/"}},
        {volumes(), true, {"PLAYER/", "PLAYER/Music/"}},
    };
    for (const Case& c : cases) {
        QDir(f.player + QStringLiteral("/New")).removeRecursively();
        EXPECT_EQ(Copier::createDirectoryAtPath(c.path), c.answer) << c.path.toStdString();
        EXPECT_EQ(treeOf(volumes()), c.made) << c.path.toStdString();
    }
    // With the player folder itself gone, its folder is made again, not the volume.
    QDir(f.player).removeRecursively();
    EXPECT_TRUE(Copier::fileWillBeAddedTo(f.player + QStringLiteral("/A")));
    EXPECT_EQ(treeOf(volumes()), (QStringList{"PLAYER/", "PLAYER/Music/", "PLAYER/Music/A/"}));
}

TEST_F(CopierFolders, EmptyFoldersAreRemovedUpToThePlayerFolderAndNeverOutsideIt) {
    const QString outside = pathByRemovingLastComponent(f.volume);
    for (const char* folder : {"Music/Artist/Album", "Music/K/L", "Other/Empty", "MusicX/Empty"}) QDir().mkpath(f.volume + u'/' + QLatin1String(folder));
    QDir().mkpath(outside + QStringLiteral("/elsewhere/empty"));
    f.put(QStringLiteral("K/.hidden"), 1);

    for (const QString& folder : QStringList{f.player + QStringLiteral("/Artist/Album"), f.player + QStringLiteral("/K/L"), f.volume + QStringLiteral("/Other/Empty"),
                                  f.player + QStringLiteral("X/Empty"), f.player + QStringLiteral("/../Other/Empty"), outside + QStringLiteral("/elsewhere/empty"),
                                  f.player})
        EXPECT_TRUE(Copier::fileRemovedFrom(folder, f.player));
    EXPECT_EQ(treeOf(f.volume), (QStringList{"Music/", "Music/K/", "Music/K/.hidden", "MusicX/", "MusicX/Empty/", "Other/", "Other/Empty/"}));
    EXPECT_TRUE(QDir(outside + QStringLiteral("/elsewhere/empty")).exists());
}

TEST(CopierDates, AFileInPlaceHasTheSameSizeAndADateWithinFiveSecondsOrAnHourAndFive) {
    QTemporaryDir dir;
    const QString from = dir.path() + QStringLiteral("/from"), to = dir.path() + QStringLiteral("/to");
    const double t = 1.2e9;
    struct Case {
        double offset;  // the date of "to" minus that of "from"
        int extraBytes;
        bool same;
    } cases[] = {{0, 0, true},       {4.9, 0, true},     {-4.9, 0, true},    {5, 0, false},      {-5, 0, false},
                 {3600, 0, true},    {-3600, 0, true},   {3595, 0, false},   {3595.5, 0, true},  {-3604.5, 0, true},
                 {3605, 0, false},   {-3605, 0, false},  {1800, 0, false},   {0, 1, false},      {3600, 1, false}};
    for (const Case& c : cases) {
        ASSERT_TRUE(writeFile(from, QByteArray(100, 'a')));
        ASSERT_TRUE(writeFile(to, QByteArray(100 + c.extraBytes, 'b')));
        ASSERT_TRUE(setModificationTime(from, t));
        ASSERT_TRUE(setModificationTime(to, t + c.offset));
        EXPECT_EQ(Copier::sameFile(from, to), c.same) << "offset " << c.offset << ", extra bytes " << c.extraBytes;
    }
    EXPECT_FALSE(Copier::sameFile(from, dir.path() + QStringLiteral("/missing")));
}

// ---- passes of the real copier ----

class Copying : public ::testing::Test {
protected:
    void SetUp() override {
        c = f.controller();
        c->startWorkers();
        ASSERT_TRUE(waitUntil([&] { return !c->copierBusy() && c->idle(); })) << "the workers register";
        outside = pathByRemovingLastComponent(f.volume) + QStringLiteral("/outside.txt");
        ASSERT_TRUE(writeFile(outside, "keep"));
    }
    void TearDown() override { c->stopWorkers(); }

    Song* song(int id) { return c->library().songWithTrackId(id); }
    Record copy(int id, const QString& rel) { return WorkRecord::copy(song(id), song(id)->copyFromPath(), f.at(rel)); }
    void add(RecordList WorkLists::*list, std::initializer_list<Record> records) {
        std::lock_guard lock(c->work().todoLock);
        for (const Record& r : records) (c->work().*list).append(r);
    }
    void pass() {
        c->runCopier();
        ASSERT_TRUE(waitUntil([&] { return c->idle(); })) << "the pass ends";
    }
    std::size_t count(RecordList WorkLists::*list) {
        std::lock_guard lock(c->work().todoLock);
        return (c->work().*list).size();
    }
    QHash<QString, Song*> recorded() {
        std::lock_guard lock(c->work().todoLock);
        return c->work().previousFiles;
    }

    SyncFixture f;
    std::unique_ptr<Controller> c;
    QString outside;
};

TEST_F(Copying, AFileInTheWayStaysWhenInPlaceAndIsOtherwiseReplacedByALaterSnapshot) {
    const QString source = song(f.one)->copyFromPath();
    const double t = 1.3e9;
    ASSERT_TRUE(setModificationTime(source, t));
    struct Way {
        const char* rel;
        double offset;
        int bytes;
        bool stays;
    } ways[] = {{"hour.mp3", 3600, 1000, true}, {"five.mp3", 5, 1000, false}, {"size.mp3", 0, 999, false}};
    for (const Way& w : ways) {
        ASSERT_TRUE(writeFile(f.at(QLatin1String(w.rel)), QByteArray(w.bytes, 'o')));
        ASSERT_TRUE(setModificationTime(f.at(QLatin1String(w.rel)), t + w.offset));
        add(&WorkLists::toCopyList, {copy(f.one, QLatin1String(w.rel))});
    }
    pass();
    EXPECT_EQ(treeOf(f.player), QStringList{"hour.mp3"}) << "files that differ are removed, not yet copied";
    EXPECT_EQ(readFile(f.at(QStringLiteral("hour.mp3"))), QByteArray(1000, 'o'));
    EXPECT_EQ(count(&WorkLists::toCopyList), 3u) << "nothing was copied";
    EXPECT_TRUE(recorded().isEmpty());

    pass();
    EXPECT_EQ(treeOf(f.player), (QStringList{"five.mp3", "hour.mp3", "size.mp3"}));
    EXPECT_EQ(readFile(f.at(QStringLiteral("five.mp3"))), readFile(source));
    EXPECT_EQ(fsys::modificationTime(f.at(QStringLiteral("size.mp3"))), t) << "a copy keeps the source's date";
    EXPECT_EQ(readFile(f.at(QStringLiteral("hour.mp3"))), QByteArray(1000, 'o'));
    EXPECT_EQ(count(&WorkLists::toCopyList), 1u) << "the file in place keeps its record";
    EXPECT_EQ(recorded().keys().size(), 2);
}

TEST_F(Copying, OneCopyRemovesEveryIdenticalRecordAndTheCompanionFile) {
    f.put(QStringLiteral("New/._01 One.mp3"), 4);
    add(&WorkLists::toCopyList, {copy(f.one, QStringLiteral("New/01 One.mp3")), copy(f.one, QStringLiteral("New/01 One.mp3")),
                                 copy(f.two, QStringLiteral("New/02 Two.mp3"))});
    pass();
    EXPECT_EQ(count(&WorkLists::toCopyList), 0u);
    EXPECT_EQ(treeOf(f.player), (QStringList{"New/", "New/01 One.mp3", "New/02 Two.mp3"}));
    EXPECT_EQ(recorded().value(f.at(QStringLiteral("New/01 One.mp3"))), song(f.one));
}

TEST_F(Copying, AFailedCopyLeavesNothingBehindAndKeepsItsRecord) {
    QDir().mkpath(f.lib.folder() + QStringLiteral("/a folder"));
    Record missing = WorkRecord::copy(song(f.one), f.lib.folder() + QStringLiteral("/no such file"), f.at(QStringLiteral("New/A/1.mp3")));
    Record unreadable = WorkRecord::copy(song(f.two), f.lib.folder() + QStringLiteral("/a folder"), f.at(QStringLiteral("New/B/2.mp3")));
    add(&WorkLists::toCopyList, {missing, unreadable});
    pass();
    EXPECT_TRUE(treeOf(f.player).isEmpty()) << treeOf(f.player).join(u' ').toStdString();
    EXPECT_EQ(count(&WorkLists::toCopyList), 2u);
    EXPECT_TRUE(recorded().isEmpty());
}

TEST_F(Copying, DeletionsForgetTheirFileFirstAndTakeEmptyFoldersWithThem) {
    f.put(QStringLiteral("A/X/03 Three.mp3"));
    f.put(QStringLiteral("A/.DS_Store"));
    f.put(QStringLiteral("A/Y/keep.mp3"));
    const QString composed = f.player + QStringLiteral("/A/Z/Caf\u00e9.mp3");  // spelled so on disk, recorded decomposed
    ASSERT_TRUE(writeFile(composed, "c"));
    {
        std::lock_guard lock(c->work().todoLock);
        c->work().previousFiles.insert(f.at(QStringLiteral("A/X/03 Three.mp3")), song(f.three));
        c->work().previousFiles.insert(decomposed(composed), song(f.two));
    }
    add(&WorkLists::toDeleteList, {WorkRecord::remove(composed, song(f.two)), WorkRecord::remove(f.at(QStringLiteral("A/X/03 Three.mp3")), song(f.three)),
                                   WorkRecord::remove(f.at(QStringLiteral("A/.DS_Store"))), WorkRecord::remove(f.at(QStringLiteral("gone.mp3")))});
    pass();
    EXPECT_EQ(treeOf(f.player), (QStringList{"A/", "A/Y/", "A/Y/keep.mp3"}));
    EXPECT_TRUE(recorded().isEmpty());
    EXPECT_EQ(f.lib.defaults.object("previousSongs")->ifDict()->size(), 0u) << "saved";
    EXPECT_EQ(c->deletingSong(), nullptr);
}

TEST_F(Copying, MovesKeyTheRecordByDecomposedPathsAndCopiesByThePathAsGiven) {
    const QString cafe = QStringLiteral("Caf\u00e9");  // composed
    ASSERT_NE(cafe, decomposed(cafe));
    const QString from = f.player + u'/' + cafe + QStringLiteral(" old.mp3"), to = f.player + u'/' + cafe + QStringLiteral("/moved.mp3");
    ASSERT_TRUE(writeFile(from, "moved"));
    {
        std::lock_guard lock(c->work().todoLock);
        c->work().previousFiles.insert(decomposed(from), song(f.one));
    }
    const QString copyTo = f.player + u'/' + cafe + QStringLiteral("/copied.mp3");
    add(&WorkLists::toMoveList, {WorkRecord::move(song(f.one), from, to)});
    add(&WorkLists::toCopyList, {WorkRecord::copy(song(f.two), song(f.two)->copyFromPath(), copyTo)});
    pass();
    EXPECT_EQ(readFile(to), "moved");
    QHash<QString, Song*> r = recorded();
    EXPECT_EQ(QStringList(r.keys()).size(), 2);
    EXPECT_EQ(r.value(decomposed(to)), song(f.one));
    EXPECT_FALSE(r.contains(decomposed(from)));
    EXPECT_EQ(r.value(copyTo), song(f.two));
    EXPECT_EQ(count(&WorkLists::toMoveList), 0u);
}

TEST_F(Copying, AMoveNeverReplacesAFile) {
    ASSERT_TRUE(writeFile(f.at(QStringLiteral("a.mp3")), "a"));
    ASSERT_TRUE(writeFile(f.at(QStringLiteral("b.mp3")), "b"));
    add(&WorkLists::toMoveList, {WorkRecord::move(song(f.one), f.at(QStringLiteral("a.mp3")), f.at(QStringLiteral("b.mp3")))});
    pass();
    EXPECT_EQ(readFile(f.at(QStringLiteral("a.mp3"))), "a");
    EXPECT_EQ(readFile(f.at(QStringLiteral("b.mp3"))), "b");
    EXPECT_EQ(count(&WorkLists::toMoveList), 0u);
}

TEST_F(Copying, RecordsThatPointOutsideThePlayerAreRefused) {
    f.put(QStringLiteral("in.mp3"), 3);
    const QString sibling = f.volume + QStringLiteral("/MusicX/s.mp3");
    ASSERT_TRUE(writeFile(sibling, "s"));
    const QString viaDots = f.player + QStringLiteral("/../../outside.txt");
    // A folder inside the player that leads out of it.
    const QString elsewhere = pathByRemovingLastComponent(f.volume) + QStringLiteral("/elsewhere");
    ASSERT_TRUE(writeFile(elsewhere + QStringLiteral("/x.mp3"), "x"));
    ASSERT_TRUE(QFile::link(elsewhere, f.at(QStringLiteral("link"))));
    add(&WorkLists::toDeleteList, {WorkRecord::remove(outside, song(f.one)), WorkRecord::remove(viaDots), WorkRecord::remove(sibling),
                                   WorkRecord::remove(f.at(QStringLiteral("link/x.mp3")))});
    add(&WorkLists::toMoveList, {WorkRecord::move(song(f.one), f.at(QStringLiteral("in.mp3")), f.volume + QStringLiteral("/taken.mp3")),
                                 WorkRecord::move(song(f.one), outside, f.at(QStringLiteral("taken.mp3"))),
                                 WorkRecord::move(song(f.one), f.at(QStringLiteral("in.mp3")), f.player + QStringLiteral("/A/../../up.mp3")),
                                 WorkRecord::move(song(f.one), f.at(QStringLiteral("in.mp3")), f.at(QStringLiteral("link/in.mp3")))});
    add(&WorkLists::toCopyList, {copy(f.one, QStringLiteral("../copied.mp3")), WorkRecord::copy(song(f.one), song(f.one)->copyFromPath(), f.player),
                                 WorkRecord::copy(song(f.one), song(f.one)->copyFromPath(), f.player + QStringLiteral("/../Music/x.mp3")),
                                 copy(f.one, QStringLiteral("link/new/y.mp3"))});
    QStringList before = treeOf(pathByRemovingLastComponent(f.volume));
    pass();
    EXPECT_EQ(treeOf(pathByRemovingLastComponent(f.volume)), before);
    EXPECT_EQ(readFile(outside), "keep");
    EXPECT_TRUE(recorded().isEmpty());
}

TEST_F(Copying, ADeletionThatArrivesWhileCopyingIsServedBeforeTheNextCopy) {
    f.put(QStringLiteral("late.mp3"));
    Record first = copy(f.one, QStringLiteral("1.mp3")), second = copy(f.two, QStringLiteral("2.mp3"));
    add(&WorkLists::toCopyList, {first, second});
    bool added = false, secondBeforeDeletion = false;
    f.lib.ui.onStatusChanged = [&] {
        if (c->copyingSong() == first && !added) {
            added = true;
            add(&WorkLists::toDeleteList, {WorkRecord::remove(f.at(QStringLiteral("late.mp3")), song(f.three))});
        }
        if (c->copyingSong() == second && fsys::exists(f.at(QStringLiteral("late.mp3")))) secondBeforeDeletion = true;
    };
    pass();
    f.lib.ui.onStatusChanged = nullptr;
    EXPECT_TRUE(added);
    EXPECT_FALSE(secondBeforeDeletion);
    EXPECT_EQ(treeOf(f.player), (QStringList{"1.mp3", "2.mp3"}));
}

TEST_F(Copying, ASongThatAwaitsConversionIsPassedOver) {
    if (!song(f.four)->needsConversion()) GTEST_SKIP() << "no MP3 encoder: nothing needs converting";
    add(&WorkLists::toCopyList, {copy(f.four, QStringLiteral("B/Y/01 Four.mp3")), copy(f.one, QStringLiteral("A/X/01 One.mp3"))});
    pass();
    EXPECT_EQ(treeOf(f.player), (QStringList{"A/", "A/X/", "A/X/01 One.mp3"}));
    EXPECT_EQ(count(&WorkLists::toCopyList), 1u);
}

// ---- whole syncs: plan, carry out, plan again ----

void syncConverges(SyncFixture& f, std::unique_ptr<Controller>& c) {
    f.put(QStringLiteral("A/X/01 One.mp3"));
    f.put(QStringLiteral("notes.txt"), 5);
    f.put(QStringLiteral("A/X/03 Three.mp3"));
    ASSERT_TRUE(f.lib.defaults.set("previousSongs", plist::Object(plist::Object::Dict{
                                                        {f.at(QStringLiteral("A/X/01 One.mp3")).toStdString(), f.lib.builder.persistentIdOf(f.one).toStdString()},
                                                        {f.at(QStringLiteral("A/X/03 Three.mp3")).toStdString(), f.lib.builder.persistentIdOf(f.three).toStdString()}})));
    c = f.controller();
    c->startWorkers();
    ASSERT_TRUE(waitUntil([&] { return !c->copierBusy() && c->idle(); }));
    c->addPlaylists({QStringLiteral("P1")});
    c->addSongs({c->library().songWithTrackId(f.one)});
    ASSERT_TRUE(waitUntil([&] { return c->idle(); }, 20000));
    EXPECT_EQ(treeOf(f.player), (QStringList{"A/", "A/X/", "A/X/01 One.mp3", "Mix/", "Mix/01 Two.mp3", "Mix/02 One.mp3", "notes.txt"}));
    {
        std::lock_guard lock(c->work().todoLock);
        EXPECT_EQ(c->work().previousFiles.size(), 3);
    }
    c->refreshPlayer();
    std::lock_guard lock(c->work().todoLock);
    EXPECT_TRUE(c->work().toCopyList.empty() && c->work().toMoveList.empty() && c->work().toDeleteList.empty()) << "nothing left to do";
}

TEST(Syncing, ASyncCarriedOutLeavesNothingToPlan) {
    SyncFixture f;
    std::unique_ptr<Controller> c;
    syncConverges(f, c);
    if (c) c->stopWorkers();
}

}  // namespace

// ---- on a real FAT player ----

class CopyingOnFat : public FatPlayerTest {};

TEST_F(CopyingOnFat, ASyncCarriedOutLeavesNothingToPlanAndFilesInPlaceStay) {
    SyncFixture f(player->volumePath());
    std::unique_ptr<Controller> c;
    syncConverges(f, c);
    ASSERT_TRUE(c);
    // Dates on FAT are kept to two seconds: a copy still counts as in place.
    Song* one = c->library().songWithTrackId(f.one);
    Record again = WorkRecord::copy(one, one->copyFromPath(), f.at(QStringLiteral("A/X/01 One.mp3")));
    {
        std::lock_guard lock(c->work().todoLock);
        c->work().toCopyList.append(again);
    }
    c->runCopier();
    ASSERT_TRUE(waitUntil([&] { return c->idle(); }));
    EXPECT_TRUE(fsys::exists(again->to));
    c->stopWorkers();
    EXPECT_EQ(player->consistencyProblems(), QStringList());
}

TEST_F(CopyingOnFat, NamesThatDifferOnlyInCaseAreOneFileAndTheSyncStillSettles) {
    SyncFixture f(player->volumePath());
    // The same album under artists spelled in two cases: one folder on FAT.
    int hey = f.lib.builder.addTrack({{"Name", "Hey"}, {"Artist", "a"}, {"Album", "X"}, {"Track Number", 4}});
    auto c = f.controller();
    c->startWorkers();
    ASSERT_TRUE(waitUntil([&] { return !c->copierBusy() && c->idle(); }));
    c->addSongs({c->library().songWithTrackId(f.one), c->library().songWithTrackId(hey)});
    ASSERT_TRUE(waitUntil([&] { return c->idle(); }, 20000));
    EXPECT_EQ(treeOf(f.player), (QStringList{"A/", "A/X/", "A/X/01 One.mp3", "A/X/04 Hey.mp3"}));

    // A title whose case changed: the file is renamed, not copied again.
    for (int pass = 0; pass < 2; ++pass) {
        c->refreshPlayer();
        ASSERT_TRUE(waitUntil([&] { return c->idle(); }, 20000));
        std::lock_guard lock(c->work().todoLock);
        EXPECT_TRUE(c->work().toCopyList.empty() && c->work().toMoveList.empty() && c->work().toDeleteList.empty()) << "pass " << pass;
    }
    for (const auto& item : c->wantedStuff()) EXPECT_FALSE(dynamic_cast<SYWantedFile*>(item.get())) << "no other files";
    c->stopWorkers();
}

TEST_F(CopyingOnFat, AMoveNeverReplacesAFileButMayChangeTheCaseOfItsName) {
    SyncFixture f(player->volumePath());
    auto c = f.controller();
    c->startWorkers();
    ASSERT_TRUE(waitUntil([&] { return !c->copierBusy() && c->idle(); }));
    ASSERT_TRUE(writeFile(f.at(QStringLiteral("a.mp3")), "a"));
    ASSERT_TRUE(writeFile(f.at(QStringLiteral("b.mp3")), "b"));
    Song* one = c->library().songWithTrackId(f.one);
    {
        std::lock_guard lock(c->work().todoLock);
        c->work().toMoveList.append(WorkRecord::move(one, f.at(QStringLiteral("a.mp3")), f.at(QStringLiteral("b.mp3"))));
        c->work().toMoveList.append(WorkRecord::move(one, f.at(QStringLiteral("b.mp3")), f.at(QStringLiteral("B.mp3"))));
    }
    c->runCopier();
    ASSERT_TRUE(waitUntil([&] { return c->idle(); }));
    EXPECT_EQ(treeOf(f.player), (QStringList{"B.mp3", "a.mp3"})) << treeOf(f.player).join(u' ').toStdString();
    EXPECT_EQ(readFile(f.at(QStringLiteral("B.mp3"))), "b");
    c->stopWorkers();
}
