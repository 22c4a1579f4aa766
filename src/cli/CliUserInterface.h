#pragma once

#include "app/UserInterface.h"

#include <QString>

class Controller;

// The command line's way of showing alerts: the title and message go to
// stderr and the documented answer is taken. With --yes the default (first)
// button is chosen, otherwise the last one, which is always the cautious
// choice (Quit, Cancel, No).
class CliUserInterface : public UserInterface {
public:
    explicit CliUserInterface(bool assumeYes) : assumeYes_(assumeYes) {}

    int alert(const Alert& alert) override;
    void warning(const QString& message) override;
    bool hadWarnings() const { return warnings_ > 0; }

    // Ends the dots of a wait (see alert) before other output.
    void endWait();

    // Shows the status area's lines while work goes on: one line rewritten in
    // place on a terminal, else (or when verbose) a line per step and per ten
    // percent of a conversion; nothing when quiet.
    enum class Verbosity { Quiet, Normal, Verbose };
    void showProgressOf(const Controller* controller, Verbosity verbosity = Verbosity::Normal);
    void statusChanged() override;
    void progressChanged() override;
    // Ends the rewritten line, before other output.
    void finishProgress();
    // Prints the program's notices (mounts, rewrites) as they come.
    void showNotices(bool on) { notices_ = on; }
    void notice(const QString& message) override;

private:
    bool assumeYes_;
    QString lastShown_;
    int warnings_ = 0;
    const Controller* controller_ = nullptr;
    int waitedSeconds_ = -1;  // -1: not waiting
    bool terminal_ = false;
    bool notices_ = false;
    Verbosity verbosity_ = Verbosity::Normal;
    QString lastLine_;
    QString lastLogged_;
    int lastTenth_ = -1;  // of the conversion percentage last logged
};
