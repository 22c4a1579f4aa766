// The preferences through OK into a real settings file and back: every
// profile, every folder choice, and the cases that change what is stored.

#include "app/PreferencesForm.h"
#include "platform/Defaults.h"
#include "platform/Locations.h"
#include "support/Helpers.h"
#include "support/QtPrinters.h"
#include "support/ScriptedUi.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// The seven folder keys in this order, as "1" and "0".
const char* const kFolderKeys[] = {"createAlbumSubfolders", "createArtistSubfolders", "createPlaylistSubfolders", "createPlaylistGroupSubfolders",
                                   "playlistSongsInAlbumSubfolders", "createOtherSongsSubfolder", "otherSongsInAlbumSubfolders"};

class Preferences : public ::testing::Test {
protected:
    void SetUp() override {
        Locations::setVolumesFolder(dir.path() + QStringLiteral("/Volumes"));
        ASSERT_TRUE(QDir().mkpath(player()) && QDir().mkpath(cache() + QStringLiteral(".locks")));
        Defaults d(file());
        ASSERT_TRUE(d.set({{"pathToPlayer", QString(player() + "/Music").toStdString()}, {"wantedSongs", plist::Object::Array{"A"}}}));
    }
    void TearDown() override { Locations::setVolumesFolder(QString()); }
    QString file() const { return dir.path() + QStringLiteral("/Brisle.plist"); }
    QString player() const { return dir.path() + QStringLiteral("/Volumes/PLAYER"); }
    QString cache() const { return dir.path() + QStringLiteral("/cache/"); }

    // Opens the form on the settings file, lets `edit` work, presses OK and
    // answers what a fresh read of the file holds.
    Defaults& ok(const std::function<void(PreferencesForm&)>& edit, bool conversionOn = true) {
        stored = std::make_unique<Defaults>(file());
        EXPECT_TRUE(stored->load());
        stored->registerDefaults(settings::registeredDefaults());
        PreferencesForm form(*stored, ui, conversionOn, cache());
        form.setVolumeSource([this] { return std::vector<Volumes::MountedVolume>{{.mountPoint = player(), .name = QStringLiteral("PLAYER"), .fatFamily = true}}; });
        EXPECT_TRUE(form.open());
        edit(form);
        auto done = form.ok();
        EXPECT_TRUE(done) << done.error().toStdString();
        stored = std::make_unique<Defaults>(file());
        EXPECT_TRUE(stored->load());
        stored->registerDefaults(settings::registeredDefaults());
        return *stored;
    }
    static std::string folderBits(const Defaults& d) {
        std::string bits;
        for (const char* key : kFolderKeys) bits += d.contains(key) ? (d.boolean(key) ? '1' : '0') : '-';
        return bits;
    }

    QTemporaryDir dir;
    ScriptedUi ui;
    std::unique_ptr<Defaults> stored;
};

TEST_F(Preferences, EveryProfileStoresItsRowAndAnotherFolderDropsTheOlderSelection) {
    struct Row {
        const char* title;
        const char* folder;  // inside the volume
        const char* bits;
        bool aac;
        int limit;  // 0: none
    };
    const Row rows[] = {
        {"Standard MP3 player", "", "1010010", false, 0},     {"Standard smartphone", "/Music", "1010010", false, 0},
        {"Sony Ericsson phone", "/MP3", "1111111", true, 0},  {"Nokia Series 60 phone", "/MP3", "0000000", true, 0},
        {"Motorola phone", "/mobile/audio", "0000000", true, 128}, {"Palm device", "/Audio", "0000000", false, 0},
        {"Windows Mobile device", "/My Documents/My Music", "0000000", false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        Defaults before(file());
        ASSERT_TRUE(before.load());
        bool samePath = before.string("pathToPlayer") == player() + QLatin1String(row.folder);
        Defaults& d = ok([&](PreferencesForm& f) {
            f.setProfile(QStringLiteral("Custom"));  // changes nothing
            f.setProfile(QLatin1String(row.title));
        });
        EXPECT_EQ(d.string("pathToPlayer"), player() + QLatin1String(row.folder));
        EXPECT_EQ(folderBits(d), row.bits);
        EXPECT_EQ(d.boolean("playerAacCompatible"), row.aac);
        EXPECT_EQ(d.boolean("convertHighBitRateSongs"), row.limit != 0);
        EXPECT_EQ(d.integer("convertHighBitRateThreshold"), row.limit ? row.limit : settings::kNoBitRateLimit);
        EXPECT_EQ(d.string("playerProfile"), QLatin1String(row.title));
        EXPECT_EQ(d.object("wantedSongs")->ifArray()->size(), samePath ? 1u : 0u);
        ASSERT_TRUE(d.set("wantedSongs", plist::Object::Array{"A"}));
    }
    EXPECT_TRUE(ui.shown.isEmpty()) << "an empty cache asks nothing";
}

TEST_F(Preferences, EveryFolderChoiceStoresItsKeysAndOpensAsStored) {
    struct Row {
        settings::FolderChoices choice;
        const char* bits;
    };
    const Row rows[] = {
        {{0, 0, 0}, "0000000"}, {{1, 1, 1}, "1010010"}, {{2, 2, 2}, "1111011"}, {{0, 3, 0}, "0011100"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bits);
        Defaults& d = ok([&](PreferencesForm& f) {
            f.setFolders(row.choice);
            EXPECT_EQ(f.profile(), settings::kCustomProfile);
        });
        EXPECT_EQ(folderBits(d), row.bits);
        // Opened again, the same choice shows, and OK without edits stores the same.
        EXPECT_EQ(folderBits(ok([&](PreferencesForm& f) { EXPECT_EQ(f.folders(), row.choice); })), row.bits);
    }
}

TEST_F(Preferences, ConversionKeysAndTheCacheQuestion) {
    Defaults& off = ok([](PreferencesForm& f) { f.setSortFilesOnDisk(true); }, false);
    for (const char* key : {"sortFilesOnDisk", "playerAacCompatible", "convertHighBitRateSongs", "convertHighBitRateThreshold", "convertToFormat", "convertToBitrate"})
        EXPECT_FALSE(off.contains(key)) << key << " is stored without conversion";
    EXPECT_EQ(folderBits(off), "1010011");
    ASSERT_TRUE(writeFile(cache() + QStringLiteral("song.mp3"), "x"));
    EXPECT_EQ(ok([](PreferencesForm&) {}).integer("convertToBitrate"), 128);
    EXPECT_TRUE(ui.shown.isEmpty()) << "the same rate asks nothing";
    ui.expect(QStringLiteral("Conversion format changed"), 1);
    EXPECT_EQ(ok([](PreferencesForm& f) { f.setConversionBitrate(192); }).integer("convertToBitrate"), 192);
    EXPECT_EQ(treeOf(cache()), (QStringList{".locks/", "song.mp3"})) << "\"No\" keeps the cache";
    ui.expect(QStringLiteral("Conversion format changed"), 0);
    ok([](PreferencesForm& f) { f.setConversionBitrate(128); });
    EXPECT_EQ(treeOf(cache()), QStringList{".locks/"}) << "\"Yes\" empties it, but for the locks in use";
    ok([](PreferencesForm& f) { f.setConversionBitrate(320); });
    EXPECT_TRUE(ui.unexpected.isEmpty() && ui.script.empty()) << ui.unexpected.join(u',').toStdString();
    EXPECT_EQ(stored->integer("convertToBitrate"), 320);
}

TEST_F(Preferences, BadFoldersAreRefusedAndNothingIsStored) {
    const QByteArray before = readFile(file());
    for (const QString& text : QStringList{"/a/../b", "/./x", "/Music/a*b", "/Mu\"sic", "/back\\slash", "/trailing./x", "/tab\tname", player() + "/Music"}) {
        SCOPED_TRACE(text.toStdString());
        Defaults d(file());
        ASSERT_TRUE(d.load());
        PreferencesForm form(d, ui, true, cache());
        form.setVolumeSource([this] { return std::vector<Volumes::MountedVolume>{{.mountPoint = player(), .name = QStringLiteral("PLAYER"), .fatFamily = true}}; });
        ASSERT_TRUE(form.open());
        form.setPath(text);
        EXPECT_EQ(form.profile(), settings::kCustomProfile);
        auto done = form.ok();
        ASSERT_FALSE(done);
        EXPECT_EQ(*form.pathError(), done.error());
        EXPECT_EQ(readFile(file()), before);
    }
}

TEST_F(Preferences, AnAbsentPlayerIsListedLastAndNoVolumeAtAllAsksUntilQuit) {
    Defaults d(file());
    ASSERT_TRUE(d.load());
    PreferencesForm form(d, ui, true, cache());
    form.setVolumeSource([] { return std::vector<Volumes::MountedVolume>{{.mountPoint = Locations::volumesFolder() + QStringLiteral("CARD"), .name = QStringLiteral("CARD")}}; });
    ASSERT_TRUE(form.open());
    ASSERT_EQ(form.volumes().size(), 2u);
    EXPECT_TRUE(form.volumes()[0].mounted && !form.volumes()[1].mounted);
    EXPECT_EQ(form.disk(), QStringLiteral("PLAYER"));
    EXPECT_EQ(form.path(), QStringLiteral("/Music/"));

    ASSERT_TRUE(d.remove("pathToPlayer"));
    form.setVolumeSource([] { return std::vector<Volumes::MountedVolume>{}; });
    ui.expect(QStringLiteral("No players found"), 0);
    ui.expect(QStringLiteral("No players found"), 1);
    EXPECT_FALSE(form.open());
    EXPECT_TRUE(ui.script.empty() && ui.unexpected.isEmpty());
}

}  // namespace
