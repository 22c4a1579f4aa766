#pragma once

// FWFNSubscribeFileWatcher watches folders: inotify on each folder, for files
// created, deleted, written or moved in or out. It reports every change as
// "FWKQueueFileWrittenToNotification" for the folder's path; the changes that
// one read returns make one notification per folder.
//
// The delegate is called directly (no proxy) on the thread that reads the
// events: the thread that made the watcher, from its event loop through a
// QSocketNotifier. So make, use and destroy the watcher on a thread that runs
// a Qt event loop (normally the main thread). A delegate without
// FWFileWatcherDelegate::watcher() gets nothing.

#include "platform/FWFileWatcher.h"

#include <QString>

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

class QSocketNotifier;

class FWFNSubscribeFileWatcher final : public FWFileWatcher {
public:
    static constexpr int folderChangedMessage = 1;

    FWFNSubscribeFileWatcher();
    ~FWFNSubscribeFileWatcher() override;
    FWFNSubscribeFileWatcher(const FWFNSubscribeFileWatcher&) = delete;
    FWFNSubscribeFileWatcher& operator=(const FWFNSubscribeFileWatcher&) = delete;

    // A path that is not a folder, or cannot be watched, is ignored.
    void addPath(const QString& path) override;
    void removePath(const QString& path) override;
    FWWatcherDelegate* delegate() const override;
    void setDelegate(FWWatcherDelegate* delegate) override;

    // What the subscription callback calls: for message 1 (a folder changed),
    // tells the delegate about the first path subscribed with that handle.
    void sendDelegateMessage(int message, int subscription);

private:
    void readEvents();

    int fd_;  // the inotify instance; -1 if there is none (then nothing is watched)
    std::unique_ptr<QSocketNotifier> notifier_;
    mutable std::mutex mutex_;  // guards the two below
    // Path and watch descriptor (the subscription handle), in the order added;
    // the descriptor is -1 once the kernel ended the watch.
    std::vector<std::pair<QString, int>> subscriptions_;
    FWWatcherDelegate* delegate_ = nullptr;  // not owned
};
