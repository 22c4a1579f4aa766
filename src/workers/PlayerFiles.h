#pragma once

// File operations on the player, made safe: nothing is ever created, moved or
// removed outside the player folder, a copy never stands half-written at its
// final name, and a move never replaces a file.

#include <QString>

#include <atomic>
#include <expected>

// The player folder and the test that a path lies inside it, whatever a
// record or the saved state says: no "..", no prefix tricks, and no symbolic
// link on the way that leads elsewhere.
class PlayerGuard {
public:
    explicit PlayerGuard(QString playerFolder);

    const QString& folder() const { return folder_; }
    bool isValid() const { return !folder_.isEmpty(); }
    // True for paths strictly inside the player folder.
    bool contains(const QString& path) const;
    // False once the player's volume, a mount point when the guard was
    // made, is no longer one: its empty mount point is this computer's own
    // disk, and nothing may be made there.
    bool volumeStillMounted() const;

private:
    QString folder_;      // as stored, NFD, no trailing "/"
    QString canonical_;   // with symbolic links resolved, when it exists
    QString volume_;      // the volume's folder, when it was a mount point
};

namespace playerfiles {

// Copies from -> to through a temporary file beside "to", keeping the
// source's modification time, then renames it into place. Only a regular
// file is copied (fsys::openSource); `cancel` stops a long copy part-way,
// leaving nothing behind.
std::expected<void, QString> copyFile(const QString& from, const QString& to, const std::atomic<bool>* cancel = nullptr);
// Renames; fails rather than replace a file already at "to".
std::expected<void, QString> moveFile(const QString& from, const QString& to);
std::expected<void, QString> removeFile(const QString& path);

// Folder operations of the copier and the sort on disk. A folder is made only
// inside a volume (never the volume folder itself); removing stops at the
// player folder and never goes outside it.
bool fileWillBeAddedTo(const QString& folder);
bool createDirectoryAtPath(const QString& path);
bool fileRemovedFrom(const QString& folder, const QString& playerFolder);

}  // namespace playerfiles
