// The command line as a user without the window drives it, on a plain folder
// that stands in for the player.

#include "support/CliWorld.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <map>

using plist::Object;
using S = QStringList;

namespace {

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        x1 = w.builder.addTrack({{"Album", "X"}, {"Name", "First"}, {"Track Number", 1}});
        x2 = w.builder.addTrack({{"Album", "X"}, {"Name", "Second"}, {"Track Number", 2}});
        loose = w.builder.addTrack({{"Album", Object()}, {"Name", "Loose"}});
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
    ASSERT_TRUE(w.ok({{"select", "add-playlist", "Road"}, {"select", "add-album", "x"} /* names are found without regard to case */,
                      {"select", "add-song", "Loose"}, {"select", "check", "X", "2", "off"}, {"select", "mode", "Road", "as-albums"}}));
    QJsonArray items = listed();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0].toObject().value(QStringLiteral("kind")).toString(), QStringLiteral("playlist"));
    EXPECT_EQ(items[0].toObject().value(QStringLiteral("mode")).toString(), QStringLiteral("As albums"));
    QJsonObject album = items[1].toObject();
    EXPECT_EQ(album.value(QStringLiteral("checked")).toInt(), -1);
    EXPECT_EQ(album.value(QStringLiteral("tracks")).toArray()[1].toObject().value(QStringLiteral("checked")).toInt(), 0);
    EXPECT_EQ(items[2].toObject().value(QStringLiteral("name")).toString(), QStringLiteral("Loose"));

    ASSERT_TRUE(w.ok({{"select", "remove", "Road"}}));
    EXPECT_EQ(listed().size(), 2);
}

TEST_F(Cli, AmbiguousAndUnknownNamesAreRefusedWithNothingWritten) {
    ASSERT_TRUE(w.ok({{"select", "list"}}));
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

}  // namespace
