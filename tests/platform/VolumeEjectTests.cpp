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

const QString blockPath = QStringLiteral("/org/freedesktop/UDisks2/block_devices/sdz1");
const QString drivePath = QStringLiteral("/org/freedesktop/UDisks2/drives/Player");

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
        QDBusMessage reply;
        if (call == u"ResolveDevice") {
            QList<QDBusObjectPath> found;
            if (knowsDevice) found << QDBusObjectPath(blockPath);
            reply = m.createReply(QVariant::fromValue(found));
        } else if (!knowsDevice) {
            reply = m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"), m.path());
        } else if (call == u"Unmount" && !unmountError.isEmpty()) {
            reply = m.createErrorReply(unmountError, QStringLiteral("Error unmounting /dev/sdz1: target is busy"));
        } else if (call == u"Unmount") {
            QProcess::execute(QStringLiteral("fusermount"), {QStringLiteral("-u"), mountPoint});
            reply = m.createReply();
        } else if (call == u"Get Drive") {
            reply = variant(QVariant::fromValue(QDBusObjectPath(drivePath)));
        } else if (call == u"Get CanPowerOff") {
            reply = variant(canPowerOff);
        } else if (call == u"PowerOff") {
            reply = m.createReply();
        } else {
            reply = m.createErrorReply(QDBusError::UnknownMethod, call);
        }
        bus.send(reply);
        return true;
    }

    std::mutex mutex;
    QStringList calls;
    QString mountPoint;
    QString unmountError;
    bool knowsDevice = true;
    bool canPowerOff = true;
};

// A private bus with the fake service, and a FAT player whose source is /dev/sdz1.
class VolumeEjectThroughUDisks : public ::testing::Test {
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

}  // namespace

TEST_F(VolumeEjectThroughUDisks, UnmountsThenPowersTheDriveOff) {
    auto ejected = Volumes::unmountAndEject(player->volumePath() + QStringLiteral("/Music"), address);
    ASSERT_TRUE(ejected) << ejected.error().toStdString();
    EXPECT_EQ(calls(), QStringList({QStringLiteral("Manager ResolveDevice"), QStringLiteral("sdz1 Unmount"),
                                    QStringLiteral("sdz1 Get Drive"), QStringLiteral("Player Get CanPowerOff"),
                                    QStringLiteral("Player PowerOff")}));
    EXPECT_FALSE(player->isMounted());
}

TEST_F(VolumeEjectThroughUDisks, ADriveThatCannotPowerOffIsOnlyUnmounted) {
    fake.canPowerOff = false;
    auto ejected = Volumes::unmountAndEject(player->volumePath(), address);
    ASSERT_TRUE(ejected) << ejected.error().toStdString();
    EXPECT_FALSE(calls().contains(QStringLiteral("Player PowerOff")));
    EXPECT_FALSE(player->isMounted());
}

TEST_F(VolumeEjectThroughUDisks, ABusyVolumeFailsWithUDisksReasonAndStaysMounted) {
    fake.unmountError = QStringLiteral("org.freedesktop.UDisks2.Error.DeviceBusy");
    auto ejected = Volumes::unmountAndEject(player->volumePath(), address);
    ASSERT_FALSE(ejected);
    EXPECT_TRUE(ejected.error().contains(QStringLiteral("target is busy"))) << ejected.error().toStdString();
    EXPECT_EQ(calls().size(), 2) << "no power-off after a failed unmount";
    EXPECT_TRUE(player->isMounted());
}

TEST_F(VolumeEjectThroughUDisks, ADeviceUDisksDoesNotKnowIsUnmountedDirectly) {
    fake.knowsDevice = false;
    auto ejected = Volumes::unmountAndEject(player->volumePath(), address);
    ASSERT_TRUE(ejected) << ejected.error().toStdString();
    EXPECT_FALSE(calls().contains(QStringLiteral("sdz1 Unmount")));
    EXPECT_FALSE(player->isMounted());
}
