#include "platform/Volumes.h"

#include "support/FatImage.h"

#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusMetaType>
#include <QtDBus/QDBusObjectPath>
#include <QtDBus/QDBusVariant>
#include <QtDBus/QDBusVirtualObject>

#include <QProcess>
#include <QThread>

#include <mutex>

#include <gtest/gtest.h>

namespace {

// Answers as udisks2 does for one FAT player at /dev/sdz1, and records the calls.
class FakeUDisks : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& m, const QDBusConnection& bus) override {
        std::lock_guard lock(mutex);
        QString call = m.member();
        if (call == u"Get") call += u' ' + m.arguments().value(1).toString();
        calls << m.path().mid(m.path().lastIndexOf(u'/') + 1) + u' ' + call;
        auto variant = [&](QVariant v) { return m.createReply(QVariant::fromValue(QDBusVariant(v))); };
        QList<QDBusObjectPath> found;
        if (knowsDevice) found << QDBusObjectPath(QStringLiteral("/org/freedesktop/UDisks2/block_devices/sdz1"));
        const bool unmount = knowsDevice && call == u"Unmount";
        if (unmount && !busy) QProcess::execute(QStringLiteral("fusermount"), {QStringLiteral("-u"), mountPoint});
        bus.send(call == u"ResolveDevice" ? m.createReply(QVariant::fromValue(found))
                 : !knowsDevice ? m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"), m.path())
                 : unmount && busy ? m.createErrorReply(QStringLiteral("org.freedesktop.UDisks2.Error.DeviceBusy"),
                                                        QStringLiteral("Error unmounting /dev/sdz1: target is busy"))
                 : unmount || call == u"PowerOff" ? m.createReply()
                 : call == u"Get Drive" ? variant(QVariant::fromValue(QDBusObjectPath(QStringLiteral("/org/freedesktop/UDisks2/drives/Player"))))
                 : call == u"Get CanPowerOff" ? variant(canPowerOff)
                 : m.createErrorReply(QDBusError::UnknownMethod, call));
        return true;
    }

    std::mutex mutex;
    QStringList calls;
    QString mountPoint;
    bool knowsDevice = true, canPowerOff = true, busy = false;
};

struct EjectCase {
    const char* name;
    bool knowsDevice, canPowerOff, busy;
    const char* calls;
};

// A private bus with the fake service, and a FAT player whose source is /dev/sdz1.
class VolumeEjectThroughUDisks : public ::testing::TestWithParam<EjectCase> {
protected:
    void SetUp() override {
        daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                     QStringLiteral("--print-address=1")});
        ASSERT_TRUE(daemon.waitForStarted()) << "dbus-daemon (package dbus) is needed: " << daemon.errorString().toStdString();
        while (!daemon.canReadLine()) ASSERT_TRUE(daemon.waitForReadyRead(10000)) << "dbus-daemon gave no address";
        address = QString::fromUtf8(daemon.readLine()).trimmed();

        player = std::make_unique<FatImage>(FatImage::Options{.source = QStringLiteral("/dev/sdz1")});
        ASSERT_TRUE(player->ready());
        volumes = std::make_unique<VolumesFolderOverride>(player->volumesFolder());
        fake.mountPoint = player->volumePath();

        QDBusConnection service = QDBusConnection::connectToBus(address, QStringLiteral("fake udisks"));
        ASSERT_TRUE(service.isConnected());
        ASSERT_TRUE(service.registerVirtualObject(QStringLiteral("/org/freedesktop/UDisks2"), &fake, QDBusConnection::SubPath));
        ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.UDisks2")));
        // The caller blocks on its call, so the service answers from a thread of its own.
        fake.moveToThread(&thread);
        thread.start();
    }

    void TearDown() override {
        QDBusConnection::disconnectFromBus(QStringLiteral("fake udisks"));
        thread.quit();
        thread.wait();
        volumes.reset();
        player.reset();
        daemon.kill();
        daemon.waitForFinished();
    }

    QStringList calls() {
        std::lock_guard lock(fake.mutex);
        return fake.calls;
    }

    QProcess daemon;
    QString address;
    std::unique_ptr<FatImage> player;
    std::unique_ptr<VolumesFolderOverride> volumes;
    QThread thread;
    FakeUDisks fake;
};

TEST_P(VolumeEjectThroughUDisks, UnmountsAndPowersOffWhatUDisksAllows) {
    const EjectCase& c = GetParam();
    fake.knowsDevice = c.knowsDevice;
    fake.canPowerOff = c.canPowerOff;
    fake.busy = c.busy;
    auto ejected = Volumes::unmountAndEject(player->volumePath() + QStringLiteral("/Music"), address);
    EXPECT_EQ(bool(ejected), !c.busy) << (ejected ? "" : ejected.error().toStdString());
    EXPECT_TRUE(ejected || ejected.error().contains(QStringLiteral("target is busy"))) << ejected.error().toStdString();
    EXPECT_EQ(calls().join(QStringLiteral(", ")).toStdString(), c.calls);
    EXPECT_EQ(player->isMounted(), c.busy);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VolumeEjectThroughUDisks,
    ::testing::Values(
        EjectCase{"PoweredOff", true, true, false, "Manager ResolveDevice, sdz1 Unmount, sdz1 Get Drive, Player Get CanPowerOff, Player PowerOff"},
        EjectCase{"CannotPowerOff", true, false, false, "Manager ResolveDevice, sdz1 Unmount, sdz1 Get Drive, Player Get CanPowerOff"},
        EjectCase{"BusyNoPowerOff", true, true, true, "Manager ResolveDevice, sdz1 Unmount"},
        EjectCase{"UnknownDeviceIsUnmountedDirectly", false, true, false, "Manager ResolveDevice, sdz1 Get Device"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
