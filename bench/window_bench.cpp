// The window on a large library, offscreen:
//  - from the library loaded (the first reload of the list) to the window's
//    first paint: a first start (nothing stored), or with --saved N a start
//    with the first albums of the library up to N songs stored as wanted;
//  - the browser's filter answering keystrokes (typing a word letter by
//    letter, then deleting it), once the browser has filled;
//  - the main thread's worst stall (a 5 ms heartbeat) while a selection is
//    added, planned against the player folder, listed, scrolled (a page every
//    20 ms) and synced. Progress shows every ten seconds.
//
// usage: window_bench LIBRARY PLAYER_FOLDER [--select N] [--saved N]
//   LIBRARY from make_synthetic_library; PLAYER_FOLDER an empty folder under
//   a volumes folder (VOLUMES/NAME/Music), given as $BRISLE_VOLUMES.
//   --select N adds the first albums of the library up to N songs (20,000).
//   The generated m4a files are empty, so their conversions fail and their
//   copies stay pending: the sync ends when nothing more happens.

#include "app/Controller.h"
#include "platform/Defaults.h"
#include "ui/LibraryBrowser.h"
#include "ui/MainWindow.h"
#include "ui/MusicListView.h"
#include "ui/WindowUserInterface.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

struct TimingUi : WindowUserInterface {
    QElapsedTimer* clock = nullptr;
    qint64 loadedAt = -1;
    int alert(const Alert& a) override {
        std::fprintf(stderr, "alert: %s\n", qPrintable(a.title));
        return int(a.buttons.size()) - 1;
    }
    void aboutToReload() override {
        if (loadedAt < 0) loadedAt = clock->elapsed();
        WindowUserInterface::aboutToReload();
    }
};

struct FirstPaint : QObject {
    QElapsedTimer* clock = nullptr;
    qint64 at = -1;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint && at < 0) at = clock->elapsed();
        return false;
    }
};

double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1000 + double(t.tv_nsec) / 1e6;
}

int option(const QStringList& args, const char* name, int fallback) {
    qsizetype i = args.indexOf(QLatin1String(name));
    return i > 0 ? args.value(i + 1).toInt() : fallback;
}

// The first albums of the library, up to n songs.
std::vector<Song*> firstAlbums(const Library& library, int n) {
    std::vector<Song*> songs;
    for (const auto& album : library.albums()) {
        if (int(songs.size()) >= n) break;
        songs.insert(songs.end(), album->tracks().begin(), album->tracks().end());
    }
    return songs;
}

}  // namespace

int main(int argc, char** argv) {
    // Each figure shows as soon as it is known, even when the run is cut short.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: window_bench LIBRARY PLAYER_FOLDER [--select N] [--saved N]\n");
        return 2;
    }
    const int select = option(args, "--select", 20000), saved = option(args, "--saved", 0);
    QTemporaryDir dir;
    Defaults defaults(dir.path() + QStringLiteral("/settings.plist"));
    (void)defaults.set("pathToPlayer", args[2].toStdString());
    const Controller::Options options{args[1], dir.path() + QStringLiteral("/cache")};
    if (saved > 0) {
        // Stored as the program stores it, by a controller of its own.
        WindowUserInterface quiet;
        Controller first(defaults, quiet, options);
        if (!first.startUp()) return 1;
        first.addSongs(firstAlbums(first.library(), saved));
        first.stopWorkers();
    }

    QElapsedTimer clock;
    clock.start();
    TimingUi ui;
    ui.clock = &clock;
    Controller c(defaults, ui, options);
    MainWindow window(c, ui);
    FirstPaint firstPaint;
    firstPaint.clock = &clock;
    window.list().viewport()->installEventFilter(&firstPaint);
    if (!c.startUp()) return 1;
    window.started();
    while (firstPaint.at < 0) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    std::printf("start (%zu songs, %zu items wanted): library loaded at %lld ms, window painted %lld ms later\n", c.library().songs().size(),
                c.wantedStuff().size(), ui.loadedAt, firstPaint.at - ui.loadedAt);

    // The browser fills once the window is up.
    QElapsedTimer filling;
    filling.start();
    while (window.browser()->model().rowCount(window.browser()->model().index(LibraryModel::Songs, 0)) == 0)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    std::printf("browser filled %lld ms after the first paint\n", filling.elapsed());
    QLineEdit& search = window.browser()->searchField();
    std::vector<qint64> keys;
    const QString word = QStringLiteral("song 12");
    for (qsizetype i = 1; i <= word.size() * 2; ++i) {
        QElapsedTimer key;
        key.start();
        search.setText(word.left(i <= word.size() ? i : word.size() * 2 - i));
        QCoreApplication::processEvents();
        keys.push_back(key.elapsed());
    }
    std::sort(keys.begin(), keys.end());
    std::printf("browser filter over %zu keystrokes: median %lld ms, worst %lld ms\n", keys.size(), keys[keys.size() / 2], keys.back());

    // The stall: a heartbeat on the main thread while the selection is
    // added, planned, listed, scrolled and synced.
    // On a shared machine the thread may simply wait for a core: the main
    // thread's own CPU time over the worst gap says how much was its work,
    // and the worst gap in CPU time is reported too.
    QElapsedTimer total;
    qint64 last = clock.elapsed(), worst = 0, worstAt = 0;
    double lastCpu = threadCpuMs(), worstCpuOfWorst = 0, worstCpu = 0;
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        qint64 now = clock.elapsed();
        double cpu = threadCpuMs();
        if (now - last > worst) {
            worst = now - last;
            worstAt = total.elapsed();
            worstCpuOfWorst = cpu - lastCpu;
        }
        worstCpu = std::max(worstCpu, cpu - lastCpu);
        last = now;
        lastCpu = cpu;
    });
    heartbeat.start(5);
    std::vector<Song*> songs = firstAlbums(c.library(), select);
    total.start();
    QTimer::singleShot(0, [&] { c.addSongs(songs); });
    QTimer scroll;
    QObject::connect(&scroll, &QTimer::timeout, [&] {
        QScrollBar* bar = window.list().verticalScrollBar();
        bar->setValue((bar->value() + bar->pageStep()) % std::max(1, bar->maximum()));
    });
    scroll.start(20);
    qint64 plannedAt = -1;
    QObject::connect(&c, &Controller::planned, [&] {
        if (plannedAt < 0)
            std::printf("  planned at %lld ms: %zu items pending; worst stall so far %lld ms\n", plannedAt = total.elapsed(), c.pending().total(), worst);
    });
    QTimer progress;
    QObject::connect(&progress, &QTimer::timeout, [&] {
        std::printf("  %lld s: %zu copied, %zu pending; worst stall so far %lld ms (at %lld ms)\n", total.elapsed() / 1000, c.done().copied,
                    c.pending().total(), worst, worstAt);
    });
    progress.start(10000);
    while (total.elapsed() < 600000 && !(plannedAt >= 0 && c.idle() && total.elapsed() > 1000))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    std::printf("%zu songs added, planned, listed, scrolled and synced in %lld ms (%zu copied, %zu left pending)\n", songs.size(), total.elapsed(),
                c.done().copied, c.pending().total());
    std::printf("worst main-thread stall %lld ms (at %lld ms; %.0f ms of it the main thread's CPU time); worst in CPU time %.0f ms\n", worst, worstAt,
                worstCpuOfWorst, worstCpu);
    heartbeat.stop();
    scroll.stop();
    std::vector<qint64> paints;
    for (int i = 0; i < 21; ++i) {
        QElapsedTimer paint;
        paint.start();
        window.list().viewport()->repaint();
        paints.push_back(paint.nsecsElapsed() / 1000);
    }
    std::sort(paints.begin(), paints.end());
    std::printf("a whole repaint of the list (%d rows): median %.1f ms\n", window.list().model()->rowCount(), double(paints[paints.size() / 2]) / 1000);
    c.stopWorkers();
    return 0;
}
