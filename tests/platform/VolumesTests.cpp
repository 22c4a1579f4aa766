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

MountEntry entry(int id, QString mountPoint, QString type = QStringLiteral("ext4"),
                 QString source = QStringLiteral("/dev/sda1"), unsigned major = 8, unsigned minor = 1) {
    return MountEntry{id, major, minor, std::move(mountPoint), std::move(type), std::move(source)};
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
    auto table = Volumes::parseMountInfo(text);
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(table[0].mountPoint, QStringLiteral("/"));
    EXPECT_EQ(table[0].fileSystemType, QStringLiteral("ext4"));
    EXPECT_EQ(table[0].major, 254u);
    EXPECT_EQ(table[1].id, 44);
    EXPECT_EQ(table[1].mountPoint, QStringLiteral("/media/me/MY PLAYER"));
    EXPECT_EQ(table[1].fileSystemType, QStringLiteral("fuse.fusefat"));
    EXPECT_EQ(table[1].source, QStringLiteral("fusefat"));
    EXPECT_EQ(table[1].major, 0u);
    EXPECT_EQ(table[1].minor, 39u);
    EXPECT_EQ(table[2].mountPoint, QStringLiteral("/media/me/tab\tand\\slash")) << "optional fields are skipped";
    EXPECT_EQ(table[2].fileSystemType, QStringLiteral("vfat"));
    EXPECT_EQ(table[2].source, QStringLiteral("/dev/sdb1"));
    EXPECT_EQ(table[3].mountPoint, QString::fromUtf8("/media/me/Caf\xc3\xa9")) << "escaped UTF-8 bytes make one character";

    EXPECT_FALSE(Volumes::readMountTable().empty()) << "this machine's own table reads";
}

TEST(VolumeMountTable, ChangesFollowMountPointsNotStackedMounts) {
    const std::vector<MountEntry> before = {entry(1, QStringLiteral("/")), entry(10, QStringLiteral("/v/A")),
                                            entry(11, QStringLiteral("/v/B"))};
    // Nothing changed.
    auto same = Volumes::mountChanges(before, before);
    EXPECT_TRUE(same.mounted.empty());
    EXPECT_TRUE(same.unmounted.empty());

    // B went, C came.
    auto swapped = Volumes::mountChanges(before, {before[0], before[1], entry(12, QStringLiteral("/v/C"))});
    EXPECT_EQ(swapped.unmounted, list({"/v/B"}));
    EXPECT_EQ(swapped.mounted, list({"/v/C"}));

    // A was replaced between two readings: reported as gone and back.
    auto replaced = Volumes::mountChanges(before, {before[0], entry(13, QStringLiteral("/v/A")), before[2]});
    EXPECT_EQ(replaced.unmounted, list({"/v/A"}));
    EXPECT_EQ(replaced.mounted, list({"/v/A"}));

    // The kernel reuses ids: the same id with another device is another mount.
    auto reused = Volumes::mountChanges(
        before, {before[0], entry(10, QStringLiteral("/v/A"), QStringLiteral("vfat"), QStringLiteral("/dev/sdc1"), 8, 33),
                 before[2]});
    EXPECT_EQ(reused.unmounted, list({"/v/A"}));
    EXPECT_EQ(reused.mounted, list({"/v/A"}));

    // Stacking a mount over A and taking it off again leave A mounted.
    std::vector<MountEntry> stacked = before;
    stacked.push_back(entry(14, QStringLiteral("/v/A"), QStringLiteral("tmpfs"), QStringLiteral("tmpfs"), 0, 50));
    auto up = Volumes::mountChanges(before, stacked);
    auto down = Volumes::mountChanges(stacked, before);
    EXPECT_TRUE(up.mounted.empty() && up.unmounted.empty());
    EXPECT_TRUE(down.mounted.empty() && down.unmounted.empty());

    // Several changes at once are each reported once.
    auto all = Volumes::mountChanges(stacked, {before[0]});
    EXPECT_EQ(all.unmounted, list({"/v/A", "/v/B"}));
}

TEST(VolumeMountTable, TheHoldingMountIsTheLongestWholeComponentPrefix) {
    const std::vector<MountEntry> table = {
        entry(1, QStringLiteral("/")),
        entry(2, QStringLiteral("/nonexistent-brisle/a"), QStringLiteral("vfat")),
        entry(3, QStringLiteral("/nonexistent-brisle/ab"), QStringLiteral("exfat")),
        entry(4, QStringLiteral("/nonexistent-brisle/a/b"), QStringLiteral("ext4")),
        entry(5, QStringLiteral("/nonexistent-brisle/a/b"), QStringLiteral("tmpfs")),
    };
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
    EXPECT_EQ(typeAt("/elsewhere"), QStringLiteral("ext4"));
    EXPECT_FALSE(Volumes::mountHolding(QStringLiteral("/x"), {}));
}

TEST(VolumeMountTable, KindsAndIconsFollowTypeSourceAndDevice) {
    auto fat = [](const char* type, const char* source = "/dev/sdb1", unsigned major = 8) {
        return Volumes::isFatFamily(entry(1, QStringLiteral("/m"), QString::fromUtf8(type), QString::fromUtf8(source), major, 17));
    };
    for (const char* type : {"vfat", "msdos", "umsdos", "exfat", "fuse.fusefat", "fuse.exfat", "fuseblk.exfat"})
        EXPECT_TRUE(fat(type)) << type;
    EXPECT_TRUE(fat("fuseblk", "exfat", 8)) << "a driver that names itself as the source";
    for (const char* type : {"ext4", "tmpfs", "ntfs3", "fuse.sshfs", "btrfs", "iso9660"}) EXPECT_FALSE(fat(type)) << type;
    EXPECT_FALSE(fat("fuseblk", "/dev/fat-device-nonexistent", 0)) << "a device path is not a kind";

    EXPECT_EQ(Volumes::iconNameFor(entry(1, QStringLiteral("/m"), QStringLiteral("fuse.fusefat"), QStringLiteral("fusefat"), 0, 40)),
              QStringLiteral("media-flash"));
    EXPECT_EQ(Volumes::iconNameFor(entry(1, QStringLiteral("/m"), QStringLiteral("iso9660"))), QStringLiteral("media-optical"));
    EXPECT_EQ(Volumes::iconNameFor(entry(1, QStringLiteral("/m"), QStringLiteral("ext4"))),
              QStringLiteral("drive-removable-media"));
}

TEST(VolumeMountTable, MountPointsAreShownThroughTheVolumesFolderAsConfigured) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString real = QFileInfo(dir.path()).canonicalFilePath();
    ASSERT_TRUE(QDir().mkpath(real + QStringLiteral("/real/Volumes")));
    ASSERT_TRUE(QFile::link(real + QStringLiteral("/real"), real + QStringLiteral("/link")));
    VolumesFolderOverride volumes(real + QStringLiteral("/link/Volumes"));

    EXPECT_EQ(Volumes::pathInVolumesFolder(real + QStringLiteral("/real/Volumes/PLAYER")),
              real + QStringLiteral("/link/Volumes/PLAYER"));
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
    EXPECT_LE(sizes->freeBytes, sizes->totalBytes);
    EXPECT_FALSE(Volumes::volumeSizes(dir.path() + QStringLiteral("/missing")));
}

// --- on a real FAT player -------------------------------------------------

class VolumeOnFatPlayer : public FatPlayerTest {};

TEST_F(VolumeOnFatPlayer, IsListedWithItsNameTypeAndIcon) {
    auto volumes = Volumes::mountedVolumes();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].mountPoint, player->volumePath());
    EXPECT_EQ(volumes[0].name, QStringLiteral("PLAYER"));
    EXPECT_EQ(volumes[0].fileSystemType, QStringLiteral("fuse.fusefat"));
    EXPECT_EQ(volumes[0].device, QStringLiteral("fusefat"));
    EXPECT_EQ(volumes[0].iconName, QStringLiteral("media-flash"));

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

TEST_F(VolumeOnFatPlayer, EjectUnmountsTheVolumeHoldingAFolder) {
    const QString music = player->volumePath() + QStringLiteral("/Music");
    ASSERT_TRUE(QDir().mkpath(music));
    auto ejected = Volumes::unmountAndEject(music);
    ASSERT_TRUE(ejected) << ejected.error().toStdString();
    EXPECT_FALSE(player->isMounted());
    EXPECT_FALSE(QFileInfo::exists(music)) << "the mount point is an empty folder again";
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

TEST_F(VolumeOnFatPlayer, EjectOfABusyVolumeFailsAndLeavesItMounted) {
    const QString song = player->volumePath() + QStringLiteral("/song.mp3");
    {
        QFile file(song);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("ID3");
    }
    int fd = ::open(QFile::encodeName(song).constData(), O_RDONLY);
    ASSERT_GE(fd, 0);
    auto ejected = Volumes::unmountAndEject(song);
    EXPECT_FALSE(ejected);
    if (!ejected) {
        EXPECT_TRUE(ejected.error().contains(QStringLiteral("busy"))) << ejected.error().toStdString();
        EXPECT_TRUE(ejected.error().contains(player->volumePath())) << ejected.error().toStdString();
    }
    EXPECT_TRUE(player->isMounted());
    char bytes[3] = {};
    EXPECT_EQ(::read(fd, bytes, 3), 3) << "the open file still works";
    ::close(fd);

    auto second = Volumes::unmountAndEject(song);
    EXPECT_TRUE(second) << second.error().toStdString();
    EXPECT_FALSE(player->isMounted());
}
