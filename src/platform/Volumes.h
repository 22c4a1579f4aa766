#pragma once

// Player volumes: the mount table, the volumes mounted under the volumes
// folder, their file-system types and sizes, and ejecting them.

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

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

// What a volume is, for its icon in the list of players.
enum class VolumeKind { RemovableDrive, MemoryCard, Phone, Optical };

struct MountedVolume {
    QString mountPoint;  // the volumes folder as configured + name
    QString name;
    QString fileSystemType;
    QString device;    // the mount source: "/dev/sdb1", or "fusefat" for a FUSE image
    VolumeKind kind = VolumeKind::RemovableDrive;
    QString iconName;  // a freedesktop icon name
    bool fatFamily = false;  // see isFatFamily
};
// The local volumes mounted directly in the volumes folder now, sorted by
// name, each with its kind as udisks2 describes its drive where it runs, else
// as the mount table and udev suggest.
std::vector<MountedVolume> mountedVolumes();
// Optical for discs; a phone when udev knows the device as a media player;
// else the kind udisks2 described, if any; else a memory card for FAT-family
// volumes on removable media or on no block device at all (a FUSE image
// stands in for a player); a removable drive otherwise.
VolumeKind volumeKind(const MountEntry& mount, std::optional<VolumeKind> described = std::nullopt);
// "media-optical", "media-flash", "phone", "drive-removable-media".
QString iconNameFor(VolumeKind kind);

// The drive as udisks2 describes it: its "Media" and "MediaCompatibility"
// ("flash_sd", "thumb", "optical_cd"...), its "ConnectionBus" ("usb",
// "sdio"...), and whether it is optical.
struct DriveDescription {
    QString media;
    QStringList mediaCompatibility;
    QString connectionBus;
    bool optical = false;
};
// Memory cards by their media ("flash", "flash_sd"... but not a "thumb"
// stick) or a card slot on the SDIO bus; nothing when the description tells
// no kind apart from a removable drive.
std::optional<VolumeKind> kindFromDrive(const DriveDescription& drive);

// The kinds of the block devices on drives udisks2 knows ("/dev/sdb1" -> a
// memory card; a removable drive when its description tells no more); empty
// where udisks2 does not run.
QHash<QString, VolumeKind> udisksKinds();
// The same with udisks2 sought on the bus at `busAddress` (a private bus in tests).
QHash<QString, VolumeKind> udisksKinds(const QString& busAddress);

// Asks udisks2, where it runs, to mount every removable medium that holds a
// file system and is not mounted yet, as a desktop does when a card or
// player is plugged in: the new volume then shows in the volumes folder.
// Does nothing where udisks2 is absent; refusals are ignored.
void mountNewRemovableMedia();
void mountNewRemovableMedia(const QString& busAddress);

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
