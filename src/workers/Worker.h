#pragma once

// A background worker: a plain QObject living on its own QThread with its own
// event loop. The controller starts a pass with run(), which only queues it;
// the worker talks back only through synchronous calls that run on the main
// thread (callRoot), and never while holding todoLock.

#include "ControllerPort.h"
#include "platform/FWMainThreadProxy.h"

#include <QObject>

#include <atomic>
#include <type_traits>

class Worker : public QObject {
    Q_OBJECT
public:
    explicit Worker(ControllerPort& root) : root_(root) {}

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

    // Runs f on the main thread and waits for its result (fw::runOnMainThread):
    // the calls of both workers run there in the order they were made, and on
    // the main thread itself f runs in place. Stopping the workers serves these
    // calls while it waits for the threads. A call the main thread dropped
    // (the application went away first) answers nothing and ends the pass.
    template <typename F>
    auto callRoot(F&& f) -> std::invoke_result_t<F&> {
        using R = std::invoke_result_t<F&>;
        try {
            return fw::runOnMainThread(std::forward<F>(f));
        } catch (const FWMainThreadCallDropped&) {
            requestStop();
            if constexpr (!std::is_void_v<R>) return R{};
        }
    }

    ControllerPort& root_;

private:
    std::atomic<bool> stopping_{false};
};
