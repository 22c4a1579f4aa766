#include "platform/Log.h"

#include <QDebug>

void logMessage(const QString& text) {
    qWarning().noquote() << QString(QStringLiteral("Brisle: ") + text);
}
