#pragma once

// Starting tasks: spawn() starts a task of its own, TaskScope (task_scope.h) starts children
// that belong to an owner. Both hand back a TaskHandle.

#include "base/resume_once.h"
#include "base/task.h"

#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace korvane {

class TaskScope;

namespace detail {

// One started task, shared by its handles, its root frame and its scope. Main thread only.
struct StartedTask {
    struct StopWithScope {
        StartedTask* self;
        void operator()() const noexcept { self->stopSource.request_stop(); }
    };

    std::stop_source stopSource;
    std::coroutine_handle<> frame; // the root frame, until the task ends or is discarded
    bool started = false;
    bool done = false;
    std::vector<std::shared_ptr<ResumeOnce>> joiners;
    TaskScope* scope = nullptr;
    // Declared last, so it goes first: the scope's cancellation reaches the task through it.
    std::optional<std::stop_callback<StopWithScope>> scopeLink;
};

// How a started task ends, for the runtime's own use: normally (from its root frame) or
// discarded (its frame destroyed where it is suspended, never while it runs). Either way its
// scope forgets it and its joiners wake.
struct TaskEnding {
    static std::shared_ptr<StartedTask> start(Task<void> task, TaskScope* scope, std::stop_token scopeToken);
    static void ended(StartedTask& task, const std::exception_ptr& error);
    static void discard(StartedTask& task);
};

} // namespace detail

// The handle of a started task. Copies refer to the same task. Main thread only.
class TaskHandle {
public:
    TaskHandle() = default;
    explicit TaskHandle(std::shared_ptr<detail::StartedTask> state) : state_(std::move(state)) {}

    // Asks the task to stop: the wait it is suspended in throws Cancelled. A task cancelled
    // before it started never runs.
    void cancel();
    bool done() const { return !state_ || state_->done; }
    bool cancelled() const { return state_ && state_->stopSource.stop_requested(); }

    class JoinAwaiter {
    public:
        explicit JoinAwaiter(std::shared_ptr<detail::StartedTask> state) : state_(std::move(state)) {}
        JoinAwaiter(const JoinAwaiter&) = delete;
        JoinAwaiter& operator=(const JoinAwaiter&) = delete;
        ~JoinAwaiter();
        bool await_ready() const noexcept { return !state_ || state_->done; }
        void await_suspend(std::coroutine_handle<> h);
        void await_resume() const noexcept {}

    private:
        std::shared_ptr<detail::StartedTask> state_;
        std::shared_ptr<ResumeOnce> wait_;
    };

    // Waits until the task has finished, however it finished. The wait itself is not
    // cancellable: a task that was asked to stop ends promptly.
    JoinAwaiter join() const { return JoinAwaiter(state_); }

private:
    std::shared_ptr<detail::StartedTask> state_;
};

// Starts a task of its own on the main executor (on its next turn, never inside this call)
// and returns its handle. An exception escaping the task is reported through the
// uncaught-error handler; a cancellation ends it silently. For the top of a program or a test;
// everything an object starts belongs to a TaskScope the object owns.
[[nodiscard]] TaskHandle spawn(Task<void> task);

// Where errors that escape a task are reported; stderr when none is installed.
void setUncaughtTaskErrorHandler(std::function<void(const std::string&)> handler);
void reportTaskError(const std::exception_ptr& error);

} // namespace korvane
