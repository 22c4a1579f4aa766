#pragma once

// A background worker: a plain QObject living on its own QThread with its own
// event loop. The controller starts a pass with run(), which only queues it;
// the worker talks back only through synchronous calls that run on the main
// thread (callRoot), and never while holding todoLock.

#include "ControllerPort.h"

#include <QMetaObject>
#include <QObject>

#include <atomic>
#include <type_traits>

class Worker : public QObject {
    Q_OBJECT
public:
    // rootObject is the controller's QObject: calls run in its (main) thread.
    Worker(ControllerPort& root, QObject& rootObject) : root_(root), rootObject_(rootObject) {}

    // Thread-safe: queues a pass on the worker's own loop and returns at once.
    void run();
    // Thread-safe: the current pass ends after the item in hand.
    void requestStop() { stopping_.store(true); }
    bool stopping() const { return stopping_.load(); }
    const std::atomic<bool>* stoppingFlag() const { return &stopping_; }

    // Runs in the worker's thread when it starts: registration.
    virtual void start() = 0;

protected:
    virtual void process() = 0;

    template <typename F>
    auto callRoot(F&& f) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        if constexpr (std::is_void_v<R>) {
            QMetaObject::invokeMethod(&rootObject_, std::forward<F>(f), Qt::BlockingQueuedConnection);
        } else {
            R result{};
            QMetaObject::invokeMethod(&rootObject_, std::forward<F>(f), Qt::BlockingQueuedConnection, &result);
            return result;
        }
    }

    ControllerPort& root_;

private:
    QObject& rootObject_;
    std::atomic<bool> stopping_{false};
};
