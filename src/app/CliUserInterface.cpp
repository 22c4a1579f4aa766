#include "CliUserInterface.h"

#include <QThread>

#include <cstdio>

int CliUserInterface::alert(const Alert& a) {
    int answer = a.buttons.size() <= 1 || assumeYes_ ? 0 : int(a.buttons.size()) - 1;
    QString key = a.title + u'\n' + a.message;
    // A question asked again and again (waiting for a file to come back) is
    // printed once and then answered after a pause, so the wait polls.
    bool repeated = key == lastShown_;
    if (!repeated) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(a.title), qPrintable(a.message));
        if (a.buttons.size() > 1)
            std::fprintf(stderr, "  (answered \"%s\"%s)\n", qPrintable(a.buttons.value(answer)),
                         assumeYes_ ? "" : "; run with --yes to answer the default");
    } else {
        QThread::sleep(1);
    }
    lastShown_ = key;
    return answer;
}
