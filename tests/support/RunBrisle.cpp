#include "RunBrisle.h"

#include <QProcess>

#include <gtest/gtest.h>

#ifndef BRISLE_BINARY
#error "BRISLE_BINARY must name the program under test"
#endif

RunResult runBrisle(const QStringList& arguments, const QProcessEnvironment& env, int timeoutMs) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(BRISLE_BINARY), arguments);
    RunResult r;
    if (!p.waitForStarted()) {
        ADD_FAILURE() << "could not start " << BRISLE_BINARY;
        return r;
    }
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        ADD_FAILURE() << "brisle " << arguments.join(u' ').toStdString() << " did not finish in time";
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}
