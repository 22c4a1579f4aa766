#pragma once

#include "platform/UserInterface.h"

// The command line's way of showing alerts: the title and message go to
// stderr and the documented answer is taken. With --yes the default (first)
// button is chosen, otherwise the last one, which is always the cautious
// choice (Quit, Cancel, No).
class CliUserInterface : public UserInterface {
public:
    explicit CliUserInterface(bool assumeYes) : assumeYes_(assumeYes) {}

    int alert(const Alert& alert) override;

private:
    bool assumeYes_;
    QString lastShown_;
};
