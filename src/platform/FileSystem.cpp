#include "FileSystem.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fsys {

QByteArray encode(const QString& path) { return QFile::encodeName(path); }

namespace {

bool statPath(const QString& path, struct stat& st, bool follow) {
    QByteArray p = encode(path);
    return (follow ? ::stat(p.constData(), &st) : ::lstat(p.constData(), &st)) == 0;
}

QString errorText(const QString& what, const QString& path) {
    return what + QStringLiteral(" ") + path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

}  // namespace

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
