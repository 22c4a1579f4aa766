#include "Volumes.h"

#include "platform/FileSystem.h"
#include "platform/Locations.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QtDebug>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <blkid/blkid.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace Volumes {

namespace {

// mountinfo writes space, tab, newline and backslash as \ooo.
QString decodeField(QByteArrayView field) {
    QByteArray out;
    out.reserve(field.size());
    auto octal = [](char d) { return d >= '0' && d <= '7'; };
    for (qsizetype i = 0; i < field.size(); ++i) {
        char c = field[i];
        if (c == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) && octal(field[i + 3])) {
            out += char(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0'));
            i += 3;
            continue;
        }
        out += c;
    }
    return QFile::decodeName(out);
}

QByteArray readWholeFile(const char* path) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    QByteArray text = fsys::readAll(fd);
    ::close(fd);
    return text;
}

QString withoutSlash(const QString& folder) {
    return folder.size() > 1 && folder.endsWith(u'/') ? folder.chopped(1) : folder;
}

bool isAtOrUnder(const QString& path, const QString& folder) {
    if (folder == u'/') return path.startsWith(u'/');
    return path == folder || (path.startsWith(folder) && path.at(folder.size()) == u'/');
}

// The absolute path with symbolic links resolved as far as it exists; the
// missing rest is appended unchanged.
QString resolvedPath(const QString& path) {
    QString existing = QDir::cleanPath(QDir::current().absoluteFilePath(path));
    QString rest;
    for (;;) {
        if (char* real = ::realpath(fsys::encode(existing).constData(), nullptr)) {
            QString resolved = QFile::decodeName(real);
            std::free(real);
            if (rest.isEmpty()) return resolved;
            return QString(resolved == u'/' ? QString() : resolved) + u'/' + rest;
        }
        if (existing == u'/') return existing + rest;
        qsizetype slash = existing.lastIndexOf(u'/');
        QString last = existing.mid(slash + 1);
        rest = rest.isEmpty() ? last : QString(last + u'/' + rest);
        existing = slash == 0 ? QStringLiteral("/") : existing.left(slash);
    }
}

QString kindOf(QString type) {
    for (auto prefix : {QStringLiteral("fuseblk."), QStringLiteral("fuse.")})
        if (type.startsWith(prefix)) return type.mid(prefix.size());
    return type;
}

bool isFatKind(const QString& kind) {
    static const QStringList kinds = {
        QStringLiteral("vfat"),    QStringLiteral("msdos"),      QStringLiteral("umsdos"),
        QStringLiteral("fat"),     QStringLiteral("exfat"),      QStringLiteral("fusefat"),
        QStringLiteral("fatfs"),   QStringLiteral("exfat-fuse"), QStringLiteral("fat32"),
        QStringLiteral("fat16"),   QStringLiteral("fat12")};
    return kinds.contains(kind.toLower());
}

// A property udev keeps of a block device ("ID_FS_TYPE" -> "vfat"), "" when unknown.
QString udevProperty(unsigned major, unsigned minor, const QByteArray& name) {
    QByteArray path = "/run/udev/data/b" + QByteArray::number(major) + ':' + QByteArray::number(minor);
    const QByteArray key = "E:" + name + '=';
    for (const QByteArray& line : readWholeFile(path.constData()).split('\n'))
        if (line.startsWith(key)) return QString::fromUtf8(line.mid(key.size()));
    return {};
}

QString udevFileSystemType(unsigned major, unsigned minor) { return udevProperty(major, minor, "ID_FS_TYPE"); }

// A phone or player in disk mode: udev's media-player rules mark it.
bool isMediaPlayer(unsigned major, unsigned minor) {
    if (!udevProperty(major, minor, "ID_MEDIA_PLAYER").isEmpty()) return true;
    // A partition's disk is the folder above; its number is in its "dev".
    QByteArray file = "/sys/dev/block/" + QByteArray::number(major) + ':' + QByteArray::number(minor) + "/../dev";
    QByteArray parent = readWholeFile(file.constData()).trimmed();
    QList<QByteArray> numbers = parent.split(':');
    return numbers.size() == 2 && !udevProperty(numbers[0].toUInt(), numbers[1].toUInt(), "ID_MEDIA_PLAYER").isEmpty();
}

// What a block device holds: udev's record where it keeps one, otherwise a
// look at the device itself (which takes the right to read it). "" when
// neither tells.
QString blockDeviceFileSystemType(unsigned major, unsigned minor) {
    if (QString type = udevFileSystemType(major, minor); !type.isEmpty()) return type;
    char* device = ::blkid_devno_to_devname(makedev(major, minor));
    if (!device) return {};
    blkid_probe probe = ::blkid_new_probe_from_filename(device);
    std::free(device);
    if (!probe) return {};
    QString type;
    const char* value = nullptr;
    ::blkid_probe_enable_superblocks(probe, 1);
    ::blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE);
    if (::blkid_do_safeprobe(probe) == 0 && ::blkid_probe_lookup_value(probe, "TYPE", &value, nullptr) == 0) type = QString::fromUtf8(value);
    ::blkid_free_probe(probe);
    return type;
}

bool isRemovableDevice(unsigned major, unsigned minor) {
    QByteArray base = "/sys/dev/block/" + QByteArray::number(major) + ':' + QByteArray::number(minor);
    // A partition has no flag of its own; its disk is the folder above.
    for (const QByteArray& file : {QByteArray(base + "/removable"), QByteArray(base + "/../removable")}) {
        QByteArray flag = readWholeFile(file.constData()).trimmed();
        if (!flag.isEmpty()) return flag == "1";
    }
    return false;
}

bool isNetworkType(const QString& type) {
    static const QStringList kinds = {
        QStringLiteral("nfs"),     QStringLiteral("nfs4"),      QStringLiteral("cifs"),
        QStringLiteral("smb3"),    QStringLiteral("smbfs"),     QStringLiteral("ncpfs"),
        QStringLiteral("afs"),     QStringLiteral("9p"),        QStringLiteral("ceph"),
        QStringLiteral("glusterfs"), QStringLiteral("sshfs"),   QStringLiteral("rclone"),
        QStringLiteral("s3fs"),    QStringLiteral("davfs"),     QStringLiteral("gvfsd-fuse")};
    return kinds.contains(kindOf(type));
}

bool isFuseType(const QString& type) {
    return type == u"fuse" || type == u"fuseblk" || type.startsWith(u"fuse.") || type.startsWith(u"fuseblk.");
}

QString systemErrorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QString unmountFailure(const QString& mountPoint, const QString& reason) {
    return QStringLiteral("Could not unmount %1: %2").arg(mountPoint, reason);
}

// --- udisks2 --------------------------------------------------------------

const QString udisksService = QStringLiteral("org.freedesktop.UDisks2");

// Unmounting flushes the write cache, which takes a while on a slow player.
constexpr int udisksUnmountTimeoutMs = 10 * 60 * 1000;
constexpr int udisksQueryTimeoutMs = 10 * 1000;

QDBusMessage udisksCall(const QDBusConnection& bus, const QString& object, const QString& interface, const QString& method,
                        const QVariantList& arguments, int timeoutMs = udisksQueryTimeoutMs) {
    QDBusMessage call = QDBusMessage::createMethodCall(udisksService, object, interface, method);
    call.setArguments(arguments);
    return bus.call(call, QDBus::Block, timeoutMs);
}

std::optional<QVariant> udisksProperty(const QDBusConnection& bus, const QString& object, const QString& interface, const QString& name) {
    QDBusMessage reply = udisksCall(bus, object, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                                    {interface, name});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return std::nullopt;
    return qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant();
}

// udisks names block objects after the kernel's device name, other characters as _xx.
QString udisksObjectForDeviceName(const QString& deviceName) {
    QString escaped;
    for (char c : deviceName.toUtf8()) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            escaped += QLatin1Char(c);
        else
            escaped += QStringLiteral("_%1").arg(uchar(c), 2, 16, QLatin1Char('0'));
    }
    return QStringLiteral("/org/freedesktop/UDisks2/block_devices/") + escaped;
}

// The udisks block object of a device node, or "" when udisks does not know it.
QString udisksBlockObject(const QDBusConnection& bus, const QString& device) {
    QVariantMap query{{QStringLiteral("path"), device}};
    QDBusMessage reply = udisksCall(bus, QStringLiteral("/org/freedesktop/UDisks2/Manager"),
                                    QStringLiteral("org.freedesktop.UDisks2.Manager"), QStringLiteral("ResolveDevice"),
                                    {query, QVariantMap()});
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        const auto objects = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().constFirst());
        if (!objects.isEmpty()) return objects.constFirst().path();
    }
    // Older udisks lacks ResolveDevice: derive the name and check that it exists.
    QString object = udisksObjectForDeviceName(QFileInfo(resolvedPath(device)).fileName());
    if (udisksProperty(bus, object, QStringLiteral("org.freedesktop.UDisks2.Block"), QStringLiteral("Device"))) return object;
    return {};
}

// Nothing when udisks does not run or does not handle this mount, so that the
// caller unmounts by itself; otherwise udisks's outcome.
std::optional<std::expected<void, QString>> ejectWithUDisks(const QDBusConnection& bus, const MountEntry& mount) {
    if (!bus.isConnected() || !bus.interface()) return std::nullopt;
    QDBusReply<bool> running = bus.interface()->isServiceRegistered(udisksService);
    if (!running.isValid() || !running.value()) return std::nullopt;

    QString block = udisksBlockObject(bus, mount.source);
    if (block.isEmpty()) return std::nullopt;
    QDBusMessage reply = udisksCall(bus, block, QStringLiteral("org.freedesktop.UDisks2.Filesystem"), QStringLiteral("Unmount"),
                                    {QVariantMap()}, udisksUnmountTimeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        static const QStringList notHandled = {
            QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
            QStringLiteral("org.freedesktop.DBus.Error.UnknownInterface"),
            QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
            QStringLiteral("org.freedesktop.UDisks2.Error.NotMounted")};
        if (notHandled.contains(reply.errorName())) return std::nullopt;
        return std::unexpected(unmountFailure(mount.mountPoint, reply.errorMessage()));
    }

    // Unmounted: the volume is safe to remove, so a drive that will not power
    // off (another of its partitions is in use, say) is only worth a warning.
    auto drive = udisksProperty(bus, block, QStringLiteral("org.freedesktop.UDisks2.Block"), QStringLiteral("Drive"));
    QString drivePath = drive ? qvariant_cast<QDBusObjectPath>(*drive).path() : QString();
    if (drivePath.isEmpty() || drivePath == u'/') return std::expected<void, QString>();
    auto canPowerOff = udisksProperty(bus, drivePath, QStringLiteral("org.freedesktop.UDisks2.Drive"), QStringLiteral("CanPowerOff"));
    if (!canPowerOff || !canPowerOff->toBool()) return std::expected<void, QString>();
    QDBusMessage off = udisksCall(bus, drivePath, QStringLiteral("org.freedesktop.UDisks2.Drive"), QStringLiteral("PowerOff"),
                                  {QVariantMap()}, udisksUnmountTimeoutMs);
    if (off.type() == QDBusMessage::ErrorMessage)
        qWarning().noquote() << QStringLiteral("Brisle: unmounted %1 but could not power off its drive: %2")
                                    .arg(mount.mountPoint, off.errorMessage());
    return std::expected<void, QString>();
}

// --- unmounting by ourselves ----------------------------------------------

std::expected<void, QString> unmountWithFusermount(const QString& program, const QString& mountPoint) {
    QProcess process;
    process.setProgram(program);
    process.setArguments({QStringLiteral("-u"), mountPoint});
    process.setStandardInputFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForFinished(60 * 1000)) {
        process.kill();
        process.waitForFinished();
        return std::unexpected(unmountFailure(mountPoint, QStringLiteral("%1 did not finish").arg(program)));
    }
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0) return {};
    // "fusermount: failed to unmount /x: Device or resource busy": keep the reason.
    QString message = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    qsizetype colon = message.lastIndexOf(QStringLiteral(": "));
    QString reason = colon >= 0 ? message.mid(colon + 2) : message;
    if (reason.isEmpty()) reason = QStringLiteral("%1 failed").arg(program);
    return std::unexpected(unmountFailure(mountPoint, reason));
}

std::expected<void, QString> unmountDirectly(const MountEntry& mount) {
    if (isFuseType(mount.fileSystemType)) {
        for (auto name : {QStringLiteral("fusermount"), QStringLiteral("fusermount3")}) {
            QString program = QStandardPaths::findExecutable(name);
            if (!program.isEmpty()) return unmountWithFusermount(program, mount.mountPoint);
        }
    }
    // Flags 0: a busy volume fails instead of being detached.
    if (::umount2(fsys::encode(mount.mountPoint).constData(), 0) != 0)
        return std::unexpected(unmountFailure(mount.mountPoint, systemErrorText(errno)));
    return {};
}

}  // namespace

std::vector<MountEntry> parseMountInfo(const QByteArray& text) {
    std::vector<MountEntry> table;
    for (QByteArrayView line : text.split('\n')) {
        QList<QByteArrayView> fields;
        for (QByteArrayView rest = line; !rest.isEmpty();) {
            qsizetype space = rest.indexOf(' ');
            fields.append(space < 0 ? rest : rest.first(space));
            rest = space < 0 ? QByteArrayView() : rest.sliced(space + 1);
        }
        // id parent major:minor root mount-point options [optional...] - type source super-options
        qsizetype separator = fields.indexOf(QByteArrayView("-"), 6);
        if (separator < 0 || separator + 2 >= fields.size()) continue;
        MountEntry entry;
        bool idOk = false, majorOk = false, minorOk = false;
        entry.id = fields[0].toByteArray().toInt(&idOk);
        QList<QByteArray> device = fields[2].toByteArray().split(':');
        if (device.size() == 2) {
            entry.major = device[0].toUInt(&majorOk);
            entry.minor = device[1].toUInt(&minorOk);
        }
        if (!idOk || !majorOk || !minorOk || !fields[4].startsWith('/')) continue;
        entry.mountPoint = decodeField(fields[4]);
        entry.fileSystemType = decodeField(fields[separator + 1]);
        entry.source = decodeField(fields[separator + 2]);
        table.push_back(std::move(entry));
    }
    return table;
}

std::vector<MountEntry> readMountTable() { return parseMountInfo(readWholeFile("/proc/self/mountinfo")); }

MountChanges mountChanges(const std::vector<MountEntry>& before, const std::vector<MountEntry>& after) {
    // A mount is the same mount when its id, device and source are; ids alone
    // are reused by the kernel.
    auto identity = [](const MountEntry& e) -> QString {
        return QStringLiteral("%1 %2:%3 ").arg(e.id).arg(e.major).arg(e.minor) + e.fileSystemType + u' ' + e.source;
    };
    QHash<QString, QSet<QString>> beforeAt, afterAt;
    for (const MountEntry& e : before) beforeAt[e.mountPoint].insert(identity(e));
    for (const MountEntry& e : after) afterAt[e.mountPoint].insert(identity(e));

    MountChanges changes;
    QSet<QString> seen;
    for (const MountEntry& e : before) {
        if (seen.contains(e.mountPoint)) continue;
        seen.insert(e.mountPoint);
        if (!beforeAt[e.mountPoint].intersects(afterAt.value(e.mountPoint))) changes.unmounted.push_back(e.mountPoint);
    }
    seen.clear();
    for (const MountEntry& e : after) {
        if (seen.contains(e.mountPoint)) continue;
        seen.insert(e.mountPoint);
        if (!afterAt[e.mountPoint].intersects(beforeAt.value(e.mountPoint))) changes.mounted.push_back(e.mountPoint);
    }
    return changes;
}

std::optional<QString> pathInVolumesFolder(const QString& mountPoint) {
    const QString configured = Locations::volumesFolder();
    const QString real = resolvedPath(withoutSlash(configured));
    if (!isAtOrUnder(mountPoint, real)) return std::nullopt;
    if (mountPoint == real) return withoutSlash(configured);
    QString rest = real == u'/' ? mountPoint.mid(1) : mountPoint.mid(real.size() + 1);
    return withoutSlash(configured) + u'/' + rest;
}

std::optional<MountEntry> mountHolding(const QString& path, const std::vector<MountEntry>& table) {
    const QString resolved = resolvedPath(path);
    const MountEntry* best = nullptr;
    for (const MountEntry& e : table)
        if (isAtOrUnder(resolved, e.mountPoint) && (!best || e.mountPoint.size() >= best->mountPoint.size())) best = &e;
    if (!best) return std::nullopt;
    return *best;
}

std::optional<MountEntry> mountHolding(const QString& path) { return mountHolding(path, readMountTable()); }

bool isMountPoint(const QString& folder) {
    QString canonical = QFileInfo(folder).canonicalFilePath();
    if (canonical.isEmpty()) return false;
    auto mount = mountHolding(canonical);
    return mount && mount->mountPoint == canonical;
}

QString fileSystemTypeOf(const QString& path) {
    auto mount = mountHolding(path);
    return mount ? mount->fileSystemType : QString();
}

bool isFatFamily(const MountEntry& mount) {
    if (isFatKind(kindOf(mount.fileSystemType))) return true;
    if (mount.fileSystemType != u"fuseblk" && mount.fileSystemType != u"fuse") return false;
    // A generic FUSE block mount (exfat-fuse shows so): the driver may name
    // itself as the source, otherwise the device tells.
    if (isFatKind(mount.source)) return true;
    return mount.major != 0 && isFatKind(blockDeviceFileSystemType(mount.major, mount.minor));
}

bool isFatFamily(const QString& path) {
    auto mount = mountHolding(path);
    return mount && isFatFamily(*mount);
}

VolumeKind volumeKind(const MountEntry& mount, std::optional<VolumeKind> described) {
    QString kind = kindOf(mount.fileSystemType);
    if (kind == u"iso9660" || kind == u"udf") return VolumeKind::Optical;
    if (mount.major != 0 && isMediaPlayer(mount.major, mount.minor)) return VolumeKind::Phone;
    if (described) return *described;
    if (isFatFamily(mount) && (mount.major == 0 || isRemovableDevice(mount.major, mount.minor))) return VolumeKind::MemoryCard;
    return VolumeKind::RemovableDrive;
}

QString iconNameFor(VolumeKind kind) {
    switch (kind) {
    case VolumeKind::Optical: return QStringLiteral("media-optical");
    case VolumeKind::MemoryCard: return QStringLiteral("media-flash");
    case VolumeKind::Phone: return QStringLiteral("phone");
    case VolumeKind::RemovableDrive: break;
    }
    return QStringLiteral("drive-removable-media");
}

std::optional<VolumeKind> kindFromDrive(const DriveDescription& drive) {
    if (drive.optical || drive.media.startsWith(u"optical")) return VolumeKind::Optical;
    auto card = [](const QString& media) { return media.startsWith(u"flash"); };
    if (card(drive.media) || std::any_of(drive.mediaCompatibility.begin(), drive.mediaCompatibility.end(), card) ||
        drive.connectionBus == u"sdio")
        return VolumeKind::MemoryCard;
    return std::nullopt;
}

std::vector<MountedVolume> mountedVolumes() {
    std::vector<MountedVolume> volumes;
    const QString folder = withoutSlash(Locations::volumesFolder());
    const std::vector<MountEntry> table = readMountTable();
    std::optional<QHash<QString, VolumeKind>> described;  // asked once, when a volume is found
    for (const MountEntry& e : table) {
        auto shown = pathInVolumesFolder(e.mountPoint);
        if (!shown || *shown == folder || isNetworkType(e.fileSystemType)) continue;
        QString name = shown->mid(folder == u'/' ? 1 : folder.size() + 1);
        if (name.contains(u'/')) continue;  // something mounted inside a volume
        if (!described) described = udisksKinds();
        auto known = described->constFind(e.source);
        VolumeKind kind = volumeKind(e, known == described->constEnd() ? std::nullopt : std::optional(*known));
        MountedVolume volume{*shown, name, e.fileSystemType, e.source, kind, iconNameFor(kind), isFatFamily(e)};
        // Of mounts stacked on one point the last (topmost) wins.
        auto same = std::find_if(volumes.begin(), volumes.end(), [&](const MountedVolume& v) { return v.mountPoint == *shown; });
        if (same != volumes.end())
            *same = std::move(volume);
        else
            volumes.push_back(std::move(volume));
    }
    std::sort(volumes.begin(), volumes.end(), [](const MountedVolume& a, const MountedVolume& b) { return a.name < b.name; });
    return volumes;
}

std::optional<VolumeSizes> volumeSizes(const QString& path) {
    struct statvfs st;
    if (::statvfs(fsys::encode(path).constData(), &st) != 0) return std::nullopt;
    std::uint64_t unit = st.f_frsize ? st.f_frsize : st.f_bsize;
    VolumeSizes sizes{std::uint64_t(st.f_blocks) * unit, std::uint64_t(st.f_bavail) * unit};
    if (sizes.totalBytes == 0) return std::nullopt;
    return sizes;
}

std::expected<void, QString> unmountAndEject(const QString& path) {
    return unmountAndEject(path, QString());
}

std::expected<void, QString> unmountAndEject(const QString& path, const QString& busAddress) {
    const std::vector<MountEntry> table = readMountTable();
    if (table.empty()) return std::unexpected(QStringLiteral("Could not read the mount table"));
    auto mount = mountHolding(path, table);
    auto shown = mount ? pathInVolumesFolder(mount->mountPoint) : std::nullopt;
    if (!shown || *shown == withoutSlash(Locations::volumesFolder()))
        return std::unexpected(
            QStringLiteral("%1 is not on a volume mounted in %2").arg(path, Locations::volumesFolder()));
    // udisks knows block devices only.
    if (mount->source.startsWith(u"/dev/")) {
        if (busAddress.isEmpty()) {
            if (auto outcome = ejectWithUDisks(QDBusConnection::systemBus(), *mount)) return *outcome;
        } else {
            const QString name = QStringLiteral("brisle-udisks ") + busAddress;
            auto outcome = ejectWithUDisks(QDBusConnection::connectToBus(busAddress, name), *mount);
            QDBusConnection::disconnectFromBus(name);
            if (outcome) return *outcome;
        }
    }
    return unmountDirectly(*mount);
}

}  // namespace Volumes
