#pragma once

#include "base/event_loops.h"
#include "base/spawn.h"
#include "base/task.h"

#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace korvane::testing {

// Runs one task to its end on a manual loop (waiting in real time for work that other
// threads post back, such as HTTP completions) and hands back its result or error.
template <class T>
T runTask(ManualLoop& loop, Task<T> task, std::chrono::milliseconds realTimeout = std::chrono::seconds(20)) {
    std::optional<T> result;
    std::exception_ptr error;
    auto wrapper = [](Task<T> inner, std::optional<T>& out, std::exception_ptr& failure) -> Task<void> {
        try {
            out.emplace(co_await std::move(inner));
        } catch (...) {
            failure = std::current_exception();
        }
    };
    auto handle = spawn(wrapper(std::move(task), result, error));
    if (!loop.runUntil([&] { return handle.done(); }, realTimeout)) {
        handle.cancel();
        loop.runUntil([&] { return handle.done(); });
        throw std::runtime_error("task did not finish in time");
    }
    if (error) std::rethrow_exception(error);
    return std::move(*result);
}

inline void runTask(ManualLoop& loop, Task<void> task,
                    std::chrono::milliseconds realTimeout = std::chrono::seconds(20)) {
    auto wrap = [](Task<void> inner) -> Task<bool> {
        co_await std::move(inner);
        co_return true;
    };
    runTask<bool>(loop, wrap(std::move(task)), realTimeout);
}

// The text of the error a task ended with, or "" when it succeeded.
template <class T> std::string errorOf(ManualLoop& loop, Task<T> task) {
    try {
        runTask(loop, std::move(task));
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

// Installs a manual loop as the main executor for the lifetime of the object.
class ManualLoopScope {
public:
    ManualLoopScope() { setMainExecutor(&loop); }
    ~ManualLoopScope() {
        loop.runUntilIdle();
        setMainExecutor(nullptr);
    }
    ManualLoop loop;
};

} // namespace korvane::testing
