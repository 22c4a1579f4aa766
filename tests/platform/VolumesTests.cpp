#include "platform/Volumes.h"

#include "support/FatImage.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

using Volumes::MountEntry;

namespace {

MountEntry entry(int id, const char* mountPoint, const char* type = "ext4", const char* source = "/dev/sda1",
                 unsigned major = 8, unsigned minor = 1) {
    return MountEntry{id, major, minor, QString::fromUtf8(mountPoint), QString::fromUtf8(type), QString::fromUtf8(source)};
}

std::vector<QString> list(std::initializer_list<const char*> paths) {
    std::vector<QString> out;
    for (const char* p : paths) out.push_back(QString::fromUtf8(p));
    return out;
}

}  // namespace

TEST(VolumeMountTable, ParsesMountInfoWithEscapesAndOptionalFields) {
    const QByteArray text =
        "26 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
        "44 26 0:39 / /media/me/MY\\040PLAYER rw,nosuid - fuse.fusefat fusefat rw,user_id=0\n"
        "45 26 8:17 / /media/me/tab\\011and\\134slash rw shared:7 master:2 - vfat /dev/sdb1 rw\n"
        "46 26 8:33 / /media/me/Caf\\303\\251 rw - exfat /dev/sdc1 rw\n"
        "this line is not mountinfo\n"
        "47 26 0:40 / /x rw no-separator-here\n"
        "\n";
    QStringList parsed;
    for (const MountEntry& e : Volumes::parseMountInfo(text))
        parsed << QStringLiteral("%1 %2:%3 %4|%5|%6").arg(e.id).arg(e.major).arg(e.minor).arg(e.mountPoint, e.fileSystemType, e.source);
    // Optional fields are skipped; escaped UTF-8 bytes make one character.
    EXPECT_EQ(parsed, QStringList({QStringLiteral("26 254:0 /|ext4|/dev/vda"),
                                   QStringLiteral("44 0:39 /media/me/MY PLAYER|fuse.fusefat|fusefat"),
                                   QStringLiteral("45 8:17 /media/me/tab\tand\\slash|vfat|/dev/sdb1"),
                                   QString::fromUtf8("46 8:33 /media/me/Caf\xc3\xa9|exfat|/dev/sdc1")}));
    EXPECT_FALSE(Volumes::readMountTable().empty()) << "this machine's own table reads";
}

TEST(VolumeMountTable, ChangesFollowMountPointsNotStackedMounts) {
    const MountEntry root = entry(1, "/"), a = entry(10, "/v/A"), b = entry(11, "/v/B");
    const MountEntry over = entry(14, "/v/A", "tmpfs", "tmpfs", 0, 50);
    struct Case {
        const char* what;
        std::vector<MountEntry> before, after;
        std::vector<QString> unmounted, mounted;
    };
    for (const Case& c : std::vector<Case>{
             {"nothing changed", {root, a, b}, {root, a, b}, {}, {}},
             {"B went, C came", {root, a, b}, {root, a, entry(12, "/v/C")}, list({"/v/B"}), list({"/v/C"})},
             {"A replaced between two readings", {root, a, b}, {root, entry(13, "/v/A"), b}, list({"/v/A"}), list({"/v/A"})},
             {"a reused id with another device", {root, a, b}, {root, entry(10, "/v/A", "ext4", "/dev/sda1", 8, 33), b},
              list({"/v/A"}), list({"/v/A"})},
             {"a mount stacked over A", {root, a, b}, {root, a, b, over}, {}, {}},
             {"the stacked mount taken off", {root, a, b, over}, {root, a, b}, {}, {}},
             {"several at once, each once", {root, a, b, over}, {root}, list({"/v/A", "/v/B"}), {}}}) {
        auto changes = Volumes::mountChanges(c.before, c.after);
        EXPECT_EQ(changes.unmounted, c.unmounted) << c.what;
        EXPECT_EQ(changes.mounted, c.mounted) << c.what;
    }
}

TEST(VolumeMountTable, TheHoldingMountIsTheLongestWholeComponentPrefix) {
    const std::vector<MountEntry> table = {entry(1, "/"), entry(2, "/nonexistent-brisle/a", "vfat"),
                                           entry(3, "/nonexistent-brisle/ab", "exfat"), entry(4, "/nonexistent-brisle/a/b", "ext4"),
                                           entry(5, "/nonexistent-brisle/a/b", "tmpfs")};
    auto typeAt = [&](const char* path) {
        auto m = Volumes::mountHolding(QString::fromUtf8(path), table);
        return m ? m->fileSystemType : QStringLiteral("none");
    };
    EXPECT_EQ(typeAt("/nonexistent-brisle/a"), QStringLiteral("vfat"));
    EXPECT_EQ(typeAt("/nonexistent-brisle/a/Music/x.mp3"), QStringLiteral("vfat"));
    EXPECT_EQ(typeAt("/nonexistent-brisle/ab/x"), QStringLiteral("exfat"));
    EXPECT_EQ(typeAt("/nonexistent-brisle/abc/x"), QStringLiteral("ext4")) << "a prefix counts by whole components";
    EXPECT_EQ(typeAt("/nonexistent-brisle/a/b/c"), QStringLiteral("tmpfs")) << "the topmost of stacked mounts";
    EXPECT_EQ(typeAt("/nonexistent-brisle/a/../ab/x"), QStringLiteral("exfat"));
    EXPECT_FALSE(Volumes::mountHolding(QStringLiteral("/x"), {}));
}

TEST(VolumeMountTable, KindsAndIconsFollowTypeSourceAndDevice) {
    auto fat = [](const char* type, const char* source = "/dev/sdb1", unsigned major = 8) {
        return Volumes::isFatFamily(entry(1, "/m", type, source, major, 17));
    };
    for (const char* type : {"vfat", "msdos", "umsdos", "exfat", "fuse.fusefat", "fuse.exfat", "fuseblk.exfat"})
        EXPECT_TRUE(fat(type)) << type;
    EXPECT_TRUE(fat("fuseblk", "exfat", 8)) << "a driver that names itself as the source";
    for (const char* type : {"ext4", "tmpfs", "ntfs3", "fuse.sshfs", "btrfs", "iso9660"}) EXPECT_FALSE(fat(type)) << type;
    EXPECT_FALSE(fat("fuseblk", "/dev/fat-device-nonexistent", 0)) << "a device path is not a kind";

    EXPECT_EQ(Volumes::iconNameFor(entry(1, "/m", "fuse.fusefat", "fusefat", 0, 40)), QStringLiteral("media-flash"));
    EXPECT_EQ(Volumes::iconNameFor(entry(1, "/m", "iso9660")), QStringLiteral("media-optical"));
    EXPECT_EQ(Volumes::iconNameFor(entry(1, "/m", "ext4")), QStringLiteral("drive-removable-media"));
}

TEST(VolumeMountTable, MountPointsAreShownThroughTheVolumesFolderAsConfigured) {
    QTemporaryDir dir;
    const QString real = QFileInfo(dir.path()).canonicalFilePath();
    ASSERT_TRUE(QDir().mkpath(real + QStringLiteral("/real/Volumes")));
    ASSERT_TRUE(QFile::link(real + QStringLiteral("/real"), real + QStringLiteral("/link")));
    VolumesFolderOverride volumes(real + QStringLiteral("/link/Volumes"));
    EXPECT_EQ(Volumes::pathInVolumesFolder(real + QStringLiteral("/real/Volumes/PLAYER")), real + QStringLiteral("/link/Volumes/PLAYER"));
    EXPECT_EQ(Volumes::pathInVolumesFolder(real + QStringLiteral("/real/Volumes")), real + QStringLiteral("/link/Volumes"));
    EXPECT_FALSE(Volumes::pathInVolumesFolder(real + QStringLiteral("/real/VolumesX/PLAYER")));
    EXPECT_FALSE(Volumes::pathInVolumesFolder(QStringLiteral("/")));
}

TEST(VolumeSizesOfFolders, AgreeWithQtsReadingAndFailForMissingPaths) {
    QTemporaryDir dir;
    auto sizes = Volumes::volumeSizes(dir.path());
    ASSERT_TRUE(sizes);
    QStorageInfo storage(dir.path());
    EXPECT_EQ(sizes->totalBytes, std::uint64_t(storage.bytesTotal()));
    // Other processes write meanwhile; the free space only has to be close.
    EXPECT_NEAR(double(sizes->freeBytes), double(storage.bytesAvailable()), 64.0 * 1024 * 1024);
    EXPECT_FALSE(Volumes::volumeSizes(dir.path() + QStringLiteral("/missing")));
}

// --- on a real FAT player -------------------------------------------------

class VolumeOnFatPlayer : public FatPlayerTest {};

TEST_F(VolumeOnFatPlayer, IsListedWithItsNameTypeAndIcon) {
    auto volumes = Volumes::mountedVolumes();
    ASSERT_EQ(volumes.size(), 1u);
    const auto& v = volumes[0];
    EXPECT_EQ(QStringList({v.mountPoint, v.name, v.fileSystemType, v.device, v.iconName}),
              QStringList({player->volumePath(), QStringLiteral("PLAYER"), QStringLiteral("fuse.fusefat"), QStringLiteral("fusefat"),
                           QStringLiteral("media-flash")}));
    // A folder that is not a mount point is no volume; nor is anything after unmounting.
    ASSERT_TRUE(QDir().mkpath(player->volumesFolder() + QStringLiteral("EMPTY")));
    EXPECT_EQ(Volumes::mountedVolumes().size(), 1u);
    ASSERT_TRUE(player->unmount());
    EXPECT_TRUE(Volumes::mountedVolumes().empty());
}

TEST_F(VolumeOnFatPlayer, TypeAndFatFamilyCoverEveryPathOnTheVolume) {
    const QString music = player->volumePath() + QStringLiteral("/Music");
    ASSERT_TRUE(QDir().mkpath(music));
    for (const QString& path : QStringList{player->volumePath(), music, music + QStringLiteral("/not yet there.mp3")}) {
        EXPECT_EQ(Volumes::fileSystemTypeOf(path), QStringLiteral("fuse.fusefat")) << path.toStdString();
        EXPECT_TRUE(Volumes::isFatFamily(path)) << path.toStdString();
    }
    // A symbolic link into the volume leads to it.
    QTemporaryDir dir;
    ASSERT_TRUE(QFile::link(music, dir.path() + QStringLiteral("/link")));
    EXPECT_TRUE(Volumes::isFatFamily(dir.path() + QStringLiteral("/link/x.mp3")));
    // The folder that holds the volume, an ordinary disk folder and a tmpfs are not FAT.
    EXPECT_FALSE(Volumes::isFatFamily(player->volumesFolder()));
    EXPECT_FALSE(Volumes::isFatFamily(dir.path()));
    EXPECT_EQ(Volumes::fileSystemTypeOf(QStringLiteral("/dev/shm")), QStringLiteral("tmpfs"));
    EXPECT_FALSE(Volumes::isFatFamily(QStringLiteral("/dev/shm")));
}

TEST_F(VolumeOnFatPlayer, SizesAreAFailedReadBecauseFusefatReportsNone) {
    struct statvfs st;
    ASSERT_EQ(::statvfs(QFile::encodeName(player->volumePath()).constData(), &st), 0);
    EXPECT_EQ(st.f_blocks, 0u) << "fusefat now reports a size; volumeSizes would return it";
    EXPECT_GT(st.f_files, 0u) << "fusefat puts the cluster count here";
    EXPECT_FALSE(Volumes::volumeSizes(player->volumePath()));
}

TEST_F(VolumeOnFatPlayer, EjectRefusesPathsNotOnAVolumeAndChangesNothing) {
    const QString plain = player->volumesFolder() + QStringLiteral("NOTMOUNTED");
    ASSERT_TRUE(QDir().mkpath(plain + QStringLiteral("/Music")));
    QTemporaryDir elsewhere;
    for (const QString& path : QStringList{plain, plain + QStringLiteral("/Music"), player->volumesFolder(), elsewhere.path()}) {
        auto ejected = Volumes::unmountAndEject(path);
        ASSERT_FALSE(ejected) << path.toStdString();
        EXPECT_TRUE(ejected.error().contains(path)) << ejected.error().toStdString();
        EXPECT_TRUE(ejected.error().contains(QStringLiteral("not on a volume"))) << ejected.error().toStdString();
    }
    EXPECT_TRUE(player->isMounted());
    EXPECT_TRUE(QFileInfo::exists(plain + QStringLiteral("/Music")));
}

TEST_F(VolumeOnFatPlayer, EjectFailsWhileBusyThenUnmountsTheVolumeHoldingAFile) {
    const QString music = player->volumePath() + QStringLiteral("/Music"), song = music + QStringLiteral("/song.mp3");
    ASSERT_TRUE(QDir().mkpath(music));
    {
        QFile file(song);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("ID3");
    }
    int fd = ::open(QFile::encodeName(song).constData(), O_RDONLY);
    ASSERT_GE(fd, 0);
    auto ejected = Volumes::unmountAndEject(song);
    EXPECT_FALSE(ejected);
    EXPECT_TRUE(!ejected && ejected.error().contains(QStringLiteral("busy")) && ejected.error().contains(player->volumePath()))
        << (ejected ? "" : ejected.error().toStdString());
    EXPECT_TRUE(player->isMounted());
    char bytes[3] = {};
    EXPECT_EQ(::read(fd, bytes, 3), 3) << "the open file still works";
    ::close(fd);

    auto second = Volumes::unmountAndEject(song);
    ASSERT_TRUE(second) << second.error().toStdString();
    EXPECT_FALSE(player->isMounted());
    EXPECT_FALSE(QFileInfo::exists(music)) << "the mount point is an empty folder again";
}
