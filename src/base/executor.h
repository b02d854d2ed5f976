#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace korvane {

using Duration = std::chrono::milliseconds;
using MonotonicTime = std::chrono::steady_clock::time_point;

// The main thread's event loop as the async runtime sees it. Exactly one executor is
// installed per process (or per test); everything that touches controller state runs on it.
class Executor {
public:
    using TimerId = std::uint64_t;

    virtual ~Executor() = default;

    // Runs fn on the main thread soon. Safe to call from any thread.
    virtual void post(std::function<void()> fn) = 0;

    // Runs fn on the main thread once delay has passed. Main thread only.
    virtual TimerId callAfter(Duration delay, std::function<void()> fn) = 0;

    // Forgets a timer that has not fired yet; unknown ids are ignored. Main thread only.
    virtual void cancelTimer(TimerId id) = 0;

    // Monotonic time of this loop (virtual under the manual loop).
    virtual MonotonicTime now() const = 0;
};

// The installed main executor. Installing is done once by the shell or by a test fixture.
Executor& mainExecutor();
void setMainExecutor(Executor* executor);

} // namespace korvane
