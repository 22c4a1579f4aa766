// The command line as a user without the window drives it, on a plain folder
// that stands in for the player.

#include "support/CliWorld.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <map>

#include <csignal>

using plist::Object;
using S = QStringList;

namespace {

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        x1 = w.builder.addTrack({{"Album", "X"}, {"Name", "First"}, {"Track Number", 1}});
        x2 = w.builder.addTrack({{"Album", "X"}, {"Name", "Second"}, {"Track Number", 2}});
        loose = w.builder.addTrack({{"Album", Object()}, {"Name", "Na\u00efve"}});  // stored composed
        twin1 = w.builder.addTrack({{"Album", "Y"}, {"Name", "Twin"}});
        twin2 = w.builder.addTrack({{"Album", "Z"}, {"Name", "Twin"}});
        w.builder.addPlaylist(QStringLiteral("Road"), QStringLiteral("P1"), {x1, loose});
        w.builder.addPlaylist(QStringLiteral("Same"), QStringLiteral("P2"), {x2});
        w.builder.addPlaylist(QStringLiteral("Same"), QStringLiteral("P3"), {x1});
        w.writeLibrary();
    }
    QJsonArray listed() {
        RunResult r = w.run({"select", "list", "--json"});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        return QJsonDocument::fromJson(r.out.toUtf8()).object().value(QStringLiteral("items")).toArray();
    }

    CliWorld w{CliWorld::Player::Folder};
    int x1, x2, loose, twin1, twin2;
};

TEST_F(Cli, ChoosingWhatGoesOnThePlayerIsSavedAndRestored) {
    int cafe = w.builder.addTrack({{"Album", "Cafe\u0301"}});  // stored decomposed
    w.builder.addPlaylist(QStringLiteral("Trip"), QStringLiteral("P4"), {cafe, w.builder.addTrack({{"Protected", true}}), w.builder.addTrack({}, false)});
    w.writeLibrary();
    // Names are found without regard to case, and typed composed or not.
    ASSERT_TRUE(w.ok({{"select", "add-playlist", "Road"}, {"select", "add-album", "x"}, {"select", "add-song", "Nai\u0308ve"},
                      {"select", "check", "X", "2", "off"}, {"select", "mode", "Road", "as-albums"}, {"select", "add-album", "Caf\u00e9"}}));
    EXPECT_TRUE(w.run({"select", "add-playlist", "Trip"}).out.contains(
        "with 1 of its 3 tracks; the others can't be placed (protected: 1, file missing: 1)"));
    EXPECT_TRUE(w.run({"library"}).out.contains("Songs: 6 in 5 albums; playlists: 4\nLeft out: 2 tracks (protected: 1, file missing: 1)"));
    QJsonArray items = listed();
    ASSERT_EQ(items.size(), 5);
    EXPECT_EQ(items[0].toObject().value(QStringLiteral("kind")).toString(), QStringLiteral("playlist"));
    EXPECT_EQ(items[0].toObject().value(QStringLiteral("mode")).toString(), QStringLiteral("As albums"));
    QJsonObject album = items[3].toObject();
    EXPECT_EQ(album.value(QStringLiteral("checked")).toInt(), -1);
    EXPECT_EQ(album.value(QStringLiteral("tracks")).toArray()[1].toObject().value(QStringLiteral("checked")).toInt(), 0);
    EXPECT_EQ(items[4].toObject().value(QStringLiteral("name")).toString(), QStringLiteral("Na\u00efve"));

    ASSERT_TRUE(w.ok({{"select", "remove", "Road"}}));
    EXPECT_EQ(listed().size(), 4);
}

TEST_F(Cli, AmbiguousAndUnknownNamesAreRefusedWithNothingWritten) {
    ASSERT_TRUE(w.ok({{"select", "add-album", "X"}}));
    QByteArray before = w.settingsBytes();
    RunResult r = w.run({"select", "add-playlist", "Same"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("P2")) && r.err.contains(QStringLiteral("P3"))) << r.err.toStdString();
    r = w.run({"select", "add-song", "Twin"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(w.builder.persistentIdOf(twin1)) && r.err.contains(w.builder.persistentIdOf(twin2)));
    EXPECT_EQ(w.settingsBytes(), before);
    ASSERT_TRUE(w.ok({{"select", "add-song", w.builder.persistentIdOf(twin2)}})) << "an identifier picks one";
    before = w.settingsBytes();
    for (auto [args, code] : {std::pair{S{"select", "add-album", "Nope"}, 1}, {S{"select", "mode", "Road", "sideways"}, 2},
                              {S{"select", "check", "Nope", "1", "on"}, 1}, {S{"select", "frobnicate"}, 2}})
        EXPECT_EQ(w.run(args).exitCode, code) << args.join(u' ').toStdString();
    EXPECT_EQ(w.settingsBytes(), before);
}

TEST_F(Cli, SettingsAreTypedAndBadValuesRefused) {
    QDir(w.playerFolder()).removeRecursively();
    ASSERT_TRUE(w.ok({{"config", "set", "convertToBitrate", "192"}, {"config", "set", "createArtistSubfolders", "yes"},
                      {"config", "set", "pathToPlayer", w.playerFolder() + u'/'}}));
    EXPECT_FALSE(QFileInfo::exists(w.playerFolder())) << "nothing is made in a folder that is no mounted volume";
    QByteArray before = w.settingsBytes();
    for (const S& bad : {S{"config", "set", "convertToBitrate", "fast"}, S{"config", "set", "convertToBitrate", "5000"},
                         S{"config", "set", "sortFilesOnDisk", "maybe"}, S{"config", "set", "noSuchKey", "1"},
                         S{"config", "set", "wantedStuff", "x"}, S{"config", "set", "pathToPlayer", "/home/me/Music"},
                         S{"config", "set", "playerProfile", "Toaster"}, S{"config", "set", "convertToFormat", "OGG"}}) {
        RunResult r = w.run(bad);
        EXPECT_EQ(r.exitCode, 2) << bad.join(u' ').toStdString();
        EXPECT_FALSE(r.err.isEmpty());
    }
    EXPECT_EQ(w.settingsBytes(), before);

    RunResult shown = w.run({"config", "show", "--json"});
    ASSERT_EQ(shown.exitCode, 0);
    QJsonObject values = QJsonDocument::fromJson(shown.out.toUtf8()).object();
    EXPECT_EQ(values.value(QStringLiteral("convertToBitrate")).toInt(), 192);
    EXPECT_EQ(values.value(QStringLiteral("createArtistSubfolders")).toBool(), true);
    EXPECT_EQ(values.value(QStringLiteral("pathToPlayer")).toString(), w.playerFolder());
    EXPECT_EQ(values.value(QStringLiteral("wantedSongs")).toArray().size(), 0) << "a new player clears the older list";
    EXPECT_EQ(values.value(QStringLiteral("playerProfile")).toString(), QStringLiteral("Standard MP3 player"));
}

// The library as other programs read it: every song once with the values the
// list shows, and albums and playlists naming their songs by ID.
TEST_F(Cli, TheLibraryAsJsonGivesEachSongWithItsAlbumsAndPlaylists) {
    const QString odd = QStringLiteral("Tab\there \"quoted\" back\\slash 🎵");
    int x3 = w.builder.addTrack({{"Album", "X"}, {"Name", odd.toStdString()}, {"Track Number", 3}}, true, 1234);
    int nameless = w.builder.addTrack({{"Album", "Y"}, {"Name", Object()}});
    w.writeLibrary();
    RunResult r = w.run({"library", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QJsonParseError error;
    QJsonObject lib = QJsonDocument::fromJson(r.out.toUtf8(), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    EXPECT_EQ(lib.value(u"libraryPath").toString(), w.library());
    EXPECT_EQ(lib.value(u"usable").toInt(), 7);
    auto pid = [&](int track) { return w.builder.persistentIdOf(track); };
    std::map<QString, QJsonObject> songs;
    for (const QJsonValue& song : lib.value(u"songs").toArray()) songs[song[u"persistentId"].toString()] = song.toObject();
    ASSERT_EQ(songs.size(), 7u) << "each song once";
    const QJsonObject& third = songs[pid(x3)];
    EXPECT_EQ(third.value(u"name").toString(), odd);
    EXPECT_EQ(third.value(u"trackId").toInt(), x3);
    EXPECT_EQ(third.value(u"index").toInt(), 3);
    EXPECT_EQ(third.value(u"copiedSize").toInteger(), 1234);
    EXPECT_EQ(third.value(u"needsConversion"), QJsonValue(false));
    EXPECT_TRUE(third.value(u"albumPath").toString().endsWith(u".mp3")) << third.value(u"albumPath").toString().toStdString();
    EXPECT_TRUE(songs[pid(nameless)].value(u"name").isNull());
    EXPECT_EQ(songs[pid(loose)].value(u"album").toString(), QStringLiteral("Other songs"));
    auto tracksOf = [&](const char* list, const QString& name) {
        QStringList ids;
        for (const QJsonValue& item : lib.value(QLatin1String(list)).toArray())
            if (item[u"name"].toString() == name)
                for (const QJsonValue& id : item[u"tracks"].toArray()) ids.append(id.toString());
        return ids;
    };
    EXPECT_EQ(tracksOf("albums", QStringLiteral("X")), (S{pid(x1), pid(x2), pid(x3)}));
    EXPECT_EQ(tracksOf("playlists", QStringLiteral("Road")), (S{pid(x1), pid(loose)}));
}

TEST_F(Cli, APlayerThatIsNotThereOrIsNoVolumeIsAClearError) {
    RunResult none = w.run({"sync"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_TRUE(none.err.contains(QStringLiteral("no player is chosen"))) << none.err.toStdString();
    ASSERT_TRUE(w.ok({{"config", "set", "pathToPlayer", w.volumesFolder() + QStringLiteral("GONE/Music")}}));
    RunResult gone = w.run({"sync"});
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_TRUE(gone.err.contains(QStringLiteral("not mounted"))) << gone.err.toStdString();

    // A folder that stands for a player is no volume to eject.
    ASSERT_TRUE(w.ok({{"config", "set", "pathToPlayer", w.playerFolder()}}));
    RunResult eject = w.run({"eject"});
    EXPECT_EQ(eject.exitCode, 1);
    EXPECT_TRUE(eject.err.contains(QStringLiteral("Eject failed: Brisle was unable to eject your player.")) &&
                eject.err.contains(QStringLiteral("not on a volume")))
        << eject.err.toStdString();
    EXPECT_TRUE(QFileInfo(w.playerFolder()).isDir()) << "nothing changes";
}

TEST_F(Cli, FilesThatCannotBeCopiedAreNamedAndTheExitFails) {
    ASSERT_TRUE(w.ok({{"config", "set", "pathToPlayer", w.playerFolder()}, {"select", "add-album", "X"}, {"select", "add-album", "Y"}}));
    // A file of the user's stands where the album's folder would go.
    ASSERT_TRUE(writeFile(w.playerFolder() + QStringLiteral("/X"), {}));
    RunResult r = w.run({"sync"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("X/01 First.mp3"))) << r.err.toStdString();
    EXPECT_EQ(w.playerFileNames(), (std::set<QString>{"X", "Y/01 Twin.mp3"})) << "the user's file is left alone";
}

// Each command refuses an option or a word it does not take with its usage,
// before anything is read or written, and takes --help and --opt=value.
TEST_F(Cli, EveryCommandRefusesWhatItDoesNotTakeWithNothingWritten) {
    ASSERT_TRUE(w.ok({{"config", "set", "pathToPlayer", w.playerFolder()}}));
    const std::pair<S, int> commands[] = {{{"library"}, 0}, {{"select", "list"}, 0}, {{"select", "add-album", "X"}, 0}, {{"config", "show"}, 0},
                                          {{"config", "set", "convertToBitrate", "192"}, 0}, {{"plan", "--json"}, 0}, {{"sync"}, 0},
                                          {{"sync", "--watch"}, -1}, {{"volumes"}, 0}, {{"sort"}, 0}, {{"eject"}, 1}};
    for (const auto& [args, exitWithValueForm] : commands) {
        const std::string name = args.join(u' ').toStdString();
        const QStringList tree = treeOf(w.dir.path());
        const QByteArray settings = w.settingsBytes();
        for (const S& wrong : {args + S{"-x", "--config", w.dir.path() + "/typo/Brisle.plist"}, args + S{"stray"}}) {
            RunResult r = w.run(wrong);
            EXPECT_EQ(r.exitCode, 2) << name;
            EXPECT_TRUE(r.err.startsWith("brisle: " + args[0]) && r.err.contains("usage: brisle " + args[0])) << r.err.toStdString();
        }
        RunResult help = w.run(args + S{"--help"});
        EXPECT_TRUE(help.exitCode == 0 && help.out.contains("example:\n  brisle ")) << name;
        EXPECT_EQ(treeOf(w.dir.path()), tree) << name;
        EXPECT_EQ(w.settingsBytes(), settings) << name;
        if (exitWithValueForm < 0) continue;
        EXPECT_EQ(w.run(args + S{"--config=" + w.settingsFile()}).exitCode, exitWithValueForm) << name;
    }
    const auto player = w.playerFiles();
    ASSERT_TRUE(w.ok({{"select", "list", "--config", w.dir.path() + "/typo/Brisle.plist"}, {"select", "add-album", "Y"}, {"sync", "-n"}}));
    EXPECT_FALSE(QFileInfo::exists(w.dir.path() + "/typo")) << "a command that only reads makes no folders";
    EXPECT_EQ(w.playerFiles(), player) << "-n is --dry-run";
    for (const S& wrong : {S{"frob"}, S{"-q", "sync"}, S{"help", "frob"}, S{"sync", "--json=1"}, S{"volumes", "--volumes", w.library()}})
        EXPECT_EQ(w.run(wrong).exitCode, 2);

    EXPECT_EQ(runBrisle({"help", "sync"}, w.env).out, w.run({"sync", "--help"}).out);
    RunResult overview = w.run({"--help"});
    EXPECT_TRUE(overview.out.contains("sync --watch")) << overview.out.toStdString();
    EXPECT_TRUE(w.run({"--version"}).out.startsWith("brisle 2."));
    // The README's command reference is the overview itself.
    QString indented = overview.out.split(u'\n').replaceInStrings(QRegularExpression("^(.)"), "    \\1").join(u'\n');
    EXPECT_TRUE(QString::fromUtf8(readFile(BRISLE_SOURCE_DIR "/README.md")).contains(indented)) << indented.toStdString();
}

// A library file cut short, zero-filled or of another kind is an error that
// names the file and the place, never an empty library; nothing changes.
TEST_F(Cli, ABrokenLibraryFileIsAnErrorThatChangesNothing) {
    ASSERT_TRUE(w.ok({{"config", "set", "pathToPlayer", w.playerFolder()}, {"select", "add-album", "X"}, {"sync"}}));
    const QByteArray whole = readFile(w.library()), settings = w.settingsBytes();
    const auto player = w.playerFiles();
    for (const QByteArray& bytes : {whole.left(whole.size() / 2), QByteArray(4096, '\0'), QByteArray("{\"Tracks\": {}}")}) {
        ASSERT_TRUE(writeFile(w.library(), bytes));
        for (const S& args : {S{"sync", "--yes"}, S{"select", "list"}, S{"select", "remove", "X"}}) {
            RunResult r = w.run(args);
            EXPECT_EQ(r.exitCode, 1);
            EXPECT_TRUE(r.err.contains(w.library() + ": not a property list: ") && r.err.contains("(near byte ")) << r.err.toStdString();
        }
        EXPECT_EQ(readFile(w.library()), bytes);
    }
    EXPECT_EQ(w.settingsBytes(), settings);
    EXPECT_EQ(w.playerFiles(), player);

    w.useLibrary(w.dir.path() + "/nowhere.xml");
    RunResult missing = w.run({"select", "list"});
    EXPECT_TRUE(missing.exitCode == 1 && missing.err.contains("brisle: iTunes Library not found: nothing at " + w.library()) &&
                missing.err.contains("--library"))
        << missing.err.toStdString();

    // A damaged settings file is left to the next command that writes settings.
    ASSERT_TRUE(writeFile(w.settingsFile(), "<plist><dict>"));
    for (const S& args : {S{"config", "show"}, S{"volumes"}, S{"sync", "-n"}}) EXPECT_TRUE(w.run(args).err.contains("is damaged")) << args[0].toStdString();
    EXPECT_EQ(w.settingsBytes(), "<plist><dict>");
    w.run({"config", "set", "convertToBitrate", "192"});
    EXPECT_EQ(readFile(w.settingsFile() + ".unreadable"), "<plist><dict>");
}

// An unusable library is moved aside for a rewrite; interrupting the wait
// puts it back.
TEST_F(Cli, AnInterruptedWaitForTheLibraryRewritePutsTheFileBack) {
    LibraryBuilder streams(w.dir.path() + "/streams");
    streams.addTrack({{"Track Type", "URL"}});
    w.useLibrary(streams.write());
    const QByteArray bytes = readFile(w.library());
    for (int signal : {SIGINT, SIGTERM}) {
        QProcess p;
        p.setProcessEnvironment(w.env);
        p.start(BRISLE_BINARY, {"select", "list", "--yes", "--library", w.library()});
        QString err;
        ASSERT_TRUE(waitUntil([&] { return (err += p.readAllStandardError()).contains("waiting for that"); })) << err.toStdString();
        ::kill(pid_t(p.processId()), signal);
        ASSERT_TRUE(p.waitForFinished(10000));
        EXPECT_EQ(p.exitCode(), 128 + signal);
        EXPECT_EQ(readFile(w.library()), bytes);
        EXPECT_FALSE(QFileInfo::exists(w.library() + " (Brisle backup)"));
    }
}

}  // namespace
