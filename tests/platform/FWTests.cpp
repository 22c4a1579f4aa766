#include "platform/FWFNSubscribeFileWatcher.h"
#include "platform/FWKQueue.h"
#include "platform/FWMainThreadProxy.h"
#include "platform/FWWorkspaceNotificationCenter.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <ostream>
#include <set>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

bool serveMainLoopUntil(const std::function<bool()>& condition) {
    QDeadlineTimer deadline(20s);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents();
        QThread::msleep(2);
    }
    return true;
}

bool onMainThread() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }

// ---- FWMainThreadProxy

class Calculator : public QObject {
    Q_OBJECT

public:
    Q_INVOKABLE int add(int a, int b) { return seen(a + b); }
    Q_INVOKABLE QString greet(const QString& name) { return QString::number(seen(0)) + name; }
    int twice(int x) const { return seen(2 * x); }
    void fail() { throw std::runtime_error("boom"); }

    mutable std::atomic<int> calls{0};
    mutable std::atomic<bool> allOnMainThread{true};

private:
    int seen(int result) const {
        ++calls;
        if (!onMainThread()) allOnMainThread = false;
        return result;
    }
};

TEST(FWMainThreadProxyTest, CallsFromAWorkerRunOnTheMainThreadAndUnknownOnesAreRefusedInTheCaller) {
    Calculator calc;
    auto proxy = mainThreadProxy(&calc);
    std::promise<QStringList> refusals;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        auto unknown = proxy->invokeMethod("noSuchMethod"), badArguments = proxy->invokeMethod("add", {1});
        refusals.set_value({unknown ? QString() : unknown.error(), badArguments ? QString() : badArguments.error()});
        EXPECT_EQ(proxy->call(&Calculator::twice, 21), 42);
        EXPECT_EQ(proxy->invokeMethod("add(int,int)", {QStringLiteral("4"), 1.0}).value_or(0).toInt(), 5)
            << "arguments are converted to the parameter types";
        EXPECT_EQ(proxy->invokeMethod("greet", {QStringLiteral("!")}).value_or(0).toString(), QStringLiteral("0!"));
        EXPECT_THROW(proxy->call(&Calculator::fail), std::runtime_error) << "the exception comes back to the caller";
        done = true;
    });
    // Refusals come while the main loop is not served: a call that reached for it would hang.
    auto future = refusals.get_future();
    bool refusedInTheCaller = future.wait_for(20s) == std::future_status::ready;
    EXPECT_TRUE(serveMainLoopUntil([&] { return done.load(); }));
    worker.join();
    ASSERT_TRUE(refusedInTheCaller);
    QStringList errors = future.get();
    EXPECT_TRUE(errors[0].startsWith(QStringLiteral("-[Calculator noSuchMethod]: unrecognized selector"))) << errors[0].toStdString();
    EXPECT_TRUE(errors[1].contains(QStringLiteral("unrecognized selector"))) << errors[1].toStdString();
    EXPECT_EQ(calc.calls, 3);
    EXPECT_TRUE(calc.allOnMainThread);

    // On the main thread, nothing serves the event loop: a queued call would never run.
    EXPECT_EQ(proxy->call(&Calculator::twice, 21), 42);
    EXPECT_EQ(proxy->invokeMethod("add", {2, 3}).value_or(0).toInt(), 5);
    EXPECT_EQ(calc.calls, 5);
    EXPECT_TRUE(calc.allOnMainThread);

    for (const char* name : {"call", "add", "add(int,int)"}) EXPECT_TRUE(proxy->respondsToSelector(name)) << name;
    for (const char* name : {"noSuchMethod", "add(int)", "twice"}) EXPECT_FALSE(proxy->respondsToSelector(name)) << name;
    // A proxy is its own proxy, never a proxy of a proxy.
    EXPECT_EQ(proxy->mainThreadProxy(), proxy);
    EXPECT_EQ(mainThreadProxy(proxy.get()), proxy);
    EXPECT_EQ(proxy->target(), &calc);
}

// ---- FWKQueue and FWFNSubscribeFileWatcher

QByteArray native(const QString& path) { return QFile::encodeName(path); }

void append(const QString& path) {
    int fd = ::open(native(path).constData(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "x", 1), 1);
    ::close(fd);
}

enum class By { Delegate, KQueue, Centre };
struct Record {
    By by;
    QString name, path;
    bool onMainThread;
    bool operator==(const Record&) const = default;
};
using Records = std::vector<Record>;
void PrintTo(const Record& r, std::ostream* os) {
    *os << "{" << int(r.by) << " " << r.name.toStdString() << " " << r.path.toStdString() << " " << r.onMainThread << "}";
}

// What the delegates and the centre were told, in order, from any thread.
struct Journal {
    void add(Record r) {
        std::lock_guard lock(mutex);
        records.push_back(std::move(r));
    }
    Records matching(const std::function<bool(const QString&)>& pathFits) const {
        std::lock_guard lock(mutex);
        Records out;
        std::copy_if(records.begin(), records.end(), std::back_inserter(out), [&](auto& r) { return pathFits(r.path); });
        return out;
    }
    Records of(const QString& path) const { return matching([&](const QString& p) { return p == path; }); }
    std::size_t count(const QString& path) const { return of(path).size(); }
    mutable std::mutex mutex;
    Records records;
};

struct Recorder : FWFileWatcherDelegate, FWKQueueDelegate {
    explicit Recorder(Journal& journal) : journal(journal) {}
    void watcher(FWFileWatcher*, const QString& name, const QString& path) override {
        journal.add({By::Delegate, name, path, onMainThread()});
        if (onCall) onCall(path);
    }
    void kqueue(FWKQueue*, const QString& name, const QString& path) override {
        journal.add({By::KQueue, name, path, onMainThread()});
        if (std::exchange(throwOnce, false)) throw std::runtime_error("delegate failed");
    }
    Journal& journal;
    bool throwOnce = false;
    std::function<void(const QString& path)> onCall;
};
// Has only the kqueue() operation.
struct KQueueOnly : FWKQueueDelegate {
    explicit KQueueOnly(Recorder& r) : recorder(r) {}
    void kqueue(FWKQueue* q, const QString& name, const QString& path) override { recorder.kqueue(q, name, path); }
    Recorder& recorder;
};

std::mutex logMutex;
QStringList logLines;
void captureLog(QtMsgType, const QMessageLogContext&, const QString& text) {
    std::lock_guard lock(logMutex);
    logLines.append(text);
}

class FWKQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid() && queue);
        append(file);
        // Directly, on the posting thread, to see when the centre is told.
        connection = QObject::connect(FWWorkspaceNotificationCenter::instance(), &FWWorkspaceNotificationCenter::posted,
                                      [journal = journal, root = dir.path()](const QString& name, const QString& path) {
                                          if (path.startsWith(root)) journal->add({By::Centre, name, path, onMainThread()});
                                      });
        logLines.clear();
        previousHandler = qInstallMessageHandler(&captureLog);
    }
    void TearDown() override {
        qInstallMessageHandler(previousHandler);
        if (queue) queue->setDelegate(nullptr);
        QObject::disconnect(connection);
    }

    // Everything recorded once the events so far have come through: events
    // are read in order, so a fresh file's write coming through says so.
    Records settle() {
        QString marker = dir.path() + QStringLiteral("/sentinel%1").arg(++sentinels);
        append(marker);
        queue->addPath(marker);
        append(marker);
        EXPECT_TRUE(serveMainLoopUntil([&] { return journal->count(marker) > 0; }));
        return journal->matching([](const QString& p) { return !p.contains(QStringLiteral("/sentinel")); });
    }
    bool waitFor(const QString& path, std::size_t records) {
        return serveMainLoopUntil([&] { return journal->count(path) >= records; });
    }
    Records told(const QStringList& names, By by = By::Delegate, const QString& path = {}) {
        Records out;
        for (const QString& name : names) out.push_back({by, name, path.isEmpty() ? file : path, by != By::Centre});
        return out;
    }

    QTemporaryDir dir;
    const QString file = dir.path() + QStringLiteral("/file");
    std::shared_ptr<Journal> journal = std::make_shared<Journal>();
    Recorder recorder{*journal};
    std::shared_ptr<FWKQueue> queue = FWKQueue::create();
    int sentinels = 0;
    QMetaObject::Connection connection;
    QtMessageHandler previousHandler = nullptr;
};

const QString& written = FWKQueueFileWrittenToNotification;

TEST_F(FWKQueueTest, DeliveryFollowsTheDelegateAndAlwaysNotify) {
    queue->addPath(file);
    queue->setDelegate(&recorder);
    append(file);
    EXPECT_EQ(settle(), told({written})) << "with a delegate, nothing is posted on the centre";

    queue->setAlwaysNotify(true);
    append(file);
    Records expected = told({written, written});
    expected.push_back({By::Centre, written, file, false});
    EXPECT_EQ(settle(), expected) << "the watcher thread waits for the delegate, then posts";

    queue->setAlwaysNotify(false);
    queue->setDelegate(nullptr);
    append(file);
    expected.push_back({By::Centre, written, file, false});
    EXPECT_EQ(settle(), expected);
}

TEST_F(FWKQueueTest, FileReplacedByDeleteAndCreateIsDeletedOnceAndThenSilentUntilAddedAgain) {
    queue->setDelegate(&recorder);
    queue->addPath(file);
    ASSERT_EQ(::unlink(native(file).constData()), 0);
    append(file);
    append(file);
    EXPECT_EQ(settle(), told({FWKQueueFileDeletedNotification}));
    EXPECT_TRUE(queue->watchedPaths().contains(file)) << "the ended watch stays listed until removed";

    queue->removePath(file);
    queue->addPath(file);
    append(file);
    EXPECT_EQ(settle(), told({FWKQueueFileDeletedNotification, written}));
}

TEST_F(FWKQueueTest, FlagsOfOneEventArriveInTheFixedOrder) {
    const QString other = dir.path() + QStringLiteral("/other");
    append(other);
    queue->setDelegate(&recorder);
    queue->addPath(file);
    queue->addPath(other);
    // The second burst is made while the watcher thread waits for this call,
    // so that one read returns it whole, in an order opposite to the delivery.
    recorder.onCall = [&, done = std::set<QString>()](const QString& path) mutable {
        if (!done.insert(path).second) return;
        QByteArray moved = native(path + QStringLiteral(".moved"));
        if (path == file) {  // attribute change, rename, write
            ::chmod(native(file).constData(), 0600);
            ::rename(native(file).constData(), moved.constData());
            append(QFile::decodeName(moved));
        } else {  // rename, then the last unlink
            ::rename(native(other).constData(), moved.constData());
            ::unlink(moved.constData());
        }
    };
    append(file);
    append(other);
    ASSERT_TRUE(waitFor(file, 4) && waitFor(other, 3));
    settle();
    EXPECT_EQ(journal->of(file), told({written, FWKQueueFileRenamedNotification, written, FWKQueueFileAttributesChangedNotification}));
    EXPECT_EQ(journal->of(other), told({written, FWKQueueFileRenamedNotification, FWKQueueFileDeletedNotification}, By::Delegate, other))
        << "the unlink's own attribute event is a link-count change, outside the default mask";
}

TEST_F(FWKQueueTest, EventsMapOntoTheKindsLinuxCanReport) {
    const QByteArray link = native(dir.path() + QStringLiteral("/link")), path = native(file);
    queue->setDelegate(&recorder);
    queue->addPathToQueue(file, 0x7F);
    std::size_t total = 0;
    for (auto [action, records] : std::vector<std::pair<std::function<void()>, int>>{
             {[&] { ::chmod(path.constData(), 0600); }, 1},
             {[&] { ::link(path.constData(), link.constData()); }, 1},
             {[&] { append(file); }, 2},
             {[&] { EXPECT_EQ(::truncate(path.constData(), 0), 0); }, 1},
             {[&] { ::unlink(link.constData()); }, 1}}) {
        action();
        EXPECT_TRUE(waitFor(file, total += records));
    }
    EXPECT_EQ(settle(), told({FWKQueueFileAttributesChangedNotification, FWKQueueFileLinkCountChangedNotification,
                              written, FWKQueueFileSizeIncreasedNotification, written,
                              FWKQueueFileLinkCountChangedNotification}))
        << "a shrinking write does not extend; another link's unlink is no delete";
}

TEST_F(FWKQueueTest, PathAddedTwiceIsReportedTwiceAndAPathNeverAddedChangesNothing) {
    queue->setDelegate(&recorder);
    queue->addPath(dir.path() + QStringLiteral("/missing"));  // cannot be watched: left out
    queue->addPath(file);
    queue->addPath(file);
    queue->removePath(dir.path() + QStringLiteral("/never"));
    EXPECT_EQ(queue->watchedPaths(), (QStringList{file, file}));
    append(file);
    EXPECT_EQ(settle(), told({written, written}));

    queue->removePath(file);
    append(file);
    EXPECT_EQ(settle(), told({written, written, written})) << "the other entry still watches";
    std::lock_guard lock(logMutex);
    EXPECT_TRUE(logLines.isEmpty()) << logLines.join(u'\n').toStdString();
}

TEST_F(FWKQueueTest, KQueueDelegateGetsTheOtherCallAndItsErrorsAreLogged) {
    KQueueOnly delegate(recorder);
    recorder.throwOnce = true;
    queue->setDelegate(&delegate);
    queue->addPath(file);
    append(file);
    ASSERT_TRUE(waitFor(file, 1));
    append(file);
    EXPECT_EQ(settle(), told({written, written}, By::KQueue)) << "the thread goes on after the error";
    std::lock_guard lock(logMutex);
    EXPECT_TRUE(logLines.contains(QStringLiteral("Brisle: Error in FWKQueue watcherThread: delegate failed")))
        << logLines.join(u'\n').toStdString();
}

TEST_F(FWKQueueTest, WatcherThreadStopsWithinFiveSecondsOfTheLastRelease) {
    auto shared = FWKQueue::sharedQueue();
    ASSERT_TRUE(shared);
    EXPECT_EQ(FWKQueue::sharedQueue(), shared);
    shared.reset();
    // Once earlier tests' queues have ended, the shared one's thread and this one's remain.
    ASSERT_TRUE(serveMainLoopUntil([] { return FWKQueue::runningWatcherThreads() == 2; }));

    queue->setDelegate(&recorder);
    queue->addPath(file);
    std::shared_ptr<FWKQueue>(queue).reset();
    append(file);
    EXPECT_EQ(settle().size(), 1u) << "a queue that still has a client goes on";

    queue->setDelegate(nullptr);
    auto released = std::chrono::steady_clock::now();
    queue.reset();
    ASSERT_TRUE(serveMainLoopUntil([] { return FWKQueue::runningWatcherThreads() == 1; }));
    EXPECT_LT(std::chrono::steady_clock::now() - released, 6s);
}

TEST(FWFNSubscribeFileWatcherTest, ChangeInAWatchedFolderIsAWriteToTheFolder) {
    QTemporaryDir dir;
    const QString watched = dir.path() + QStringLiteral("/watched"), other = dir.path() + QStringLiteral("/other");
    ASSERT_TRUE(QDir().mkdir(watched) && QDir().mkdir(other));
    Journal journal;
    Recorder recorder(journal);
    FWFNSubscribeFileWatcher watcher;
    watcher.setDelegate(&recorder);
    watcher.addPath(watched);
    watcher.addPath(other);
    append(watched + QStringLiteral("/new"));
    ASSERT_TRUE(serveMainLoopUntil([&] { return journal.count(watched) > 0; }));
    EXPECT_EQ(journal.records.front(), (Record{By::Delegate, written, watched, true}));

    watcher.removePath(watched);
    std::size_t before = journal.count(watched);
    append(watched + QStringLiteral("/unseen"));
    append(other + QStringLiteral("/seen"));
    ASSERT_TRUE(serveMainLoopUntil([&] { return journal.count(other) > 0; }));
    EXPECT_EQ(journal.count(watched), before);
}

}  // namespace

#include "FWTests.moc"
