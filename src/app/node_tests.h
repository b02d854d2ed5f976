#pragma once

#include "base/spawn.h"
#include "base/task.h"
#include "base/task_scope.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace korvane {

// The availability of each node as the current test run finds it, and that run. A run's
// results and its clean-up count only while it is current: every start and stop moves the
// generation on. Main thread only.
class NodeTests {
public:
    using OnResult = std::function<void(const std::string& node, bool available)>;
    // A run: tests the nodes, reporting each result as it comes; cancellation stops it.
    using Run = std::function<Task<void>(OnResult onResult)>;

    // changed: a result of the current run arrived. failed: a run ended with an error (never
    // for a cancellation), with the error's text.
    NodeTests(std::function<void()> changed, std::function<void(const std::string&)> failed)
        : changed_(std::move(changed)), failed_(std::move(failed)) {}

    // Cancels the run under way without waiting and forgets every result; then starts run,
    // when given, once the cancelled one has ended, so that two runs never overlap.
    void start(std::optional<Run> run);
    // Cancels the run under way and waits until it has ended.
    Task<void> stop();
    // Cancels the run under way without waiting; its late results are dropped.
    void cancel();

    const std::map<std::string, bool>& availability() const { return availability_; }
    void setAvailable(const std::string& node) { availability_[node] = true; }
    void clear() { availability_.clear(); }
    bool running() const { return run_.has_value(); }
    // Destroys the run under way where it waits, as its owner goes.
    void discard() { runs_.discard(); }

private:
    Task<void> runAfter(std::optional<TaskHandle> previous, Run run, std::int64_t generation);

    std::function<void()> changed_;
    std::function<void(const std::string&)> failed_;
    std::map<std::string, bool> availability_;
    std::optional<TaskHandle> run_;
    std::int64_t generation_ = 0;
    TaskScope runs_;
};

} // namespace korvane
