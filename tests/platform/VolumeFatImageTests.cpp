#include "support/FatImage.h"

#include "platform/Volumes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

namespace {

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QString g_lastVolume;

void makeImageWithoutTools() {
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", "/nonexistent-brisle");
    {
        FatImage image;
    }
    qputenv("PATH", path);
}

void destroyWhileBusy() {
    int fd = -1;
    {
        FatImage image;
        g_lastVolume = image.volumePath();
        ASSERT_TRUE(writeFile(image.volumePath() + QStringLiteral("/held.mp3"), "x"));
        fd = ::open(QFile::encodeName(image.volumePath() + QStringLiteral("/held.mp3")).constData(), O_RDONLY);
    }
    if (fd >= 0) ::close(fd);
}

bool mountedAt(const QString& path) {
    for (const auto& e : Volumes::readMountTable())
        if (e.mountPoint == path) return true;
    return false;
}

}  // namespace

TEST(FatImage, MountsAFat32PlayerAndLeavesNothingBehind) {
    QString base, volume;
    {
        FatImage image;
        ASSERT_TRUE(image.ready());
        volume = image.volumePath();
        base = QFileInfo(image.imagePath()).path();
        EXPECT_EQ(image.volumesFolder() + QStringLiteral("PLAYER"), volume);
        EXPECT_TRUE(image.isMounted());
        EXPECT_EQ(Volumes::fileSystemTypeOf(volume), QStringLiteral("fuse.fusefat"));

        // What is written survives unmounting and mounting again.
        ASSERT_TRUE(QDir().mkpath(volume + QStringLiteral("/Music")));
        ASSERT_TRUE(writeFile(volume + QStringLiteral("/Music/a.mp3"), QByteArray(70000, 'a')));
        ASSERT_TRUE(image.unmount());
        EXPECT_FALSE(image.isMounted());
        EXPECT_FALSE(QFileInfo::exists(volume + QStringLiteral("/Music")));
        ASSERT_TRUE(image.mount());
        EXPECT_EQ(QFileInfo(volume + QStringLiteral("/Music/a.mp3")).size(), 70000);
    }
    EXPECT_FALSE(mountedAt(volume));
    EXPECT_FALSE(QFileInfo::exists(base)) << "the temporary folder is removed";

    FatImage unmounted(FatImage::Options{.name = QStringLiteral("Card"), .mountNow = false});
    ASSERT_TRUE(unmounted.ready());
    EXPECT_FALSE(unmounted.isMounted());
    EXPECT_TRUE(unmounted.entriesInDiskOrder()) << "an unmounted image can be listed";
}

TEST(FatImage, ListsAFoldersEntriesInTheirOrderOnDisk) {
    FatImage image;
    ASSERT_TRUE(image.ready());
    const QString music = image.volumePath() + QStringLiteral("/Music");
    ASSERT_TRUE(QDir().mkpath(music + QStringLiteral("/Sub")));
    ASSERT_TRUE(QDir().mkpath(image.volumePath() + QStringLiteral("/Empty")));
    for (const char* name : {"zeta.mp3", "Alpha with a long name.mp3", "b"})
        ASSERT_TRUE(writeFile(music + u'/' + QString::fromUtf8(name), "x"));
    // The freed entries of zeta.mp3 are taken by the next name that fits them.
    ASSERT_TRUE(QFile::remove(music + QStringLiteral("/zeta.mp3")));
    ASSERT_TRUE(writeFile(music + QStringLiteral("/c.mp3"), "x"));

    auto entries = image.entriesInDiskOrder(QStringLiteral("/Music"));
    ASSERT_TRUE(entries) << entries.error().toStdString();
    EXPECT_EQ(*entries, QStringList({QStringLiteral("Sub/"), QStringLiteral("c.mp3"),
                                     QStringLiteral("Alpha with a long name.mp3"), QStringLiteral("b")}));

    auto root = image.entriesInDiskOrder();
    ASSERT_TRUE(root) << root.error().toStdString();
    EXPECT_EQ(*root, QStringList({QStringLiteral("Music/"), QStringLiteral("Empty/")})) << "the label is no entry";
    auto empty = image.entriesInDiskOrder(QStringLiteral("Empty/"));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->isEmpty());
    auto missing = image.entriesInDiskOrder(QStringLiteral("/Nope"));
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.error().contains(QStringLiteral("/Nope"))) << missing.error().toStdString();
}

TEST(FatImage, ConsistencyCheckFindsADamagedTable) {
    FatImage image;
    ASSERT_TRUE(image.ready());
    EXPECT_EQ(image.consistencyProblems(), QStringList()) << "a new image, mounted";
    ASSERT_TRUE(QDir().mkpath(image.volumePath() + QStringLiteral("/Music")));
    ASSERT_TRUE(writeFile(image.volumePath() + QStringLiteral("/Music/song.mp3"), QByteArray(100000, 's')));
    EXPECT_EQ(image.consistencyProblems(), QStringList()) << "after ordinary writes";
    ASSERT_TRUE(image.unmount());

    // Mark a free cluster as used in the first FAT only.
    QFile file(image.imagePath());
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QByteArray boot = file.read(512);
    const auto le16 = [&](int at) { return uchar(boot[at]) | uchar(boot[at + 1]) << 8; };
    const qint64 firstFat = qint64(le16(14)) * le16(11);
    ASSERT_TRUE(file.seek(firstFat + 4 * 5000));
    ASSERT_EQ(file.write(QByteArray::fromHex("ffffff0f")), 4);
    file.close();
    EXPECT_FALSE(image.consistencyProblems().isEmpty());
}

TEST(FatImage, FailsLoudlyWithoutItsTools) {
    EXPECT_NONFATAL_FAILURE(makeImageWithoutTools(), "fusefat (package fusefat)");
}

TEST(FatImage, ABusyVolumeIsDetachedAtTheEndAndTheTestFails) {
    EXPECT_NONFATAL_FAILURE(destroyWhileBusy(), "stayed busy");
    EXPECT_FALSE(g_lastVolume.isEmpty());
    EXPECT_FALSE(mountedAt(g_lastVolume));
}

// What tests of the program on this player rely on.
TEST(FatImage, FusefatKeepsTimesAndRenamesAndRefusesMacOnlyCharacters) {
    FatImage image;
    ASSERT_TRUE(image.ready());
    const QString v = image.volumePath();
    ASSERT_TRUE(QDir().mkpath(v + QStringLiteral("/A")) && QDir().mkpath(v + QStringLiteral("/B")));
    const QString song = v + QStringLiteral("/A/Song.mp3");
    ASSERT_TRUE(writeFile(song, QByteArray(3000, 'x')));

    // Modification times: kept to FAT's two seconds, rounded down.
    const timespec times[2] = {{1268000001, 700000000}, {1268000001, 700000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(song).constData(), times, 0), 0);
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(song).constData(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1268000000);

    // Names are found whatever their case.
    EXPECT_TRUE(QFileInfo::exists(v + QStringLiteral("/a/SONG.MP3")));

    // Files move across folders and over existing files.
    ASSERT_TRUE(writeFile(v + QStringLiteral("/B/old.mp3"), "old"));
    EXPECT_EQ(::rename(QFile::encodeName(song).constData(), QFile::encodeName(v + QStringLiteral("/B/old.mp3")).constData()), 0);
    EXPECT_FALSE(QFileInfo::exists(song));
    EXPECT_EQ(QFileInfo(v + QStringLiteral("/B/old.mp3")).size(), 3000);

    // The characters the Mac keeps on FAT through a private mapping are refused here.
    for (const char* c : {"\"", "*", "<", ">", "\\", "|", "?", ":"})
        EXPECT_FALSE(writeFile(v + QStringLiteral("/B/x") + QString::fromUtf8(c) + QStringLiteral("y.mp3"), "x")) << c;
    EXPECT_TRUE(writeFile(v + QStringLiteral("/B/x+,;=[]#'~y.mp3"), "x"));
    EXPECT_FALSE(writeFile(v + QString::fromUtf8("/B/Caf\xc3\xa9.mp3"), "x")) << "fusefat creates ASCII names only";
    EXPECT_EQ(image.consistencyProblems(), QStringList());
}
