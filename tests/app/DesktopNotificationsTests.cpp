#include "app/DesktopNotifications.h"
#include "support/Helpers.h"
#include "support/QtPrinters.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QVariantMap>

#include <gtest/gtest.h>

namespace {

// A notification service that remembers what it was asked to show.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public Q_SLOTS:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary, const QString& body, const QStringList&,
                const QVariantMap& hints, int) {
        calls.append(QStringList{app, QString::number(replaces), icon, summary, body, hints.value(QStringLiteral("desktop-entry")).toString()});
        return 41 + uint(calls.size());
    }

public:
    QList<QStringList> calls;
};

}  // namespace

TEST(DesktopNotifications, ReachARunningServiceWithoutWaitingAndAreLostQuietlyWhereNoneRuns) {
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    ASSERT_FALSE(address.isEmpty()) << "needs a private session bus: run under dbus-run-session";
    DesktopNotifications notifications(address);
    notifications.syncFinished(QStringLiteral("PLAYER"));  // no service yet
    waitUntil([] { return false; }, 200);

    QDBusConnection service = QDBusConnection::connectToBus(address, QStringLiteral("fake-notifications"));
    FakeNotifications fake;
    ASSERT_TRUE(service.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &fake, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.Notifications")));
    // The service answers on this thread: a call that waited for it would hang here.
    QElapsedTimer clock;
    clock.start();
    notifications.syncFinished(QStringLiteral("PLAYER"));
    EXPECT_LT(clock.elapsed(), 1000);
    ASSERT_TRUE(waitUntil([&] { return fake.calls.size() == 1; }));
    waitUntil([] { return false; }, 100);  // the answer carries the id the next one replaces
    notifications.ejectFailed(QStringLiteral("PLAYER"), QStringLiteral("The device is busy."));
    ASSERT_TRUE(waitUntil([&] { return fake.calls.size() == 2; }));
    const QString app = QStringLiteral("org.brisle.Brisle");
    EXPECT_EQ(fake.calls, (QList<QStringList>{
                              {QStringLiteral("Brisle"), QStringLiteral("0"), app, QStringLiteral("Sync finished"), QStringLiteral("PLAYER may be ejected."), app},
                              {QStringLiteral("Brisle"), QStringLiteral("42"), app, QStringLiteral("PLAYER could not be ejected"), QStringLiteral("The device is busy."), app},
                          }));
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-notifications"));
}

#include "DesktopNotificationsTests.moc"
