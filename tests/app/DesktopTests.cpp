// What Brisle tells the desktop, on a private session bus (the tests run
// under dbus-run-session): notifications, and one window per session.

#include "app/DesktopNotifications.h"
#include "platform/SingleInstance.h"
#include "support/Helpers.h"
#include "support/QtPrinters.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QVariantMap>

#include <gtest/gtest.h>

namespace {

// A notification service that remembers what it was asked to show.
struct FakeNotifications : QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QList<QStringList> shown;
public Q_SLOTS:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary, const QString& body, const QStringList&,
                const QVariantMap& hints, int) {
        shown.append(QStringList{app, QString::number(replaces), icon, summary, body, hints.value(QStringLiteral("desktop-entry")).toString()});
        return 41 + uint(shown.size());
    }
};

class Desktop : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(address.isEmpty()) << "needs a private session bus: run under dbus-run-session"; }
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
};

}  // namespace

TEST_F(Desktop, NotificationsReachARunningServiceWithoutWaitingAndAreLostQuietlyWhereNoneRuns) {
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
    waitUntil([] { return false; }, 200);  // the answer carries the id the next one replaces
    notifications.ejectFailed(QStringLiteral("PLAYER"), QStringLiteral("The device is busy."));
    ASSERT_TRUE(waitUntil([&] { return fake.shown.size() == 2; }));
    const QString app = QStringLiteral("org.brisle.Brisle"), brisle = QStringLiteral("Brisle");
    EXPECT_EQ(fake.shown, (QList<QStringList>{{brisle, QStringLiteral("0"), app, QStringLiteral("Sync finished"), QStringLiteral("PLAYER may be ejected."), app},
                                              {brisle, QStringLiteral("42"), app, QStringLiteral("PLAYER could not be ejected"), QStringLiteral("The device is busy."), app}}));
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-notifications"));
}

TEST_F(Desktop, ALaterLaunchRaisesTheFirstWindowAndGivesWay) {
    SingleInstance first(address);
    QStringList raised;
    QObject::connect(&first, &SingleInstance::raiseRequested, [&](const QString& token) { raised.append(token); });
    ASSERT_TRUE(first.claimOrSignal());
    qputenv("XDG_ACTIVATION_TOKEN", "token-1");
    EXPECT_FALSE(SingleInstance(address).claimOrSignal());
    qunsetenv("XDG_ACTIVATION_TOKEN");
    EXPECT_EQ(raised, QStringList{QStringLiteral("token-1")});
}

#include "DesktopTests.moc"
