#pragma once

#include <QStringList>

// Whether the arguments ask for the window: no command, only the options
// the window takes (--library FILE, --config FILE, --volumes DIR).
bool wantsWindow(const QStringList& arguments);

// Opens the window and runs until it is closed; answers the exit status.
int runWindow(int& argc, char** argv);
