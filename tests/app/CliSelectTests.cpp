#include "platform/Defaults.h"
#include "platform/plist/Plist.h"
#include "support/LibraryBuilder.h"
#include "support/RunBrisle.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// The command line as a user without the window drives it.
class CliSelect : public ::testing::Test {
protected:
    void SetUp() override {
        x1 = builder.addTrack({{"Album", "X"}, {"Name", "First"}, {"Track Number", 1}});
        x2 = builder.addTrack({{"Album", "X"}, {"Name", "Second"}, {"Track Number", 2}});
        loose = builder.addTrack({{"Album", plist::Object()}, {"Name", "Loose"}});
        twin1 = builder.addTrack({{"Album", "Y"}, {"Name", "Twin"}});
        twin2 = builder.addTrack({{"Album", "Z"}, {"Name", "Twin"}});
        builder.addPlaylist(QStringLiteral("Road"), QStringLiteral("P1"), {x1, loose});
        builder.addPlaylist(QStringLiteral("Same"), QStringLiteral("P2"), {x2});
        builder.addPlaylist(QStringLiteral("Same"), QStringLiteral("P3"), {x1});
        library = builder.write();
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.path() + QStringLiteral("/config"));
        env.insert(QStringLiteral("XDG_CACHE_HOME"), dir.path() + QStringLiteral("/cache"));
        env.insert(QStringLiteral("BRISLE_VOLUMES"), dir.path() + QStringLiteral("/Volumes"));
    }

    RunResult run(QStringList args) {
        args << QStringLiteral("--library") << library;
        return runBrisle(args, env);
    }
    QByteArray settings() const {
        QFile f(dir.path() + QStringLiteral("/config/Brisle/Brisle.plist"));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }
    QJsonArray listed() {
        RunResult r = run({QStringLiteral("select"), QStringLiteral("list"), QStringLiteral("--json")});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        return QJsonDocument::fromJson(r.out.toUtf8()).object().value(QStringLiteral("items")).toArray();
    }

    QTemporaryDir dir;
    LibraryBuilder builder{dir.path() + QStringLiteral("/library")};
    QString library;
    QProcessEnvironment env;
    int x1, x2, loose, twin1, twin2;
};

TEST_F(CliSelect, ChoosingWhatGoesOnThePlayerIsSavedAndRestored) {
    using S = QStringList;
    EXPECT_EQ(run(S{"select", "add-playlist", "Road"}).exitCode, 0);
    EXPECT_EQ(run(S{"select", "add-album", "x"}).exitCode, 0) << "names are found without regard to case";
    EXPECT_EQ(run(S{"select", "add-song", "Loose"}).exitCode, 0);
    EXPECT_EQ(run(S{"select", "check", "X", "2", "off"}).exitCode, 0);
    EXPECT_EQ(run(S{"select", "mode", "Road", "as-albums"}).exitCode, 0);

    QJsonArray items = listed();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0].toObject().value(QStringLiteral("kind")).toString(), QStringLiteral("playlist"));
    EXPECT_EQ(items[0].toObject().value(QStringLiteral("mode")).toString(), QStringLiteral("As albums"));
    QJsonObject album = items[1].toObject();
    EXPECT_EQ(album.value(QStringLiteral("checked")).toInt(), -1);
    EXPECT_EQ(album.value(QStringLiteral("tracks")).toArray()[1].toObject().value(QStringLiteral("checked")).toInt(), 0);
    EXPECT_EQ(items[2].toObject().value(QStringLiteral("name")).toString(), QStringLiteral("Loose"));

    // Exactly the stored forms the window uses.
    Defaults stored(dir.path() + QStringLiteral("/config/Brisle/Brisle.plist"));
    ASSERT_TRUE(stored.load());
    const plist::Object wanted = stored.object("wantedStuff").value_or(plist::Object());
    EXPECT_EQ(*wanted.find("wantedPlaylists"), plist::Object(plist::Object::Array{plist::Object(plist::Object::Dict{{"persistentID", "P1"}, {"mode", 1}})}));
    EXPECT_EQ(*wanted.find("wantedSongs"), plist::Object(plist::Object::Array{builder.persistentIdOf(loose).toStdString()}));
    EXPECT_EQ(*wanted.find("wantedAlbums"), plist::Object(plist::Object::Array{plist::Object(plist::Object::Dict{
                                                 {"Name", "X"}, {"avoidTracks", plist::Object(plist::Object::Array{builder.persistentIdOf(x2).toStdString()})}, {"matchDisabled", false}})}));

    EXPECT_EQ(run(S{"select", "remove", "Road"}).exitCode, 0);
    EXPECT_EQ(listed().size(), 2);
}

TEST_F(CliSelect, AmbiguousAndUnknownNamesAreRefusedWithNothingWritten) {
    using S = QStringList;
    EXPECT_EQ(run(S{"select", "list"}).exitCode, 0);
    QByteArray before = settings();
    RunResult r = run(S{"select", "add-playlist", "Same"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("P2")) && r.err.contains(QStringLiteral("P3"))) << r.err.toStdString();
    r = run(S{"select", "add-song", "Twin"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(builder.persistentIdOf(twin1)) && r.err.contains(builder.persistentIdOf(twin2)));
    EXPECT_EQ(run(S{"select", "add-song", builder.persistentIdOf(twin2)}).exitCode, 0) << "an identifier picks one";
    before = settings();
    EXPECT_EQ(run(S{"select", "add-album", "Nope"}).exitCode, 1);
    EXPECT_EQ(run(S{"select", "mode", "Road", "sideways"}).exitCode, 2);
    EXPECT_EQ(run(S{"select", "check", "Nope", "1", "on"}).exitCode, 1);
    EXPECT_EQ(run(S{"select", "frobnicate"}).exitCode, 2);
    EXPECT_EQ(settings(), before);
}

TEST_F(CliSelect, SettingsAreTypedAndBadValuesRefused) {
    using S = QStringList;
    EXPECT_EQ(run(S{"config", "set", "convertToBitrate", "192"}).exitCode, 0);
    EXPECT_EQ(run(S{"config", "set", "createArtistSubfolders", "yes"}).exitCode, 0);
    QDir().mkpath(dir.path() + QStringLiteral("/Volumes/PLAYER"));
    EXPECT_EQ(run(S{"config", "set", "pathToPlayer", dir.path() + QStringLiteral("/Volumes/PLAYER/Music/")}).exitCode, 0);
    EXPECT_FALSE(QFileInfo(dir.path() + QStringLiteral("/Volumes/PLAYER/Music")).exists()) << "nothing is made in a folder that is no mounted volume";
    QByteArray before = settings();
    for (const S& bad : {S{"config", "set", "convertToBitrate", "fast"}, S{"config", "set", "convertToBitrate", "5000"},
                         S{"config", "set", "sortFilesOnDisk", "maybe"}, S{"config", "set", "noSuchKey", "1"},
                         S{"config", "set", "wantedStuff", "x"}, S{"config", "set", "pathToPlayer", "/home/me/Music"},
                         S{"config", "set", "playerProfile", "Toaster"}}) {
        RunResult r = run(bad);
        EXPECT_EQ(r.exitCode, 2) << bad.join(u' ').toStdString();
        EXPECT_FALSE(r.err.isEmpty());
    }
    EXPECT_EQ(settings(), before);

    RunResult shown = run(S{"config", "show", "--json"});
    ASSERT_EQ(shown.exitCode, 0);
    QJsonObject values = QJsonDocument::fromJson(shown.out.toUtf8()).object();
    EXPECT_EQ(values.value(QStringLiteral("convertToBitrate")).toInt(), 192);
    EXPECT_EQ(values.value(QStringLiteral("createArtistSubfolders")).toBool(), true);
    EXPECT_EQ(values.value(QStringLiteral("pathToPlayer")).toString(), dir.path() + QStringLiteral("/Volumes/PLAYER/Music"));
    EXPECT_EQ(values.value(QStringLiteral("wantedSongs")).toArray().size(), 0) << "a new player clears the older list";
    EXPECT_EQ(values.value(QStringLiteral("playerProfile")).toString(), QStringLiteral("Standard MP3 player"));
}

TEST_F(CliSelect, AMissingLibraryIsAnErrorWithTheAlertText) {
    RunResult r = runBrisle({QStringLiteral("library"), QStringLiteral("--json"), QStringLiteral("--library"), dir.path() + QStringLiteral("/none.xml")}, env);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_TRUE(r.err.contains(QStringLiteral("iTunes Library not found"))) << r.err.toStdString();
}

}  // namespace
