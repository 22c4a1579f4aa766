#include "PlayerFiles.h"

#include "library/PathUtils.h"
#include "platform/FileSystem.h"
#include "platform/Locations.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errorText(const QString& what) { return what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno)); }

QString canonicalOrEmpty(const QString& path) { return QFileInfo(path).canonicalFilePath(); }

// A folder on another device than its parent is a mount point: two stats,
// cheap enough to ask before every file.
bool isMountedHere(const QString& folder) {
    struct stat self, parent;
    if (::stat(fsys::encode(folder).constData(), &self) != 0) return false;
    if (::stat(fsys::encode(pathByRemovingLastComponent(folder)).constData(), &parent) != 0) return false;
    return self.st_dev != parent.st_dev;
}

bool hasDotComponent(const QString& path) {
    for (const QString& part : path.split(u'/'))
        if (part == u"." || part == u"..") return true;
    return false;
}

}  // namespace

PlayerGuard::PlayerGuard(QString playerFolder) {
    while (playerFolder.size() > 1 && playerFolder.endsWith(u'/')) playerFolder.chop(1);
    if (!QDir::isAbsolutePath(playerFolder) || playerFolder == u"/" || hasDotComponent(playerFolder)) return;
    folder_ = decomposed(playerFolder);
    canonical_ = canonicalOrEmpty(playerFolder);
    QString name = driveNameFromPath(playerFolder);
    if (!name.isEmpty() && isMountedHere(Locations::volumesFolder() + name)) volume_ = Locations::volumesFolder() + name;
}

bool PlayerGuard::volumeStillMounted() const { return volume_.isEmpty() || isMountedHere(volume_); }

bool PlayerGuard::contains(const QString& path) const {
    if (folder_.isEmpty() || hasDotComponent(path)) return false;
    QString p = decomposed(path);
    if (!p.startsWith(folder_ + u'/') || p.size() == folder_.size() + 1) return false;
    if (p.contains(QStringLiteral("//"))) return false;
    // A symbolic link inside the player must not lead out of it: the nearest
    // existing folder above the path must resolve to somewhere inside.
    if (canonical_.isEmpty()) return true;
    QString parent = pathByRemovingLastComponent(p);
    while (parent.size() > folder_.size() && !fsys::existsNoFollow(parent)) parent = pathByRemovingLastComponent(parent);
    QString resolved = canonicalOrEmpty(parent);
    if (resolved.isEmpty()) return true;  // vanished meanwhile: nothing to follow
    resolved = decomposed(resolved);
    return resolved == decomposed(canonical_) || resolved.startsWith(decomposed(canonical_) + u'/');
}

namespace playerfiles {


namespace {

// A stop asked for during a long copy is seen within this much data.
constexpr std::size_t kCopyStep = 2 << 20;

bool stopped(const std::atomic<bool>* cancel) { return cancel && cancel->load(std::memory_order_relaxed); }

bool copyBytes(int in, int out, const std::atomic<bool>* cancel) {
    // In-kernel copy where the file systems allow it; plain reads otherwise.
    for (;;) {
        if (stopped(cancel)) return false;
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kCopyStep, 0);
        if (n > 0) continue;
        if (n == 0) return true;
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF) break;
        return false;
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
        if (stopped(cancel)) return false;
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(out, buffer.data() + done, std::size_t(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            done += w;
        }
    }
}

}  // namespace

std::expected<void, QString> copyFile(const QString& from, const QString& to, const std::atomic<bool>* cancel) {
    // Only a regular file is a song: a FIFO would hold the copy (and a stop)
    // for ever; a device or a file of /proc would put other bytes on the player.
    std::expected<int, QString> opened = fsys::openSource(from);
    if (!opened) return std::unexpected(QStringLiteral("cannot read %1: %2").arg(from, opened.error()));
    int in = *opened;
    struct stat st;
    if (::fstat(in, &st) != 0) {
        ::close(in);
        return std::unexpected(errorText(QStringLiteral("cannot read ") + from));
    }
    QString temp = pathByRemovingLastComponent(to) + u'/' + kPartialPrefix + QString::number(QCoreApplication::applicationPid()) + u'-' + QString::number(QRandomGenerator::global()->generate(), 16);
    QByteArray tempBytes = fsys::encode(temp);
    int out = ::open(tempBytes.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0) {
        QString message = errorText(QStringLiteral("cannot write ") + to);
        ::close(in);
        return std::unexpected(message);
    }
    bool ok = copyBytes(in, out, cancel);
    QString message = ok                ? QString()
                      : stopped(cancel) ? QStringLiteral("stopped while copying ") + from
                                        : errorText(QStringLiteral("cannot copy ") + from + QStringLiteral(" to ") + to);
    ::close(in);
    // The date test of the next pass relies on the source's modification time.
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (ok && ::futimens(out, times) != 0) {
        ok = false;
        message = errorText(QStringLiteral("cannot set the date of ") + to);
    }
    if (::close(out) != 0 && ok) {
        ok = false;
        message = errorText(QStringLiteral("cannot write ") + to);
    }
    if (ok && ::rename(tempBytes.constData(), fsys::encode(to).constData()) != 0) {
        ok = false;
        message = errorText(QStringLiteral("cannot put ") + to + QStringLiteral(" in place"));
    }
    if (!ok) {
        ::unlink(tempBytes.constData());
        return std::unexpected(message);
    }
    return {};
}

namespace {

// A rename that fails rather than replace a file at "to". False with errno
// EEXIST when something stands there (or seems to, on a file system that
// ignores case).
bool renameNoReplace(const QByteArray& from, const QByteArray& to) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    // File systems without the no-replace flag (FUSE drivers): look first.
    struct stat st;
    if (::stat(to.constData(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.constData(), to.constData()) == 0;
}

bool sameFile(const QByteArray& a, const QByteArray& b) {
    struct stat sa, sb;
    return ::stat(a.constData(), &sa) == 0 && ::stat(b.constData(), &sb) == 0 && sa.st_ino == sb.st_ino && sa.st_dev == sb.st_dev;
}

}  // namespace

std::expected<void, QString> moveFile(const QString& from, const QString& to) {
    QByteArray f = fsys::encode(from), t = fsys::encode(to);
    auto failed = [&] { return std::unexpected(errorText(QStringLiteral("cannot move ") + from + QStringLiteral(" to ") + to)); };
    if (renameNoReplace(f, t)) return {};
    if (errno != EEXIST) return failed();
    // On a file system that ignores case, a name that changes only in case
    // finds the file itself at "to" (FUSE drivers may not even give both
    // names one inode). Go through a temporary name: the second step still
    // fails if another file stands at "to", and the first is then undone.
    bool caseOnly = decomposed(from).toCaseFolded() == decomposed(to).toCaseFolded();
    if (!caseOnly && !sameFile(f, t)) return failed();
    QByteArray temp = fsys::encode(pathByRemovingLastComponent(from) + u'/' + kPartialPrefix + QString::number(QCoreApplication::applicationPid()) + u'-' + QString::number(QRandomGenerator::global()->generate(), 16));
    if (!renameNoReplace(f, temp)) return failed();
    if (renameNoReplace(temp, t)) return {};
    int error = errno;
    ::rename(temp.constData(), f.constData());
    errno = error;
    return failed();
}

std::expected<void, QString> removeFile(const QString& path) {
    if (::unlink(fsys::encode(path).constData()) == 0 || errno == ENOENT) return {};
    return std::unexpected(errorText(QStringLiteral("removing ") + path));
}

namespace {

QStringList components(const QString& path) {
    QStringList parts = path.split(u'/', Qt::SkipEmptyParts);
    if (path.startsWith(u'/')) parts.prepend(QStringLiteral("/"));
    return parts;
}

QString joinFirst(const QStringList& parts, qsizetype n) {
    QString path;
    for (qsizetype i = 1; i < n; ++i) path += u'/' + parts[i];
    return path.isEmpty() ? QStringLiteral("/") : path;
}

bool folderIsEmpty(const QString& folder) {
    // Unreadable or missing counts as empty: removing it then simply fails.
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).isEmpty();
}

}  // namespace

bool fileWillBeAddedTo(const QString& folder) {
    if (fsys::isDirectory(folder)) return true;
    return createDirectoryAtPath(folder);
}

bool createDirectoryAtPath(const QString& path) {
    QStringList parts = components(path);
    // Below the volumes folder comes the volume, which is never created here.
    qsizetype first = components(Locations::volumesFolder()).size() + 2;
    if (parts.size() < first) return true;
    for (qsizetype i = first; i <= parts.size(); ++i) {
        QString partial = joinFirst(parts, i);
        if (fsys::existsNoFollow(partial)) continue;
        if (::mkdir(fsys::encode(partial).constData(), 0777) != 0 && errno != EEXIST) return false;
    }
    return true;
}

bool fileRemovedFrom(const QString& folder, const QString& playerFolder) {
    PlayerGuard guard(playerFolder);
    QStringList parts = components(folder);
    qsizetype base = components(playerFolder).size() + 1;
    for (qsizetype n = parts.size(); n >= base; --n) {
        QString partial = joinFirst(parts, n);
        if (!guard.contains(partial)) break;
        if (folderIsEmpty(partial)) ::rmdir(fsys::encode(partial).constData());
    }
    return true;
}

}  // namespace playerfiles
