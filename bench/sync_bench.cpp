// Sync throughput: a real sync (controller with both workers, started as
// "brisle sync" starts it) copying F songs of M MiB of random bytes onto a
// player folder, against "cp -r" of the same files to another folder of the
// same disk. The songs are MP3s, so nothing is converted.
//
// The two alternate (the order flips every round) with the sources warm in the
// page cache; before every run the destination is dropped and the disk synced,
// so each starts with no dirty pages. The sync ends with syncfs() (the copier
// makes sure the files reach the device) and cp does not, so cp is also shown
// followed by syncfs() on its destination. Each sync runs in a fresh process
// (this program again, with --child).
//
// usage: sync_bench [--files F] [--mib M | --kib K] [--rounds R] [--dir FOLDER] [--keep]
//   defaults: --files 1000 --mib 4 --rounds 5, FOLDER the temporary folder.
//   Many small files (--files 4000 --kib 16) show the cost per file.
//   --compare PROGRAM also runs every sync with another build of this bench
//   (say, one of a changed engine), in the same rounds.
//   --keep leaves the work folder and prints how to run one sync alone (for
//   perf or strace): copy template.plist over settings.plist, empty the
//   player, then
//     sync_bench --child SETTINGS LIBRARY CACHE VOLUMES

#include "BenchSupport.h"
#include "app/Controller.h"
#include "platform/Defaults.h"
#include "platform/FileSystem.h"
#include "platform/Locations.h"
#include "app/UserInterface.h"
#include "selection/Selection.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::string fileUrl(const QString& path) { return "file://localhost" + QUrl::toPercentEncoding(path, "/").toStdString(); }

// ---- the child: one sync ----

struct SyncResult {
    double seconds;      // from the planning pass to both workers idle
    double copiedAfter;  // when the copy list was found empty (polled every 5 ms)
    long long planned;
    long long left;
};

int childMain(const QString& settings, const QString& library, const QString& cache, const QString& volumes) {
    Locations::setVolumesFolder(volumes);
    Defaults defaults(settings);
    if (auto loaded = defaults.load(); !loaded) return 3;
    NoAlerts ui;
    Controller c(defaults, ui, Controller::Options{library, cache});
    if (!c.loadLibrary()) return 3;
    c.restoreSavedState();
    c.checkMounted();
    if (!c.mounted()) return 4;
    c.startWorkers();

    auto copiesLeft = [&c] {
        std::lock_guard lock(c.work().todoLock);
        return (long long)c.work().toCopyList.size() + (long long)c.work().todoList.size();
    };
    SyncResult r{};
    QEventLoop loop;
    bool planning = true;
    double start = 0;
    // As the command line does it: wait for the copier to register, plan
    // once, then wait for the work to end.
    auto check = [&] {
        if (planning) {
            if (c.copierBusy()) return;
            planning = false;
            start = now();
            c.planNow();
            r.planned = copiesLeft();
            return;
        }
        if (r.copiedAfter == 0 && copiesLeft() == 0) r.copiedAfter = now() - start;
        bool conversionsLeft;
        {
            std::lock_guard lock(c.work().todoLock);
            conversionsLeft = !c.work().todoList.empty();
        }
        if (c.idle() && !conversionsLeft) loop.quit();
    };
    QObject::connect(&c, &Controller::workerIdle, &loop, check, Qt::QueuedConnection);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, check);
    poll.start(5);
    loop.exec();
    r.seconds = now() - start;
    if (r.copiedAfter == 0) r.copiedAfter = r.seconds;
    c.stopWorkers();
    r.left = copiesLeft();
    std::printf("%.6f %.6f %lld %lld\n", r.seconds, r.copiedAfter, r.planned, r.left);
    return 0;
}

// ---- the parent ----

// Runs a program; answers its exit status and, when wanted, its standard output.
int runProgram(const std::vector<std::string>& args, std::string* out = nullptr) {
    int fds[2];
    if (out && pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        if (out) {
            close(fds[0]);
            dup2(fds[1], 1);
            close(fds[1]);
        }
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (out) {
        close(fds[1]);
        char buf[4096];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out->append(buf, std::size_t(n));
        close(fds[0]);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double syncfsOf(const QString& folder) {
    double t = now();
    int fd = ::open(fsys::encode(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
    return now() - t;
}

// Removes the folder's contents and flushes the disk, so the next run starts
// with no dirty pages of an earlier one.
void dropAndSettle(const QString& folder) {
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    ::sync();
}

// Files and bytes below a folder.
std::pair<long long, long long> tally(const QString& folder) {
    long long files = 0, bytes = 0;
    std::vector<QString> stack{folder};
    while (!stack.empty()) {
        QString f = stack.back();
        stack.pop_back();
        for (const QFileInfo& fi : QDir(f).entryInfoList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
            if (fi.isDir()) stack.push_back(fi.filePath());
            else {
                ++files;
                bytes += fi.size();
            }
        }
    }
    return {files, bytes};
}

void readAll(const QString& folder) {
    std::vector<char> buf(1 << 20);
    std::vector<QString> stack{folder};
    while (!stack.empty()) {
        QString f = stack.back();
        stack.pop_back();
        for (const QFileInfo& fi : QDir(f).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
            if (fi.isDir()) {
                stack.push_back(fi.filePath());
                continue;
            }
            int fd = ::open(fsys::encode(fi.filePath()).constData(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            while (::read(fd, buf.data(), buf.size()) > 0) {
            }
            ::close(fd);
        }
    }
}

// F MP3 songs of random bytes in albums of ten, and the library file naming them.
QString writeLibrary(const QString& folder, int files, int kib) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple Computer//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n"
        "\t<key>Major Version</key><integer>1</integer>\n\t<key>Minor Version</key><integer>1</integer>\n"
        "\t<key>Application Version</key><string>7.0.2</string>\n"
        "\t<key>Music Folder</key><string>" +
        fileUrl(folder + QStringLiteral("/files/")) + "</string>\n\t<key>Tracks</key>\n\t<dict>\n";
    std::vector<std::uint64_t> block(std::size_t(kib) << 7);
    std::uint64_t x = 0x9E3779B97F4A7C15ULL;
    for (int i = 0; i < files; ++i) {
        int id = 1000 + i, album = i / 10, track = i % 10 + 1;
        QString albumFolder = folder + QStringLiteral("/files/Album %1").arg(album);
        QDir().mkpath(albumFolder);
        QString path = albumFolder + QStringLiteral("/%1 Song %2.mp3").arg(track, 2, 10, QChar(u'0')).arg(i);
        for (auto& w : block) {  // xorshift64: different bytes in every file
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        QFile f(path);
        qint64 size = qint64(block.size() * sizeof block[0]);
        if (!f.open(QIODevice::WriteOnly) || f.write(reinterpret_cast<const char*>(block.data()), size) != size) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            std::exit(1);
        }
        char pid[17];
        std::snprintf(pid, sizeof pid, "%016X", 0xC0000000u + unsigned(id));
        xml += "\t\t<key>" + std::to_string(id) + "</key>\n\t\t<dict>\n";
        xml += "\t\t\t<key>Track ID</key><integer>" + std::to_string(id) + "</integer>\n";
        xml += "\t\t\t<key>Name</key><string>Song " + std::to_string(i) + "</string>\n";
        xml += "\t\t\t<key>Artist</key><string>Artist " + std::to_string(album / 3) + "</string>\n";
        xml += "\t\t\t<key>Album</key><string>Album " + std::to_string(album) + "</string>\n";
        xml += "\t\t\t<key>Kind</key><string>MPEG audio file</string>\n";
        xml += "\t\t\t<key>Size</key><integer>" + std::to_string(size) + "</integer>\n";
        xml += "\t\t\t<key>Total Time</key><integer>240000</integer>\n";
        xml += "\t\t\t<key>Track Number</key><integer>" + std::to_string(track) + "</integer>\n";
        xml += "\t\t\t<key>Date Added</key><date>2007-01-01T00:00:00Z</date>\n";
        xml += "\t\t\t<key>Bit Rate</key><integer>128</integer>\n";
        xml += "\t\t\t<key>Persistent ID</key><string>" + std::string(pid) + "</string>\n";
        xml += "\t\t\t<key>Track Type</key><string>File</string>\n";
        xml += "\t\t\t<key>Location</key><string>" + fileUrl(path) + "</string>\n";
        xml += "\t\t</dict>\n";
    }
    xml += "\t</dict>\n\t<key>Playlists</key>\n\t<array>\n\t</array>\n</dict>\n</plist>\n";
    QString path = folder + QStringLiteral("/iTunes Music Library.xml");
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(xml.data(), qint64(xml.size())) != qint64(xml.size())) std::exit(1);
    return path;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void printLoad(const char* when) {
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        char buf[128] = {};
        if (std::fgets(buf, sizeof buf, f)) std::printf("load average %s: %s", when, buf);
        std::fclose(f);
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 6 && std::strcmp(argv[1], "--child") == 0)
        return childMain(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]), QString::fromLocal8Bit(argv[4]), QString::fromLocal8Bit(argv[5]));

    int files = 1000, kib = 4096, rounds = 5;
    bool keep = false;
    std::string other;
    QString dirArg = QDir::tempPath();
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--files" && i + 1 < argc) files = std::max(1, std::atoi(argv[++i]));
        else if (a == "--mib" && i + 1 < argc) kib = 1024 * std::max(1, std::atoi(argv[++i]));
        else if (a == "--kib" && i + 1 < argc) kib = std::max(1, std::atoi(argv[++i]));
        else if (a == "--rounds" && i + 1 < argc) rounds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--dir" && i + 1 < argc) dirArg = QString::fromLocal8Bit(argv[++i]);
        else if (a == "--keep") keep = true;
        else if (a == "--compare" && i + 1 < argc) other = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--files F] [--mib M | --kib K] [--rounds R] [--dir FOLDER] [--keep] [--compare PROGRAM]\n", argv[0]);
            return 2;
        }
    }
    QTemporaryDir dir(dirArg + QStringLiteral("/sync_bench-XXXXXX"));
    if (!dir.isValid()) return 1;
    dir.setAutoRemove(!keep);
    QString root = dir.path();
    QString volumes = root + QStringLiteral("/Volumes/");
    Locations::setVolumesFolder(volumes);
    QString player = volumes + QStringLiteral("Player/Music");
    QString cpDest = root + QStringLiteral("/cp-dest");
    QString source = root + QStringLiteral("/library/files");
    QString cache = root + QStringLiteral("/cache/");
    QString templateSettings = root + QStringLiteral("/template.plist");
    QString settings = root + QStringLiteral("/settings.plist");
    QDir().mkpath(player);
    QDir().mkpath(cpDest);

    std::printf("work folder %s\n", qPrintable(root));
    printLoad("at start");
    QString library = writeLibrary(root + QStringLiteral("/library"), files, kib);
    {
        // The settings every sync starts from: the player, every album wanted,
        // nothing on the player yet.
        Defaults defaults(templateSettings);
        NoAlerts ui;
        Controller c(defaults, ui, Controller::Options{library, cache});
        c.setReadOnly();
        if (!c.loadLibrary()) return 3;
        std::vector<Song*> all;
        for (const auto& song : c.library().songs()) all.push_back(song.get());
        c.selection().wantedStuff() = c.selection().wantedObjectsForSongs(all);
        if (!defaults.set(plist::Object::Dict{{"pathToPlayer", player.toStdString()}, {"wantedStuff", c.selection().propertyList()}})) return 3;
        std::printf("%zu songs in %zu wanted albums\n", c.library().songs().size(), c.wantedStuff().size());
    }
    struct stat a{}, b{}, s{};
    ::stat(fsys::encode(player).constData(), &a);
    ::stat(fsys::encode(cpDest).constData(), &b);
    ::stat(fsys::encode(source).constData(), &s);
    std::printf("devices: source %lx, player %lx, cp destination %lx\n", (unsigned long)s.st_dev, (unsigned long)a.st_dev, (unsigned long)b.st_dev);
    auto [srcFiles, srcBytes] = tally(source);
    double megabytes = double(srcBytes) / 1e6;
    std::printf("%lld files, %.1f MB\n", srcFiles, megabytes);
    if (keep)
        std::printf("one sync: cp '%s' '%s' && rm -rf '%s'/* && %s --child '%s' '%s' '%s' '%s'\n", qPrintable(templateSettings), qPrintable(settings),
                    qPrintable(player), qPrintable(QCoreApplication::applicationFilePath()), qPrintable(settings), qPrintable(library), qPrintable(cache),
                    qPrintable(volumes));
    ::sync();
    readAll(source);  // warm: both read from the page cache

    std::string self = QCoreApplication::applicationFilePath().toStdString();
    std::vector<double> syncTimes, syncCopyTimes, cpTimes, cpSyncTimes, otherTimes, otherCopyTimes;
    auto runSync = [&](bool timed, const std::string& program = {}) {
        bool isOther = !program.empty();
        dropAndSettle(player);
        QFile::remove(settings);
        QFile::copy(templateSettings, settings);
        std::string out;
        double t = now();
        int status = runProgram({isOther ? program : self, "--child", settings.toStdString(), library.toStdString(), cache.toStdString(), volumes.toStdString()}, &out);
        double wall = now() - t;
        SyncResult r{};
        if (status != 0 || std::sscanf(out.c_str(), "%lf %lf %lld %lld", &r.seconds, &r.copiedAfter, &r.planned, &r.left) != 4) {
            std::fprintf(stderr, "sync failed (status %d): %s\n", status, out.c_str());
            std::exit(1);
        }
        auto [n, bytes] = tally(player);
        if (n != srcFiles || bytes != srcBytes || r.left != 0) {
            std::fprintf(stderr, "sync incomplete: %lld files, %lld bytes, %lld left\n", n, bytes, r.left);
            std::exit(1);
        }
        std::printf("  %s: %.2f s = %.0f MB/s (copies done after %.2f s, then syncfs; process %.2f s)%s\n", isOther ? "other sync" : "sync",
                    r.seconds, megabytes / r.seconds, r.copiedAfter, wall, timed ? "" : " [warm-up]");
        if (timed && isOther) {
            otherTimes.push_back(r.seconds);
            otherCopyTimes.push_back(r.copiedAfter);
        } else if (timed) {
            syncTimes.push_back(r.seconds);
            syncCopyTimes.push_back(r.copiedAfter);
        }
    };
    auto runCp = [&](bool timed) {
        dropAndSettle(cpDest);
        QString dest = cpDest + QStringLiteral("/files");
        double t = now();
        int status = runProgram({"cp", "-r", source.toStdString(), dest.toStdString()});
        double seconds = now() - t;
        double flush = syncfsOf(cpDest);
        auto [n, bytes] = tally(dest);
        if (status != 0 || n != srcFiles || bytes != srcBytes) {
            std::fprintf(stderr, "cp failed (status %d, %lld files)\n", status, n);
            std::exit(1);
        }
        std::printf("  cp -r: %.2f s = %.0f MB/s; with syncfs %.2f s = %.0f MB/s%s\n", seconds, megabytes / seconds, seconds + flush,
                    megabytes / (seconds + flush), timed ? "" : " [warm-up]");
        if (timed) {
            cpTimes.push_back(seconds);
            cpSyncTimes.push_back(seconds + flush);
        }
    };

    runSync(false);
    if (!other.empty()) runSync(false, other);
    runCp(false);
    for (int i = 0; i < rounds; ++i) {
        std::printf("round %d\n", i + 1);
        std::fflush(stdout);
        if (i % 2 == 0) {
            runSync(true);
            if (!other.empty()) runSync(true, other);
            runCp(true);
        } else {
            runCp(true);
            if (!other.empty()) runSync(true, other);
            runSync(true);
        }
        std::fflush(stdout);
    }
    dropAndSettle(player);
    dropAndSettle(cpDest);

    double sync = median(syncTimes), syncCopy = median(syncCopyTimes), cp = median(cpTimes), cpSync = median(cpSyncTimes);
    std::printf("medians over %d rounds:\n", rounds);
    std::printf("  sync            %.2f s  %.0f MB/s (copies alone %.2f s, %.0f MB/s)\n", sync, megabytes / sync, syncCopy, megabytes / syncCopy);
    std::printf("  cp -r           %.2f s  %.0f MB/s\n", cp, megabytes / cp);
    std::printf("  cp -r + syncfs  %.2f s  %.0f MB/s\n", cpSync, megabytes / cpSync);
    std::printf("ratio sync/cp -r: %.2f; sync/(cp -r + syncfs): %.2f; copies alone/cp -r: %.2f\n", cp / sync, cpSync / sync, cp / syncCopy);
    if (!otherTimes.empty()) {
        double o = median(otherTimes), oc = median(otherCopyTimes);
        std::printf("  other sync      %.2f s  %.0f MB/s (copies alone %.2f s); ratio other/cp -r: %.2f; other/(cp -r + syncfs): %.2f\n", o,
                    megabytes / o, oc, cp / o, cpSync / o);
    }
    printLoad("at end");
    return 0;
}
