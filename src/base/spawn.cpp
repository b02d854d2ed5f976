#include "base/spawn.h"

#include "base/errors.h"
#include "base/executor.h"

#include <cstdio>
#include <exception>
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

// The root frame of a spawned task: owns the task, runs it under the spawn's stop token,
// swallows what must not escape, and wakes the joiners. It frees itself when it finishes.
struct Runner {
    struct promise_type : detail::PromiseBase {
        promise_type(Task<void>&, std::shared_ptr<detail::SpawnState>& state) {
            stopToken = state->stopSource.get_token();
        }
        Runner get_return_object() noexcept {
            return Runner{std::coroutine_handle<promise_type>::from_promise(*this)};
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        void unhandled_exception() noexcept { std::terminate(); }
    };
    std::coroutine_handle<promise_type> handle;
};

Runner run(Task<void> task, std::shared_ptr<detail::SpawnState> state) {
    if (!state->stopSource.stop_requested()) {
        state->started = true;
        try {
            co_await std::move(task);
        } catch (const Cancelled&) {
        } catch (const std::exception& error) {
            reportUncaught(error.what());
        } catch (...) {
            reportUncaught("unknown error");
        }
    }
    state->done = true;
    auto joiners = std::exchange(state->joiners, {});
    for (auto joiner : joiners) {
        mainExecutor().post([joiner] { joiner.resume(); });
    }
}

} // namespace

void TaskHandle::cancel() {
    if (state_) state_->stopSource.request_stop();
}

TaskHandle spawn(Task<void> task) {
    auto state = std::make_shared<detail::SpawnState>();
    auto runner = run(std::move(task), state);
    mainExecutor().post([h = runner.handle] { h.resume(); });
    return TaskHandle(std::move(state));
}

void setUncaughtTaskErrorHandler(std::function<void(const std::string&)> handler) {
    uncaughtHandler() = std::move(handler);
}

} // namespace korvane
