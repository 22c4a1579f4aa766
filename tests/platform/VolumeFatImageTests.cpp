#include "support/FatImage.h"

#include "platform/Volumes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

namespace {

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

bool mountedAt(const QString& path) {
    for (const auto& e : Volumes::readMountTable())
        if (e.mountPoint == path) return true;
    return false;
}

QString g_lastVolume;

void destroyWhileBusy() {
    int fd = -1;
    {
        FatImage image;
        g_lastVolume = image.volumePath();
        ASSERT_TRUE(writeFile(g_lastVolume + QStringLiteral("/held.mp3"), "x"));
        fd = ::open(QFile::encodeName(g_lastVolume + QStringLiteral("/held.mp3")).constData(), O_RDONLY);
    }
    if (fd >= 0) ::close(fd);
}

}  // namespace

// The helpers that tests of the program on this player rely on.
TEST(FatImage, KeepsDataAcrossMountsListsDiskOrderAndFindsADamagedTable) {
    QString base, volume;
    {
        FatImage image;
        ASSERT_TRUE(image.ready());
        volume = image.volumePath();
        base = QFileInfo(image.imagePath()).path();
        EXPECT_EQ(Volumes::fileSystemTypeOf(volume), QStringLiteral("fuse.fusefat"));
        const QString music = volume + QStringLiteral("/Music");
        ASSERT_TRUE(QDir().mkpath(music + QStringLiteral("/Sub")));
        for (const char* name : {"zeta.mp3", "Alpha with a long name.mp3", "b"})
            ASSERT_TRUE(writeFile(music + u'/' + QString::fromUtf8(name), QByteArray(70000, 's')));
        // The freed entries of zeta.mp3 are taken by the next name that fits them.
        ASSERT_TRUE(QFile::remove(music + QStringLiteral("/zeta.mp3")));
        ASSERT_TRUE(writeFile(music + QStringLiteral("/c.mp3"), "x"));
        // What is written survives unmounting and mounting again.
        ASSERT_TRUE(image.unmount());
        EXPECT_FALSE(QFileInfo::exists(music));
        ASSERT_TRUE(image.mount());
        EXPECT_EQ(QFileInfo(music + QStringLiteral("/b")).size(), 70000);
        EXPECT_EQ(image.entriesInDiskOrder(QStringLiteral("/Music")),
                  QStringList({QStringLiteral("Sub/"), QStringLiteral("c.mp3"), QStringLiteral("Alpha with a long name.mp3"), QStringLiteral("b")}));
        EXPECT_EQ(image.entriesInDiskOrder(), QStringList({QStringLiteral("Music/")})) << "the label is no entry";
        EXPECT_FALSE(image.entriesInDiskOrder(QStringLiteral("/Nope")));
        EXPECT_EQ(image.consistencyProblems(), QStringList()) << "after ordinary writes, mounted";

        // Mark a free cluster as used in the first FAT only.
        ASSERT_TRUE(image.unmount());
        QFile file(image.imagePath());
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        const QByteArray boot = file.read(512);
        const auto le16 = [&](int at) { return uchar(boot[at]) | uchar(boot[at + 1]) << 8; };
        ASSERT_TRUE(file.seek(qint64(le16(14)) * le16(11) + 4 * 5000));
        ASSERT_EQ(file.write(QByteArray::fromHex("ffffff0f")), 4);
        file.close();
        EXPECT_FALSE(image.consistencyProblems().isEmpty());
    }
    EXPECT_FALSE(mountedAt(volume));
    EXPECT_FALSE(QFileInfo::exists(base)) << "the temporary folder is removed";
    // A volume left busy is detached all the same, and the test fails.
    EXPECT_NONFATAL_FAILURE(destroyWhileBusy(), "stayed busy");
    EXPECT_FALSE(g_lastVolume.isEmpty() || mountedAt(g_lastVolume));
}
