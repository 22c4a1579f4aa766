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

    // Shows the status area's lines on the terminal while work goes on: one
    // line rewritten in place on a terminal, a line per change otherwise.
    void showProgressOf(const Controller* controller);
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
    bool terminal_ = false;
    bool notices_ = false;
    QString lastLine_;
    QString lastLogged_;
};
