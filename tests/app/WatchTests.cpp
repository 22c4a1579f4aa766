#include "app/Controller.h"
#include "platform/Defaults.h"
#include "platform/FileSystem.h"
#include "support/CliWorld.h"
#include "support/ScriptedUi.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <set>

#include <gtest/gtest.h>

#include <csignal>

namespace {

bool waitFor(const std::function<bool()>& condition, int ms = 20000) {
    QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(20);
    }
    return true;
}

void settle(int ms) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

// The controller follows rewrites of the library file the way iTunes makes
// them (a new file replaces the old), and only those.
class LibraryWatching : public ::testing::Test {
protected:
    void SetUp() override {
        a = w.builder.addTrack({{"Album", "X"}, {"Name", "A"}});
        b = w.builder.addTrack({{"Album", "X"}, {"Name", "B"}, {"Track Number", 2}});
        w.builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {a});
        w.writeLibrary();
        controller = std::make_unique<Controller>(defaults, ui, Controller::Options{w.library(), w.dir.path() + QStringLiteral("/cache")});
        ASSERT_TRUE(controller->startUp());
    }
    std::size_t mixSize() const { return controller->library().playlistWithID(QStringLiteral("P1"))->tracks().size(); }

    CliWorld w{CliWorld::Player::Folder};
    Defaults defaults{w.dir.path() + QStringLiteral("/settings.plist")};
    ScriptedUi ui;
    std::unique_ptr<Controller> controller;
    int a = 0, b = 0;
};

TEST_F(LibraryWatching, ARewriteBringsTheNewPlaylistsAndWritingInPlaceDoesNot) {
    ASSERT_EQ(mixSize(), 1u);
    // Written into in place: not acted on.
    QByteArray original;
    {
        QFile f(w.library());
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        original = f.readAll();
        f.seek(0);
        f.write(original);
    }
    settle(1500);
    EXPECT_EQ(mixSize(), 1u);

    // Replaced by a new file with the playlist changed: read again, and again.
    w.builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {a, b});
    w.writeLibrary();
    EXPECT_TRUE(waitFor([&] { return mixSize() == 2; }));
    w.builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {b});
    w.writeLibrary();
    EXPECT_TRUE(waitFor([&] { return mixSize() == 1 && controller->library().playlistWithID(QStringLiteral("P1"))->tracks()[0]->trackId() == b; }));
}

TEST_F(LibraryWatching, AHalfWrittenFileIsWaitedOutNotTakenAsEmpty) {
    // Removed, then back half-written: the playlists stay until a whole file comes.
    ASSERT_TRUE(QFile::remove(w.library()));
    settle(600);
    ASSERT_TRUE(fsys::writeFileAtomically(w.library(), "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Tracks</key><dict>"));
    settle(1500);
    ASSERT_NE(controller->library().playlistWithID(QStringLiteral("P1")), nullptr) << "a half-written file must not empty the playlists";
    EXPECT_EQ(mixSize(), 1u);
    w.builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {a, b});
    w.writeLibrary();
    EXPECT_TRUE(waitFor([&] {
        const Album* mix = controller->library().playlistWithID(QStringLiteral("P1"));
        return mix && mix->tracks().size() == 2;
    }));
}

// The watching sync as a user runs it.
TEST(WatchingSync, FollowsMountsRewritesAndStopsCleanly) {
    CliWorld w(CliWorld::Player::FatImage);
    ASSERT_TRUE(w.ready());
    int a = w.builder.addTrack({{"Album", "X"}, {"Name", "Alpha"}}, true, 2000);
    int b = w.builder.addTrack({{"Album", "X"}, {"Name", "Beta"}, {"Track Number", 2}}, true, 2100);
    int c = w.builder.addTrack({{"Album", "Y"}, {"Name", "Gamma"}}, true, 2200);
    w.builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {a, b});
    w.writeLibrary();
    ASSERT_EQ(w.run({QStringLiteral("config"), QStringLiteral("set"), QStringLiteral("pathToPlayer"), w.playerFolder()}).exitCode, 0);
    ASSERT_EQ(w.run({QStringLiteral("select"), QStringLiteral("add-playlist"), QStringLiteral("Mix")}).exitCode, 0);
    ASSERT_TRUE(w.fat()->unmount());

    QProcess watch;
    watch.setProcessEnvironment(w.env);
    watch.start(QStringLiteral(BRISLE_BINARY), {QStringLiteral("sync"), QStringLiteral("--watch"), QStringLiteral("--library"), w.library()});
    ASSERT_TRUE(watch.waitForStarted());
    ASSERT_TRUE(waitFor([&] { return watch.bytesAvailable() > 0 || watch.state() != QProcess::Running; }));
    QString out;

    // Mounting the player fills it.
    ASSERT_TRUE(w.fat()->mount());
    using Files = std::set<QString>;
    auto files = [&] {
        Files names;
        for (const auto& [path, size] : w.playerFiles()) names.insert(path);
        return names;
    };
    EXPECT_TRUE(waitFor([&] { return files() == Files{QStringLiteral("Mix/01 Alpha.mp3"), QStringLiteral("Mix/02 Beta.mp3")}; }));

    // iTunes rewrites the library with the playlist changed.
    w.builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {c, a});
    w.writeLibrary();
    EXPECT_TRUE(waitFor([&] { return files() == Files{QStringLiteral("Mix/01 Gamma.mp3"), QStringLiteral("Mix/02 Alpha.mp3")}; }));

    // Unmounting stops the work without errors; a stop request ends it cleanly.
    ASSERT_TRUE(w.fat()->unmount());
    settle(1000);
    EXPECT_EQ(watch.state(), QProcess::Running);
    ::kill(pid_t(watch.processId()), SIGTERM);
    ASSERT_TRUE(watch.waitForFinished(20000));
    out = QString::fromUtf8(watch.readAllStandardOutput());
    QString err = QString::fromUtf8(watch.readAllStandardError());
    EXPECT_EQ(watch.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(watch.exitCode(), 0) << out.toStdString() << err.toStdString();
    EXPECT_TRUE(err.trimmed().isEmpty()) << err.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("The player PLAYER was mounted."))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("The library file was rewritten"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("The player PLAYER was unmounted."))) << out.toStdString();
}

}  // namespace
