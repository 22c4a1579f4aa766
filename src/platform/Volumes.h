#pragma once

// Player volumes: the mount table, the volumes mounted under the volumes
// folder, their file-system types and sizes, and ejecting them.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

namespace Volumes {

// One line of /proc/self/mountinfo.
struct MountEntry {
    int id = 0;
    unsigned major = 0;  // the device number; major 0 means no block device (FUSE, tmpfs...)
    unsigned minor = 0;
    QString mountPoint;
    QString fileSystemType;  // "vfat", "fuse.fusefat", "fuseblk"...
    QString source;          // "/dev/sdb1", "fusefat"...
};

// Parses mountinfo text; lines that do not have the documented shape are left out.
std::vector<MountEntry> parseMountInfo(const QByteArray& text);
// The mount table as it is now; empty when it cannot be read.
std::vector<MountEntry> readMountTable();

// What changed between two readings of the mount table. A mount point counts
// as mounted when none of its mounts before is still there (so a volume that
// was replaced between two readings is reported as unmounted, then mounted);
// stacking a mount over another, or removing the top one, changes nothing.
struct MountChanges {
    std::vector<QString> unmounted;
    std::vector<QString> mounted;
};
MountChanges mountChanges(const std::vector<MountEntry>& before, const std::vector<MountEntry>& after);

// The path by which the rest of the program knows a mount point: when it lies at
// or under the volumes folder (symbolic links in that folder's path resolved),
// the volumes folder as configured followed by the rest; otherwise nothing.
std::optional<QString> pathInVolumesFolder(const QString& mountPoint);

// The mount holding a path: the mount point that is the longest prefix of the
// path with symbolic links resolved (as far as the path exists); the topmost
// of mounts stacked on one point. Nothing when the table cannot be read.
std::optional<MountEntry> mountHolding(const QString& path);
std::optional<MountEntry> mountHolding(const QString& path, const std::vector<MountEntry>& table);

// Whether a folder is itself a mount point in the mount table now.
bool isMountPoint(const QString& folder);

// The mount table's type of the mount holding the path, "" when unknown.
QString fileSystemTypeOf(const QString& path);
// FAT and exFAT, in-kernel or through FUSE ("fuse.fusefat" counts). A "fuseblk"
// mount (exfat-fuse) counts when its source names a FAT kind or its device
// holds one (as udev recorded it, or libblkid finds it).
bool isFatFamily(const QString& path);
bool isFatFamily(const MountEntry& mount);

struct MountedVolume {
    QString mountPoint;  // the volumes folder as configured + name
    QString name;
    QString fileSystemType;
    QString device;    // the mount source: "/dev/sdb1", or "fusefat" for a FUSE image
    QString iconName;  // a freedesktop icon name
};
// The local volumes mounted directly in the volumes folder now, sorted by name.
std::vector<MountedVolume> mountedVolumes();
// "media-optical" for discs; "media-flash" for FAT-family volumes on removable
// media or on no block device at all (a FUSE image stands in for a player);
// "drive-removable-media" otherwise.
QString iconNameFor(const MountEntry& mount);

struct VolumeSizes {
    std::uint64_t totalBytes = 0;
    std::uint64_t freeBytes = 0;  // available to unprivileged users
};
// The sizes of the volume holding the path. A total of 0 counts as a failed read
// (fusefat reports 0), so that callers keep their last good reading.
std::optional<VolumeSizes> volumeSizes(const QString& path);

// Unmounts the volume holding `path` (which may be a folder inside it) and, where
// udisks2 runs and the drive can be powered off, powers the drive off. The
// volume must be mounted under the volumes folder (not at it). A busy volume
// fails and stays mounted (never a lazy unmount). The error says why.
std::expected<void, QString> unmountAndEject(const QString& path);
// The same with udisks2 sought on the bus at `busAddress` (a private bus in tests).
std::expected<void, QString> unmountAndEject(const QString& path, const QString& busAddress);

}  // namespace Volumes
