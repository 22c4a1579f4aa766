// A sync killed at random moments, again and again, on a large selection.

#include "support/CliWorld.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>

#include <gtest/gtest.h>

using S = QStringList;

namespace {

// Everything under a folder with a digest of each file, to prove it unchanged.
std::map<QString, QByteArray> digestTree(const QString& folder) {
    std::map<QString, QByteArray> out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QString path = it.next();
        out[path] = QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha1);
    }
    return out;
}

// Killed at random moments, the sync picks up where it was: nothing complete
// is copied again, nothing outside the player folder changes, the settings
// stay readable and the end result is the plan.
TEST(SyncCrash, KilledAtRandomMomentsItConvergesWithoutRecopying) {
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
    ASSERT_TRUE(writeFile(w.volumesFolder() + QStringLiteral("PLAYER/Documents/keep.txt"), "mine"));
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
        QStringList planned = w.plannedPaths(plan, "copy", "to");
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
    EXPECT_EQ(w.recordedFiles(), w.playerFileNames());
    EXPECT_EQ(digestTree(w.volumesFolder() + QStringLiteral("PLAYER/Documents")), before);
    EXPECT_EQ(digestTree(w.dir.path() + QStringLiteral("/library")), library);
}

}  // namespace
