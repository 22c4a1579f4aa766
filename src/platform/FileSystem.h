#pragma once

// Small file operations on QString paths, done with POSIX calls so that
// errors are known and names pass through unchanged (UTF-8 bytes).

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

namespace fsys {

QByteArray encode(const QString& path);

bool exists(const QString& path);            // follows symbolic links
bool existsNoFollow(const QString& path);    // the link itself counts
bool isDirectory(const QString& path);       // follows symbolic links
std::optional<std::uint64_t> size(const QString& path);         // follows links
std::optional<std::uint64_t> sizeNoFollow(const QString& path);
std::optional<std::uint64_t> sizeNoFollow(std::string_view pathBytes);  // as encode() gives them
// Modification time in seconds since 1970, with fractions.
std::optional<double> modificationTime(const QString& path);

// Reads from fd to its end; what was read when an error stops it. For files
// whose size says nothing, such as those of /proc and /sys.
QByteArray readAll(int fd);
// Opens a file that songs are read from: only a regular file on a file
// system that holds data. A folder, a FIFO, a device or a file of /proc or
// /sys is refused, and nothing is opened in a way that could block. The
// error says why ("a FIFO, not a regular file"), for the caller to put after
// the file's name. The descriptor reads normally (blocking) and is the
// caller's to close.
std::expected<int, QString> openSource(const QString& path);
// Whether the open file lies on a file system of the kernel's own (/proc,
// /sys and their kin), whose files are no music whatever they claim.
bool onPseudoFileSystem(int fd);

// Writes a whole file so that a crash leaves either the old or the new one:
// a temporary file beside it, flushed to disk, then renamed over it.
std::expected<void, QString> writeFileAtomically(const QString& path, const QByteArray& bytes);

// path + suffix, or path + suffix + " 2", " 3"... when that is taken.
QString unusedName(const QString& path, const QString& suffix);

// Creates the folder and any missing parents.
bool makePath(const QString& path);

}  // namespace fsys
