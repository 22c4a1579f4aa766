#include "DesktopNotifications.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace {

QDBusConnection bus(const QString& connection) {
    return connection.isEmpty() ? QDBusConnection::sessionBus() : QDBusConnection(connection);
}

}  // namespace

DesktopNotifications::DesktopNotifications(const QString& busAddress, QObject* parent) : QObject(parent) {
    if (busAddress.isEmpty()) return;
    connection_ = QStringLiteral("brisle-notifications-%1").arg(quintptr(this), 0, 16);
    QDBusConnection::connectToBus(busAddress, connection_);
}

DesktopNotifications::~DesktopNotifications() {
    if (!connection_.isEmpty()) QDBusConnection::disconnectFromBus(connection_);
}

void DesktopNotifications::syncFinished(const QString& playerName) {
    notify(QStringLiteral("Sync finished"), QStringLiteral("%1 may be ejected.").arg(playerName));
}

void DesktopNotifications::ejectFailed(const QString& playerName, const QString& reason) {
    notify(QStringLiteral("%1 could not be ejected").arg(playerName), reason);
}

void DesktopNotifications::notify(const QString& summary, const QString& body) {
    QDBusConnection connection = bus(connection_);
    if (!connection.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
                                                       QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // The desktop entry lets the shell show our icon and name, and group them.
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("org.brisle.Brisle")}};
    call << QStringLiteral("Brisle") << lastId_ << QStringLiteral("org.brisle.Brisle") << summary << body << QStringList() << hints << -1;
    auto* watcher = new QDBusPendingCallWatcher(connection.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        QDBusPendingReply<uint> reply = *w;
        if (reply.isValid()) lastId_ = reply.value();
        w->deleteLater();
    });
}
