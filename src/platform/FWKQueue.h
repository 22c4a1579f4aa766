#pragma once

// FWKQueue watches single files on a thread of its own and hands every event
// to its delegate on the main thread, the watcher thread waiting until each
// call has returned (FWMainThreadProxy). On Linux the kernel queue is inotify;
// the application follows the library file with the shared queue.
//
// How inotify maps onto kqueue's seven file-node flags. A watch follows the
// inode the path named when it was added, as a kqueue descriptor would. Sizes,
// link counts, modes, owners and modification times are remembered per inode
// and compared with stat() of the path, which says something only while the
// path still names that inode ("same" below: same device, inode number and,
// where the file system gives one, file handle, which tells a new file that
// reuses the number from the old one) and the inode was not deleted.
//
//   inotify event(s) of one read        flag (value)         notification
//   IN_MOVE_SELF                        rename (0x20)        FWKQueueFileRenamedNotification
//   IN_MODIFY                           write (0x2)          FWKQueueFileWrittenToNotification
//   IN_DELETE_SELF                      delete (0x1)         FWKQueueFileDeletedNotification
//   IN_ATTRIB, same, and mode, owner or attribute (0x8)      FWKQueueFileAttributesChangedNotification
//     modification time changed, or
//     nothing visible changed (xattrs);
//     IN_ATTRIB with IN_MOVE_SELF, not same
//   IN_MODIFY, same, and the size grew  extend (0x4)         FWKQueueFileSizeIncreasedNotification
//   IN_ATTRIB, same, st_nlink changed;  link count (0x10)    FWKQueueFileLinkCountChangedNotification
//     IN_ATTRIB with IN_DELETE_SELF
//     (the final unlink); IN_ATTRIB,
//     not same, not moved (unlinked)
//   IN_UNMOUNT                          revoke (0x40)        FWKQueueFileAccessRevocationNotification
//   IN_IGNORED                          -                    none: the kernel ended the watch
//   IN_Q_OVERFLOW                       write for every live watch, and the overflow is logged
//   IN_ACCESS, IN_OPEN, IN_CLOSE_*      not asked for: kqueue has no such flags
//
// kqueue hands over the flags gathered since the last delivery as one event;
// likewise the events that one read() returns are gathered per watch into one
// set of flags. The flags are then filtered by each path's mask, and their
// notifications delivered in the fixed order rename, write, delete, attribute
// change, extend, link-count change, revoke.
//
// Where inotify differs from kqueue: unlinking one of several hard links is a
// link-count change, not a delete (delete means the inode is gone); a file
// unlinked while it is still open elsewhere is deleted when its last
// descriptor closes. After delete or unmount the watch has ended: the path
// stays in watchedPaths (as kqueue's dead descriptor would) and a new file at
// that path is not reported until the path is removed and added again.
//
// Lifetime. create() and sharedQueue() hand out client references. The watcher
// thread holds a reference of its own. When the last client reference goes,
// the thread is told to stop (woken at once, at the latest after its
// 5-second wait) and then drops its reference, which destroys the queue on the
// watcher thread. From then on nothing more reaches the delegate. The shared
// queue is never released. Closing a watched descriptor is inotify_rm_watch
// (its failures logged as "removePathFromQueue:/dealloc: Couldn't close file
// descriptor (%d)"; a watch the kernel already ended is no failure); closing
// the kernel queue is closing the inotify descriptor, when the queue is
// destroyed right after the thread's loop ("release: Couldn't close main
// kqueue (%d)").
//
// Delegate calls are checked on the main thread just before they run: a call
// for a delegate that was replaced or cleared (or for a queue whose clients
// are gone) while it waited is dropped. So setDelegate(nullptr) made on the
// main thread guarantees that the old delegate gets no further call.

#include "platform/FWFileWatcher.h"
#include "platform/FWMainThreadProxy.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

class FWKQueue;

// For a delegate without FWFileWatcherDelegate::watcher(): FWKQueue calls this instead.
class FWKQueueDelegate : public virtual FWWatcherDelegate {
public:
    virtual void kqueue(FWKQueue* queue, const QString& notification, const QString& path) = 0;
};

class FWKQueue final : public FWFileWatcher {
public:
    // kqueue's file-node flags; masks are made of these.
    enum : unsigned {
        Delete = 0x1,
        Write = 0x2,
        Extend = 0x4,
        Attrib = 0x8,
        Link = 0x10,
        Rename = 0x20,
        Revoke = 0x40,
    };
    static constexpr unsigned defaultMask = Delete | Write | Attrib | Rename;  // 0x2B

    // The one shared queue, made on first use from any thread; nullptr (and
    // made again on the next call) when inotify is not available.
    static std::shared_ptr<FWKQueue> sharedQueue();
    // A new queue with its watcher thread running; nullptr without inotify.
    static std::shared_ptr<FWKQueue> create();
    ~FWKQueue() override;
    FWKQueue(const FWKQueue&) = delete;
    FWKQueue& operator=(const FWKQueue&) = delete;

    void addPath(const QString& path) override;
    void addPathToQueue(const QString& path);  // with the default mask
    void addPathToQueue(const QString& path, unsigned mask);
    // Watches the inode the path names now. A path that cannot be watched is
    // ignored. A path added twice is watched and reported twice.
    void addPathToQueueNotifyingAbout(const QString& path, unsigned mask);
    void removePath(const QString& path) override;
    // Stops watching the first entry equal to the path; a path that is not
    // watched changes nothing.
    void removePathFromQueue(const QString& path);
    void removeAllPathsFromQueue();

    // Delivers one notification: to the delegate on the main thread, waiting
    // for it; and, when there is no delegate or alwaysNotify is true, on the
    // FWWorkspaceNotificationCenter afterwards. Throws std::runtime_error for
    // a delegate that has neither watcher() nor kqueue(), and passes on what
    // the delegate throws (the watcher thread logs it and goes on).
    void postNotification(const QString& name, const QString& path);

    FWWatcherDelegate* delegate() const override;
    void setDelegate(FWWatcherDelegate* delegate) override;
    bool alwaysNotify() const { return alwaysNotify_.load(); }
    void setAlwaysNotify(bool alwaysNotify) { alwaysNotify_.store(alwaysNotify); }
    int queueFD() const { return queueFD_; }
    QStringList watchedPaths() const;
    // "FWKQueue { watchedPaths = (\n    \"/a/b\"\n), alwaysNotify = NO }": the
    // paths as a Foundation array describes them ("(\n)" for none); a path is
    // quoted unless it is only ASCII letters, digits and "_".
    QString description() const;

    // How many watcher threads of any queue are running (for diagnostics and tests).
    static int runningWatcherThreads();

private:
    struct Entry {
        QString path;
        int wd;  // the inotify watch; -1 once the kernel has ended it
        unsigned mask;
    };
    // What stat() said of a watched inode when last looked at.
    struct FileState {
        std::uint64_t dev = 0, ino = 0, nlink = 0;
        std::int64_t size = 0, mtimeNs = 0;
        std::uint32_t mode = 0, uid = 0, gid = 0;
        // The kernel's handle of the file (inode and generation) where the file
        // system gives one: a new file may reuse a deleted one's inode number.
        QByteArray handle;
        bool sameFile(const FileState& other) const {
            return dev == other.dev && ino == other.ino && handle == other.handle;
        }
    };

    FWKQueue(int queueFD, int wakeFD);
    void watcherThread();
    void requestStop();
    void handleEvents(const char* buffer, std::size_t length);
    bool isCurrentDelegate(const void* proxy) const;
    static std::optional<FileState> stateAt(const QString& path);
    static unsigned translate(std::uint32_t events, const QString& path, FileState& known);

    const int queueFD_;  // the inotify instance
    const int wakeFD_;   // an eventfd that ends the watcher thread's wait at once; -1 if none
    mutable std::mutex mutex_;  // guards everything below but the atomics
    std::vector<Entry> entries_;  // watchedPaths and their watches, in the order added
    std::unordered_map<int, FileState> watches_;  // live watch descriptors
    FWWatcherDelegate* delegate_ = nullptr;       // not owned
    FWFileWatcherDelegate* watcherDelegate_ = nullptr;
    FWKQueueDelegate* kqueueDelegate_ = nullptr;
    std::shared_ptr<FWMainThreadProxy<FWWatcherDelegate>> delegateProxy_;
    std::atomic<bool> alwaysNotify_{false};
    std::atomic<bool> keepThreadRunning_{true};  // read once per pass, set under the lock
};
