#include "CliUserInterface.h"

#include "app/Controller.h"

#include <QRegularExpression>
#include <QThread>

#include <unistd.h>

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

void CliUserInterface::warning(const QString& message) {
    ++warnings_;
    std::fprintf(stderr, "brisle: %s\n", qPrintable(message));
}

void CliUserInterface::showProgressOf(const Controller* controller) {
    controller_ = controller;
    terminal_ = ::isatty(STDOUT_FILENO);
}

void CliUserInterface::statusChanged() { progressChanged(); }

void CliUserInterface::progressChanged() {
    if (!controller_) return;
    const StatusView& s = controller_->status();
    QStringList parts;
    auto add = [&](const QString& title, const QString& detail) {
        if (!title.isEmpty()) parts.append(detail.isEmpty() ? title : title + u' ' + detail);
    };
    add(s.status, s.substatus);
    add(s.status2, s.substatus2);
    if (parts.isEmpty()) return;
    if (!s.freeSpace.isEmpty()) parts.append(s.freeSpace);
    QString line = parts.join(QStringLiteral("  |  "));
    if (line == lastLine_) return;
    lastLine_ = line;
    if (terminal_) {
        std::fprintf(stdout, "\r\x1b[K%s", qPrintable(line));
        std::fflush(stdout);
        return;
    }
    // In a log, a line per step rather than per percent.
    QString step = line;
    step.remove(QRegularExpression(QStringLiteral(" \\(\\d+%\\)")));
    if (step == lastLogged_) return;
    lastLogged_ = step;
    std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
}

void CliUserInterface::finishProgress() {
    if (terminal_ && !lastLine_.isEmpty()) std::fputc('\n', stdout);
    lastLine_.clear();
}

void CliUserInterface::notice(const QString& message) {
    if (!notices_) return;
    finishProgress();
    std::fprintf(stdout, "%s\n", qPrintable(message));
    std::fflush(stdout);
}
