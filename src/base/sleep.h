#pragma once

#include "base/executor.h"
#include "base/resume_once.h"
#include "base/task.h"

#include <coroutine>
#include <memory>
#include <stop_token>

namespace korvane {

namespace detail {
class SleepWait;
}

// co_await sleep(d): resumes on the main thread after d of the executor's time, or throws
// Cancelled as soon as the task is cancelled.
class SleepAwaiter {
public:
    explicit SleepAwaiter(Duration delay) noexcept : delay_(delay) {}
    SleepAwaiter(const SleepAwaiter&) = delete;
    SleepAwaiter& operator=(const SleepAwaiter&) = delete;
    ~SleepAwaiter();

    bool await_ready() const noexcept { return false; }
    template <class P> void await_suspend(std::coroutine_handle<P> h) { start(h, stopTokenOf(h)); }
    void await_resume();

private:
    void start(std::coroutine_handle<> h, std::stop_token token);

    Duration delay_;
    std::shared_ptr<detail::SleepWait> wait_;
};

inline SleepAwaiter sleep(Duration delay) noexcept { return SleepAwaiter(delay); }

// co_await currentStopToken(): the stop token of the task the coroutine runs in, without
// suspending; for scopes and loops that pass the task's cancellation on.
class CurrentStopToken {
public:
    bool await_ready() const noexcept { return false; }
    template <class P> bool await_suspend(std::coroutine_handle<P> h) noexcept {
        token_ = stopTokenOf(h);
        return false;
    }
    std::stop_token await_resume() const noexcept { return token_; }

private:
    std::stop_token token_;
};

inline CurrentStopToken currentStopToken() noexcept { return CurrentStopToken{}; }

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
