#pragma once

// What the benchmarks share: a user interface that answers every alert with
// its cautious button, and running one measurement in a fresh child process
// (so its peak memory and caches are its own).

#include "app/UserInterface.h"

#include <cstdio>
#include <optional>
#include <type_traits>

#include <sys/wait.h>
#include <unistd.h>

struct NoAlerts : UserInterface {
    int alert(const Alert& a) override {
        std::fprintf(stderr, "alert: %s: %s\n", qPrintable(a.title), qPrintable(a.message));
        return int(a.buttons.size()) - 1;
    }
    void warning(const QString& message) override { std::fprintf(stderr, "warning: %s\n", qPrintable(message)); }
};

// Runs `measure` in a forked child and answers its result, or nothing when
// the child failed. The result is passed back as plain bytes.
template <typename F>
auto inChild(F measure) -> std::optional<decltype(measure())> {
    using Result = decltype(measure());
    static_assert(std::is_trivially_copyable_v<Result>);
    int fds[2];
    if (pipe(fds) != 0) return std::nullopt;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        Result r = measure();
        if (write(fds[1], &r, sizeof r) != sizeof r) _exit(1);
        _exit(0);
    }
    close(fds[1]);
    Result r{};
    bool ok = read(fds[0], &r, sizeof r) == sizeof r;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!ok || status != 0) return std::nullopt;
    return r;
}
