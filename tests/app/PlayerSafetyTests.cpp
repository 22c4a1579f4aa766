// Writing and removing only inside a real player, whatever the settings
// file, the mount table or the player's file system does meanwhile.

#include "platform/Defaults.h"
#include "support/CliWorld.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <gtest/gtest.h>

using S = QStringList;

namespace {

void touch(const QString& path) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
}

}  // namespace

TEST(PlayerSafety, APlayerFolderOutsideEveryVolumeIsRefusedAndNothingThereIsTouched) {
    CliWorld w(CliWorld::Player::Folder);
    w.builder.addTrack({{"Album", "X"}});
    w.writeLibrary();
    ASSERT_TRUE(w.ok({S{"config", "set", "pathToPlayer", w.playerFolder()}, S{"select", "add-album", "X"}}));
    // Stray files a sync would remove from a real player.
    QString outside = w.dir.path() + QStringLiteral("/home");
    for (const char* name : {"/.DS_Store", "/.brisle-partial-1", "/a/.DS_Store"}) touch(outside + QLatin1String(name));
    for (const QString& player : QStringList{QStringLiteral("/"), outside, w.volumesFolder(), w.volumesFolder() + QStringLiteral("PLAYER/../../home")}) {
        SCOPED_TRACE(player.toStdString());
        // As if edited by hand: the command line itself refuses such paths.
        EXPECT_EQ(w.run(S{"config", "set", "pathToPlayer", player}).exitCode, 2);
        Defaults d(w.settingsFile());
        ASSERT_TRUE(d.load());
        ASSERT_TRUE(d.set("pathToPlayer", player.toStdString()));
        RunResult r = w.run(S{"sync"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.err.contains(QStringLiteral("pathToPlayer"))) << r.err.toStdString();
        EXPECT_TRUE(w.plan().value(QStringLiteral("delete")).toArray().isEmpty());
        for (const char* name : {"/.DS_Store", "/.brisle-partial-1", "/a/.DS_Store"}) EXPECT_TRUE(QFile::exists(outside + QLatin1String(name))) << name;
    }
    // A symbolic link chosen as the player that leads off the volume.
    QFile::link(outside, w.volumesFolder() + QStringLiteral("PLAYER/Linked"));
    EXPECT_EQ(w.run(S{"config", "set", "pathToPlayer", w.volumesFolder() + QStringLiteral("PLAYER/Linked")}).exitCode, 2);
}

TEST(PlayerSafety, AnUnmountedPlayersEmptyMountPointIsNeverWrittenTo) {
    CliWorld w(CliWorld::Player::FatImage);
    ASSERT_TRUE(w.ready());
    w.builder.addTrack({{"Album", "X"}, {"Name", "One"}});
    w.writeLibrary();
    ASSERT_TRUE(w.ok({S{"config", "set", "pathToPlayer", w.playerFolder()}, S{"select", "add-album", "X"}, S{"sync"}}));
    ASSERT_TRUE(w.fat()->unmount());
    // The mount point stays behind as an empty folder of this computer's disk;
    // the record says the player was a mount point.
    w.builder.addTrack({{"Album", "X"}, {"Name", "Two"}});
    w.writeLibrary();
    RunResult r = w.run(S{"sync"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("not mounted"))) << r.err.toStdString();
    EXPECT_TRUE(QDir(w.fat()->volumePath()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

TEST(PlayerSafety, APlayerUnmountedLazilyMidSyncStopsTheSync) {
    CliWorld w(CliWorld::Player::FatImage);
    ASSERT_TRUE(w.ready());
    for (int i = 0; i < 40; ++i) w.builder.addTrack({{"Album", plist::Object(std::string("A") + std::to_string(i % 8))}}, true, 256 * 1024);
    w.writeLibrary();
    ASSERT_TRUE(w.ok({S{"config", "set", "pathToPlayer", w.playerFolder()}}));
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(w.ok({S{"select", "add-album", QStringLiteral("A%1").arg(i)}}));
    QProcess sync;
    sync.setProcessEnvironment(w.env);
    sync.start(QStringLiteral(BRISLE_BINARY), {QStringLiteral("sync"), QStringLiteral("--library"), w.library()});
    // Once the first files are there, the volume is pulled out from under it.
    QElapsedTimer t;
    t.start();
    while (w.playerFiles().size() < 3 && t.elapsed() < 60000 && sync.state() != QProcess::NotRunning) QThread::msleep(20);
    ASSERT_NE(sync.state(), QProcess::NotRunning) << "the sync ended before the volume could be pulled";
    ASSERT_EQ(QProcess::execute(QStandardPaths::findExecutable(QStringLiteral("fusermount3")), {QStringLiteral("-u"), QStringLiteral("-z"), w.fat()->volumePath()}), 0);
    ASSERT_TRUE(sync.waitForFinished(60000));
    EXPECT_NE(sync.exitCode(), 0);
    EXPECT_TRUE(QDir(w.fat()->volumePath()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
        << "nothing may be made in the empty mount point";
}

TEST(PlayerSafety, RemovalsAndMovesThatFailOnAReadOnlyPlayerKeepTheirRecord) {
    CliWorld w(CliWorld::Player::FatImage);
    ASSERT_TRUE(w.ready());
    w.builder.addTrack({{"Album", "X"}, {"Name", "One"}});
    w.builder.addTrack({{"Album", "Y"}, {"Name", "Two"}});
    w.writeLibrary();
    ASSERT_TRUE(w.ok({S{"config", "set", "pathToPlayer", w.playerFolder()}, S{"select", "add-album", "X"}, S{"select", "add-album", "Y"}, S{"sync"}}));
    const std::set<QString> both = {"X/01 One.mp3", "Y/01 Two.mp3"};
    ASSERT_EQ(w.recordedFiles(), both);
    ASSERT_TRUE(w.fat()->unmount());
    w.fat()->setReadOnly(true);
    ASSERT_TRUE(w.fat()->mount());
    ASSERT_TRUE(w.ok({S{"select", "remove", "Y"}}));
    RunResult r = w.run(S{"sync"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("Y/01 Two.mp3"))) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("Read-only file system"))) << r.err.toStdString();
    EXPECT_FALSE(r.out.contains(QStringLiteral("removed"))) << r.out.toStdString();
    EXPECT_EQ(w.playerFileNames(), both);
    EXPECT_EQ(w.recordedFiles(), both) << "the file is still there and still the program's";
}

TEST(PlayerSafety, ASelectionOfTheWrongTypeIsADamagedFileAndRemovesNothing) {
    CliWorld w(CliWorld::Player::Folder);
    w.builder.addTrack({{"Album", "X"}, {"Name", "One"}});
    w.writeLibrary();
    ASSERT_TRUE(w.ok({S{"config", "set", "pathToPlayer", w.playerFolder()}, S{"select", "add-album", "X"}, S{"sync"}}));
    const std::set<QString> one = {"X/01 One.mp3"};
    for (plist::Object damaged : {plist::Object("X"), plist::Object(plist::Object::Dict{{"wantedAlbums", plist::Object::dict()}})}) {
        Defaults d(w.settingsFile());
        ASSERT_TRUE(d.load());
        ASSERT_TRUE(d.set("wantedStuff", damaged));
        RunResult r = w.run(S{"sync"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.err.contains(QStringLiteral("wantedStuff"))) << r.err.toStdString();
        EXPECT_EQ(w.playerFileNames(), one) << "nothing is removed on the word of a damaged file";
    }
    EXPECT_FALSE(QFileInfo(w.settingsFile()).dir().entryList({QStringLiteral("*.damaged*")}).isEmpty()) << "a copy is kept aside";
}

TEST(PlayerSafety, OneBrislePerPlayerReadersStillWorkAndADeadHoldersLockIsTakenOver) {
    CliWorld w(CliWorld::Player::Folder);
    w.builder.addTrack({{"Album", "X"}});
    w.writeLibrary();
    ASSERT_TRUE(w.ok({S{"config", "set", "pathToPlayer", w.playerFolder()}, S{"select", "add-album", "X"}}));
    ASSERT_TRUE(QDir().mkpath(w.dir.path() + QStringLiteral("/run")));
    w.env.insert(QStringLiteral("XDG_RUNTIME_DIR"), w.dir.path() + QStringLiteral("/run"));
    QProcess watch;
    watch.setProcessEnvironment(w.env);
    watch.start(QStringLiteral(BRISLE_BINARY), {QStringLiteral("sync"), QStringLiteral("--watch"), QStringLiteral("--library"), w.library()});
    ASSERT_TRUE(watch.waitForReadyRead(30000)) << "the watching sync said nothing";
    for (const char* command : {"sync", "sort", "eject"}) {
        RunResult second = w.run(S{QString::fromLatin1(command)});
        EXPECT_EQ(second.exitCode, 1) << command;
        EXPECT_TRUE(second.err.contains(QStringLiteral("in use by another Brisle (process %1)").arg(watch.processId()))) << second.err.toStdString();
    }
    EXPECT_EQ(w.run(S{"plan", "--json"}).exitCode, 0) << "reading needs no lock";
    const QString cache = w.env.value(QStringLiteral("XDG_CACHE_HOME"));
    w.env.insert(QStringLiteral("XDG_CACHE_HOME"), cache + QStringLiteral("-other"));
    EXPECT_EQ(w.run(S{"sync"}).exitCode, 1) << "a cache of its own does not get past the player's lock";
    w.env.insert(QStringLiteral("XDG_CACHE_HOME"), cache);
    watch.kill();
    watch.waitForFinished();
    EXPECT_EQ(w.run(S{"sync"}).exitCode, 0) << "a lock whose holder died is stale";
}
