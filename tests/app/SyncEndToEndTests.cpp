// Syncs by the command line onto a real FAT player.

#include "support/CliWorld.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <set>

using plist::Object;
using S = QStringList;

namespace {

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
    // The player is the one volume listed, FAT through FUSE.
    RunResult volumes = w.run(S{"volumes", "--json"});
    const QJsonArray listed = QJsonDocument::fromJson(volumes.out.toUtf8()).object().value(u"volumes").toArray();
    ASSERT_EQ(listed.size(), 1) << volumes.out.toStdString();
    EXPECT_EQ(listed[0].toObject().value(u"fileSystem").toString(), u"fuse.fusefat");
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
    EXPECT_EQ(w.plannedPaths(plan, "move", "from"), S{"Mix/03 Say _Hello_ _Live_.mp3"});
    EXPECT_EQ(w.plannedPaths(plan, "move", "to"), S{"Other songs/01 Say _Hello_ _Live_.mp3"});
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

// FAT ignores case, and names map "A:B" to "A_B": wanted files at one place
// get names of their own, told once, the same on every pass.
TEST(SyncEndToEnd, WantedFilesAtOnePlaceOnAFatPlayerGetNamesOfTheirOwn) {
    CliWorld w(CliWorld::Player::FatImage);
    ASSERT_TRUE(w.ready());
    for (const char* album : {"Mix", "MIX", "A:B", "A_B"}) w.builder.addTrack({{"Album", album}, {"Name", "One"}}, true, 3000);
    w.writeLibrary();
    ASSERT_TRUE(w.ok({S{"config", "set", "pathToPlayer", w.playerFolder()}}));
    for (const char* album : {"Mix", "MIX", "A:B", "A_B"}) ASSERT_TRUE(w.ok({S{"select", "add-album", album}}));
    RunResult r = w.run(S{"sync"});
    EXPECT_EQ(r.exitCode, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_EQ(r.out.count(QStringLiteral("would stand at the same place")), 2) << r.out.toStdString();
    const std::set<QString> expected = {"MIX/01 One.mp3", "Mix 2/01 One.mp3", "A_B/01 One.mp3", "A_B/01 One 2.mp3"};
    EXPECT_EQ(w.playerFileNames(), expected);
    EXPECT_EQ(w.recordedFiles(), expected);
    r = w.run(S{"sync"});
    EXPECT_TRUE(r.out.contains(QStringLiteral("up to date")) && !r.out.contains(QStringLiteral("same place"))) << r.out.toStdString();
}

// fusefat refuses every name beyond ASCII; an exFAT player takes them. There
// exfat-fuse shows as "fuseblk": the device tells it is exFAT, so FAT's name
// rules hold, and a long name is cut to 255 UTF-16 units.
TEST(SyncEndToEnd, NamesBeyondAsciiArriveOnAnExFatPlayerAndStayInStep) {
    CliWorld w(CliWorld::Player::ExFatImage);
    ASSERT_TRUE(w.ready());
    for (const QString& name : {QStringLiteral("Été"), QStringLiteral("Say \"Oui\""), QString(300, QChar(0xE9))})
        w.builder.addTrack({{"Album", "Café Señorita"}, {"Name", name.toStdString()}});
    w.writeLibrary();
    ASSERT_TRUE(w.ok({S{"config", "set", "pathToPlayer", w.playerFolder()}, S{"select", "add-album", "Café Señorita"}, S{"sync"}}));
    const std::set<QString> expected = {"Café Señorita/01 Say _Oui_.mp3", "Café Señorita/02 Été.mp3", "Café Señorita/03 " + QString(124, QChar(0xE9)) + ".mp3"};
    EXPECT_EQ(w.playerFileNames(), expected);
    EXPECT_EQ(w.recordedFiles(), expected);
    EXPECT_TRUE(w.run(S{"sync"}).out.contains(QStringLiteral("up to date")));
}

// A song that cannot be converted is told once by name and set aside until
// its file changes: it holds up neither the sync nor a sort or an eject.
TEST(SyncEndToEnd, ASongThatCannotBeConvertedIsSetAsideAndBlocksNothing) {
    CliWorld w(CliWorld::Player::FatImage);
    ASSERT_TRUE(w.ready());
    w.builder.addTrack({{"Album", "X"}, {"Name", "Fine"}});
    int broken = w.builder.addTrack({{"Album", "X"}, {"Name", "Broken"}, {"Kind", "WAV audio file"}});
    w.writeLibrary();
    ASSERT_TRUE(w.ok({S{"config", "set", "pathToPlayer", w.playerFolder()}, S{"select", "add-album", "X"}}));
    RunResult r = w.run(S{"sync"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.count(QStringLiteral("\"Broken\" could not be converted")), 1) << r.err.toStdString();
    EXPECT_EQ(w.playerFileNames(), std::set<QString>{"X/02 Fine.mp3"});
    for (const char* command : {"sync", "sort", "eject"}) {
        r = w.run(S{QLatin1String(command)});
        EXPECT_EQ(r.exitCode, 0) << command << r.err.toStdString();
        EXPECT_FALSE(r.err.contains(QStringLiteral("Broken"))) << r.err.toStdString();
    }
    ASSERT_TRUE(w.fat()->mount());
    ASSERT_TRUE(writeFile(w.builder.pathOf(broken), "changed"));
    EXPECT_EQ(w.plan().value(QStringLiteral("convert")).toArray().size(), 1) << "a changed file is tried again";
}

}  // namespace
