#pragma once

// The program's diagnostic log: fixed texts written to standard error with a
// "Brisle: " prefix. It goes through Qt's message handler (qWarning), so a
// test can capture the texts with qInstallMessageHandler.

#include <QString>

void logMessage(const QString& text);
