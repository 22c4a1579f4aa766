#include "platform/FWKQueue.h"

#include "platform/FWWorkspaceNotificationCenter.h"
#include "platform/Log.h"

#include <QFile>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Everything the mapping needs, whatever the path's mask: the remembered file
// state must follow every change.
constexpr std::uint32_t inotifyMask = IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
// After these the kernel has ended (or is ending) the watch.
constexpr std::uint32_t watchEnds = IN_IGNORED | IN_DELETE_SELF | IN_UNMOUNT;
constexpr int pollTimeoutMs = 5000;  // so that a stop request takes effect within 5 seconds

std::atomic<int> watcherThreads{0};

struct Kind {
    unsigned flag;
    const QString* name;
};
// The order in which the notifications of one event are delivered.
const std::array<Kind, 7> deliveryOrder{{
    {FWKQueue::Rename, &FWKQueueFileRenamedNotification},
    {FWKQueue::Write, &FWKQueueFileWrittenToNotification},
    {FWKQueue::Delete, &FWKQueueFileDeletedNotification},
    {FWKQueue::Attrib, &FWKQueueFileAttributesChangedNotification},
    {FWKQueue::Extend, &FWKQueueFileSizeIncreasedNotification},
    {FWKQueue::Link, &FWKQueueFileLinkCountChangedNotification},
    {FWKQueue::Revoke, &FWKQueueFileAccessRevocationNotification},
}};

// Removes a watch; a watch the kernel has already ended (EINVAL: its file is
// gone and IN_IGNORED not yet read) counts as removed. Returns the error number, or 0.
int removeWatch(int queueFD, int wd) {
    if (::inotify_rm_watch(queueFD, wd) == 0 || errno == EINVAL) return 0;
    return errno;
}

QString quoted(const QString& text) {
    bool plain = !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) {
        return c.unicode() < 128 && (c.isLetterOrNumber() || c == u'_');
    });
    if (plain) return text;
    QString out = QStringLiteral("\"");
    for (QChar c : text) {
        if (c == u'"' || c == u'\\')
            out += u'\\';
        else if (c == u'\n') {
            out += QStringLiteral("\\n");
            continue;
        }
        out += c;
    }
    return out + u'"';
}

QString describeList(const QStringList& items) {
    QString out = QStringLiteral("(\n");
    for (qsizetype i = 0; i < items.size(); ++i)
        out += QStringLiteral("    ") + quoted(items[i]) + (i + 1 < items.size() ? QStringLiteral(",\n") : QStringLiteral("\n"));
    return out + u')';
}

}  // namespace

FWKQueue::FWKQueue(int queueFD, int wakeFD) : queueFD_(queueFD), wakeFD_(wakeFD) {}

std::shared_ptr<FWKQueue> FWKQueue::sharedQueue() {
    static std::mutex classLock;
    // Never released: the shared queue lives for the whole process.
    static std::shared_ptr<FWKQueue>* shared = nullptr;
    std::lock_guard lock(classLock);
    if (shared == nullptr) {
        std::shared_ptr<FWKQueue> made = create();
        if (!made) return nullptr;
        shared = new std::shared_ptr<FWKQueue>(std::move(made));
    }
    return *shared;
}

std::shared_ptr<FWKQueue> FWKQueue::create() {
    int queueFD = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (queueFD < 0) return nullptr;
    // Without it a stop still comes, after at most one poll timeout.
    int wakeFD = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::shared_ptr<FWKQueue> queue(new FWKQueue(queueFD, wakeFD));

    ++watcherThreads;
    try {
        // The thread's own reference keeps the queue alive while it runs.
        std::thread([self = queue]() mutable {
            ::pthread_setname_np(::pthread_self(), "FWKQueue");
            self->watcherThread();
            self.reset();  // normally the last reference: the queue ends here
            --watcherThreads;
        }).detach();
    } catch (const std::system_error&) {
        --watcherThreads;
        return nullptr;
    }
    // The clients' references share one count; when it runs out, the thread is
    // told to stop and the clients' hold on the queue goes.
    return std::shared_ptr<FWKQueue>(queue.get(), [hold = queue](FWKQueue* q) mutable {
        q->requestStop();
        hold.reset();
    });
}

FWKQueue::~FWKQueue() {
    // The watcher thread has left its loop: it held a reference until then.
    delegate_ = nullptr;
    watcherDelegate_ = nullptr;
    kqueueDelegate_ = nullptr;
    delegateProxy_.reset();
    keepThreadRunning_ = false;
    for (const auto& [wd, state] : watches_)
        if (int error = removeWatch(queueFD_, wd))
            logMessage(QStringLiteral("dealloc: Couldn't close file descriptor (%1)").arg(error));
    entries_.clear();
    watches_.clear();
    if (::close(queueFD_) != 0) logMessage(QStringLiteral("release: Couldn't close main kqueue (%1)").arg(errno));
    if (wakeFD_ >= 0) ::close(wakeFD_);
}

int FWKQueue::runningWatcherThreads() { return watcherThreads.load(); }

void FWKQueue::requestStop() {
    {
        std::lock_guard lock(mutex_);
        keepThreadRunning_ = false;
    }
    if (wakeFD_ >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(wakeFD_, &one, sizeof one);
    }
}

void FWKQueue::addPath(const QString& path) { addPathToQueueNotifyingAbout(path, defaultMask); }

void FWKQueue::addPathToQueue(const QString& path) { addPathToQueueNotifyingAbout(path, defaultMask); }

void FWKQueue::addPathToQueue(const QString& path, unsigned mask) { addPathToQueueNotifyingAbout(path, mask); }

void FWKQueue::addPathToQueueNotifyingAbout(const QString& path, unsigned mask) {
    const QByteArray encoded = QFile::encodeName(path);
    std::lock_guard lock(mutex_);
    // Under the lock, so that the watcher thread never sees a watch it does not know.
    int wd = ::inotify_add_watch(queueFD_, encoded.constData(), inotifyMask);
    if (wd < 0) return;
    // The same inode again (the same path, or another link to it) shares the watch.
    if (auto [it, isNew] = watches_.try_emplace(wd); isNew) it->second = stateAt(path).value_or(FileState());
    entries_.push_back({path, wd, mask});
}

void FWKQueue::removePath(const QString& path) { removePathFromQueue(path); }

void FWKQueue::removePathFromQueue(const QString& path) {
    int removed = -1;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.path == path; });
        if (it == entries_.end()) return;
        int wd = it->wd;
        entries_.erase(it);
        // A watch shared with another entry stays for that one.
        if (wd >= 0 && std::none_of(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.wd == wd; })) {
            watches_.erase(wd);
            removed = wd;
        }
    }
    if (removed >= 0)
        if (int error = removeWatch(queueFD_, removed))
            logMessage(QStringLiteral("removePathFromQueue: Couldn't close file descriptor (%1)").arg(error));
}

void FWKQueue::removeAllPathsFromQueue() {
    std::lock_guard lock(mutex_);
    for (const auto& [wd, state] : watches_) removeWatch(queueFD_, wd);
    entries_.clear();
    watches_.clear();
}

FWWatcherDelegate* FWKQueue::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

void FWKQueue::setDelegate(FWWatcherDelegate* delegate) {
    std::shared_ptr<FWMainThreadProxy<FWWatcherDelegate>> old;  // released after the lock
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
    // Which operation the delegate has is settled here, so that the watcher
    // thread never has to look into the delegate itself.
    watcherDelegate_ = dynamic_cast<FWFileWatcherDelegate*>(delegate);
    kqueueDelegate_ = dynamic_cast<FWKQueueDelegate*>(delegate);
    old = std::exchange(delegateProxy_, delegate ? mainThreadProxy(delegate) : nullptr);
}

QStringList FWKQueue::watchedPaths() const {
    std::lock_guard lock(mutex_);
    QStringList paths;
    for (const Entry& e : entries_) paths.append(e.path);
    return paths;
}

QString FWKQueue::description() const {
    return QStringLiteral("%1 { watchedPaths = %2, alwaysNotify = %3 }")
        .arg(QStringLiteral("FWKQueue"), describeList(watchedPaths()),
             alwaysNotify() ? QStringLiteral("YES") : QStringLiteral("NO"));
}

bool FWKQueue::isCurrentDelegate(const void* proxy) const {
    std::lock_guard lock(mutex_);
    return keepThreadRunning_ && delegateProxy_.get() == proxy;
}

void FWKQueue::postNotification(const QString& name, const QString& path) {
    std::shared_ptr<FWMainThreadProxy<FWWatcherDelegate>> proxy;
    FWFileWatcherDelegate* watcherDelegate = nullptr;
    FWKQueueDelegate* kqueueDelegate = nullptr;
    {
        std::lock_guard lock(mutex_);
        proxy = delegateProxy_;
        watcherDelegate = watcherDelegate_;
        kqueueDelegate = kqueueDelegate_;
    }
    if (proxy) {
        if (watcherDelegate == nullptr && kqueueDelegate == nullptr)
            throw std::runtime_error("the delegate has neither watcher:receivedNotification:forPath: "
                                     "nor kqueue:receivedNotification:forFile:");
        proxy->call([&](FWWatcherDelegate*) {
            // On the main thread, where the delegate is set and cleared.
            if (!isCurrentDelegate(proxy.get())) return;
            if (watcherDelegate != nullptr)
                watcherDelegate->watcher(this, name, path);
            else
                kqueueDelegate->kqueue(this, name, path);
        });
    }
    if (!proxy || alwaysNotify_.load()) FWWorkspaceNotificationCenter::instance()->postNotification(name, path);
}

void FWKQueue::watcherThread() {
    alignas(struct inotify_event) std::array<char, 64 * 1024> buffer;
    while (keepThreadRunning_.load()) {
        bool kernelFailed = false;
        try {
            pollfd fds[2] = {{queueFD_, POLLIN, 0}, {wakeFD_, POLLIN, 0}};
            int ready = ::poll(fds, wakeFD_ >= 0 ? 2 : 1, pollTimeoutMs);
            if (ready < 0 && errno != EINTR) {
                kernelFailed = true;
                throw std::system_error(errno, std::generic_category(), "poll");
            }
            if (ready <= 0) continue;
            if (fds[0].revents & (POLLERR | POLLNVAL)) {
                kernelFailed = true;
                throw std::runtime_error("the inotify descriptor failed");
            }
            if ((fds[0].revents & POLLIN) == 0) continue;
            ssize_t length = ::read(queueFD_, buffer.data(), buffer.size());
            if (length < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                kernelFailed = true;
                throw std::system_error(errno, std::generic_category(), "read");
            }
            handleEvents(buffer.data(), std::size_t(length));
        } catch (const std::exception& e) {
            logMessage(QStringLiteral("Error in FWKQueue watcherThread: %1").arg(QString::fromLocal8Bit(e.what())));
        } catch (...) {
            logMessage(QStringLiteral("Error in FWKQueue watcherThread: unknown exception"));
        }
        // A failing kernel call would fail again at once: do not spin on it.
        if (kernelFailed) std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

void FWKQueue::handleEvents(const char* buffer, std::size_t length) {
    // The events of one read, gathered per watch in the order of their first appearance.
    std::vector<std::pair<int, std::uint32_t>> gathered;
    bool overflow = false;
    for (std::size_t offset = 0; offset + sizeof(inotify_event) <= length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        offset += sizeof(inotify_event) + event->len;
        if (event->mask & IN_Q_OVERFLOW) {
            overflow = true;
            continue;
        }
        auto it = std::find_if(gathered.begin(), gathered.end(), [&](const auto& g) { return g.first == event->wd; });
        if (it == gathered.end())
            gathered.emplace_back(event->wd, event->mask);
        else
            it->second |= event->mask;
    }

    std::vector<std::pair<QString, unsigned>> deliveries;
    {
        std::lock_guard lock(mutex_);
        if (overflow)  // events were lost: every file may have changed
            for (const auto& [wd, state] : watches_)
                if (std::none_of(gathered.begin(), gathered.end(), [&](const auto& g) { return g.first == wd; }))
                    gathered.emplace_back(wd, IN_MODIFY);
        for (const auto& [wd, events] : gathered) {
            auto watch = watches_.find(wd);
            if (watch == watches_.end()) continue;  // removed by a client meanwhile
            auto first = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.wd == wd; });
            unsigned flags = first == entries_.end() ? 0 : translate(events, first->path, watch->second);
            for (Entry& e : entries_) {
                if (e.wd != wd) continue;
                if (flags & e.mask) deliveries.emplace_back(e.path, flags & e.mask);
                if (events & watchEnds) e.wd = -1;
            }
            if (events & watchEnds) watches_.erase(watch);
        }
    }
    if (overflow)
        logMessage(QStringLiteral("Error in FWKQueue watcherThread: %1")
                       .arg(QStringLiteral("the inotify queue overflowed; every watched file is taken as written to")));
    for (const auto& [path, flags] : deliveries)
        for (const Kind& kind : deliveryOrder)
            if (flags & kind.flag) postNotification(*kind.name, path);
}

std::optional<FWKQueue::FileState> FWKQueue::stateAt(const QString& path) {
    const QByteArray encoded = QFile::encodeName(path);
    struct stat st {};
    if (::stat(encoded.constData(), &st) != 0) return std::nullopt;
    FileState state{st.st_dev, st.st_ino, st.st_nlink, st.st_size,
                    std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                    st.st_mode, st.st_uid, st.st_gid, {}};
    alignas(file_handle) char storage[sizeof(file_handle) + MAX_HANDLE_SZ];
    auto* handle = reinterpret_cast<file_handle*>(storage);
    handle->handle_bytes = MAX_HANDLE_SZ;
    int mountId = 0;
    if (::name_to_handle_at(AT_FDCWD, encoded.constData(), handle, &mountId, AT_SYMLINK_FOLLOW) == 0)
        state.handle = QByteArray::number(handle->handle_type) + ':' +
                       QByteArray(reinterpret_cast<const char*>(handle->f_handle), int(handle->handle_bytes));
    return state;
}

unsigned FWKQueue::translate(std::uint32_t events, const QString& path, FileState& known) {
    unsigned flags = 0;
    if (events & IN_MOVE_SELF) flags |= Rename;
    if (events & IN_MODIFY) flags |= Write;
    if (events & IN_DELETE_SELF) flags |= Delete;
    if (events & IN_UNMOUNT) flags |= Revoke;
    if ((events & (IN_MODIFY | IN_ATTRIB)) == 0) return flags;

    // A deleted inode cannot be looked at; whatever the path names now is another file.
    std::optional<FileState> now = (events & IN_DELETE_SELF) ? std::nullopt : stateAt(path);
    bool same = now && now->sameFile(known);

    if ((events & IN_MODIFY) && same && now->size > known.size) flags |= Extend;
    if (events & IN_ATTRIB) {
        if (same) {
            bool linkChanged = now->nlink != known.nlink;
            // A write changes the modification time too; only an IN_ATTRIB alone says the time was set.
            bool attributesChanged = now->mode != known.mode || now->uid != known.uid || now->gid != known.gid ||
                                     ((events & IN_MODIFY) == 0 && now->mtimeNs != known.mtimeNs);
            if (linkChanged) flags |= Link;
            // Nothing visible changed: extended attributes, or times set to what they were.
            if (attributesChanged || !linkChanged) flags |= Attrib;
        } else if ((events & IN_MOVE_SELF) && (events & IN_DELETE_SELF) == 0) {
            flags |= Attrib;  // moved away, out of sight; a rename keeps the link count
        } else {
            flags |= Link;  // unlinked from its path (with IN_DELETE_SELF: the last link)
        }
    }
    if (same) known = *now;
    return flags;
}
