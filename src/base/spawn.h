#pragma once

#include "base/task.h"

#include <coroutine>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

namespace korvane {

namespace detail {
struct SpawnState {
    std::stop_source stopSource;
    bool started = false;
    bool done = false;
    std::vector<std::coroutine_handle<>> joiners;
};
} // namespace detail

// The handle of a task started with spawn(). Copies refer to the same task. Main thread only.
class TaskHandle {
public:
    TaskHandle() = default;
    explicit TaskHandle(std::shared_ptr<detail::SpawnState> state) : state_(std::move(state)) {}

    // Asks the task to stop: the wait it is suspended in throws Cancelled. A task cancelled
    // before it started never runs.
    void cancel();
    bool done() const { return !state_ || state_->done; }
    bool cancelled() const { return state_ && state_->stopSource.stop_requested(); }

    class JoinAwaiter {
    public:
        explicit JoinAwaiter(std::shared_ptr<detail::SpawnState> state) : state_(std::move(state)) {}
        bool await_ready() const noexcept { return !state_ || state_->done; }
        void await_suspend(std::coroutine_handle<> h) { state_->joiners.push_back(h); }
        void await_resume() const noexcept {}

    private:
        std::shared_ptr<detail::SpawnState> state_;
    };

    // Waits until the task has finished, however it finished.
    JoinAwaiter join() const { return JoinAwaiter(state_); }

private:
    std::shared_ptr<detail::SpawnState> state_;
};

// Starts the task on the main executor (on its next turn, never inside this call) and
// returns its handle. An exception escaping the task is reported through the
// uncaught-error handler; a cancellation ends it silently.
TaskHandle spawn(Task<void> task);

// Where errors that escape a spawned task are reported; stderr when none is installed.
void setUncaughtTaskErrorHandler(std::function<void(const std::string&)> handler);

} // namespace korvane
