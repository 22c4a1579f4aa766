#pragma once

// The interface shared by the two file watchers (FWKQueue for single files,
// FWFNSubscribeFileWatcher for folders), so that a client can use either, and
// the interfaces of their delegates.

#include <QString>

class FWFileWatcher;

// The seven notification names, one per kind of file event.
inline const QString FWKQueueFileRenamedNotification = QStringLiteral("FWKQueueFileRenamedNotification");
inline const QString FWKQueueFileWrittenToNotification = QStringLiteral("FWKQueueFileWrittenToNotification");
inline const QString FWKQueueFileDeletedNotification = QStringLiteral("FWKQueueFileDeletedNotification");
inline const QString FWKQueueFileAttributesChangedNotification =
    QStringLiteral("FWKQueueFileAttributesChangedNotification");
inline const QString FWKQueueFileSizeIncreasedNotification = QStringLiteral("FWKQueueFileSizeIncreasedNotification");
inline const QString FWKQueueFileLinkCountChangedNotification =
    QStringLiteral("FWKQueueFileLinkCountChangedNotification");
inline const QString FWKQueueFileAccessRevocationNotification =
    QStringLiteral("FWKQueueFileAccessRevocationNotification");

// Anything that can be set as a watcher's delegate. Which call it gets depends
// on the interfaces it implements, found with dynamic_cast when it is set:
// FWFileWatcherDelegate::watcher() when it has that; else, from an FWKQueue
// only, FWKQueueDelegate::kqueue() (see FWKQueue.h). A delegate that has
// neither gets nothing (FWKQueue logs the missing operation).
class FWWatcherDelegate {
public:
    virtual ~FWWatcherDelegate() = default;
};

class FWFileWatcherDelegate : public virtual FWWatcherDelegate {
public:
    virtual void watcher(FWFileWatcher* watcher, const QString& notification, const QString& path) = 0;
};

class FWFileWatcher {
public:
    virtual ~FWFileWatcher() = default;

    virtual void addPath(const QString& path) = 0;
    virtual void removePath(const QString& path) = 0;
    // Not owned: the delegate must outlive its time as delegate.
    virtual FWWatcherDelegate* delegate() const = 0;
    virtual void setDelegate(FWWatcherDelegate* delegate) = 0;
};
