#pragma once

// Runs the real program as a user would, for end-to-end tests.

#include <QByteArray>
#include <QProcessEnvironment>
#include <QStringList>

struct RunResult {
    int exitCode = -1;
    QString out;
    QString err;
};

// The binary built beside the tests; config and cache folders come from env.
RunResult runBrisle(const QStringList& arguments, const QProcessEnvironment& env, int timeoutMs = 120000);
