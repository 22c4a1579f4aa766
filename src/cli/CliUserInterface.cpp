#include "CliUserInterface.h"

#include "platform/SignalWatcher.h"
#include "app/Controller.h"

#include <QRegularExpression>
#include <QThread>

#include <unistd.h>

#include <cstdio>

int CliUserInterface::alert(const Alert& a) {
    int answer = a.buttons.size() <= 1 || assumeYes_ ? 0 : int(a.buttons.size()) - 1;
    QString key = a.title + u'\n' + a.message;
    // A question asked again and again (waiting for a file to come back) is
    // printed once and then answered after a pause, so the wait polls; a dot
    // every five seconds shows it goes on, and Ctrl-C gives the cautious answer.
    if (key != lastShown_) {
        endWait();
        std::fprintf(stderr, "brisle: %s: %s\n", qPrintable(a.title), qPrintable(a.message));
        if (a.buttons.size() > 1)
            std::fprintf(stderr, "  (answered \"%s\"%s)\n", qPrintable(a.buttons.value(answer)),
                         assumeYes_ ? "" : "; run with --yes to answer the default");
        lastShown_ = key;
        return answer;
    }
    if (waitedSeconds_ < 0) {
        std::fputs("brisle: waiting for that (a dot every 5 seconds; Ctrl-C stops waiting)\n", stderr);
        waitedSeconds_ = 0;
    }
    for (int i = 0; i < 10 && !SignalWatcher::caught(); ++i) QThread::msleep(100);
    if (SignalWatcher::caught()) {
        endWait();
        return int(a.buttons.size()) - 1;
    }
    if (++waitedSeconds_ % 5 == 0) std::fputc('.', stderr);
    return answer;
}

void CliUserInterface::endWait() {
    if (waitedSeconds_ >= 5) std::fputc('\n', stderr);
    waitedSeconds_ = -1;
}

void CliUserInterface::warning(const QString& message) {
    ++warnings_;
    endWait();
    std::fprintf(stderr, "brisle: %s\n", qPrintable(message));
}

void CliUserInterface::showProgressOf(const Controller* controller, Verbosity verbosity) {
    controller_ = controller;
    verbosity_ = verbosity;
    terminal_ = verbosity == Verbosity::Normal && ::isatty(STDOUT_FILENO);
}

void CliUserInterface::statusChanged() { progressChanged(); }

void CliUserInterface::progressChanged() {
    if (!controller_ || verbosity_ == Verbosity::Quiet) return;
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
    // In a log, a line per step and per ten percent rather than per percent.
    static const QRegularExpression percent(QStringLiteral(" \\((\\d+)%\\)"));
    QString step = line;
    int tenth = -1;
    if (QRegularExpressionMatch m = percent.match(line); m.hasMatch()) {
        tenth = m.captured(1).toInt() / 10;
        step.remove(m.capturedStart(), m.capturedLength());
    }
    if (step == lastLogged_ && tenth == lastTenth_) return;
    lastLogged_ = step;
    lastTenth_ = tenth;
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
