#include "base/spawn.h"

#include "base/errors.h"
#include "base/executor.h"
#include "base/sleep.h"
#include "base/task_scope.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace korvane {

namespace {

std::function<void(const std::string&)>& uncaughtHandler() {
    static std::function<void(const std::string&)> handler;
    return handler;
}

void reportUncaught(const std::string& text) {
    if (auto& handler = uncaughtHandler()) {
        handler(text);
    } else {
        std::fprintf(stderr, "korvane: task ended with an error: %s\n", text.c_str());
    }
}

// The root frame of a started task: owns the task, runs it under the task's stop token and
// tells how it ended. It frees itself when it finishes.
struct RootFrame {
    struct promise_type : detail::PromiseBase {
        promise_type(Task<void>&, const std::shared_ptr<detail::StartedTask>& state) {
            stopToken = state->stopSource.get_token();
        }
        RootFrame get_return_object() noexcept {
            return RootFrame{std::coroutine_handle<promise_type>::from_promise(*this)};
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        void unhandled_exception() noexcept { std::terminate(); }
    };
    std::coroutine_handle<promise_type> handle;
};

RootFrame runRoot(Task<void> task, std::shared_ptr<detail::StartedTask> state) {
    std::exception_ptr failure;
    if (!state->stopSource.stop_requested()) {
        state->started = true;
        try {
            co_await std::move(task);
        } catch (const Cancelled&) {
        } catch (...) {
            failure = std::current_exception();
        }
    }
    detail::TaskEnding::ended(*state, failure);
}

void wakeAll(std::vector<std::shared_ptr<ResumeOnce>> waiters) {
    // Later, not here: a waiter might otherwise destroy what is still unwinding.
    for (auto& waiter : waiters)
        waiter->completeLater();
}

} // namespace

void reportTaskError(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        reportUncaught(e.what());
    } catch (...) {
        reportUncaught("unknown error");
    }
}

void setUncaughtTaskErrorHandler(std::function<void(const std::string&)> handler) {
    uncaughtHandler() = std::move(handler);
}

namespace detail {

std::shared_ptr<StartedTask> TaskEnding::start(Task<void> task, TaskScope* scope,
                                               std::stop_token scopeToken) {
    auto state = std::make_shared<StartedTask>();
    state->scope = scope;
    if (scopeToken.stop_possible())
        state->scopeLink.emplace(std::move(scopeToken), StartedTask::StopWithScope{state.get()});
    state->frame = runRoot(std::move(task), state).handle;
    mainExecutor().post([state] {
        // Gone when the task was discarded before its first turn.
        if (state->frame && !state->started) state->frame.resume();
    });
    return state;
}

void TaskEnding::ended(StartedTask& task, const std::exception_ptr& error) {
    task.done = true;
    task.frame = {};
    task.scopeLink.reset();
    TaskScope* scope = std::exchange(task.scope, nullptr);
    if (error) {
        if (scope && scope->onError_) {
            scope->onError_(error);
        } else {
            reportTaskError(error);
        }
    }
    wakeAll(std::exchange(task.joiners, {}));
    if (!scope) return;
    auto& children = scope->children_;
    children.erase(
        std::remove_if(children.begin(), children.end(), [&](const auto& c) { return c.get() == &task; }),
        children.end());
    if (children.empty()) wakeAll(std::exchange(scope->idleWaiters_, {}));
}

void TaskEnding::discard(StartedTask& task) {
    auto frame = std::exchange(task.frame, {});
    task.done = true;
    task.scope = nullptr;
    task.scopeLink.reset();
    // Destroying the root frame destroys the task it awaits, and with it every frame below and
    // every wait they were suspended in.
    if (frame) frame.destroy();
    wakeAll(std::exchange(task.joiners, {}));
}

} // namespace detail

// ---- TaskHandle ---------------------------------------------------------------------------

void TaskHandle::cancel() {
    if (state_) state_->stopSource.request_stop();
}

TaskHandle::JoinAwaiter::~JoinAwaiter() {
    if (wait_) wait_->abandon();
}

void TaskHandle::JoinAwaiter::await_suspend(std::coroutine_handle<> h) {
    wait_ = std::make_shared<ResumeOnce>();
    wait_->suspend(h);
    state_->joiners.push_back(wait_);
}

TaskHandle spawn(Task<void> task) {
    return TaskHandle(detail::TaskEnding::start(std::move(task), nullptr, {}));
}

// ---- TaskScope ----------------------------------------------------------------------------

TaskScope::TaskScope() = default;

TaskScope::TaskScope(std::stop_token parent) {
    if (parent.stop_possible()) parentLink_.emplace(std::move(parent), StopWithParent{this});
}

TaskScope::~TaskScope() {
    parentLink_.reset();
    discard();
}

TaskHandle TaskScope::spawn(Task<void> task) {
    auto child = detail::TaskEnding::start(std::move(task), this, stopSource_.get_token());
    children_.push_back(child);
    return TaskHandle(std::move(child));
}

void TaskScope::cancel() noexcept {
    // A stop source runs its callbacks newest first; children go in the order they came.
    for (const auto& child : children_)
        child->stopSource.request_stop();
    stopSource_.request_stop();
}

Task<void> TaskScope::close() {
    cancel();
    co_await join();
}

void TaskScope::discard() {
    cancel();
    // Discarding a child can discard scopes nested in it, but never touches this list.
    auto children = std::exchange(children_, {});
    for (auto& child : children)
        detail::TaskEnding::discard(*child);
    wakeAll(std::exchange(idleWaiters_, {}));
}

void TaskScope::reopen() {
    if (!children_.empty() || parentLink_)
        throw std::logic_error("reopening a scope with a parent or children");
    stopSource_ = std::stop_source();
}

TaskScope::IdleAwaiter::~IdleAwaiter() {
    if (wait_) wait_->abandon();
}

void TaskScope::IdleAwaiter::await_suspend(std::coroutine_handle<> h) {
    wait_ = std::make_shared<ResumeOnce>();
    wait_->suspend(h);
    scope_.idleWaiters_.push_back(wait_);
}

// ---- whenAll ------------------------------------------------------------------------------

Task<void> whenAll(std::vector<Task<void>> tasks) {
    const std::stop_token token = co_await currentStopToken();
    TaskScope siblings(token);
    std::exception_ptr firstFailure;
    siblings.onError([&](std::exception_ptr error) {
        if (firstFailure) {
            reportTaskError(error);
            return;
        }
        firstFailure = std::move(error);
        siblings.cancel();
    });
    for (auto& task : tasks)
        siblings.spawn(std::move(task));
    co_await siblings.join();
    if (firstFailure) std::rethrow_exception(firstFailure);
    if (token.stop_requested()) throw Cancelled();
}

} // namespace korvane
