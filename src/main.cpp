#include "cli/Cli.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Brisle"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BRISLE_VERSION));
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    return runCommandLine(args);
}
