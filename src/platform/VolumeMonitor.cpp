#include "VolumeMonitor.h"

#include "platform/FileSystem.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The kernel marks this file with POLLPRI|POLLERR each time the mount table
// changes; reading it again from the start gives the new table.
constexpr char mountInfoPath[] = "/proc/self/mountinfo";

QByteArray readFromStart(int fd) {
    if (::lseek(fd, 0, SEEK_SET) < 0) return {};
    return fsys::readAll(fd);
}

}  // namespace

VolumeMonitor::VolumeMonitor(QObject* parent) : QObject(parent) {
    fd_ = ::open(mountInfoPath, O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return;
    table_ = Volumes::parseMountInfo(readFromStart(fd_));
    // An exception notifier waits for POLLPRI, which is how the change is signalled.
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Exception, this);
    connect(notifier_, &QSocketNotifier::activated, this, &VolumeMonitor::refresh);
}

VolumeMonitor::~VolumeMonitor() {
    // The notifier must go before the descriptor it watches.
    delete notifier_;
    if (fd_ >= 0) ::close(fd_);
}

void VolumeMonitor::refresh() {
    if (fd_ < 0) return;
    std::vector<Volumes::MountEntry> table = Volumes::parseMountInfo(readFromStart(fd_));
    // A failed read is not an empty table: keep the old one rather than report every volume gone.
    if (table.empty()) return;
    Volumes::MountChanges changes = Volumes::mountChanges(table_, table);
    table_ = std::move(table);
    // Filter now, not when reading, so that the volumes folder as set now applies.
    for (const QString& point : changes.unmounted)
        if (auto shown = Volumes::pathInVolumesFolder(point)) Q_EMIT unmounted(*shown);
    for (const QString& point : changes.mounted)
        if (auto shown = Volumes::pathInVolumesFolder(point)) Q_EMIT mounted(*shown);
}
