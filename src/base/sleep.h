#pragma once

#include "base/executor.h"
#include "base/task.h"

#include <coroutine>
#include <optional>
#include <stop_token>

namespace korvane {

// co_await sleep(d): resumes on the main thread after d of the executor's time, or throws
// Cancelled as soon as the task is cancelled.
class SleepAwaiter {
public:
    explicit SleepAwaiter(Duration delay) noexcept : delay_(delay) {}
    SleepAwaiter(const SleepAwaiter&) = delete;
    SleepAwaiter& operator=(const SleepAwaiter&) = delete;

    bool await_ready() const noexcept { return false; }
    template <class P> void await_suspend(std::coroutine_handle<P> h) { start(h, stopTokenOf(h)); }
    void await_resume();

private:
    struct OnStop {
        SleepAwaiter* self;
        void operator()() const noexcept;
    };
    void start(std::coroutine_handle<> h, std::stop_token token);

    Duration delay_;
    Executor::TimerId timer_ = 0;
    std::coroutine_handle<> waiter_;
    bool cancelled_ = false;
    std::optional<std::stop_callback<OnStop>> onStop_;
};

inline SleepAwaiter sleep(Duration delay) noexcept { return SleepAwaiter(delay); }

// Throws Cancelled when the current task has been asked to stop; for loops that do work
// between waits and want to notice a cancellation early.
class CancellationCheck {
public:
    bool await_ready() const noexcept { return false; }
    template <class P> bool await_suspend(std::coroutine_handle<P> h) noexcept {
        cancelled_ = stopTokenOf(h).stop_requested();
        return false;
    }
    void await_resume() const;

private:
    bool cancelled_ = false;
};

inline CancellationCheck checkCancelled() noexcept { return CancellationCheck{}; }

} // namespace korvane
