// What udisks2 knows of removable media: the kind of each drive, and mounting
// media that were plugged in but not mounted yet. Everything here is optional:
// without udisks2 (no system bus, or the service not running) nothing
// happens, and the mount table alone describes the volumes.

#include "Volumes.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>

namespace Volumes {

namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kBlock = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kDrive = QStringLiteral("org.freedesktop.UDisks2.Drive");
const QString kFilesystem = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
// Mounting checks the file system first, which takes a while on a large card.
constexpr int kMountTimeoutMs = 30 * 1000;
constexpr int kQueryTimeoutMs = 5 * 1000;

using Interfaces = QMap<QString, QVariantMap>;
using Objects = QMap<QString, Interfaces>;

// Every object udisks2 manages with its interfaces' properties, or nothing
// when it does not run. The service is never started just for this.
std::optional<Objects> managedObjects(const QDBusConnection& bus) {
    if (!bus.isConnected() || !bus.interface()) return std::nullopt;
    QDBusReply<bool> running = bus.interface()->isServiceRegistered(kService);
    if (!running.isValid() || !running.value()) return std::nullopt;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, QStringLiteral("/org/freedesktop/UDisks2"),
                                                       QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                                       QStringLiteral("GetManagedObjects"));
    QDBusMessage reply = bus.call(call, QDBus::Block, kQueryTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return std::nullopt;
    // a{oa{sa{sv}}}
    const QDBusArgument arg = reply.arguments().constFirst().value<QDBusArgument>();
    Objects objects;
    arg.beginMap();
    while (!arg.atEnd()) {
        QDBusObjectPath path;
        Interfaces interfaces;
        arg.beginMapEntry();
        arg >> path >> interfaces;
        arg.endMapEntry();
        objects.insert(path.path(), interfaces);
    }
    arg.endMap();
    return objects;
}

// Properties of complex types arrive still marshalled.
template <typename T>
T property(const QVariantMap& properties, const QString& name) {
    QVariant v = properties.value(name);
    if (v.canConvert<QDBusArgument>()) return qdbus_cast<T>(v.value<QDBusArgument>());
    return v.value<T>();
}

// A device path as udisks2 gives it: bytes ending in a NUL.
QString devicePath(const QVariantMap& block) {
    QByteArray bytes = property<QByteArray>(block, QStringLiteral("Device"));
    if (bytes.endsWith('\0')) bytes.chop(1);
    return QString::fromLocal8Bit(bytes);
}

QString drivePath(const QVariantMap& block) { return property<QDBusObjectPath>(block, QStringLiteral("Drive")).path(); }

// Runs `use` on the system bus, or on the bus at `address` (a private bus in tests).
template <typename Use>
void onBus(const QString& address, Use use) {
    if (address.isEmpty()) return use(QDBusConnection::systemBus());
    const QString name = QStringLiteral("brisle-udisks ") + address;
    use(QDBusConnection::connectToBus(address, name));
    QDBusConnection::disconnectFromBus(name);
}

void mountNewRemovableMediaOn(const QDBusConnection& bus) {
    std::optional<Objects> objects = managedObjects(bus);
    if (!objects) return;
    for (auto it = objects->constBegin(); it != objects->constEnd(); ++it) {
        const Interfaces& interfaces = it.value();
        if (!interfaces.contains(kBlock) || !interfaces.contains(kFilesystem)) continue;
        const QVariantMap& block = interfaces[kBlock];
        if (block.value(QStringLiteral("IdUsage")).toString() != u"filesystem" || block.value(QStringLiteral("HintIgnore")).toBool() ||
            block.value(QStringLiteral("HintSystem")).toBool())
            continue;
        if (!property<QByteArrayList>(interfaces[kFilesystem], QStringLiteral("MountPoints")).isEmpty()) continue;
        auto drive = objects->constFind(drivePath(block));
        if (drive == objects->constEnd() || !drive->contains(kDrive)) continue;
        const QVariantMap& d = (*drive)[kDrive];
        if (!d.value(QStringLiteral("Removable")).toBool() && !d.value(QStringLiteral("MediaRemovable")).toBool()) continue;
        // Never a password prompt: media the user may not mount stay as they are.
        QDBusMessage call = QDBusMessage::createMethodCall(kService, it.key(), kFilesystem, QStringLiteral("Mount"));
        call.setArguments({QVariantMap{{QStringLiteral("auth.no_user_interaction"), true}}});
        bus.call(call, QDBus::Block, kMountTimeoutMs);
    }
}

}  // namespace

QHash<QString, VolumeKind> udisksKinds() { return udisksKinds(QString()); }

QHash<QString, VolumeKind> udisksKinds(const QString& busAddress) {
    QHash<QString, VolumeKind> kinds;
    std::optional<Objects> objects;
    onBus(busAddress, [&](const QDBusConnection& bus) { objects = managedObjects(bus); });
    if (!objects) return kinds;
    for (const Interfaces& interfaces : std::as_const(*objects)) {
        if (!interfaces.contains(kBlock)) continue;
        const QVariantMap& block = interfaces[kBlock];
        auto drive = objects->constFind(drivePath(block));
        if (drive == objects->constEnd() || !drive->contains(kDrive)) continue;
        const QVariantMap& d = (*drive)[kDrive];
        DriveDescription description{d.value(QStringLiteral("Media")).toString(),
                                     property<QStringList>(d, QStringLiteral("MediaCompatibility")),
                                     d.value(QStringLiteral("ConnectionBus")).toString(),
                                     d.value(QStringLiteral("Optical")).toBool()};
        kinds.insert(devicePath(block), kindFromDrive(description).value_or(VolumeKind::RemovableDrive));
    }
    return kinds;
}

void mountNewRemovableMedia() { mountNewRemovableMedia(QString()); }

void mountNewRemovableMedia(const QString& busAddress) { onBus(busAddress, mountNewRemovableMediaOn); }

}  // namespace Volumes
