// The copier changing a player folder, driven through a started controller:
// moves and copies, the date rule, the folders it makes and the paths it
// refuses. Its deletions are followed in MessagingTests; letter case on FAT
// players is tested end to end (SyncEndToEndTests).

#include "app/Controller.h"
#include "library/PathUtils.h"
#include "library/Song.h"
#include "platform/FileSystem.h"
#include "workers/Copier.h"
#include "workers/PlayerFiles.h"
#include "support/SyncFixture.h"

#include <QDir>
#include <QElapsedTimer>
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
    // A path, the answer, and what is below the volumes folder after the call.
    const std::tuple<QString, bool, QStringList> cases[] = {
        {f.player + QStringLiteral("/New/Album"), true, {"PLAYER/", "PLAYER/Music/", "PLAYER/Music/New/", "PLAYER/Music/New/Album/"}},
        {volumes() + QStringLiteral("GONE/Music/A"), false, {"PLAYER/", "PLAYER/Music/"}},
        {volumes() + QStringLiteral("GONE"), true, {"PLAYER/", "PLAYER/Music/"}},
        {volumes(), true, {"PLAYER/", "PLAYER/Music/"}},
    };
    for (const auto& [path, answer, made] : cases) {
        QDir(f.player + QStringLiteral("/New")).removeRecursively();
        EXPECT_EQ(playerfiles::createDirectoryAtPath(path), answer) << path.toStdString();
        EXPECT_EQ(treeOf(volumes()), made) << path.toStdString();
    }
    // With the player folder itself gone, its folder is made again, not the volume.
    QDir(f.player).removeRecursively();
    EXPECT_TRUE(playerfiles::fileWillBeAddedTo(f.player + QStringLiteral("/A")));
    EXPECT_EQ(treeOf(volumes()), (QStringList{"PLAYER/", "PLAYER/Music/", "PLAYER/Music/A/"}));
}

TEST(CopierDates, AFileInPlaceHasTheSameSizeAndADateWithinFiveSecondsOrAnHourAndFive) {
    QTemporaryDir dir;
    const QString from = dir.path() + QStringLiteral("/from"), to = dir.path() + QStringLiteral("/to");
    const double t = 1.2e9;
    // The date of "to" minus that of "from", the bytes "to" has more, the answer.
    const std::tuple<double, int, bool> cases[] = {{0, 0, true},     {4.9, 0, true},   {-4.9, 0, true},  {5, 0, false},    {-5, 0, false},
                                                   {3600, 0, true},  {-3600, 0, true}, {3595, 0, false}, {3595.5, 0, true}, {-3604.5, 0, true},
                                                   {3605, 0, false}, {-3605, 0, false}, {1800, 0, false}, {0, 1, false},    {3600, 1, false}};
    for (const auto& [offset, extraBytes, same] : cases) {
        ASSERT_TRUE(writeFile(from, QByteArray(100, 'a')));
        ASSERT_TRUE(writeFile(to, QByteArray(100 + extraBytes, 'b')));
        ASSERT_TRUE(setModificationTime(from, t));
        ASSERT_TRUE(setModificationTime(to, t + offset));
        EXPECT_EQ(Copier::sameFile(from, to), same) << "offset " << offset << ", extra bytes " << extraBytes;
    }
    EXPECT_FALSE(Copier::sameFile(from, dir.path() + QStringLiteral("/missing")));
}

// ---- passes of the real copier ----

// A started controller over a player folder.
class Copying : public ::testing::Test {
protected:
    void SetUp() override {
        c = f.controller();
        c->startWorkers();
        ASSERT_TRUE(waitUntil([&] { return !c->copierBusy() && c->idle(); })) << "the workers register";
    }

    Song* song(int id) { return c->library().songWithTrackId(id); }
    Record copy(int id, const QString& rel) { return WorkRecord::copy(song(id), song(id)->copyFromPath(), f.at(rel)); }
    void add(RecordList WorkLists::*list, std::initializer_list<Record> records) {
        std::lock_guard lock(c->work().todoLock);
        for (const Record& r : records) (c->work().*list).append(r);
    }
    void untilIdle() { ASSERT_TRUE(waitUntil([&] { return c->idle(); }, 20000)) << "the work ends"; }
    void pass() {
        c->runCopier();
        untilIdle();
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
};

TEST_F(Copying, AFileInTheWayStaysWhenInPlaceAndIsOtherwiseReplacedByALaterSnapshot) {
    const QString source = song(f.one)->copyFromPath();
    const double t = 1.3e9;
    ASSERT_TRUE(setModificationTime(source, t));
    const std::tuple<const char*, double, int> ways[] = {{"hour.mp3", 3600, 1000}, {"five.mp3", 5, 1000}, {"size.mp3", 0, 999}};
    for (const auto& [rel, offset, bytes] : ways) {
        ASSERT_TRUE(writeFile(f.at(QLatin1String(rel)), QByteArray(bytes, 'o')));
        ASSERT_TRUE(setModificationTime(f.at(QLatin1String(rel)), t + offset));
        add(&WorkLists::toCopyList, {copy(f.one, QLatin1String(rel))});
    }
    pass();
    EXPECT_EQ(treeOf(f.player), QStringList{"hour.mp3"}) << "files that differ are removed, not yet copied";
    EXPECT_EQ(count(&WorkLists::toCopyList), 3u) << "nothing was copied";
    EXPECT_TRUE(recorded().isEmpty());

    pass();
    EXPECT_EQ(treeOf(f.player), (QStringList{"five.mp3", "hour.mp3", "size.mp3"}));
    EXPECT_EQ(readFile(f.at(QStringLiteral("five.mp3"))), readFile(source));
    EXPECT_EQ(fsys::modificationTime(f.at(QStringLiteral("size.mp3"))), t) << "a copy keeps the source's date";
    EXPECT_EQ(readFile(f.at(QStringLiteral("hour.mp3"))), QByteArray(1000, 'o'));
    EXPECT_EQ(count(&WorkLists::toCopyList), 1u) << "the file in place keeps its record";
    EXPECT_EQ(recorded().size(), 2);
}

// Only regular files are copied: a FIFO would hold the copier (and any stop)
// for ever, /proc/self/environ would land on the player as a song.
TEST_F(Copying, AFailedCopyNamesItsSourceLeavesNothingBehindAndKeepsItsRecord) {
    QDir().mkpath(f.lib.folder() + QStringLiteral("/a folder"));
    Fifo fifo(f.lib.folder() + QStringLiteral("/fifo.mp3"));
    // The source and why it is refused.
    const std::pair<QString, QString> sources[] = {{f.lib.folder() + QStringLiteral("/no such file"), QStringLiteral("No such file")},
                                                   {f.lib.folder() + QStringLiteral("/a folder"), QStringLiteral("a folder, not a regular file")},
                                                   {fifo.path(), QStringLiteral("a FIFO, not a regular file")},
                                                   {QStringLiteral("/proc/self/environ"), QStringLiteral("(/proc, /sys), not a regular file")},
                                                   {QStringLiteral("/dev/null"), QStringLiteral("a device, not a regular file")}};
    QElapsedTimer timer;
    timer.start();
    for (const auto& [from, why] : sources) {
        auto copied = playerfiles::copyFile(from, f.at(QStringLiteral("x.mp3")));
        ASSERT_FALSE(copied) << from.toStdString();
        EXPECT_TRUE(copied.error().startsWith(QStringLiteral("cannot read ") + from + QStringLiteral(": ")) && copied.error().contains(why))
            << copied.error().toStdString();
    }
    EXPECT_LT(timer.elapsed(), 1000) << "nothing waits on a source";
    int n = 0;
    for (const auto& [from, why] : sources) add(&WorkLists::toCopyList, {WorkRecord::copy(song(f.one), from, f.at(QStringLiteral("New/%1/1.mp3").arg(++n)))});
    pass();
    EXPECT_EQ(treeOf(f.player), QStringList());
    EXPECT_EQ(count(&WorkLists::toCopyList), std::size(sources));
    EXPECT_TRUE(recorded().isEmpty());
}

TEST_F(Copying, MovesKeyTheRecordByDecomposedPathsAndCopiesByThePathAsGiven) {
    const QString cafe = QStringLiteral("Caf\u00e9");  // composed
    ASSERT_NE(cafe, decomposed(cafe));
    const QString from = f.player + u'/' + cafe + QStringLiteral(" old.mp3"), to = f.player + u'/' + cafe + QStringLiteral("/moved.mp3");
    const QString copyTo = f.player + u'/' + cafe + QStringLiteral("/copied.mp3");
    ASSERT_TRUE(writeFile(from, "moved"));
    {
        std::lock_guard lock(c->work().todoLock);
        c->work().previousFiles.insert(decomposed(from), song(f.one));
    }
    // A move never replaces a file.
    ASSERT_TRUE(writeFile(f.at(QStringLiteral("a.mp3")), "a"));
    ASSERT_TRUE(writeFile(f.at(QStringLiteral("b.mp3")), "b"));
    add(&WorkLists::toMoveList, {WorkRecord::move(song(f.one), from, to), WorkRecord::move(song(f.three), f.at(QStringLiteral("a.mp3")), f.at(QStringLiteral("b.mp3")))});
    add(&WorkLists::toCopyList, {WorkRecord::copy(song(f.two), song(f.two)->copyFromPath(), copyTo)});
    pass();
    EXPECT_EQ(readFile(to), "moved");
    EXPECT_EQ(readFile(f.at(QStringLiteral("a.mp3"))) + readFile(f.at(QStringLiteral("b.mp3"))), "ab");
    QHash<QString, Song*> r = recorded();
    EXPECT_EQ(r.value(decomposed(to)), song(f.one));
    EXPECT_FALSE(r.contains(decomposed(from)));
    EXPECT_EQ(r.value(copyTo), song(f.two));
    EXPECT_EQ(count(&WorkLists::toMoveList), 0u);
}

TEST_F(Copying, RecordsThatPointOutsideThePlayerAreRefused) {
    const QString root = pathByRemovingLastComponent(f.volume), outside = root + QStringLiteral("/outside.txt");
    ASSERT_TRUE(writeFile(outside, "keep"));
    f.put(QStringLiteral("in.mp3"), 3);
    const QString sibling = f.volume + QStringLiteral("/MusicX/s.mp3");
    ASSERT_TRUE(writeFile(sibling, "s"));
    // A folder inside the player that leads out of it.
    ASSERT_TRUE(writeFile(root + QStringLiteral("/elsewhere/x.mp3"), "x"));
    ASSERT_TRUE(QFile::link(root + QStringLiteral("/elsewhere"), f.at(QStringLiteral("link"))));
    const QString in = f.at(QStringLiteral("in.mp3"));
    add(&WorkLists::toDeleteList, {WorkRecord::remove(outside, song(f.one)), WorkRecord::remove(f.player + QStringLiteral("/../../outside.txt")),
                                   WorkRecord::remove(sibling), WorkRecord::remove(f.at(QStringLiteral("link/x.mp3")))});
    add(&WorkLists::toMoveList, {WorkRecord::move(song(f.one), in, f.volume + QStringLiteral("/taken.mp3")),
                                 WorkRecord::move(song(f.one), outside, f.at(QStringLiteral("taken.mp3"))),
                                 WorkRecord::move(song(f.one), in, f.player + QStringLiteral("/A/../../up.mp3")),
                                 WorkRecord::move(song(f.one), in, f.at(QStringLiteral("link/in.mp3")))});
    add(&WorkLists::toCopyList, {copy(f.one, QStringLiteral("../copied.mp3")), WorkRecord::copy(song(f.one), song(f.one)->copyFromPath(), f.player),
                                 WorkRecord::copy(song(f.one), song(f.one)->copyFromPath(), f.player + QStringLiteral("/../Music/x.mp3")),
                                 copy(f.one, QStringLiteral("link/new/y.mp3"))});
    QStringList before = treeOf(root);
    pass();
    EXPECT_EQ(treeOf(root), before);
    EXPECT_EQ(readFile(outside), "keep");
    EXPECT_TRUE(recorded().isEmpty());
}

}  // namespace
