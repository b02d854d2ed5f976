#pragma once

#include "base/executor.h"

#include <functional>
#include <map>
#include <optional>

namespace korvane {

// The timers of a main executor, ordered by due time; timers due at the same moment run in
// the order they were set. Not thread-safe: executors use it on their main thread only.
class TimerQueue {
public:
    using TimerId = Executor::TimerId;

    TimerId add(MonotonicTime due, std::function<void()> fn);
    // Forgets a timer that has not run yet; unknown ids are ignored.
    void cancel(TimerId id);
    std::optional<MonotonicTime> nextDue() const;
    // Takes the earliest timer out of the queue when it is due at `at`, so that the caller can
    // run it while the queue is consistent again (a timer may add or cancel others); an empty
    // function when none is due.
    std::function<void()> takeDue(MonotonicTime at);

private:
    struct Key {
        MonotonicTime due;
        TimerId id;
        bool operator<(const Key& o) const { return due < o.due || (due == o.due && id < o.id); }
    };
    std::map<Key, std::function<void()>> timers_;
    std::map<TimerId, MonotonicTime> dueById_;
    TimerId nextId_ = 1;
};

} // namespace korvane
