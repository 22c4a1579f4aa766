// The file watching the controller relies on: the library file is rewritten
// by deleting it, which the watch tells its delegate once, on the main
// thread; the path then stays silent until it is added again.

#include "platform/FWKQueue.h"
#include "support/Helpers.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <mutex>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

void append(const QString& path) {
    int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "x", 1), 1);
    ::close(fd);
}

std::mutex logMutex;
QStringList logLines;
void captureLog(QtMsgType, const QMessageLogContext&, const QString& text) {
    std::lock_guard lock(logMutex);
    logLines.append(text);
}

// The test is the delegate: it notes "notification file-name" for each call.
class FWKQueueTest : public ::testing::Test, public FWFileWatcherDelegate {
protected:
    void SetUp() override {
        append(file);
        queue->setDelegate(this);
        previousHandler = qInstallMessageHandler(&captureLog);
    }
    void TearDown() override {
        qInstallMessageHandler(previousHandler);
        queue->setDelegate(nullptr);
    }
    void watcher(FWFileWatcher*, const QString& name, const QString& path) override {
        const bool onMainThread = QThread::currentThread() == QCoreApplication::instance()->thread();
        std::lock_guard lock(mutex);
        told.append((onMainThread ? QString() : QStringLiteral("off the main thread: ")) + name + u' ' + QFileInfo(path).fileName());
    }
    // What the delegate was told once the events so far have come through:
    // events are read in order, so a fresh file's write coming through says so.
    QStringList settle() {
        const QString marker = QStringLiteral("sentinel%1").arg(++sentinels);
        append(dir.filePath(marker));
        queue->addPath(dir.filePath(marker));
        append(dir.filePath(marker));
        EXPECT_TRUE(waitUntil([&] { std::lock_guard lock(mutex); return told.join(u'|').contains(marker); }));
        std::lock_guard lock(mutex);
        return told.filter(QStringLiteral(" file"));
    }

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("file"));
    const QString written = FWKQueueFileWrittenToNotification + QStringLiteral(" file"), deleted = FWKQueueFileDeletedNotification + QStringLiteral(" file");
    std::shared_ptr<FWKQueue> queue = FWKQueue::create();
    std::mutex mutex;
    QStringList told;
    int sentinels = 0;
    QtMessageHandler previousHandler = nullptr;
};

TEST_F(FWKQueueTest, AFileReplacedByDeleteAndCreateIsDeletedOnceAndThenSilentUntilAddedAgain) {
    queue->addPath(file);
    ASSERT_EQ(::unlink(QFile::encodeName(file).constData()), 0);
    append(file);
    append(file);
    EXPECT_EQ(settle(), QStringList{deleted});
    EXPECT_TRUE(queue->watchedPaths().contains(file)) << "the ended watch stays listed until removed";

    queue->removePath(file);
    queue->addPath(file);
    append(file);
    EXPECT_EQ(settle(), (QStringList{deleted, written}));
}

TEST_F(FWKQueueTest, APathAddedTwiceIsToldTwiceAndRemovedOneEntryAtATime) {
    queue->addPath(dir.filePath(QStringLiteral("missing")));  // cannot be watched: left out
    queue->addPath(file);
    queue->addPath(file);
    queue->removePath(dir.filePath(QStringLiteral("never")));
    EXPECT_EQ(queue->watchedPaths(), (QStringList{file, file}));
    append(file);
    EXPECT_EQ(settle(), (QStringList{written, written}));
    queue->removePath(file);
    append(file);
    EXPECT_EQ(settle(), (QStringList{written, written, written})) << "the other entry still watches";
    std::lock_guard lock(logMutex);
    EXPECT_TRUE(logLines.isEmpty()) << logLines.join(u'\n').toStdString();
}

}  // namespace
