// A sync stopped by the user on a real FAT player, in the middle of a file
// large enough to take seconds.

#include "support/CliWorld.h"

#include <QElapsedTimer>
#include <QProcess>

#include <gtest/gtest.h>

#include <csignal>

using S = QStringList;

namespace {

// A stop ends a sync within a second, even in the middle of a large file
// (fusefat writes some 13 MB/s): the part copied goes, the next sync copies
// the file whole.
TEST(SyncStop, AStopEndsASyncWithinASecondEvenMidFile) {
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

}  // namespace
