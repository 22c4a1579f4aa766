// Loading a library file: read, parse, filter, sort, group and playlists,
// exactly as start-up does it. Each run is a fresh child process, so its peak
// resident memory is the load's own; the page cache is warmed by a first
// untimed run.
//
// usage: library_load_bench LIBRARY.xml [--runs N]

#include "BenchSupport.h"
#include "library/Library.h"
#include "library/LibraryLoader.h"
#include "library/SongContext.h"
#include "platform/Defaults.h"
#include "platform/Settings.h"
#include "app/UserInterface.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct RunResult {
    double seconds;
    double cpuSeconds;  // user + system, of both threads: steadier than wall time on a busy machine
    long maxRssKb;
    int songs;
    int albums;
    int playlists;
};

RunResult loadOnce(const QString& path) {
    QTemporaryDir dir;
    Defaults defaults(dir.path() + QStringLiteral("/s.plist"));
    defaults.registerDefaults(settings::registeredDefaults());
    SongContext context(defaults, true, dir.path() + QStringLiteral("/cache/"));
    NoAlerts ui;

    QElapsedTimer timer;
    timer.start();
    Library library(context);
    LibraryLoader loader(ui);
    if (loader.load(library, pathResolved(path, false)) != LibraryLoader::Outcome::Loaded) std::exit(3);
    library.groupAlbums();
    library.readPlaylistsFrom(loader.document().get());
    double seconds = double(timer.nsecsElapsed()) * 1e-9;

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    return {seconds, cpu, usage.ru_maxrss, int(library.songs().size()), int(library.albums().size()), int(library.playlistIds().size())};
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s LIBRARY.xml [--runs N]\n", argv[0]);
        return 2;
    }
    QString path = QString::fromLocal8Bit(argv[1]);
    int runs = 7;
    if (argc >= 4 && std::string(argv[2]) == "--runs") runs = std::max(1, std::atoi(argv[3]));

    struct stat st{};
    stat(argv[1], &st);
    std::printf("library file: %.1f MB\n", double(st.st_size) / 1e6);

    std::vector<RunResult> results;
    for (int i = 0; i <= runs; ++i) {
        std::optional<RunResult> run = inChild([&] { return loadOnce(path); });
        if (!run) {
            std::fprintf(stderr, "run %d failed\n", i);
            return 1;
        }
        const RunResult& r = *run;
        if (i == 0) {
            std::printf("songs %d, albums %d, playlists %d (first run, untimed: %.3f s)\n", r.songs, r.albums, r.playlists, r.seconds);
            continue;
        }
        std::printf("run %d: %.3f s (cpu %.3f s), peak resident %.1f MB\n", i, r.seconds, r.cpuSeconds, double(r.maxRssKb) / 1024);
        results.push_back(r);
    }
    std::sort(results.begin(), results.end(), [](const RunResult& a, const RunResult& b) { return a.seconds < b.seconds; });
    const RunResult& median = results[results.size() / 2];
    long peak = 0;
    for (const auto& r : results) peak = std::max(peak, r.maxRssKb);
    std::printf("median %.3f s; largest peak resident %.1f MB (file %.1f MB)\n", median.seconds, double(peak) / 1024, double(st.st_size) / 1048576);
    return 0;
}
