#include "FatImage.h"
#include "Helpers.h"

#include "platform/Locations.h"
#include "platform/Volumes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

QString findTool(const QString& name) {
    QString found = QStandardPaths::findExecutable(name);
    return found.isEmpty() ? QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")}) : found;
}

QString fusermount() {
    QString program = findTool(QStringLiteral("fusermount"));
    return program.isEmpty() ? findTool(QStringLiteral("fusermount3")) : program;
}

// mtools converts long names to the locale's character set; it also
// objects to images without a partition-table geometry it likes.
RunResult run(const QString& program, const QStringList& arguments) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    environment.insert(QStringLiteral("MTOOLS_SKIP_CHECK"), QStringLiteral("1"));
    RunResult r = runProgram(program, arguments, environment, 60000);
    r.err = QString(r.failure + u' ' + r.err).trimmed();
    return r;
}

}  // namespace

FatImage::FatImage(Kind kind) : kind_(kind) {
    if (QString missing = missingFacilities(kind); !missing.isEmpty()) {
        ADD_FAILURE() << "A FAT player image cannot be made on this machine: " << missing.toStdString();
        return;
    }
    // Mount points in the mount table have their symbolic links resolved.
    const QString base = QFileInfo(dir_.path()).canonicalFilePath();
    volumesFolder_ = base + QStringLiteral("/Volumes/");
    imagePath_ = base + QStringLiteral("/player.img");
    logPath_ = base + QStringLiteral("/fusefat.log");
    if (!QDir().mkpath(volumePath())) {
        ADD_FAILURE() << "Cannot create " << volumePath().toStdString() << " (" << dir_.errorString().toStdString() << ")";
        return;
    }
    // FAT32 wants at least about 33 MiB.
    RunResult made = kind == Kind::Fat32
                         ? run(findTool(QStringLiteral("mkfs.vfat")), {"-C", "-F", "32", "-n", "PLAYER", imagePath_, "40960"})
                         : QFile(imagePath_).open(QIODevice::WriteOnly) && QFile::resize(imagePath_, 40 << 20)
                               ? run(findTool(QStringLiteral("mkfs.exfat")), {"-L", "PLAYER", imagePath_})
                               : RunResult{-1, {}, {}, QStringLiteral("the image file could not be made")};
    if (made.exitCode != 0) {
        ADD_FAILURE() << "The image " << imagePath_.toStdString() << " could not be made: " << made.err.toStdString();
        return;
    }
    if (kind == Kind::ExFat) {
        RunResult attached = run(findTool(QStringLiteral("losetup")), {"--find", "--show", imagePath_});
        device_ = attached.out.trimmed();
        if (attached.exitCode != 0 || device_.isEmpty()) {
            ADD_FAILURE() << "losetup could not attach " << imagePath_.toStdString() << ": " << attached.err.toStdString();
            return;
        }
    }
    ready_ = mount();
}

FatImage::~FatImage() {
    QString error;
    if (isMounted() && !tryUnmount(2000, error)) {
        // Never leave a mount behind, even one a failed test left busy.
        ADD_FAILURE() << volumePath().toStdString() << " stayed busy (" << error.toStdString() << "); detaching it lazily";
        run(fusermount(), {QStringLiteral("-u"), QStringLiteral("-z"), volumePath()});
        if (server_) server_->terminate();
    }
    stopServer();
    if (!device_.isEmpty()) run(findTool(QStringLiteral("losetup")), {"-d", device_});
}

bool FatImage::isMounted() const {
    const QString type = kind_ == Kind::Fat32 ? QStringLiteral("fuse.fusefat") : QStringLiteral("fuseblk");
    for (const Volumes::MountEntry& e : Volumes::readMountTable())
        if (e.mountPoint == volumePath() && e.fileSystemType == type) return true;
    return false;
}

bool FatImage::mount() {
    if (isMounted()) return true;
    stopServer();
    if (kind_ == Kind::ExFat) {
        // It mounts before it returns, and serves the volume from the background.
        RunResult mounted = run(findTool(QStringLiteral("mount.exfat-fuse")), {"-o", readOnly_ ? "ro" : "rw", device_, volumePath()});
        if (mounted.exitCode == 0 && isMounted()) return true;
        ADD_FAILURE() << "mount.exfat-fuse did not mount " << device_.toStdString() << ": " << mounted.err.toStdString();
        return false;
    }
    server_ = std::make_unique<QProcess>();
    server_->setProgram(findTool(QStringLiteral("fusefat")));
    // In the foreground, so that it stays our child; single-threaded, because
    // fusefat keeps its state in globals without locks.
    server_->setArguments({QStringLiteral("-f"), QStringLiteral("-s"), QStringLiteral("-o"), readOnly_ ? QStringLiteral("ro") : QStringLiteral("rw+"), imagePath_, volumePath()});
    server_->setStandardInputFile(QProcess::nullDevice());
    server_->setStandardOutputFile(QProcess::nullDevice());
    server_->setStandardErrorFile(logPath_);
    // If the test process dies, the server gets SIGTERM and unmounts.
    server_->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    server_->start();
    if (!server_->waitForStarted(10000)) {
        ADD_FAILURE() << "fusefat did not start: " << server_->errorString().toStdString();
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!isMounted()) {
        if (server_->state() == QProcess::NotRunning || server_->waitForFinished(0) ||
            std::chrono::steady_clock::now() > deadline) {
            QFile log(logPath_);
            log.open(QIODevice::ReadOnly);
            ADD_FAILURE() << "fusefat did not mount " << imagePath_.toStdString() << " at " << volumePath().toStdString()
                          << "; its output ends:\n"
                          << QString::fromUtf8(log.readAll().right(2000)).toStdString();
            stopServer();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool FatImage::unmount(int patienceMs) {
    QString error;
    if (tryUnmount(patienceMs, error)) return true;
    ADD_FAILURE() << "Could not unmount " << volumePath().toStdString() << ": " << error.toStdString();
    return false;
}

bool FatImage::tryUnmount(int patienceMs, QString& error) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patienceMs);
    while (isMounted()) {
        RunResult result = run(fusermount(), {QStringLiteral("-u"), volumePath()});
        if (result.exitCode == 0) break;
        error = result.err;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    stopServer();
    return true;
}

void FatImage::stopServer() {
    // Unmounted, the server ends by itself; only a stuck one is killed.
    if (server_ && server_->state() != QProcess::NotRunning && !server_->waitForFinished(5000)) {
        server_->terminate();
        if (!server_->waitForFinished(2000)) { server_->kill(); server_->waitForFinished(2000); }
    }
    server_.reset();
}

std::expected<QStringList, QString> FatImage::entriesInDiskOrder(const QString& folder) const {
    // mdir reads the image file; fusefat has already written everything to it.
    QString inside = QDir::cleanPath(QStringLiteral("/") + folder);
    RunResult listed = run(findTool(QStringLiteral("mdir")),
                           {QStringLiteral("-b"), QStringLiteral("-i"), imagePath_, QStringLiteral("::") + inside});
    if (listed.exitCode != 0) return std::unexpected(QStringLiteral("mdir could not list %1: %2").arg(inside, listed.err));
    // Each line is the entry's whole path: "::/Music/A.MP3", "::/Music/Sub/".
    const QString prefix = QStringLiteral("::") + (inside == u'/' ? inside : inside + u'/');
    QStringList entries;
    for (const QString& path : listed.out.split(u'\n', Qt::SkipEmptyParts)) {
        if (!path.startsWith(prefix)) return std::unexpected(QStringLiteral("unexpected mdir line: ") + path);
        entries.append(path.mid(prefix.size()));
    }
    return entries;
}

QString FatImage::missingFacilities(Kind kind) {
    QStringList missing;
    if (::access("/dev/fuse", R_OK | W_OK) != 0) missing.append(QStringLiteral("/dev/fuse (FUSE) is not usable"));
    if (fusermount().isEmpty()) missing.append(QStringLiteral("fusermount or fusermount3 (package fuse3)"));
    if (kind == Kind::ExFat && ::access("/dev/loop-control", R_OK | W_OK) != 0) missing.append(QStringLiteral("/dev/loop-control (loop devices; root)"));
    const std::vector<std::pair<const char*, const char*>> tools =
        kind == Kind::Fat32 ? std::vector<std::pair<const char*, const char*>>{{"fusefat", "fusefat"}, {"mkfs.vfat", "dosfstools"}, {"mdir", "mtools"}}
                            : std::vector<std::pair<const char*, const char*>>{{"mount.exfat-fuse", "exfat-fuse"}, {"mkfs.exfat", "exfatprogs"}, {"losetup", "mount"}};
    for (auto [tool, package] : tools)
        if (findTool(QLatin1String(tool)).isEmpty()) missing.append(QStringLiteral("%1 (package %2)").arg(QLatin1String(tool), QLatin1String(package)));
    return missing.join(QStringLiteral(", "));
}

VolumesFolderOverride::VolumesFolderOverride(const QString& folder) : previous_(Locations::volumesFolder()) {
    Locations::setVolumesFolder(folder);
}

VolumesFolderOverride::~VolumesFolderOverride() {
    // Clear the override; if the folder then differs, one was set before.
    Locations::setVolumesFolder(QString());
    if (Locations::volumesFolder() != previous_) Locations::setVolumesFolder(previous_);
}
