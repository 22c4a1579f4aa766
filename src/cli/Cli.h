#pragma once

#include <QStringList>

// The command line: `brisle COMMAND [options]`. Answers the exit status.
int runCommandLine(const QStringList& arguments);
