#pragma once

// TaskScope: the owner of a group of child tasks. Children inherit the scope's cancellation
// (and the scope that of its parent task, when it has one); close() cancels what is left and
// waits for every child; an exception escaping a child is reported once, never lost.
// Destroying a scope discards the children that are still suspended: their frames are
// destroyed where they wait, their waits stopped, and nothing of them runs afterwards. That is
// how an object that dies with work in flight leaves nothing behind; it must not be destroyed
// from inside one of its own children.
//
// whenAll() runs sibling tasks the same way inside the awaiting task.

#include "base/resume_once.h"
#include "base/spawn.h"
#include "base/task.h"

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

namespace korvane {

class TaskScope {
public:
    // A scope of its own, cancelled only through cancel(), close() or its destruction.
    TaskScope();
    // A scope cancelled together with parent (the token of the task that owns it).
    explicit TaskScope(std::stop_token parent);
    ~TaskScope();
    TaskScope(const TaskScope&) = delete;
    TaskScope& operator=(const TaskScope&) = delete;

    // Starts task as a child on the main executor's next turn. A child started after the
    // scope was cancelled never runs.
    TaskHandle spawn(Task<void> task);
    // Asks every child, present and future, to stop; the present ones in the order they were
    // started.
    void cancel() noexcept;
    bool cancelled() const { return stopSource_.stop_requested(); }
    std::stop_token token() const { return stopSource_.get_token(); }
    // Children started and not yet ended.
    std::size_t size() const { return children_.size(); }

    class IdleAwaiter {
    public:
        explicit IdleAwaiter(TaskScope& scope) : scope_(scope) {}
        IdleAwaiter(const IdleAwaiter&) = delete;
        IdleAwaiter& operator=(const IdleAwaiter&) = delete;
        ~IdleAwaiter();
        bool await_ready() const noexcept { return scope_.children_.empty(); }
        void await_suspend(std::coroutine_handle<> h);
        void await_resume() const noexcept {}

    private:
        TaskScope& scope_;
        std::shared_ptr<ResumeOnce> wait_;
    };

    // Waits until no child is left, without cancelling any. Not cancellable itself.
    IdleAwaiter join() { return IdleAwaiter(*this); }
    // cancel(), then join().
    Task<void> close();

    // Where a child's exception goes instead of the uncaught-error handler.
    void onError(std::function<void(std::exception_ptr)> handler) { onError_ = std::move(handler); }

    // Destroys the children still suspended, as the destructor does; the scope stays usable.
    void discard();
    // A scope of its own that was cancelled and has no child left starts children again.
    void reopen();

private:
    friend struct detail::TaskEnding;
    struct StopWithParent {
        TaskScope* self;
        void operator()() const noexcept { self->cancel(); }
    };

    std::stop_source stopSource_;
    std::vector<std::shared_ptr<detail::StartedTask>> children_;
    std::vector<std::shared_ptr<ResumeOnce>> idleWaiters_;
    std::function<void(std::exception_ptr)> onError_;
    std::optional<std::stop_callback<StopWithParent>> parentLink_;
};

// Runs every task as a child of the awaiting task: they start together on the next turn, a
// cancellation of the awaiting task reaches each of them, and the first failure cancels the
// others. Resumes once every task has ended; then throws the first failure, or Cancelled
// when the awaiting task was cancelled. Failures after the first are reported, not lost.
Task<void> whenAll(std::vector<Task<void>> tasks);

// The same for tasks with results, which come back in the order of the tasks.
template <class T> Task<std::vector<T>> whenAll(std::vector<Task<T>> tasks) {
    std::vector<std::optional<T>> slots(tasks.size());
    auto store = [](Task<T> task, std::optional<T>& slot) -> Task<void> {
        slot.emplace(co_await std::move(task));
    };
    std::vector<Task<void>> stored;
    stored.reserve(tasks.size());
    for (std::size_t i = 0; i < tasks.size(); ++i)
        stored.push_back(store(std::move(tasks[i]), slots[i]));
    co_await whenAll(std::move(stored));
    std::vector<T> results;
    results.reserve(slots.size());
    for (auto& slot : slots)
        results.push_back(std::move(*slot));
    co_return results;
}

} // namespace korvane
