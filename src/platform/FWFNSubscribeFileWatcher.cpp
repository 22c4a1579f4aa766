#include "platform/FWFNSubscribeFileWatcher.h"

#include <QFile>
#include <QSocketNotifier>

#include <algorithm>
#include <array>
#include <cerrno>

#include <sys/inotify.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t folderEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_MOVED_FROM | IN_MOVED_TO;

}  // namespace

FWFNSubscribeFileWatcher::FWFNSubscribeFileWatcher() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ < 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { readEvents(); });
}

FWFNSubscribeFileWatcher::~FWFNSubscribeFileWatcher() {
    notifier_.reset();
    // Closing the instance cancels every subscription.
    if (fd_ >= 0) ::close(fd_);
}

void FWFNSubscribeFileWatcher::addPath(const QString& path) {
    if (fd_ < 0) return;
    int wd = ::inotify_add_watch(fd_, QFile::encodeName(path).constData(), folderEvents | IN_ONLYDIR);
    if (wd < 0) return;
    int replaced = -1;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(subscriptions_.begin(), subscriptions_.end(), [&](const auto& s) { return s.first == path; });
        if (it == subscriptions_.end())
            subscriptions_.emplace_back(path, wd);
        else
            replaced = std::exchange(it->second, wd);
        if (replaced == wd || std::any_of(subscriptions_.begin(), subscriptions_.end(),
                                          [&](const auto& s) { return s.second == replaced; }))
            replaced = -1;
    }
    // The path named another folder before: that subscription is no longer anyone's.
    if (replaced >= 0) ::inotify_rm_watch(fd_, replaced);
}

void FWFNSubscribeFileWatcher::removePath(const QString& path) {
    int wd = -1;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(subscriptions_.begin(), subscriptions_.end(), [&](const auto& s) { return s.first == path; });
        if (it == subscriptions_.end()) return;
        wd = it->second;
        subscriptions_.erase(it);
        // Another path (a link to the same folder) keeps a shared watch.
        if (std::any_of(subscriptions_.begin(), subscriptions_.end(), [&](const auto& s) { return s.second == wd; }))
            wd = -1;
    }
    if (wd >= 0) ::inotify_rm_watch(fd_, wd);
}

FWWatcherDelegate* FWFNSubscribeFileWatcher::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

void FWFNSubscribeFileWatcher::setDelegate(FWWatcherDelegate* delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

void FWFNSubscribeFileWatcher::sendDelegateMessage(int message, int subscription) {
    if (message != folderChangedMessage || subscription < 0) return;
    QString path;
    FWWatcherDelegate* delegate = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(subscriptions_.begin(), subscriptions_.end(),
                               [&](const auto& s) { return s.second == subscription; });
        if (it == subscriptions_.end()) return;
        path = it->first;
        delegate = delegate_;
    }
    if (auto* watcherDelegate = dynamic_cast<FWFileWatcherDelegate*>(delegate))
        watcherDelegate->watcher(this, FWKQueueFileWrittenToNotification, path);
}

void FWFNSubscribeFileWatcher::readEvents() {
    alignas(struct inotify_event) std::array<char, 16 * 1024> buffer;
    ssize_t length = ::read(fd_, buffer.data(), buffer.size());
    if (length <= 0) return;
    std::vector<int> changed;  // in the order of their first change
    bool overflow = false;
    for (std::size_t offset = 0; offset + sizeof(inotify_event) <= std::size_t(length);) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
        offset += sizeof(inotify_event) + event->len;
        if (event->mask & IN_Q_OVERFLOW) overflow = true;
        if (event->mask & IN_IGNORED) {  // the folder is gone or no longer watched
            std::lock_guard lock(mutex_);
            for (auto& s : subscriptions_)
                if (s.second == event->wd) s.second = -1;
        }
        if ((event->mask & folderEvents) && std::find(changed.begin(), changed.end(), event->wd) == changed.end())
            changed.push_back(event->wd);
    }
    if (overflow) {  // changes were lost: every folder may have changed
        std::lock_guard lock(mutex_);
        for (const auto& s : subscriptions_)
            if (s.second >= 0 && std::find(changed.begin(), changed.end(), s.second) == changed.end())
                changed.push_back(s.second);
    }
    for (int wd : changed) sendDelegateMessage(folderChangedMessage, wd);
}
