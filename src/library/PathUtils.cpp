#include "PathUtils.h"

#include "platform/Locations.h"

#include <QStringList>

QString stringByReplacingBadChars(const QString& name) {
    QString s = name;
    s.replace(u'?', u'_');
    s.replace(u':', u'_');
    s.replace(u'/', u'_');
    if (s == u"." || s == u"..") s.fill(u'_');
    return s;
}

namespace {

// Components as the platform splits them: an absolute path starts with "/".
QStringList components(const QString& path) {
    QStringList parts = path.split(u'/', Qt::SkipEmptyParts);
    if (path.startsWith(u'/')) parts.prepend(QStringLiteral("/"));
    return parts;
}

QString joined(const QStringList& parts) {
    if (parts.isEmpty()) return {};
    if (parts.first() == u"/") return u'/' + parts.mid(1).join(u'/');
    return parts.join(u'/');
}

}  // namespace

QString pathByRemovingLastComponent(const QString& path) {
    QStringList parts = components(path);
    if (parts.isEmpty()) return {};
    parts.removeLast();
    if (parts.isEmpty()) return {};
    parts.first() = QString();
    return parts.join(u'/');
}

QString hiddenPath(const QString& path) {
    QStringList parts = components(path);
    if (parts.isEmpty() || parts.last() == u"/") return path;
    parts.last() = QStringLiteral("._") + parts.last();
    return joined(parts);
}

namespace {

// Where the volume name starts and ends; -1 when the path is not on a volume.
bool volumeSpan(const QString& path, qsizetype& start, qsizetype& end) {
    const QString volumes = Locations::volumesFolder();
    start = volumes.size();
    if (!path.startsWith(volumes) || path.size() < start + 2) return false;
    end = path.indexOf(u'/', start);
    return true;
}

}  // namespace

QString driveNameFromPath(const QString& path) {
    qsizetype start, end;
    if (!volumeSpan(path, start, end)) return {};
    return end < 0 ? path.mid(start) : path.mid(start, end - start);
}

QString drivePathFromPath(const QString& path) {
    qsizetype start, end;
    if (!volumeSpan(path, start, end)) return {};
    return end < 0 ? QStringLiteral("/") : path.mid(end);
}

QString decomposed(const QString& path) { return path.normalized(QString::NormalizationForm_D); }

const QString kPartialPrefix = QStringLiteral(".brisle-partial-");

bool isPartialName(const QString& fileName) { return fileName.startsWith(kPartialPrefix); }
