#pragma once

// Follows the mount table and reports each mount point that appears or
// disappears at or under the volumes folder, on the thread it lives on (the
// main thread).

#include "platform/Volumes.h"

#include <QObject>
#include <QString>

#include <vector>

class QSocketNotifier;

class VolumeMonitor : public QObject {
    Q_OBJECT
public:
    explicit VolumeMonitor(QObject* parent = nullptr);
    ~VolumeMonitor() override;

    // False when the mount table cannot be watched; then nothing is reported.
    bool isWatching() const { return fd_ >= 0; }

    // Re-reads the mount table and reports what changed since the last reading.
    // Runs on each change notice; callable directly to catch up at once.
    void refresh();

    // The volumes mounted in the volumes folder now.
    static std::vector<Volumes::MountedVolume> mountedVolumes() { return Volumes::mountedVolumes(); }

Q_SIGNALS:
    // The path is the volumes folder as configured followed by the volume name.
    void mounted(const QString& mountPoint);
    void unmounted(const QString& mountPoint);

private:
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;  // a child, so that it follows the monitor's thread
    std::vector<Volumes::MountEntry> table_;
};
