#include "platform/VolumeMonitor.h"
#include "platform/Volumes.h"

#include "support/FatImage.h"

#include <QByteArray>
#include <QEventLoop>
#include <QFile>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <functional>

#include <gtest/gtest.h>

namespace {

// Runs the main event loop until `done` holds or the time is up.
bool runUntil(const std::function<bool()>& done, int timeoutMs = 15000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

class VolumeMonitorOnFatPlayer : public FatPlayerTest {
protected:
    void SetUp() override {
        FatPlayerTest::SetUp();
        if (HasFatalFailure()) return;
        monitor = std::make_unique<VolumeMonitor>();
        ASSERT_TRUE(monitor->isWatching());
        QObject::connect(monitor.get(), &VolumeMonitor::mounted, [this](const QString& p) { events << u'+' + p; });
        QObject::connect(monitor.get(), &VolumeMonitor::unmounted, [this](const QString& p) { events << u'-' + p; });
    }
    void TearDown() override {
        monitor.reset();
        FatPlayerTest::TearDown();
    }
    bool seen(qsizetype n) { return runUntil([&] { return events.size() >= n; }); }

    std::unique_ptr<VolumeMonitor> monitor;
    QStringList events;
};

}  // namespace

TEST_F(VolumeMonitorOnFatPlayer, ReportsUnmountMountAndEjectAndNothingOutsideTheVolumesFolder) {
    const QString path = player->volumePath();
    ASSERT_TRUE(player->unmount());
    ASSERT_TRUE(seen(1));
    ASSERT_TRUE(player->mount());
    ASSERT_TRUE(seen(2)) << "events: " << events.join(u' ').toStdString();
    {  // another player, mounted and unmounted in a folder of its own
        FatImage other;
        ASSERT_TRUE(other.ready());
        ASSERT_TRUE(other.unmount());
    }
    auto ejected = Volumes::unmountAndEject(path);
    ASSERT_TRUE(ejected) << ejected.error().toStdString();
    ASSERT_TRUE(seen(3));
    EXPECT_EQ(events, QStringList({u'-' + path, u'+' + path, u'-' + path}));
}

TEST_F(VolumeMonitorOnFatPlayer, WakesOnlyWhenTheMountTableChanges) {
    // The mount table is always readable; a monitor woken for that would spin.
    // Other processes may mount meanwhile, so count the wake-ups that found
    // the table as it was.
    auto* notifier = monitor->findChild<QSocketNotifier*>();
    ASSERT_NE(notifier, nullptr);
    auto table = [] {
        QFile file(QStringLiteral("/proc/self/mountinfo"));
        file.open(QIODevice::ReadOnly);
        return file.readAll();
    };
    QByteArray last = table();
    int idleWakeups = 0;
    QObject::connect(notifier, &QSocketNotifier::activated, [&] {
        QByteArray now = table();
        if (now == last) ++idleWakeups;
        last = now;
    });
    runUntil([] { return false; }, 300);
    EXPECT_LE(idleWakeups, 3);
    EXPECT_TRUE(events.isEmpty());
}
