// One planning pass (Controller::planNow, all of it on one thread) over a
// large selection, and the main thread's stalls while passes run as the
// program runs them (Controller::updatePlayer).
//
// For each size N a library of N MP3 songs (grouped in albums of 8 to 15
// tracks, with an empty file behind every track) is written, every album is
// wanted, and two players are prepared:
//   steady  - every wanted file already in place and in "previousSongs", as
//             after a sync: the pass finds nothing to do;
//   first   - an empty player: the pass plans N copies.
// Each timed run is a fresh child process that starts the controller as the
// command line does (settings, library, saved state, mount check, read-only so
// no copier is waited for) and times one pass, then a second one in the same
// process. A first untimed child warms the page and dentry caches.
// The CPU time of each pass is shown beside its wall time: on a busy machine
// it moves less.
//
// Then the main thread's longest stall: in another fresh child the passes run
// as the program runs them, from the event loop, while a 5 ms heartbeat timer
// records the longest gap between its ticks (a window would freeze that
// long). A pass counts from its start until no pass is due any more; the
// gaps of all passes count, steady and empty player alike.
//
// usage: plan_bench [--tracks N]... [--runs R] [--passes P] [--dir FOLDER] [--keep] [--brisle PROGRAM]...
//   --brisle times "PROGRAM plan --json" against the steady player (repeatable).
//   defaults: --tracks 20000 --tracks 40000 --runs 7 --passes 5; the
//   empty-player plan is timed for the smallest N. --keep leaves the work
//   folder and prints the command that runs one pass alone, for perf or
//   callgrind:
//     plan_bench --child SETTINGS LIBRARY CACHE VOLUMES
//   --brisle PROGRAM times the whole command "PROGRAM plan --json" (output
//   thrown away) against each steady player instead of the pass alone: the
//   record of N files is printed as well as planned. Given several times, the
//   programs (say, two builds) take turns in the same rounds.

#include "BenchSupport.h"
#include "app/Controller.h"
#include "planning/SavedState.h"
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
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// CPU time of this process (user and system): steadier than the wall clock
// when other work shares the machine. (Hardware counters are often missing
// in virtual machines; count instructions with callgrind instead.)
double cpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// ---- the library ----

const char* const kWords[] = {"Blue", "River", "Night", "Golden", "Silent", "Electric", "Summer", "Broken", "Paper", "Winter",
                              "Glass", "Velvet", "Echo", "Northern", "Wild", "Crimson", "Hollow", "Neon", "Distant", "Gentle"};
// Some names need decomposition on the way to the player.
const char* const kAccented[] = {"Café", "Mötley", "Björk", "Señor", "Zoë", "Déjà Vu", "Ærø", "Garçon"};

std::string xmlEscaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
    }
    return out;
}

std::string fileUrl(const QString& path) { return "file://localhost" + QUrl::toPercentEncoding(path, "/").toStdString(); }

bool createEmptyFile(const QString& path) {
    int fd = ::open(fsys::encode(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// N songs in albums of 8 to 15 tracks, each album by one of N/40 artists;
// written as iTunes writes its XML file, with an empty file per track.
QString writeLibrary(const QString& folder, int n) {
    QDir().mkpath(folder + QStringLiteral("/files"));
    std::string xml;
    xml.reserve(std::size_t(n) * 900);
    xml += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple Computer//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n"
           "\t<key>Major Version</key><integer>1</integer>\n\t<key>Minor Version</key><integer>1</integer>\n"
           "\t<key>Application Version</key><string>7.0.2</string>\n"
           "\t<key>Music Folder</key><string>" +
           fileUrl(folder + QStringLiteral("/files/")) +
           "</string>\n"
           "\t<key>Library Persistent ID</key><string>0123456789ABCDEF</string>\n"
           "\t<key>Tracks</key>\n\t<dict>\n";
    unsigned seed = 12345;
    auto rnd = [&seed](unsigned m) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % m;
    };
    int artists = std::max(1, n / 40);
    int id = 1000, album = 0;
    for (int made = 0; made < n; ++album) {
        int tracks = std::min(n - made, 8 + int(rnd(8)));
        std::string artist = (album % 17 == 0 ? std::string(kAccented[rnd(8)]) + " " : std::string("The ")) + kWords[rnd(20)] + " " +
                             std::to_string(album % artists);
        std::string albumName = std::string(kWords[rnd(20)]) + " " + kWords[rnd(20)] + (album % 23 == 0 ? " Señorita " : " ") + std::to_string(album);
        int year = 1960 + int(rnd(60));
        QString albumFolder = folder + QStringLiteral("/files/%1").arg(album);
        QDir().mkpath(albumFolder);
        for (int t = 1; t <= tracks; ++t, ++made, ++id) {
            std::string name = std::string(kWords[rnd(20)]) + " " + kWords[rnd(20)] + (t % 7 == 0 ? " (Déjà Vu Mix)" : "") + " " + std::to_string(made);
            QString file = albumFolder + QStringLiteral("/%1 %2.mp3").arg(t, 2, 10, QChar(u'0')).arg(QString::fromStdString(name));
            if (!createEmptyFile(file)) {
                std::fprintf(stderr, "cannot create %s\n", qPrintable(file));
                std::exit(1);
            }
            char pid[17];
            std::snprintf(pid, sizeof pid, "%016X", 0xB0000000u + unsigned(id));
            xml += "\t\t<key>" + std::to_string(id) + "</key>\n\t\t<dict>\n";
            xml += "\t\t\t<key>Track ID</key><integer>" + std::to_string(id) + "</integer>\n";
            xml += "\t\t\t<key>Name</key><string>" + xmlEscaped(name) + "</string>\n";
            xml += "\t\t\t<key>Artist</key><string>" + xmlEscaped(artist) + "</string>\n";
            xml += "\t\t\t<key>Album</key><string>" + xmlEscaped(albumName) + "</string>\n";
            xml += "\t\t\t<key>Kind</key><string>MPEG audio file</string>\n";
            xml += "\t\t\t<key>Size</key><integer>0</integer>\n";
            xml += "\t\t\t<key>Total Time</key><integer>" + std::to_string(150000 + rnd(200000)) + "</integer>\n";
            xml += "\t\t\t<key>Disc Number</key><integer>1</integer>\n\t\t\t<key>Disc Count</key><integer>1</integer>\n";
            xml += "\t\t\t<key>Track Number</key><integer>" + std::to_string(t) + "</integer>\n";
            xml += "\t\t\t<key>Track Count</key><integer>" + std::to_string(tracks) + "</integer>\n";
            xml += "\t\t\t<key>Year</key><integer>" + std::to_string(year) + "</integer>\n";
            xml += "\t\t\t<key>Date Added</key><date>2007-01-01T00:00:00Z</date>\n";
            xml += "\t\t\t<key>Bit Rate</key><integer>128</integer>\n\t\t\t<key>Sample Rate</key><integer>44100</integer>\n";
            xml += "\t\t\t<key>Persistent ID</key><string>" + std::string(pid) + "</string>\n";
            xml += "\t\t\t<key>Track Type</key><string>File</string>\n";
            xml += "\t\t\t<key>Location</key><string>" + fileUrl(file) + "</string>\n";
            xml += "\t\t</dict>\n";
        }
    }
    xml += "\t</dict>\n\t<key>Playlists</key>\n\t<array>\n\t</array>\n</dict>\n</plist>\n";
    QString path = folder + QStringLiteral("/iTunes Music Library.xml");
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(xml.data(), qint64(xml.size())) != qint64(xml.size())) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
    return path;
}

// ---- the players ----

struct Setup {
    QString library, cache, steadySettings, firstSettings;
};

// Writes the library and the settings of both players: every album wanted; the
// steady player filled with the files of the layout (as big as their sources)
// and recorded in "previousSongs".
Setup prepare(const QString& root, int n) {
    Setup s;
    QString base = root + QStringLiteral("/n%1").arg(n);
    s.library = writeLibrary(base + QStringLiteral("/library"), n);
    s.cache = base + QStringLiteral("/cache/");
    QString steadyPlayer = Locations::volumesFolder() + QStringLiteral("Steady%1/Music").arg(n);
    QString firstPlayer = Locations::volumesFolder() + QStringLiteral("Empty%1/Music").arg(n);
    QDir().mkpath(steadyPlayer);
    QDir().mkpath(firstPlayer);
    s.steadySettings = base + QStringLiteral("/steady.plist");
    s.firstSettings = base + QStringLiteral("/first.plist");

    Defaults defaults(s.steadySettings);
    NoAlerts ui;
    Controller c(defaults, ui, Controller::Options{s.library, s.cache});
    c.setReadOnly();
    if (!c.loadLibrary()) std::exit(3);
    if (!defaults.set("pathToPlayer", steadyPlayer.toStdString())) std::exit(3);
    std::vector<Song*> all;
    for (const auto& song : c.library().songs()) all.push_back(song.get());
    c.selection().wantedStuff() = c.selection().wantedObjectsForSongs(all);
    c.checkMounted();

    QHash<QString, Song*> placed;
    for (const auto& item : c.wantedStuff()) {
        Layout layout = item->layoutDictionary();
        for (const auto& [path, song] : layout.entries()) {
            QString folder = path.section(u'/', 0, -2);
            if (!QDir().mkpath(folder) || !createEmptyFile(path)) {
                std::fprintf(stderr, "cannot create %s\n", qPrintable(path));
                std::exit(1);
            }
            placed.insert(path, song);
        }
    }
    plist::Object wanted = c.selection().propertyList();
    if (!defaults.set(plist::Object::Dict{{"wantedStuff", wanted}, {"previousSongs", SavedState::previousSongs(placed)}})) std::exit(3);
    std::printf("N=%d: %zu songs, %zu wanted albums, %lld files on the steady player\n", n, c.library().songs().size(), c.wantedStuff().size(),
                static_cast<long long>(placed.size()));

    Defaults first(s.firstSettings);
    if (!first.set(plist::Object::Dict{{"pathToPlayer", firstPlayer.toStdString()}, {"wantedStuff", wanted}})) std::exit(3);
    return s;
}

// ---- the runs ----

// A controller started as the command line starts it, on the given settings.
struct Started {
    Defaults defaults;
    NoAlerts ui;
    Controller c;
    Started(const Setup& s, const QString& settings) : defaults(settings), c(defaults, ui, Controller::Options{s.library, s.cache}) {
        if (auto loaded = defaults.load(); !loaded) std::exit(3);
        c.setReadOnly();
        if (!c.loadLibrary()) std::exit(3);
        c.restoreSavedState();
        c.checkMounted();
        if (!c.mounted()) std::exit(4);
    }
};

struct RunResult {
    double firstSeconds, secondSeconds;
    double firstCpu, secondCpu;
    long maxRssKb;
    long long conversions, copies, moves, deletions, otherFiles;
};

RunResult runOnce(const Setup& s, const QString& settings) {
    Started started(s, settings);
    Controller& c = started.c;

    RunResult r{};
    QElapsedTimer timer;
    double cpu = cpuSeconds();
    timer.start();
    c.planNow();
    r.firstSeconds = double(timer.nsecsElapsed()) * 1e-9;
    r.firstCpu = cpuSeconds() - cpu;
    cpu = cpuSeconds();
    timer.start();
    c.planNow();
    r.secondSeconds = double(timer.nsecsElapsed()) * 1e-9;
    r.secondCpu = cpuSeconds() - cpu;

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    r.maxRssKb = usage.ru_maxrss;
    {
        std::lock_guard lock(c.work().todoLock);
        r.conversions = c.work().todoList.size();
        r.copies = c.work().toCopyList.size();
        r.moves = c.work().toMoveList.size();
        r.deletions = c.work().toDeleteList.size();
    }
    for (const auto& item : c.wantedStuff())
        if (item->kind() == SYWanted::Kind::File) ++r.otherFiles;
    return r;
}

template <typename T, typename F>
T medianOf(std::vector<RunResult> v, F f) {
    std::sort(v.begin(), v.end(), [&](const RunResult& a, const RunResult& b) { return f(a) < f(b); });
    return f(v[v.size() / 2]);
}

// Forks a warm-up child, then `runs` timed ones; answers the median first-pass time.
double measure(const char* label, const Setup& s, const QString& settings, int runs) {
    std::vector<RunResult> results;
    for (int i = 0; i <= runs; ++i) {
        std::optional<RunResult> run = inChild([&] { return runOnce(s, settings); });
        if (!run) {
            std::fprintf(stderr, "%s: run %d failed\n", label, i);
            std::exit(1);
        }
        const RunResult& r = *run;
        if (i == 0) {
            std::printf("%s: plan: %lld conversions, %lld copies, %lld moves, %lld deletions, %lld other files (warm-up %.3f s)\n", label,
                        r.conversions, r.copies, r.moves, r.deletions, r.otherFiles, r.firstSeconds);
            continue;
        }
        std::printf("%s: run %d: pass %.3f s (cpu %.3f s), again %.3f s (cpu %.3f s), peak resident %.0f MB\n", label, i, r.firstSeconds,
                    r.firstCpu, r.secondSeconds, r.secondCpu, double(r.maxRssKb) / 1024);
        results.push_back(r);
        std::fflush(stdout);
    }
    double first = medianOf<double>(results, [](const RunResult& r) { return r.firstSeconds; });
    double second = medianOf<double>(results, [](const RunResult& r) { return r.secondSeconds; });
    double firstCpu = medianOf<double>(results, [](const RunResult& r) { return r.firstCpu; });
    double secondCpu = medianOf<double>(results, [](const RunResult& r) { return r.secondCpu; });
    std::printf("%s: median pass %.3f s (cpu %.3f s); median repeated pass %.3f s (cpu %.3f s)\n", label, first, firstCpu, second, secondCpu);
    std::fflush(stdout);
    return first;
}

// ---- the whole command ----

struct CommandRun {
    double seconds, cpu;
    long maxRssKb;
};

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Runs "PROGRAM plan --json" against the steady player, its output thrown
// away and its cache folder inside the work folder.
std::optional<CommandRun> runCommand(const std::string& program, const Setup& s) {
    std::string settings = s.steadySettings.toStdString(), library = s.library.toStdString(), volumes = Locations::volumesFolder().toStdString();
    std::string cacheHome = "XDG_CACHE_HOME=" + s.cache.toStdString() + "xdg";
    std::vector<const char*> argv = {program.c_str(), "plan", "--json", "--config", settings.c_str(), "--library", library.c_str(), "--volumes",
                                     volumes.c_str(), nullptr};
    std::vector<char*> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "XDG_CACHE_HOME=", 15) != 0) env.push_back(*e);
    env.push_back(cacheHome.data());
    env.push_back(nullptr);
    double start = now();
    pid_t pid = fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, 1) < 0) _exit(126);
        execve(argv[0], const_cast<char**>(argv.data()), env.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return std::nullopt;
    double seconds = now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s plan --json: exit status %d\n", program.c_str(), WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        return std::nullopt;
    }
    double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    return CommandRun{seconds, cpu, usage.ru_maxrss};
}

// A warm-up run of each program, then `runs` rounds in which they take
// turns; answers each program's median wall time.
std::vector<double> measureCommands(int n, const std::vector<std::string>& programs, const Setup& s, int runs) {
    std::vector<std::vector<CommandRun>> results(programs.size());
    for (int i = 0; i <= runs; ++i) {
        for (std::size_t p = 0; p < programs.size(); ++p) {
            std::optional<CommandRun> r = runCommand(programs[p], s);
            if (!r) std::exit(1);
            if (i == 0) continue;
            std::printf("plan --json N=%d %s: run %d: %.3f s (cpu %.3f s), peak resident %.0f MB\n", n, programs[p].c_str(), i, r->seconds, r->cpu,
                        double(r->maxRssKb) / 1024);
            std::fflush(stdout);
            results[p].push_back(*r);
        }
    }
    std::vector<double> medians;
    for (std::size_t p = 0; p < programs.size(); ++p) {
        auto median = [&](auto field) {
            std::vector<double> v;
            for (const CommandRun& r : results[p]) v.push_back(double(field(r)));
            std::sort(v.begin(), v.end());
            return v[v.size() / 2];
        };
        double wall = median([](const CommandRun& r) { return r.seconds; }), cpu = median([](const CommandRun& r) { return r.cpu; });
        std::printf("plan --json N=%d %s: median %.3f s (cpu %.3f s), peak resident %.0f MB\n", n, programs[p].c_str(), wall, cpu,
                    median([](const CommandRun& r) { return r.maxRssKb; }) / 1024);
        medians.push_back(wall);
    }
    return medians;
}

// ---- the main thread's stalls ----

struct StallResult {
    double maxGapMs;       // the longest time between two heartbeat ticks while a pass ran
    double medianPassMs;   // start of a pass until no pass is due
    double longestPassMs;
    long long copies;
};

constexpr int kHeartbeatMs = 5;

// `passes` passes one after another from the event loop, each started from a
// heartbeat tick, with the gaps between ticks recorded while one runs.
StallResult runStalls(const Setup& s, const QString& settings, int passes) {
    Started started(s, settings);
    Controller& c = started.c;
    QElapsedTimer clock;
    clock.start();
    double maxGap = 0, lastTick = 0, passStart = 0;
    bool running = false;
    bool sinceLastTick = false;  // a pass ran since the last tick (a pass run in place ends within its tick)
    int done = 0;
    std::vector<double> passTimes;
    QEventLoop loop;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    heartbeat.setInterval(kHeartbeatMs);
    auto ms = [&clock] { return double(clock.nsecsElapsed()) * 1e-6; };
    auto finishIfPlanned = [&] {
        if (!running || c.updateDue()) return;
        running = false;
        passTimes.push_back(ms() - passStart);
        if (++done == passes) loop.quit();
    };
    QObject::connect(&heartbeat, &QTimer::timeout, &loop, [&] {
        double now = ms();
        if (running || sinceLastTick) maxGap = std::max(maxGap, now - lastTick);
        sinceLastTick = false;
        lastTick = now;
        finishIfPlanned();
        if (running || done == passes) return;
        running = sinceLastTick = true;
        passStart = lastTick = ms();
        c.updatePlayer();
        finishIfPlanned();
    });
    heartbeat.start();
    loop.exec();
    StallResult r{maxGap, 0, 0, 0};
    std::sort(passTimes.begin(), passTimes.end());
    r.medianPassMs = passTimes[passTimes.size() / 2];
    r.longestPassMs = passTimes.back();
    std::lock_guard lock(c.work().todoLock);
    r.copies = c.work().toCopyList.size();
    return r;
}

double measureStalls(const char* label, const Setup& s, const QString& settings, int passes) {
    std::optional<StallResult> run = inChild([&] { return runStalls(s, settings, passes); });
    if (!run) {
        std::fprintf(stderr, "%s: stall run failed\n", label);
        std::exit(1);
    }
    std::printf("%s: longest main-thread stall %.1f ms over %d passes (heartbeat %d ms); pass %.0f ms median, %.0f ms longest; %lld copies\n",
                label, run->maxGapMs, passes, kHeartbeatMs, run->medianPassMs, run->longestPassMs, run->copies);
    std::fflush(stdout);
    return run->maxGapMs;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 6 && std::strcmp(argv[1], "--child") == 0) {
        Locations::setVolumesFolder(QString::fromLocal8Bit(argv[5]));
        Setup s{QString::fromLocal8Bit(argv[3]), QString::fromLocal8Bit(argv[4]), {}, {}};
        RunResult r = runOnce(s, QString::fromLocal8Bit(argv[2]));
        std::printf("pass %.3f s (cpu %.3f s), again %.3f s (cpu %.3f s); %lld copies, %lld moves, %lld deletions\n", r.firstSeconds, r.firstCpu,
                    r.secondSeconds, r.secondCpu, r.copies, r.moves, r.deletions);
        return 0;
    }
    std::vector<int> sizes;
    bool keep = false;
    int runs = 7;
    int passes = 5;
    QString dirArg;
    std::vector<std::string> programs;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--tracks" && i + 1 < argc) sizes.push_back(std::max(1, std::atoi(argv[++i])));
        else if (a == "--runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--passes" && i + 1 < argc) passes = std::max(1, std::atoi(argv[++i]));
        else if (a == "--dir" && i + 1 < argc) dirArg = QString::fromLocal8Bit(argv[++i]);
        else if (a == "--keep") keep = true;
        else if (a == "--brisle" && i + 1 < argc) programs.push_back(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [--tracks N]... [--runs R] [--passes P] [--dir FOLDER] [--keep] [--brisle PROGRAM]...\n", argv[0]);
            return 2;
        }
    }
    if (sizes.empty()) sizes = {20000, 40000};
    std::sort(sizes.begin(), sizes.end());

    QTemporaryDir dir(dirArg.isEmpty() ? QDir::tempPath() + QStringLiteral("/plan_bench-XXXXXX") : dirArg + QStringLiteral("/plan_bench-XXXXXX"));
    if (!dir.isValid()) return 1;
    dir.setAutoRemove(!keep);
    Locations::setVolumesFolder(dir.path() + QStringLiteral("/Volumes/"));
    std::printf("work folder %s; load average at start: ", qPrintable(dir.path()));
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        char buf[128] = {};
        if (std::fgets(buf, sizeof buf, f)) std::fputs(buf, stdout);
        std::fclose(f);
    }

    std::vector<std::pair<int, double>> steady, stalls;
    std::vector<std::vector<double>> commands;
    for (int n : sizes) {
        Setup s = prepare(dir.path(), n);
        if (keep) {
            for (const QString& settings : {s.steadySettings, s.firstSettings})
                std::printf("one pass: %s --child '%s' '%s' '%s' '%s'\n", argv[0], qPrintable(settings), qPrintable(s.library), qPrintable(s.cache),
                            qPrintable(Locations::volumesFolder()));
        }
        if (!programs.empty()) {
            commands.push_back(measureCommands(n, programs, s, runs));
            continue;
        }
        std::string label = "steady N=" + std::to_string(n);
        steady.emplace_back(n, measure(label.c_str(), s, s.steadySettings, runs));
        if (n == sizes.front()) {
            std::string firstLabel = "first sync N=" + std::to_string(n);
            measure(firstLabel.c_str(), s, s.firstSettings, runs);
        }
        double stall = measureStalls(label.c_str(), s, s.steadySettings, passes);
        std::string firstLabel = "first sync N=" + std::to_string(n);
        stall = std::max(stall, measureStalls(firstLabel.c_str(), s, s.firstSettings, passes));
        stalls.emplace_back(n, stall);
    }
    if (!programs.empty()) {
        for (std::size_t p = 0; p < programs.size(); ++p) {
            std::printf("summary %s plan --json:", programs[p].c_str());
            for (std::size_t i = 0; i < sizes.size(); ++i) std::printf("  %d: %.3f s", sizes[i], commands[i][p]);
            if (sizes.size() >= 2)
                std::printf("  (ratio %d/%d: %.2f)", sizes.back(), sizes.front(), commands.back()[p] / commands.front()[p]);
            std::printf("\n");
        }
        return 0;
    }
    std::printf("summary:");
    for (const auto& [n, seconds] : steady) std::printf("  steady %d: %.3f s", n, seconds);
    if (steady.size() >= 2) {
        std::printf("  (ratio %d/%d: %.2f)", steady.back().first, steady.front().first, steady.back().second / steady.front().second);
    }
    std::printf("\nlongest main-thread stall:");
    for (const auto& [n, ms] : stalls) std::printf("  %d: %.1f ms", n, ms);
    std::printf("\n");
    return 0;
}
