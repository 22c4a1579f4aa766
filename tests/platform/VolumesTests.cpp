#include "platform/Volumes.h"

#include <QStringList>

#include <gtest/gtest.h>

using Volumes::MountEntry;

namespace {

MountEntry entry(int id, const char* mountPoint, const char* type = "ext4", const char* source = "/dev/sda1",
                 unsigned major = 8, unsigned minor = 1) {
    return MountEntry{id, major, minor, QString::fromUtf8(mountPoint), QString::fromUtf8(type), QString::fromUtf8(source)};
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
             {"B went, C came", {root, a, b}, {root, a, entry(12, "/v/C")}, {"/v/B"}, {"/v/C"}},
             {"A replaced between two readings", {root, a, b}, {root, entry(13, "/v/A"), b}, {"/v/A"}, {"/v/A"}},
             {"a reused id with another device", {root, a, b}, {root, entry(10, "/v/A", "ext4", "/dev/sda1", 8, 33), b},
              {"/v/A"}, {"/v/A"}},
             {"a mount stacked over A", {root, a, b}, {root, a, b, over}, {}, {}},
             {"the stacked mount taken off", {root, a, b, over}, {root, a, b}, {}, {}},
             {"several at once, each once", {root, a, b, over}, {root}, {"/v/A", "/v/B"}, {}}}) {
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

TEST(VolumeMountTable, TheFatFamilyFollowsTypeAndSource) {
    auto fat = [](const char* type, const char* source = "/dev/sdb1", unsigned major = 8) {
        return Volumes::isFatFamily(entry(1, "/m", type, source, major, 17));
    };
    for (const char* type : {"vfat", "msdos", "umsdos", "exfat", "fuse.fusefat", "fuse.exfat", "fuseblk.exfat"})
        EXPECT_TRUE(fat(type)) << type;
    EXPECT_TRUE(fat("fuseblk", "exfat", 8)) << "a driver that names itself as the source";
    for (const char* type : {"ext4", "tmpfs", "ntfs3", "fuse.sshfs", "btrfs", "iso9660"}) EXPECT_FALSE(fat(type)) << type;
    EXPECT_FALSE(fat("fuseblk", "/dev/fat-device-nonexistent", 0)) << "a device path is not a kind";
}
