#include "FileSystem.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

namespace fsys {

QByteArray encode(const QString& path) { return QFile::encodeName(path); }

QByteArray readAll(int fd) {
    QByteArray text;
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, n);
    }
    return text;
}

namespace {

bool statPath(const QString& path, struct stat& st, bool follow) {
    QByteArray p = encode(path);
    return (follow ? ::stat(p.constData(), &st) : ::lstat(p.constData(), &st)) == 0;
}

QString errorText(const QString& what, const QString& path) {
    return what + QStringLiteral(" ") + path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

// What a file that is not a regular one is, for the message that refuses it.
QString kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return QStringLiteral("a folder");
    if (S_ISFIFO(mode)) return QStringLiteral("a FIFO");
    if (S_ISCHR(mode) || S_ISBLK(mode)) return QStringLiteral("a device");
    if (S_ISSOCK(mode)) return QStringLiteral("a socket");
    return QStringLiteral("something else");
}

}  // namespace

bool onPseudoFileSystem(int fd) {
#ifdef __linux__
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0) return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case PSTOREFS_MAGIC:
    case EFIVARFS_MAGIC:
    case 0x62656570:  // configfs
    case SELINUX_MAGIC:
    case SMACK_MAGIC:
    case DEVPTS_SUPER_MAGIC:
    case 0x65735543:  // fusectl
        return true;
    default:
        return false;
    }
#else
    Q_UNUSED(fd);
    return false;
#endif
}

std::expected<int, QString> openSource(const QString& path) {
    QByteArray p = encode(path);
    auto failed = [] { return std::unexpected(QString::fromLocal8Bit(std::strerror(errno))); };
    auto refused = [](const QString& what) { return std::unexpected(QString(what + QStringLiteral(", not a regular file"))); };
    // Looked at before it is opened: opening some devices does something.
    struct stat st;
    if (::stat(p.constData(), &st) != 0) return failed();
    if (!S_ISREG(st.st_mode)) return refused(kindOf(st.st_mode));
    // Without blocking, in case it was swapped for a FIFO meanwhile.
    int fd = ::open(p.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return failed();
    auto close = [fd](auto error) {
        ::close(fd);
        return error;
    };
    if (::fstat(fd, &st) != 0) return close(failed());
    if (!S_ISREG(st.st_mode)) return close(refused(kindOf(st.st_mode)));
    if (onPseudoFileSystem(fd)) return close(refused(QStringLiteral("a file of the system's own (/proc, /sys)")));
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return close(failed());
    return fd;
}

bool exists(const QString& path) {
    struct stat st;
    return statPath(path, st, true);
}

bool existsNoFollow(const QString& path) {
    struct stat st;
    return statPath(path, st, false);
}

bool isDirectory(const QString& path) {
    struct stat st;
    return statPath(path, st, true) && S_ISDIR(st.st_mode);
}

std::optional<std::uint64_t> size(const QString& path) {
    struct stat st;
    if (!statPath(path, st, true)) return std::nullopt;
    return std::uint64_t(st.st_size);
}

std::optional<std::uint64_t> sizeNoFollow(const QString& path) {
    struct stat st;
    if (!statPath(path, st, false)) return std::nullopt;
    return std::uint64_t(st.st_size);
}

std::optional<std::uint64_t> sizeNoFollow(std::string_view pathBytes) {
    struct stat st;
    if (::lstat(std::string(pathBytes).c_str(), &st) != 0) return std::nullopt;
    return std::uint64_t(st.st_size);
}

std::optional<double> modificationTime(const QString& path) {
    struct stat st;
    if (!statPath(path, st, true)) return std::nullopt;
    return double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) * 1e-9;
}

std::expected<void, QString> writeFileAtomically(const QString& path, const QByteArray& bytes) {
    int slash = path.lastIndexOf(u'/');
    QString dir = slash > 0 ? path.left(slash) : QStringLiteral("/");
    if (!makePath(dir)) return std::unexpected(errorText(QStringLiteral("cannot create the folder"), dir));

    QByteArray tmpl = encode(path) + ".tmp-XXXXXX";
    int fd = ::mkstemp(tmpl.data());
    if (fd < 0) return std::unexpected(errorText(QStringLiteral("cannot write beside"), path));
    QString tmpName = QFile::decodeName(tmpl);
    auto fail = [&](const QString& what) {
        QString message = errorText(what, path);
        ::close(fd);
        ::unlink(tmpl.constData());
        return std::unexpected(message);
    };
    // Keep the permissions of the file being replaced (settings are private).
    struct stat old;
    ::fchmod(fd, ::stat(encode(path).constData(), &old) == 0 ? (old.st_mode & 07777) : 0600);
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, std::size_t(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail(QStringLiteral("cannot write"));
        p += n;
        left -= n;
    }
    if (::fsync(fd) != 0) return fail(QStringLiteral("cannot flush"));
    if (::close(fd) != 0) {
        QString message = errorText(QStringLiteral("cannot write"), path);
        ::unlink(tmpl.constData());
        return std::unexpected(message);
    }
    if (::rename(tmpl.constData(), encode(path).constData()) != 0) {
        QString message = errorText(QStringLiteral("cannot replace"), path);
        ::unlink(tmpl.constData());
        return std::unexpected(message);
    }
    // The rename itself must reach the disk too.
    int dfd = ::open(encode(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    Q_UNUSED(tmpName);
    return {};
}

QString unusedName(const QString& path, const QString& suffix) {
    QString candidate = path + suffix;
    for (int n = 2; existsNoFollow(candidate); ++n) candidate = path + suffix + u' ' + QString::number(n);
    return candidate;
}

bool makePath(const QString& path) {
    if (isDirectory(path)) return true;
    int slash = path.lastIndexOf(u'/');
    if (slash > 0 && !makePath(path.left(slash))) return false;
    return ::mkdir(encode(path).constData(), 0777) == 0 || errno == EEXIST;
}

}  // namespace fsys
