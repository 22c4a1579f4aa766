#pragma once

// A real FAT32 player for tests: an image file made with mkfs.vfat, mounted
// through fusefat at <a temporary volumes folder>/PLAYER. Or an exFAT one,
// which takes names beyond ASCII: made with mkfs.exfat, attached to a loop
// device and mounted through exfat-fuse, which shows as "fuseblk" with the
// device as its source (root only).
//
// Needs /dev/fuse, fusefat, fusermount, mkfs.vfat and mdir (fuse3,
// fusefat, dosfstools, mtools), and for exFAT mkfs.exfat, losetup and
// mount.exfat-fuse (exfatprogs, mount, exfat-fuse); without them
// construction records a test failure that says what is missing. Create it
// on the main thread: the fusefat server is a child that ends, unmounting,
// when that thread does, so a crashed test leaves no mount behind.
//
// What fusefat does, for tests that rely on it:
// - statvfs reports 0 blocks (total, free and available); f_files and
//   f_ffree carry the cluster counts instead.
// - Modification times set with utimensat are kept with FAT's two-second
//   precision, rounded down; times before 1980 wrap into the 2100s. Another
//   FAT reader (mtools) sees the month one lower than fusefat does. Writing
//   to an existing file does not change its modification time.
// - Files can be renamed across folders and over an existing file. Renaming
//   a FOLDER (even within its parent) loses the folder's contents.
// - Names with " * < > \ | ? : or control characters are refused (EPERM), so
//   are all non-ASCII names (fusefat cannot create them; it reads ones made
//   by mtools). Trailing dots and spaces are kept.
// - Lookups ignore case ("a.mp3" opens "A.MP3"); a second name differing
//   only in case cannot be created. Short names that mtools wrote in lower
//   case show in upper case. The volume label appears as an empty file
//   named after it in the root.
// - Sizes are right at once, while a file is still open and after truncation.
// - Writing at the very end of a small existing file (appending to a 10-byte
//   file, say) may fail with EPERM; writing a new file in one go works.
// - Opening an existing file with O_TRUNC and writing it again leaves its
//   data on a cluster marked free (fsck complains; later files may take it):
//   write a new file and rename it over the old one instead.
// - Writes reach the image at once (no cache in the server), so
//   entriesInDiskOrder() works while mounted.
// - A volume with an open file or a working directory inside cannot be
//   unmounted (EBUSY).

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <expected>
#include <memory>

class QProcess;

class FatImage {
public:
    enum class Kind { Fat32, ExFat };
    explicit FatImage(Kind kind = Kind::Fat32);
    ~FatImage();
    FatImage(const FatImage&) = delete;
    FatImage& operator=(const FatImage&) = delete;

    // The image was made (and mounted); otherwise a failure was recorded.
    bool ready() const { return ready_; }

    QString volumesFolder() const { return volumesFolder_; }  // with a trailing "/"
    QString volumePath() const { return volumesFolder_ + QStringLiteral("PLAYER"); }

    // Both record a test failure with the reason when they fail. unmount()
    // retries while the volume is busy, for up to `patienceMs`.
    bool mount();
    // The next mount() is read-only, or writable again.
    void setReadOnly(bool readOnly) { readOnly_ = readOnly; }
    bool unmount(int patienceMs = 5000);
    bool isMounted() const;

    // The entries of a folder of the volume ("/" or "/Music") in the order of
    // the FAT directory itself, long names where there are any. Folders end in "/".
    std::expected<QStringList, QString> entriesInDiskOrder(const QString& folder = QStringLiteral("/")) const;

    // "" when everything the fixture needs is here, otherwise what is missing.
    static QString missingFacilities(Kind kind);

private:
    bool tryUnmount(int patienceMs, QString& error);
    void stopServer();

    Kind kind_;
    QString device_;  // exFAT: the loop device
    QTemporaryDir dir_;
    QString volumesFolder_;
    QString imagePath_;
    QString logPath_;
    std::unique_ptr<QProcess> server_;
    bool readOnly_ = false;
    bool ready_ = false;
};

// Sets the program's volumes folder for as long as it lives, then puts back
// the one that was in effect.
class VolumesFolderOverride {
public:
    explicit VolumesFolderOverride(const QString& folder);
    ~VolumesFolderOverride();
    VolumesFolderOverride(const VolumesFolderOverride&) = delete;
    VolumesFolderOverride& operator=(const VolumesFolderOverride&) = delete;

private:
    QString previous_;
};
