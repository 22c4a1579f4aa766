#include "platform/FileSystem.h"
#include "support/CliWorld.h"

#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <csignal>

namespace {

// The watching sync as a user runs it. It follows the player's mounts, and
// rewrites of the library file the way iTunes makes them (a new file replaces
// the old), and only those: a file written into in place, or caught
// half-written, is not read (its missing playlists would empty the player).
TEST(WatchingSync, FollowsMountsAndRewritesAndStopsCleanly) {
    CliWorld w(CliWorld::Player::FatImage);
    ASSERT_TRUE(w.ready());
    int a = w.builder.addTrack({{"Album", "X"}, {"Name", "Alpha"}}, true, 2000);
    int b = w.builder.addTrack({{"Album", "X"}, {"Name", "Beta"}, {"Track Number", 2}}, true, 2100);
    int c = w.builder.addTrack({{"Album", "Y"}, {"Name", "Gamma"}}, true, 2200);
    w.builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {a, b});
    w.writeLibrary();
    ASSERT_TRUE(w.ok({{"config", "set", "pathToPlayer", w.playerFolder()}, {"select", "add-playlist", "Mix"}}));
    ASSERT_TRUE(w.fat()->unmount());

    QProcess watch;
    watch.setProcessEnvironment(w.env);
    watch.start(QStringLiteral(BRISLE_BINARY), {QStringLiteral("sync"), QStringLiteral("--watch"), QStringLiteral("--library"), w.library()});
    ASSERT_TRUE(watch.waitForStarted());
    ASSERT_TRUE(waitUntil([&] { return watch.bytesAvailable() > 0 || watch.state() != QProcess::Running; }, 20000));

    // Mounting the player fills it.
    ASSERT_TRUE(w.fat()->mount());
    using Files = std::set<QString>;
    EXPECT_TRUE(waitUntil([&] { return w.playerFileNames() == Files{"Mix/01 Alpha.mp3", "Mix/02 Beta.mp3"}; }, 20000));

    auto settle = [](int ms) { waitUntil([] { return false; }, ms); };
    {
        QFile f(w.library());
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        const QByteArray whole = f.readAll();
        f.seek(0);
        f.write(whole);
    }
    settle(1500);
    ASSERT_TRUE(QFile::remove(w.library()));
    settle(600);
    ASSERT_TRUE(fsys::writeFileAtomically(w.library(), "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Tracks</key><dict>"));
    settle(1500);
    EXPECT_EQ(w.playerFileNames(), (Files{"Mix/01 Alpha.mp3", "Mix/02 Beta.mp3"}));

    // iTunes rewrites the library with the playlist changed, and again.
    w.builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {c, a});
    w.writeLibrary();
    EXPECT_TRUE(waitUntil([&] { return w.playerFileNames() == Files{"Mix/01 Gamma.mp3", "Mix/02 Alpha.mp3"}; }, 20000));
    w.builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {c});
    w.writeLibrary();
    EXPECT_TRUE(waitUntil([&] { return w.playerFileNames() == Files{"Mix/01 Gamma.mp3"}; }, 20000));

    // Unmounting stops the work without errors; a stop request ends it cleanly.
    ASSERT_TRUE(w.fat()->unmount());
    settle(1000);
    EXPECT_EQ(watch.state(), QProcess::Running);
    ::kill(pid_t(watch.processId()), SIGTERM);
    ASSERT_TRUE(watch.waitForFinished(20000));
    const QString out = QString::fromUtf8(watch.readAllStandardOutput()), err = QString::fromUtf8(watch.readAllStandardError());
    EXPECT_EQ(watch.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(watch.exitCode(), 0) << out.toStdString() << err.toStdString();
    EXPECT_TRUE(err.trimmed().isEmpty()) << err.toStdString();
    for (const char* line : {"The player PLAYER was mounted.", "The player PLAYER was unmounted."})
        EXPECT_TRUE(out.contains(QLatin1String(line))) << out.toStdString();
    EXPECT_EQ(out.count(QStringLiteral("The library file was rewritten")), 2) << out.toStdString();
}

}  // namespace
