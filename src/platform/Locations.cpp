#include "Locations.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace Locations {

namespace {

QString g_volumesOverride;

QString withSlash(QString path) {
    if (!path.endsWith(u'/')) path += u'/';
    return path;
}

QString envPath(const char* name) {
    QString value = qEnvironmentVariable(name);
    return QDir::isAbsolutePath(value) ? value : QString();
}

}  // namespace

QString volumesFolder() {
    if (!g_volumesOverride.isEmpty()) return g_volumesOverride;
    QString env = envPath("BRISLE_VOLUMES");
    if (!env.isEmpty()) return withSlash(env);
#if defined(Q_OS_MACOS)
    return QStringLiteral("/Volumes/");
#else
    QString user = qEnvironmentVariable("USER");
    QString run = QStringLiteral("/run/media/") + user + u'/';
    QString media = QStringLiteral("/media/") + user + u'/';
    if (QFileInfo(run).isDir()) return run;
    return media;
#endif
}

bool volumesFolderGiven() { return !g_volumesOverride.isEmpty() || !envPath("BRISLE_VOLUMES").isEmpty(); }

void setVolumesFolder(const QString& folder) {
    g_volumesOverride = folder.isEmpty() ? QString() : withSlash(QDir::cleanPath(QDir::current().absoluteFilePath(folder)));
}

QString defaultSettingsFile() {
    QString base = envPath("XDG_CONFIG_HOME");
    if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/Brisle/Brisle.plist");
}

QString cacheFolder() {
    QString base = envPath("XDG_CACHE_HOME");
    if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.cache");
    return base + QStringLiteral("/Brisle/");
}

QString defaultLibraryFile() {
    return QDir::homePath() + QStringLiteral("/Music/iTunes/iTunes Music Library.xml");
}

QString temporaryFolder() { return withSlash(QDir::tempPath()); }

}  // namespace Locations
