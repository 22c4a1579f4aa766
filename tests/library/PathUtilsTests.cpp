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

TEST_F(PathUtils, BadCharactersBecomeUnderscores) {
    EXPECT_EQ(stringByReplacingBadChars(QStringLiteral("a?b:c/d")), QStringLiteral("a_b_c_d"));
    EXPECT_EQ(stringByReplacingBadChars(QStringLiteral(" .Hidden\\*\"é ")), QStringLiteral(" .Hidden\\*\"é "));
    EXPECT_EQ(stringByReplacingBadChars(QStringLiteral(".")), QStringLiteral("_"));
    EXPECT_EQ(stringByReplacingBadChars(QStringLiteral("..")), QStringLiteral("__"));
    EXPECT_EQ(stringByReplacingBadChars(QStringLiteral("...")), QStringLiteral("..."));
}

TEST_F(PathUtils, ComponentsOfPaths) {
    EXPECT_EQ(pathByRemovingLastComponent(QStringLiteral("/Volumes/PLAYER/Music/a.mp3")), QStringLiteral("/Volumes/PLAYER/Music"));
    EXPECT_EQ(hiddenPath(QStringLiteral("/Volumes/PLAYER/Music/a.mp3")), QStringLiteral("/Volumes/PLAYER/Music/._a.mp3"));
    EXPECT_EQ(pathByRemovingLastComponent(QStringLiteral("/a")), QString());
    EXPECT_EQ(pathByRemovingLastComponent(QStringLiteral("/a/b/")), QStringLiteral("/a"));
}

TEST_F(PathUtils, VolumeNamesAndPathsWithinVolumes) {
    EXPECT_EQ(driveNameFromPath(QStringLiteral("/Volumes/PLAYER/Music")), QStringLiteral("PLAYER"));
    EXPECT_EQ(drivePathFromPath(QStringLiteral("/Volumes/PLAYER/Music")), QStringLiteral("/Music"));
    EXPECT_EQ(driveNameFromPath(QStringLiteral("/Volumes/PLAYER")), QStringLiteral("PLAYER"));
    EXPECT_EQ(drivePathFromPath(QStringLiteral("/Volumes/PLAYER")), QStringLiteral("/"));
    EXPECT_TRUE(driveNameFromPath(QStringLiteral("/Volumes/X")).isNull());
    EXPECT_TRUE(drivePathFromPath(QStringLiteral("/Volumes/X")).isNull());
    EXPECT_EQ(driveNameFromPath(QStringLiteral("/Volumes/XY")), QStringLiteral("XY"));
    EXPECT_TRUE(driveNameFromPath(QStringLiteral("/home/me/Music")).isNull());

    // Another volumes folder counts its own characters.
    Locations::setVolumesFolder(QStringLiteral("/media/me"));
    EXPECT_EQ(driveNameFromPath(QStringLiteral("/media/me/SD CARD/Music")), QStringLiteral("SD CARD"));
    EXPECT_EQ(drivePathFromPath(QStringLiteral("/media/me/SD CARD/Music")), QStringLiteral("/Music"));
    EXPECT_TRUE(driveNameFromPath(QStringLiteral("/media/me/X")).isNull());
    EXPECT_TRUE(driveNameFromPath(QStringLiteral("/Volumes/PLAYER")).isNull());
}

TEST_F(PathUtils, NoNameCanLeadOutOfThePlayerFolder) {
    QTemporaryDir dir;
    Defaults defaults(dir.path() + QStringLiteral("/s.plist"));
    SongContext context(defaults, true, QString());
    const QString player = QStringLiteral("/Volumes/PLAYER/Music");
    const QStringList pieces = {QStringLiteral("."), QStringLiteral(".."), QStringLiteral("/"), QStringLiteral("../"),
                                QStringLiteral("a"), QStringLiteral(":"), QStringLiteral("?"), QStringLiteral(""),
                                QStringLiteral("\\"), QStringLiteral(" ")};
    QRandomGenerator rng(42);
    for (int fat = 0; fat < 2; ++fat) {
        context.setFatNames(fat);
        for (int round = 0; round < 2000; ++round) {
            QString name;
            for (int n = rng.bounded(1, 4); n > 0; --n) name += pieces[rng.bounded(int(pieces.size()))];
            QString path = player + u'/' + context.folderName(name) + u'/' + context.folderName(name) + QStringLiteral("/01 ") +
                           context.fileNamePart(name) + QStringLiteral(".mp3");
            EXPECT_EQ(path.count(u'/'), 6) << name.toStdString();
            EXPECT_TRUE(QDir::cleanPath(path).startsWith(player + u'/')) << name.toStdString();
            EXPECT_EQ(QDir::cleanPath(path), path) << "a name must not be read as . or .. : " << name.toStdString();
        }
    }
}

}  // namespace
