#include "app/Controller.h"
#include "platform/Defaults.h"
#include "platform/VolumeMonitor.h"
#include "support/CliWorld.h"
#include "support/ScriptedUi.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

bool waitFor(const std::function<bool()>& condition, int ms = 15000) {
    QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

void makeFile(const QString& path) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(path.toUtf8());
}

// A player whose files were made out of order, and nothing selected.
class SortedPlayer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(w.ready());
        w.builder.addTrack();
        w.writeLibrary();
        ASSERT_EQ(w.run({QStringLiteral("config"), QStringLiteral("set"), QStringLiteral("pathToPlayer"), w.playerFolder()}).exitCode, 0);
        for (const char* name : {"b.mp3", "A.mp3", "c/d.mp3", "c/B/z.mp3", "c/a.mp3"}) makeFile(w.playerFolder() + u'/' + QLatin1String(name));
    }
    QStringList order(const QString& folder) {
        auto entries = w.fat()->entriesInDiskOrder(QStringLiteral("/Music") + folder);
        EXPECT_TRUE(entries) << entries.error().toStdString();
        return entries.value_or(QStringList());
    }
    CliWorld w{CliWorld::Player::FatImage};
};

TEST_F(SortedPlayer, SortWritesEveryFolderInOrderWithSubfoldersFirst) {
    EXPECT_EQ(order(QString()), (QStringList{QStringLiteral("b.mp3"), QStringLiteral("A.mp3"), QStringLiteral("c/")}));
    std::map<QString, qint64> before = w.playerFiles();
    RunResult r = w.run({QStringLiteral("sort")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(order(QString()), (QStringList{QStringLiteral("c/"), QStringLiteral("A.mp3"), QStringLiteral("b.mp3")}));
    EXPECT_EQ(order(QStringLiteral("/c")), (QStringList{QStringLiteral("B/"), QStringLiteral("a.mp3"), QStringLiteral("d.mp3")}));
    EXPECT_EQ(w.playerFiles(), before);
    EXPECT_FALSE(QFileInfo::exists(w.playerFolder() + QStringLiteral("/brisleSort")));
}

TEST_F(SortedPlayer, AnInterruptedSortIsPutBackWithNothingLost) {
    std::map<QString, qint64> before = w.playerFiles();
    QProcessEnvironment crashing = w.env;
    crashing.insert(QStringLiteral("BRISLE_CRASH_AT"), QStringLiteral("sort-moved-out"));
    RunResult crashed = runBrisle({QStringLiteral("sort"), QStringLiteral("--library"), w.library()}, crashing);
    ASSERT_EQ(crashed.exitCode, 99);
    ASSERT_TRUE(w.playerFiles().count(QStringLiteral("brisleSort/File 0"))) << "the crash came after the files went out";

    // The next start puts everything back before it plans.
    QJsonObject plan = w.plan();
    RunResult sync = w.run({QStringLiteral("sync")});
    EXPECT_EQ(sync.exitCode, 0) << sync.err.toStdString();
    EXPECT_EQ(w.playerFiles(), before);
    // And a crash again, then a sort, which also recovers first.
    ASSERT_EQ(runBrisle({QStringLiteral("sort"), QStringLiteral("--library"), w.library()}, crashing).exitCode, 99);
    ASSERT_EQ(w.run({QStringLiteral("sort")}).exitCode, 0);
    EXPECT_EQ(w.playerFiles(), before);
    EXPECT_EQ(order(QString()), (QStringList{QStringLiteral("c/"), QStringLiteral("A.mp3"), QStringLiteral("b.mp3")}));
}

TEST_F(SortedPlayer, EjectUnmountsAndSortsOnlyWhenAsked) {
    VolumesFolderOverride volumes(w.volumesFolder());
    VolumeMonitor monitor;
    QSignalSpy unmounted(&monitor, &VolumeMonitor::unmounted);
    RunResult r = w.run({QStringLiteral("eject")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_FALSE(w.fat()->isMounted());
    EXPECT_TRUE(waitFor([&] { return !unmounted.isEmpty(); }));
    EXPECT_EQ(unmounted.value(0).value(0).toString(), w.volumesFolder() + QStringLiteral("PLAYER"));
    EXPECT_EQ(order(QString()), (QStringList{QStringLiteral("b.mp3"), QStringLiteral("A.mp3"), QStringLiteral("c/")})) << "not sorted";

    ASSERT_TRUE(w.fat()->mount());
    ASSERT_EQ(w.run({QStringLiteral("config"), QStringLiteral("set"), QStringLiteral("sortFilesOnDisk"), QStringLiteral("on")}).exitCode, 0);
    ASSERT_EQ(w.run({QStringLiteral("eject")}).exitCode, 0);
    EXPECT_FALSE(w.fat()->isMounted());
    EXPECT_EQ(order(QString()), (QStringList{QStringLiteral("c/"), QStringLiteral("A.mp3"), QStringLiteral("b.mp3")}));
}

TEST(PlayerVolume, EjectingWhatIsNoVolumeShowsTheFailure) {
    CliWorld w(CliWorld::Player::Folder);
    w.builder.addTrack();
    w.writeLibrary();
    ASSERT_EQ(w.run({QStringLiteral("config"), QStringLiteral("set"), QStringLiteral("pathToPlayer"), w.playerFolder()}).exitCode, 0);
    QDir().mkpath(w.playerFolder());
    RunResult r = w.run({QStringLiteral("eject")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("Eject failed: Brisle was unable to eject your player."))) << r.err.toStdString();
    EXPECT_TRUE(QFileInfo(w.playerFolder()).isDir()) << "nothing changes";
}

TEST(PlayerVolume, MountsAndUnmountsOfThePlayerAreFollowed) {
    CliWorld w(CliWorld::Player::FatImage);
    ASSERT_TRUE(w.ready());
    w.builder.addTrack();
    w.writeLibrary();
    VolumesFolderOverride volumes(w.volumesFolder());
    Defaults defaults(w.dir.path() + QStringLiteral("/config/Brisle/Brisle.plist"));
    ASSERT_TRUE(defaults.set("pathToPlayer", QString(w.volumesFolder() + QStringLiteral("PLAYER/Music")).toStdString()));
    ScriptedUi ui;
    Controller c(defaults, ui, Controller::Options{w.library(), w.dir.path() + QStringLiteral("/cache")});
    ASSERT_TRUE(c.startUp());
    EXPECT_FALSE(c.mounted()) << "the player's folder is not there yet";
    VolumeMonitor probe;
    int events = 0;
    QObject::connect(&probe, &VolumeMonitor::mounted, [&] { ++events; });
    QObject::connect(&probe, &VolumeMonitor::unmounted, [&] { ++events; });

    ASSERT_TRUE(w.fat()->unmount());
    EXPECT_TRUE(waitFor([&] { return events == 1; }));
    EXPECT_FALSE(c.mounted());
    ASSERT_TRUE(w.fat()->mount());
    EXPECT_TRUE(waitFor([&] { return c.mounted(); })) << "a mount sets it, whether the folder is there yet or not";
    EXPECT_EQ(events, 2);

    // The test is on the text: a volume PLAYER counts for a player on "PLAYER 2"...
    ASSERT_TRUE(defaults.set("pathToPlayer", QString(w.volumesFolder() + QStringLiteral("PLAYER 2/Music")).toStdString()));
    c.setMounted(false);
    c.diskMounted(w.volumesFolder() + QStringLiteral("PLAYER"));
    EXPECT_TRUE(c.mounted());
    // ...but another volume does not, and without a player nothing counts.
    c.setMounted(false);
    c.diskMounted(w.volumesFolder() + QStringLiteral("OTHER"));
    EXPECT_FALSE(c.mounted());
    ASSERT_TRUE(defaults.remove("pathToPlayer"));
    c.diskMounted(w.volumesFolder() + QStringLiteral("PLAYER"));
    EXPECT_FALSE(c.mounted());
    c.stopWorkers();
}

}  // namespace
