#include "platform/SingleInstance.h"
#include "support/Helpers.h"
#include "support/QtPrinters.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include <gtest/gtest.h>

#include <memory>

TEST(SingleInstance, ALaterLaunchRaisesTheFirstAndTheNameIsFreedWithIt) {
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    ASSERT_FALSE(address.isEmpty()) << "needs a private session bus: run under dbus-run-session";
    auto first = std::make_unique<SingleInstance>(address);
    QStringList raised;
    QObject::connect(first.get(), &SingleInstance::raiseRequested, [&](const QString& token) { raised.append(token); });
    ASSERT_TRUE(first->claimOrSignal());

    qputenv("XDG_ACTIVATION_TOKEN", "token-1");
    SingleInstance second(address);
    EXPECT_FALSE(second.claimOrSignal());
    qunsetenv("XDG_ACTIVATION_TOKEN");
    EXPECT_EQ(raised, QStringList{QStringLiteral("token-1")});

    first.reset();  // as when the first quits or crashes
    QDBusConnection observer = QDBusConnection::connectToBus(address, QStringLiteral("observer"));
    ASSERT_TRUE(waitUntil([&] { return !observer.interface()->isServiceRegistered(QStringLiteral("org.brisle.Brisle")).value(); }));
    EXPECT_TRUE(SingleInstance(address).claimOrSignal());
    QDBusConnection::disconnectFromBus(QStringLiteral("observer"));
}
