// What udisks2 tells of removable media, from a fake service on the private
// session bus (the tests run under dbus-run-session).

#include "platform/Volumes.h"
#include "support/QtPrinters.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

namespace {

using Interfaces = QMap<QString, QVariantMap>;
using Managed = QMap<QDBusObjectPath, Interfaces>;
const QString kPrefix = QStringLiteral("org.freedesktop.UDisks2.");

// Answers GetManagedObjects and records Mount calls ("object option=value...").
struct FakeUDisks : QDBusVirtualObject {
    Managed objects;
    QStringList mounts;
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
        if (message.member() == u"GetManagedObjects") return bus.send(message.createReply(QVariant::fromValue(objects)));
        if (message.member() != u"Mount") return false;
        QString mount = message.path();
        const QVariantMap options = qdbus_cast<QVariantMap>(message.arguments().value(0));
        for (auto [name, value] : options.asKeyValueRange()) mount += u' ' + name + u'=' + value.toString();
        mounts.append(mount);
        return bus.send(message.createReply(QStringLiteral("/media/somewhere")));
    }
};

}  // namespace

TEST(UDisks, DriveKindsAndMountingOfNewRemovableMediaAndNothingWithoutTheService) {
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    ASSERT_FALSE(address.isEmpty()) << "needs a private session bus: run under dbus-run-session";
    QElapsedTimer clock;
    clock.start();
    for (const QString& bus : {address, QStringLiteral("unix:path=/nonexistent/bus")}) {
        EXPECT_TRUE(Volumes::udisksKinds(bus).isEmpty());
        Volumes::mountNewRemovableMedia(bus);
    }
    EXPECT_LT(clock.elapsed(), 1000);

    // Drives: name, removable, media, compatible media. Blocks (in order): device, drive ("" for none), mount
    // points, the kind's icon, whether it gets mounted.
    const struct { const char* name; bool removable; QString media; QStringList compatible; } drives[] = {
        {"Card", true, QStringLiteral("flash_sd"), {}}, {"Reader", true, {}, {QStringLiteral("flash_cf"), QStringLiteral("flash_sd")}},
        {"Phone", true, {}, {}}, {"Disk", false, {}, {}}};
    const struct { const char* device; const char* drive; QByteArrayList mountPoints; const char* icon; bool mount; } blocks[] = {
        {"sda1", "Disk", {}, "drive-removable-media", false},
        {"sdb1", "Card", {}, "media-flash", true},
        {"sdc1", "Reader", {"/media/CARD"}, "media-flash", false},
        {"sdd1", "Phone", {QByteArray("/media/PHONE", 13)}, "drive-removable-media", false},
        {"sde1", "Phone", {}, "drive-removable-media", true},
        {"loop0", "", {}, nullptr, false}};
    FakeUDisks fake;
    const QString root = QStringLiteral("/org/freedesktop/UDisks2/");
    for (const auto& d : drives)
        fake.objects[QDBusObjectPath(root + u"drives/" + QLatin1String(d.name))] = {
            {kPrefix + u"Drive", {{"Removable", d.removable}, {"Media", d.media}, {"MediaCompatibility", d.compatible}, {"ConnectionBus", "usb"}}}};
    QStringList expectedIcons, expectedMounts;
    for (const auto& b : blocks) {
        const QString object = root + u"block_devices/" + QLatin1String(b.device);
        const QDBusObjectPath drive(*b.drive ? root + u"drives/" + QLatin1String(b.drive) : QStringLiteral("/"));
        fake.objects[QDBusObjectPath(object)] = {
            {kPrefix + u"Block", {{"Device", QByteArray(QByteArray("/dev/") + b.device + '\0')}, {"Drive", QVariant::fromValue(drive)}, {"IdUsage", "filesystem"}}},
            {kPrefix + u"Filesystem", {{"MountPoints", QVariant::fromValue(b.mountPoints)}}}};
        if (b.icon) expectedIcons.append(u"/dev/" + QLatin1String(b.device) + u' ' + QLatin1String(b.icon));
        if (b.mount) expectedMounts.append(object + u" auth.no_user_interaction=true");
    }
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<Managed>();
    qDBusRegisterMetaType<QByteArrayList>();
    QDBusConnection service = QDBusConnection::connectToBus(address, QStringLiteral("fake-udisks"));
    ASSERT_TRUE(service.registerVirtualObject(QStringLiteral("/org/freedesktop/UDisks2"), &fake, QDBusConnection::SubPath));
    ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.UDisks2")));

    // The program's calls block this thread: the fake answers from another.
    QThread thread;
    fake.moveToThread(&thread);
    thread.start();
    QStringList icons;
    for (auto [device, kind] : Volumes::udisksKinds(address).asKeyValueRange()) icons.append(device + u' ' + Volumes::iconNameFor(kind));
    icons.sort();
    Volumes::mountNewRemovableMedia(address);
    QThread* here = QThread::currentThread();
    QMetaObject::invokeMethod(&fake, [&] { fake.moveToThread(here); }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-udisks"));
    EXPECT_EQ(icons, expectedIcons);
    EXPECT_EQ(fake.mounts, expectedMounts);
}
