#include "support/CliWorld.h"
#include "support/SyncFixture.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <set>

#include <csignal>

using plist::Object;
using S = QStringList;

namespace {

std::set<QString> keysOf(const std::map<QString, qint64>& m) {
    std::set<QString> out;
    for (const auto& [k, v] : m) out.insert(k);
    return out;
}

QStringList relative(const QJsonArray& records, const char* field, const QString& player) {
    QStringList out;
    for (const QJsonValue& r : records) out.append(r.toObject().value(QLatin1String(field)).toString().mid(player.size() + 1).normalized(QString::NormalizationForm_C));
    return out;
}

// Everything under a folder with a digest of each file, to prove it unchanged.
std::map<QString, QByteArray> digestTree(const QString& folder) {
    std::map<QString, QByteArray> out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QString path = it.next();
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        out[path] = QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1);
    }
    return out;
}

TEST(SyncEndToEnd, APlayerFollowsItsSelectionOnARealFatVolume) {
    CliWorld w(CliWorld::Player::FatImage);
    ASSERT_TRUE(w.ready());
    int x1 = w.builder.addTrack({{"Album", "X"}, {"Name", "One"}, {"Track Number", 1}}, true, 3000);
    w.builder.addTrack({{"Album", "X"}, {"Name", "Two"}, {"Track Number", 2}}, true, 3100);
    w.builder.addTrack({{"Album", "X"}, {"Name", "Three"}, {"Track Number", 3}}, true, 3200);
    int y1 = w.builder.addTrack({{"Album", "Y"}, {"Name", "Why"}, {"Track Number", 1}}, true, 3300);
    w.builder.addTrack({{"Album", "Y"}, {"Name", "Zed"}, {"Track Number", 2}}, true, 3400);
    int loose = w.builder.addTrack({{"Album", Object()}, {"Name", "Say \"Hello\" <Live>"}}, true, 3500);
    w.builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {x1, y1, loose});
    w.writeLibrary();
    ASSERT_TRUE(w.ok({S{"config", "set", "pathToPlayer", w.playerFolder()}, S{"select", "add-playlist", "Mix"},
                      S{"select", "add-album", "X"}, S{"select", "add-album", "Y"}, S{"sync"}}));
    std::set<QString> expected = {"Mix/01 One.mp3", "Mix/02 Why.mp3", "Mix/03 Say _Hello_ _Live_.mp3", "X/01 One.mp3",
                                  "X/02 Two.mp3",   "X/03 Three.mp3", "Y/01 Why.mp3",                  "Y/02 Zed.mp3"};
    EXPECT_EQ(w.playerFileNames(), expected);
    EXPECT_EQ(w.recordedFiles(), expected);
    RunResult again = w.run(S{"sync"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_TRUE(again.out.contains(QStringLiteral("up to date"))) << again.out.toStdString();

    // The playlist goes into album folders, a track is unticked, an album removed.
    ASSERT_TRUE(w.ok({S{"select", "mode", "Mix", "as-albums"}, S{"select", "check", "X", "2", "off"}, S{"select", "remove", "Y"}}));
    QJsonObject plan = w.plan();
    EXPECT_TRUE(plan.value(QStringLiteral("copy")).toArray().isEmpty()) << "what is on the player is moved, not copied again";
    EXPECT_EQ(relative(plan.value(QStringLiteral("move")).toArray(), "from", w.playerFolder()), S{"Mix/03 Say _Hello_ _Live_.mp3"});
    EXPECT_EQ(relative(plan.value(QStringLiteral("move")).toArray(), "to", w.playerFolder()), S{"Other songs/01 Say _Hello_ _Live_.mp3"});
    EXPECT_EQ(plan.value(QStringLiteral("delete")).toArray().size(), 4);
    EXPECT_EQ(plan.value(QStringLiteral("move")).toArray()[0][u"song"].toString(), w.builder.persistentIdOf(loose));
    QJsonObject previous = plan.value(QStringLiteral("previousFiles")).toObject();
    EXPECT_EQ(previous.size(), 8);
    EXPECT_EQ(previous.value(w.playerFolder() + QStringLiteral("/Y/01 Why.mp3")).toString(), w.builder.persistentIdOf(y1));

    ASSERT_TRUE(w.ok({S{"sync"}}));
    expected = {"X/01 One.mp3", "X/03 Three.mp3", "Y/01 Why.mp3", "Other songs/01 Say _Hello_ _Live_.mp3"};
    EXPECT_EQ(w.playerFileNames(), expected);
    EXPECT_EQ(w.recordedFiles(), expected);
    EXPECT_FALSE(QFileInfo::exists(w.playerFolder() + QStringLiteral("/Mix"))) << "emptied folders are removed";
}

// FAT ignores case: an album renamed only in case finds its files in place
// under the old spelling. They stay as they are spelled, and are never
// copied again, removed, nor shown as the user's own files.
TEST(SyncEndToEnd, AnAlbumRenamedOnlyInCaseIsRenamedOnAFatPlayer) {
    CliWorld w(CliWorld::Player::FatImage);
    ASSERT_TRUE(w.ready());
    int one = w.builder.addTrack({{"Album", "quiet hours"}, {"Name", "One"}, {"Track Number", 1}}, true, 3000);
    int two = w.builder.addTrack({{"Album", "quiet hours"}, {"Name", "Two"}, {"Track Number", 2}}, true, 3100);
    w.writeLibrary();
    ASSERT_TRUE(w.ok({S{"config", "set", "pathToPlayer", w.playerFolder()}, S{"select", "add-album", "quiet hours"}, S{"sync"}}));

    for (int id : {one, two}) w.builder.setValue(id, "Album", "Quiet Hours");
    w.writeLibrary();
    ASSERT_TRUE(w.ok({S{"select", "add-album", "Quiet Hours"}})) << "the renamed album is chosen again";
    QJsonObject plan = w.plan();
    for (const char* kind : {"copy", "otherFiles", "delete"})
        EXPECT_TRUE(plan.value(QLatin1String(kind)).toArray().isEmpty()) << kind << ": nothing copied again, removed or taken for the user's";
    for (int round = 0; round < 2; ++round) {
        RunResult r = w.run(S{"sync"});
        ASSERT_EQ(r.exitCode, 0) << r.out.toStdString() << r.err.toStdString();
        EXPECT_TRUE(r.out.contains(QStringLiteral("up to date"))) << r.out.toStdString();
    }
    std::set<QString> expected = {"quiet hours/01 One.mp3", "quiet hours/02 Two.mp3"};
    EXPECT_EQ(w.playerFileNames(), expected);
    EXPECT_EQ(w.recordedFiles(), expected);
}

TEST(SyncEndToEnd, AnUnmountedPlayerIsAClearError) {
    CliWorld w(CliWorld::Player::Folder);
    w.builder.addTrack();
    w.writeLibrary();
    RunResult none = w.run(S{"sync"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_TRUE(none.err.contains(QStringLiteral("no player is chosen"))) << none.err.toStdString();
    ASSERT_TRUE(w.ok({S{"config", "set", "pathToPlayer", w.volumesFolder() + QStringLiteral("GONE/Music")}}));
    RunResult gone = w.run(S{"sync"});
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_TRUE(gone.err.contains(QStringLiteral("not mounted"))) << gone.err.toStdString();
}

TEST(SyncEndToEnd, FilesThatCannotBeCopiedAreNamedAndTheExitFails) {
    CliWorld w(CliWorld::Player::Folder);
    w.builder.addTrack({{"Album", "X"}, {"Name", "Blocked"}});
    w.builder.addTrack({{"Album", "Y"}, {"Name", "Fine"}});
    w.writeLibrary();
    ASSERT_TRUE(w.ok({S{"config", "set", "pathToPlayer", w.playerFolder()}, S{"select", "add-album", "X"}, S{"select", "add-album", "Y"}}));
    // A file of the user's stands where the album's folder would go.
    QFile blocker(w.playerFolder() + QStringLiteral("/X"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    RunResult r = w.run(S{"sync"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("X/01 Blocked.mp3"))) << r.err.toStdString();
    EXPECT_EQ(w.playerFileNames(), (std::set<QString>{"X", "Y/01 Fine.mp3"})) << "the user's file is left alone";
}

// Only regular files are songs: a track whose file is a FIFO, a device or a
// file of /proc is left out like a missing one; the sync neither waits on it
// nor puts it on the player.
TEST(SyncEndToEnd, ATrackWhoseFileIsNoRegularFileIsLeftOut) {
    CliWorld w(CliWorld::Player::FatImage);
    ASSERT_TRUE(w.ready());
    Fifo fifo(w.builder.folder() + QStringLiteral("/files/fifo.mp3"));
    for (const QString& path : {fifo.path(), QStringLiteral("/proc/self/environ"), QStringLiteral("/dev/null")})
        w.builder.addTrack({{"Album", "X"}, {"Name", path.section(u'/', -1).toStdString()}, {"Location", LibraryBuilder::fileUrl(path)}}, false);
    w.builder.addTrack({{"Album", "X"}, {"Name", "Fine"}});
    w.writeLibrary();
    ASSERT_TRUE(w.ok({S{"config", "set", "pathToPlayer", w.playerFolder()}, S{"select", "add-album", "X"}}));
    RunResult r = w.run(S{"sync"}, 20000);
    EXPECT_EQ(r.exitCode, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_EQ(w.playerFileNames(), std::set<QString>{"X/01 Fine.mp3"});
}

// A stop ends a sync within a second, even in the middle of a large file
// (fusefat writes some 13 MB/s): the part copied goes, the next sync copies
// the file whole.
TEST(SyncEndToEnd, AStopEndsASyncWithinASecondEvenMidFile) {
    CliWorld w(CliWorld::Player::FatImage);
    ASSERT_TRUE(w.ready());
    const int bytes = 30 << 20;
    w.builder.addTrack({{"Album", "X"}, {"Name", "Long"}}, true, bytes);
    w.writeLibrary();
    ASSERT_TRUE(w.ok({S{"config", "set", "pathToPlayer", w.playerFolder()}, S{"select", "add-album", "X"}}));
    QProcess p;
    p.setProcessEnvironment(w.env);
    p.start(QStringLiteral(BRISLE_BINARY), {QStringLiteral("sync"), QStringLiteral("--library"), w.library()});
    ASSERT_TRUE(waitUntil([&] {
        for (const auto& [path, size] : w.playerFiles())
            if (path.contains(QStringLiteral(".brisle-partial-")) && size > 0) return true;
        return false;
    }, 30000)) << "the copy is under way";
    QElapsedTimer stopping;
    stopping.start();
    ::kill(pid_t(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(20000));
    EXPECT_LT(stopping.elapsed(), 1000);
    EXPECT_EQ(p.exitCode(), 128 + SIGINT);
    EXPECT_EQ(w.playerFileNames(), std::set<QString>{}) << "nothing half-copied is left";
    ASSERT_TRUE(w.ok({S{"sync"}}));
    EXPECT_EQ(w.playerFiles(), (std::map<QString, qint64>{{"X/01 Long.mp3", bytes}}));
}

// Killed at random moments, the sync picks up where it was: nothing complete
// is copied again, nothing outside the player folder changes, the settings
// stay readable and the end result is the plan.
TEST(SyncEndToEnd, KilledAtRandomMomentsItConvergesWithoutRecopying) {
    CliWorld w(CliWorld::Player::Folder);
    QRandomGenerator rng(20261206);
    std::map<QString, qint64> sizes;  // relative path on the player -> source size
    for (int album = 0; album < 40; ++album) {
        for (int track = 1; track <= 15; ++track) {
            int bytes = 100000 + rng.bounded(200000);
            std::string albumName = "Album " + std::to_string(album);
            std::string name = "Song " + std::to_string(track);
            w.builder.addTrack({{"Album", albumName}, {"Name", name}, {"Track Number", track}}, true, bytes);
            sizes[QString::fromStdString(albumName + "/" + QString::asprintf("%02d ", track).toStdString() + name + ".mp3")] = bytes;
        }
    }
    w.writeLibrary();
    ASSERT_EQ(w.run(S{"config", "set", "pathToPlayer", w.playerFolder()}).exitCode, 0);
    for (int album = 0; album < 40; ++album) ASSERT_EQ(w.run(S{"select", "add-album", QStringLiteral("Album %1").arg(album)}).exitCode, 0);

    // Things that are not the player's and must not change.
    QString outside = w.volumesFolder() + QStringLiteral("PLAYER/Documents");
    QDir().mkpath(outside);
    QFile keep(outside + QStringLiteral("/keep.txt"));
    ASSERT_TRUE(keep.open(QIODevice::WriteOnly));
    keep.write("mine");
    keep.close();
    auto before = digestTree(w.volumesFolder() + QStringLiteral("PLAYER/Documents"));
    auto library = digestTree(w.dir.path() + QStringLiteral("/library"));

    // A sync that completes before it was killed often enough gets new work:
    // half the albums taken off (deletions), then put back (copies).
    auto toggleHalf = [&](const char* verb) {
        for (int album = 0; album < 20; ++album) ASSERT_EQ(w.run(S{"select", verb, QStringLiteral("Album %1").arg(album)}).exitCode, 0);
    };
    bool halfOff = false;
    int kills = 0;
    for (int round = 0; round < 150 && kills < 24; ++round) {
        QProcess p;
        p.setProcessEnvironment(w.env);
        p.start(QStringLiteral(BRISLE_BINARY), {QStringLiteral("sync"), QStringLiteral("--library"), w.library()});
        ASSERT_TRUE(p.waitForStarted());
        bool finished = p.waitForFinished(30 + rng.bounded(120));
        if (!finished) {
            p.kill();
            p.waitForFinished();
            ++kills;
        }
        // The settings are whole, whatever the moment.
        std::set<QString> rec = w.recordedFiles();
        // Complete files are never planned for copying again.
        std::map<QString, qint64> present = w.playerFiles();
        QJsonObject plan = w.plan();
        QStringList planned = relative(plan.value(QStringLiteral("copy")).toArray(), "to", w.playerFolder());
        for (const QString& to : planned) {
            auto it = present.find(to);
            EXPECT_FALSE(it != present.end() && it->second == sizes[to]) << "a complete file would be copied again: " << to.toStdString();
        }
        for (const QString& r : rec) EXPECT_TRUE(sizes.count(r)) << "recorded something unplanned: " << r.toStdString();
        if (finished && p.exitCode() == 0 && planned.isEmpty() && plan.value(QStringLiteral("delete")).toArray().isEmpty()) {
            if (kills >= 20) break;
            toggleHalf(halfOff ? "add-album" : "remove");
            halfOff = !halfOff;
        }
    }
    EXPECT_GE(kills, 20) << "the sync was too quick to be interrupted often enough";
    if (halfOff) toggleHalf("add-album");

    RunResult last = w.run(S{"sync"});
    ASSERT_EQ(last.exitCode, 0) << last.err.toStdString();
    std::map<QString, qint64> present = w.playerFiles();
    EXPECT_EQ(present, sizes) << "the player holds exactly the plan, no partial files";
    EXPECT_EQ(w.recordedFiles(), keysOf(sizes));
    EXPECT_EQ(digestTree(w.volumesFolder() + QStringLiteral("PLAYER/Documents")), before);
    EXPECT_EQ(digestTree(w.dir.path() + QStringLiteral("/library")), library);
}

}  // namespace
