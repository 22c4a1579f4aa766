#pragma once

// Turns SIGINT and SIGTERM into a Qt signal on the main thread, so that a
// command can stop its work cleanly instead of dying mid-way.

#include <QObject>

class QSocketNotifier;

class SignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit SignalWatcher(QObject* parent = nullptr);
    ~SignalWatcher() override;

    int lastSignal() const { return lastSignal_; }
    // The last signal caught since a watcher was made, or 0: for code that
    // waits without an event loop.
    static int caught();

Q_SIGNALS:
    void interrupted(int signal);

private:
    QSocketNotifier* notifier_ = nullptr;
    int lastSignal_ = 0;
};
