#include "app/node_tests.h"

#include "base/errors.h"

#include <utility>

namespace korvane {

void NodeTests::start(std::optional<Run> run) {
    auto previous = std::exchange(run_, std::nullopt);
    if (previous) previous->cancel();
    const std::int64_t generation = ++generation_;
    availability_.clear();
    if (run) run_ = runs_.spawn(runAfter(std::move(previous), std::move(*run), generation));
}

Task<void> NodeTests::runAfter(std::optional<TaskHandle> previous, Run run, std::int64_t generation) {
    if (previous) co_await previous->join();
    auto onResult = [this, generation](const std::string& node, bool available) {
        if (generation_ != generation) return;
        availability_[node] = available;
        changed_();
    };
    try {
        co_await run(onResult);
    } catch (const Cancelled&) {
    } catch (const std::exception& error) {
        failed_(error.what());
    }
    if (generation_ == generation) run_.reset();
}

Task<void> NodeTests::stop() {
    ++generation_;
    auto run = std::exchange(run_, std::nullopt);
    if (!run) co_return;
    run->cancel();
    co_await run->join();
}

void NodeTests::cancel() {
    if (run_) run_->cancel();
}

} // namespace korvane
