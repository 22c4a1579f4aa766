// The window on a large library, offscreen:
//  - from the library loaded (the first reload of the list) to the window
//    shown, with every album of the library wanted when --select is given;
//  - the browser's filter answering keystrokes (typing a word letter by
//    letter, then deleting it);
//  - the main thread's worst stall (a 5 ms heartbeat) while the selection is
//    planned against the player folder, listed, scrolled and synced.
//
// usage: window_bench LIBRARY PLAYER_FOLDER [--select N]
//   LIBRARY from make_synthetic_library; PLAYER_FOLDER an empty folder under
//   a volumes folder (VOLUMES/NAME/Music), given as $BRISLE_VOLUMES.
//   --select N wants the first albums of the library up to N songs.

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

#include <cstdio>

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

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: window_bench LIBRARY PLAYER_FOLDER [--select N]\n");
        return 2;
    }
    int select = args.indexOf(QStringLiteral("--select")) > 0 ? args.value(args.indexOf(QStringLiteral("--select")) + 1).toInt() : 20000;
    QTemporaryDir dir;
    Defaults defaults(dir.path() + QStringLiteral("/settings.plist"));
    (void)defaults.set("pathToPlayer", args[2].toStdString());
    QElapsedTimer clock;
    clock.start();
    TimingUi ui;
    ui.clock = &clock;
    Controller c(defaults, ui, Controller::Options{args[1], dir.path() + QStringLiteral("/cache")});
    MainWindow window(c, ui);
    if (!c.startUp()) return 1;
    window.started();
    while (!window.isVisible()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();
    qint64 shown = clock.elapsed();
    std::printf("library loaded at %lld ms, window shown %lld ms later (%zu songs)\n", ui.loadedAt, shown - ui.loadedAt, c.library().songs().size());

    // The browser fills once the window is up.
    while (window.browser()->model().rowCount(window.browser()->model().index(LibraryModel::Songs, 0)) == 0) QCoreApplication::processEvents();
    QLineEdit& search = window.browser()->searchField();
    qint64 worstKey = 0;
    const QString word = QStringLiteral("song 12");
    for (int i = 1; i <= word.size() * 2; ++i) {
        QElapsedTimer key;
        key.start();
        search.setText(word.left(i <= word.size() ? i : word.size() * 2 - i));
        QCoreApplication::processEvents();
        worstKey = std::max(worstKey, key.elapsed());
    }
    std::printf("browser filter: worst keystroke %lld ms over %lld keystrokes\n", worstKey, qint64(word.size()) * 2);

    // The stall: a heartbeat on the main thread while the selection is
    // added, planned, listed, scrolled and synced.
    qint64 last = clock.elapsed(), worst = 0;
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        qint64 now = clock.elapsed();
        worst = std::max(worst, now - last);
        last = now;
    });
    heartbeat.start(5);
    std::vector<Song*> songs;
    for (const auto& album : c.library().albums()) {
        if (int(songs.size()) >= select) break;
        songs.insert(songs.end(), album->tracks().begin(), album->tracks().end());
    }
    QElapsedTimer total;
    total.start();
    QTimer::singleShot(0, [&] { c.addSongs(songs); });
    QTimer scroll;
    QObject::connect(&scroll, &QTimer::timeout, [&] {
        QScrollBar* bar = window.list().verticalScrollBar();
        bar->setValue((bar->value() + bar->pageStep()) % std::max(1, bar->maximum()));
    });
    scroll.start(20);
    bool planned = false;
    QObject::connect(&c, &Controller::planned, [&] { planned = true; });
    while (total.elapsed() < 600000 && !(planned && c.idle() && c.pending().total() == 0 && total.elapsed() > 1000))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    std::printf("%zu songs added, planned, listed, scrolled and synced in %lld ms; worst main-thread stall %lld ms\n", songs.size(), total.elapsed(), worst);
    c.stopWorkers();
    return 0;
}
