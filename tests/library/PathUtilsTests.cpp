#include "library/PathUtils.h"
#include "library/SongContext.h"
#include "platform/Defaults.h"
#include "platform/Locations.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class PathUtils : public ::testing::Test {
protected:
    void SetUp() override { Locations::setVolumesFolder(QStringLiteral("/Volumes")); }
    void TearDown() override { Locations::setVolumesFolder(QString()); }
};

TEST_F(PathUtils, BadCharactersBecomeUnderscoresAndComponentsAreSplit) {
    for (auto [name, safe] : std::vector<std::pair<const char*, const char*>>{
             {"a?b:c/d", "a_b_c_d"}, {" .Hidden\\*\"é ", " .Hidden\\*\"é "}, {".", "_"}, {"..", "__"}, {"...", "..."}})
        EXPECT_EQ(stringByReplacingBadChars(QString::fromUtf8(name)), QString::fromUtf8(safe)) << name;
    EXPECT_EQ(pathByRemovingLastComponent(QStringLiteral("/Volumes/PLAYER/Music/a.mp3")), QStringLiteral("/Volumes/PLAYER/Music"));
    EXPECT_EQ(pathByRemovingLastComponent(QStringLiteral("/a")), QString());
    EXPECT_EQ(pathByRemovingLastComponent(QStringLiteral("/a/b/")), QStringLiteral("/a"));
    EXPECT_EQ(hiddenPath(QStringLiteral("/Volumes/PLAYER/Music/a.mp3")), QStringLiteral("/Volumes/PLAYER/Music/._a.mp3"));
}

TEST_F(PathUtils, VolumeNamesAndPathsWithinVolumes) {
    auto split = [](const char* path) -> QString {
        return driveNameFromPath(QString::fromUtf8(path)) + u'|' + drivePathFromPath(QString::fromUtf8(path));
    };
    EXPECT_EQ(split("/Volumes/PLAYER/Music"), QStringLiteral("PLAYER|/Music"));
    EXPECT_EQ(split("/Volumes/PLAYER"), QStringLiteral("PLAYER|/"));
    EXPECT_EQ(split("/Volumes/XY"), QStringLiteral("XY|/"));
    EXPECT_TRUE(driveNameFromPath(QStringLiteral("/Volumes/X")).isNull());
    EXPECT_TRUE(drivePathFromPath(QStringLiteral("/Volumes/X")).isNull());
    EXPECT_TRUE(driveNameFromPath(QStringLiteral("/home/me/Music")).isNull());
    // Another volumes folder counts its own characters.
    Locations::setVolumesFolder(QStringLiteral("/media/me"));
    EXPECT_EQ(split("/media/me/SD CARD/Music"), QStringLiteral("SD CARD|/Music"));
    EXPECT_TRUE(driveNameFromPath(QStringLiteral("/media/me/X")).isNull());
    EXPECT_TRUE(driveNameFromPath(QStringLiteral("/Volumes/PLAYER")).isNull());
}

TEST_F(PathUtils, NoNameCanLeadOutOfThePlayerFolder) {
    QTemporaryDir dir;
    Defaults defaults(dir.path() + QStringLiteral("/s.plist"));
    SongContext context(defaults, true, QString());
    const QString player = QStringLiteral("/Volumes/PLAYER/Music");
    const QStringList pieces = QStringLiteral(".|..|/|../|a|:|?||\\| ").split(u'|');
    QRandomGenerator rng(42);
    for (int fat = 0; fat < 2; ++fat) {
        context.setFatNames(fat);
        for (int round = 0; round < 2000; ++round) {
            QString name;
            for (int n = rng.bounded(1, 4); n > 0; --n) name += pieces[rng.bounded(int(pieces.size()))];
            QString path = player + u'/' + context.folderName(name) + u'/' + context.folderName(name) + QStringLiteral("/01 ") +
                           context.fileNamePart(name) + QStringLiteral(".mp3");
            EXPECT_EQ(path.count(u'/'), 6) << name.toStdString();
            EXPECT_EQ(QDir::cleanPath(path), path) << "a name must not be read as . or .. : " << name.toStdString();
        }
    }
}

}  // namespace
