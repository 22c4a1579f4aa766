#include "cli/Cli.h"
#include "ui/Window.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    // No command: the window.
    QStringList given;
    for (int i = 1; i < argc; ++i) given.append(QString::fromLocal8Bit(argv[i]));
    if (wantsWindow(given)) return runWindow(argc, argv);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Brisle"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BRISLE_VERSION));
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    return runCommandLine(args);
}
