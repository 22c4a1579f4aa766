#include "Window.h"

#include "MainWindow.h"
#include "WindowUserInterface.h"
#include "app/Controller.h"
#include "platform/Defaults.h"
#include "platform/Locations.h"

#include "app/UpdateCheck.h"
#include "platform/SignalWatcher.h"
#include "platform/SingleInstance.h"

#include <QApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QTimer>

#include <optional>

namespace {

struct WindowOptions {
    QString library, config, volumes;
};

// Only the options the window takes, as --opt VALUE or --opt=VALUE; anything
// else is the command line's.
std::optional<WindowOptions> parse(const QStringList& args) {
    WindowOptions o;
    for (qsizetype i = 0; i < args.size(); ++i) {
        QString name = args[i], value;
        if (qsizetype eq = name.indexOf(u'='); name.startsWith(u"--") && eq > 0) {
            value = name.mid(eq + 1);
            name.truncate(eq);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return std::nullopt;
        }
        if (name == u"--library") o.library = value;
        else if (name == u"--config") o.config = value;
        else if (name == u"--volumes") o.volumes = value;
        else return std::nullopt;
    }
    return o;
}

}  // namespace

bool wantsWindow(const QStringList& arguments) { return parse(arguments).has_value(); }

int runWindow(int& argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Brisle"));
    QApplication::setApplicationVersion(QStringLiteral(BRISLE_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.brisle.Brisle"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("org.brisle.Brisle")));
    QStringList args = QApplication::arguments();
    args.removeFirst();
    WindowOptions o = parse(args).value_or(WindowOptions{});
    if (!o.volumes.isEmpty()) Locations::setVolumesFolder(o.volumes);

    // One window per session: a second launch brings the first one forward.
    SingleInstance instance;
    if (!instance.claimOrSignal()) return 0;

    // Destroyed in the reverse order: the window, the controller, then the
    // user interface the controller reports to until its end.
    WindowUserInterface ui;
    Defaults defaults(o.config.isEmpty() ? Locations::defaultSettingsFile() : o.config);
    if (auto loaded = defaults.load(); !loaded) ui.warning(loaded.error());
    Controller controller(defaults, ui, Controller::Options{o.library});
    // Another Brisle syncing the same player must not meet this one there.
    if (!controller.pathToPlayer().isEmpty())
        if (auto claimed = controller.claimPlayer(); !claimed) {
            ui.alert({QStringLiteral("Brisle is already at work"), claimed.error(), {QStringLiteral("Quit")}});
            return 1;
        }
    MainWindow window(controller, ui);
    QObject::connect(&instance, &SingleInstance::raiseRequested, &window, [&window](const QString& token) {
        if (!token.isEmpty()) qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
        window.showNormal();
        window.raise();
        window.activateWindow();
    });
    // Logging out, or a kill, asks the program to end: as Quit does, once the
    // copier has finished the file it is writing.
    SignalWatcher signals;
    QTimer retry;
    retry.setInterval(200);
    QObject::connect(&retry, &QTimer::timeout, &window, &QWidget::close);
    QObject::connect(&signals, &SignalWatcher::interrupted, &window, [&] {
        window.close();
        retry.start();
    });
    if (!controller.startUp()) return 1;
    window.started();
    UpdateCheck updates(defaults, ui);
    updates.setOpenUrl([](const QUrl& url) { QDesktopServices::openUrl(url); });
    updates.start();
    return QApplication::exec();
}
