#include "FatImage.h"

#include "platform/Locations.h"
#include "platform/Volumes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

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

struct RunResult {
    bool ok = false;
    QByteArray output;
    QString errors;  // standard error, or why the program did not run
};

RunResult run(const QString& program, const QStringList& arguments) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // mtools converts long names to the locale's character set; it also
    // objects to images without a partition-table geometry it likes.
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    environment.insert(QStringLiteral("MTOOLS_SKIP_CHECK"), QStringLiteral("1"));
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return {false, {}, program + QStringLiteral(" did not finish: ") + process.errorString()};
    }
    return {process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0, process.readAllStandardOutput(),
            QString::fromUtf8(process.readAllStandardError()).trimmed()};
}

QString defaultLabel(const QString& name) {
    QString label;
    for (QChar c : name.toUpper())
        if ((c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_' || c == u'-' || c == u' ') label += c;
    label = label.left(11).trimmed();
    return label.isEmpty() ? QStringLiteral("NO NAME") : label;
}

}  // namespace

FatImage::FatImage(Options options) : options_(std::move(options)) {
    if (QString missing = missingFacilities(); !missing.isEmpty()) {
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
    const QString label = options_.label.isEmpty() ? defaultLabel(options_.name) : options_.label;
    RunResult made = run(findTool(QStringLiteral("mkfs.vfat")),
                         {QStringLiteral("-C"), QStringLiteral("-F"), QStringLiteral("32"), QStringLiteral("-n"), label, imagePath_, QString::number(options_.sizeKiB)});
    if (!made.ok) {
        ADD_FAILURE() << "mkfs.vfat could not make " << imagePath_.toStdString() << ": " << made.errors.toStdString();
        return;
    }
    ready_ = !options_.mountNow || mount();
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
}

bool FatImage::isMounted() const {
    for (const Volumes::MountEntry& e : Volumes::readMountTable())
        if (e.mountPoint == volumePath() && e.fileSystemType == u"fuse.fusefat") return true;
    return false;
}

bool FatImage::mount() {
    if (isMounted()) return true;
    stopServer();
    server_ = std::make_unique<QProcess>();
    server_->setProgram(findTool(QStringLiteral("fusefat")));
    // In the foreground, so that it stays our child; single-threaded, because
    // fusefat keeps its state in globals without locks.
    // fsname alone would drop the subtype.
    const QString source = options_.source.isEmpty() ? QString() : QStringLiteral(",subtype=fusefat,fsname=") + options_.source;
    server_->setArguments({QStringLiteral("-f"), QStringLiteral("-s"), QStringLiteral("-o"), (options_.readOnly ? QStringLiteral("ro") : QStringLiteral("rw+")) + source, imagePath_, volumePath()});
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
        if (result.ok) break;
        error = result.errors;
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
    if (!listed.ok) return std::unexpected(QStringLiteral("mdir could not list %1: %2").arg(inside, listed.errors));
    // Each line is the entry's whole path: "::/Music/A.MP3", "::/Music/Sub/".
    const QString prefix = QStringLiteral("::") + (inside == u'/' ? inside : inside + u'/');
    QStringList entries;
    for (const QByteArray& line : listed.output.split('\n')) {
        if (line.isEmpty()) continue;
        QString path = QString::fromUtf8(line);
        if (!path.startsWith(prefix)) return std::unexpected(QStringLiteral("unexpected mdir line: ") + path);
        entries.append(path.mid(prefix.size()));
    }
    return entries;
}

QStringList FatImage::consistencyProblems() const {
    RunResult checked = run(findTool(QStringLiteral("fsck.fat")), {QStringLiteral("-n"), imagePath_});
    QStringList problems;
    const QStringList lines = QString::fromUtf8(checked.output).split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString& line = lines[i];
        if (line.trimmed().isEmpty() || line.startsWith(u"fsck.fat ") || line.startsWith(u"Leaving filesystem") ||
            line.startsWith(imagePath_ + u':'))
            continue;
        // Normal while mounted by fusefat; each comes with a follow-up line.
        if (line.startsWith(u"Dirty bit is set") || line.startsWith(u"Free cluster summary wrong")) {
            ++i;
            continue;
        }
        problems.append(line);
    }
    if (!checked.errors.isEmpty() && problems.isEmpty() && !checked.ok) problems.append(checked.errors);
    return problems;
}

QString FatImage::missingFacilities() {
    QStringList missing;
    if (::access("/dev/fuse", R_OK | W_OK) != 0) missing.append(QStringLiteral("/dev/fuse (FUSE) is not usable"));
    if (fusermount().isEmpty()) missing.append(QStringLiteral("fusermount or fusermount3 (package fuse3)"));
    for (auto [tool, package] : {std::pair{"fusefat", "fusefat"}, {"mkfs.vfat", "dosfstools"}, {"fsck.fat", "dosfstools"}, {"mdir", "mtools"}})
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

void FatPlayerTest::SetUp() {
    player = std::make_unique<FatImage>();
    ASSERT_TRUE(player->ready()) << "the FAT player could not be set up (see the failure above)";
    volumes_ = std::make_unique<VolumesFolderOverride>(player->volumesFolder());
}

void FatPlayerTest::TearDown() {
    volumes_.reset();
    player.reset();
}
