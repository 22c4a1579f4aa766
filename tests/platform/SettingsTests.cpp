#include "platform/Defaults.h"
#include "platform/Settings.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

TEST(Settings, TheThirteenFallbacksAreRegistered) {
    plist::Object::Dict d = settings::registeredDefaults();
    EXPECT_EQ(d.size(), 13u);
    for (const auto& [key, value] : d) EXPECT_TRUE(settings::hasExpectedType(*settings::find(key), value)) << key;
}

TEST(Settings, TypedTextIsCheckedAgainstTheTable) {
    struct Row {
        const char* key;
        const char* text;
        bool ok;
    } rows[] = {
        {"createAlbumSubfolders", "off", true}, {"createAlbumSubfolders", "maybe", false},
        {"convertToBitrate", "320", true},      {"convertToBitrate", "321", false},
        {"convertToBitrate", "12x", false},     {"convertHighBitRateThreshold", "10000", true},
        {"convertToFormat", "AAC", true},       {"convertToFormat", "OGG", false},
        {"playerProfile", "Custom", true},      {"playerProfile", "Walkman", false},
        {"wantedStuff", "x", false},
    };
    for (const Row& r : rows) EXPECT_EQ(bool(settings::parse(*settings::find(r.key), QString::fromUtf8(r.text))), r.ok) << r.key << " " << r.text;
}

TEST(Settings, EveryProfilesFolderChoicesSurviveTheRoundTripThroughTheFile) {
    QTemporaryDir dir;
    Defaults d(dir.path() + QStringLiteral("/s.plist"));
    d.registerDefaults(settings::registeredDefaults());
    // The registered defaults show as album 1, playlist 1, song 2.
    EXPECT_EQ(settings::folderChoices(d), (settings::FolderChoices{1, 1, 2}));
    for (int album = 0; album < 3; ++album)
        for (int playlist = 0; playlist < 4; ++playlist)
            for (int song = 0; song < 3; ++song) {
                settings::FolderChoices c{album, playlist, song};
                ASSERT_TRUE(d.set(settings::folderKeys(c)));
                EXPECT_EQ(settings::folderChoices(d), c) << album << playlist << song;
            }
    const settings::PlayerProfile* sony = settings::playerProfile(QStringLiteral("Sony Ericsson phone"));
    ASSERT_TRUE(sony);
    EXPECT_EQ(sony->path, QStringLiteral("/MP3/"));
    EXPECT_EQ(sony->folders, (settings::FolderChoices{2, 3, 2}));
    EXPECT_EQ(settings::playerProfile(settings::kCustomProfile), nullptr);
}
