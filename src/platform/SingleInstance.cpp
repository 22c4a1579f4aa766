#include "SingleInstance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace {

const QString kService = QStringLiteral("org.brisle.Brisle");
const QString kPath = QStringLiteral("/org/brisle/Brisle");

}  // namespace

SingleInstance::SingleInstance(const QString& busAddress, QObject* parent) : QObject(parent) {
    connection_ = QStringLiteral("brisle-single-instance-%1").arg(quintptr(this), 0, 16);
    if (busAddress.isEmpty())
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, connection_);
    else
        QDBusConnection::connectToBus(busAddress, connection_);
}

SingleInstance::~SingleInstance() {
    // Closing our own connection gives the name back at once.
    QDBusConnection::disconnectFromBus(connection_);
}

bool SingleInstance::claimOrSignal() {
    QDBusConnection bus(connection_);
    if (owner_ || !bus.isConnected()) return true;
    // The object first, so that a launch that finds the name taken can always call it.
    bus.registerObject(kPath, this, QDBusConnection::ExportScriptableSlots);
    // Twice: the owner may quit between our claim and our call.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (bus.interface()->registerService(kService, QDBusConnectionInterface::DontQueueService).value()
            == QDBusConnectionInterface::ServiceRegistered) {
            owner_ = true;
            return true;
        }
        QString token = qEnvironmentVariable("XDG_ACTIVATION_TOKEN");
        if (token.isEmpty()) token = qEnvironmentVariable("DESKTOP_STARTUP_ID");
        QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Raise"));
        call << token;
        // With an event loop of its own while it waits, so a caller in the
        // owner's own process (a test) is answered too.
        const QDBusMessage reply = bus.call(call, QDBus::BlockWithGui, 5000);
        if (reply.type() == QDBusMessage::ReplyMessage) break;
        if (reply.errorName() != u"org.freedesktop.DBus.Error.ServiceUnknown" && reply.errorName() != u"org.freedesktop.DBus.Error.NameHasNoOwner") break;
    }
    bus.unregisterObject(kPath);
    return false;
}

void SingleInstance::Raise(const QString& activationToken) {
    Q_EMIT raiseRequested(activationToken);
}
