#include "base/event_loops.h"

#include <algorithm>
#include <utility>

namespace korvane {

void LoopBase::post(std::function<void()> fn) {
    // Notified under the lock: once the loop has taken the work, this call no longer touches
    // the loop, which may then be destroyed.
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(fn));
    wake_.notify_one();
}

Executor::TimerId LoopBase::callAfter(Duration delay, std::function<void()> fn) {
    return timers_.add(now() + std::max(delay, Duration::zero()), std::move(fn));
}

void LoopBase::cancelTimer(TimerId id) { timers_.cancel(id); }

bool LoopBase::runPosted() {
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(posted_);
    }
    for (auto& fn : batch)
        fn();
    return !batch.empty();
}

bool LoopBase::runOneDueTimer(MonotonicTime at) {
    auto fn = timers_.takeDue(at);
    if (!fn) return false;
    fn();
    return true;
}

ManualLoop::ManualLoop() : now_(MonotonicTime{std::chrono::hours{1000}}) {}

void ManualLoop::runUntilIdle() {
    while (runPosted() || runOneDueTimer(now_)) {
    }
}

void ManualLoop::advance(Duration d) {
    const MonotonicTime target = now_ + d;
    runUntilIdle();
    for (auto due = timers_.nextDue(); due && *due <= target; due = timers_.nextDue()) {
        if (*due > now_) {
            wall_.advance(*due - now_);
            now_ = *due;
        }
        runUntilIdle();
    }
    wall_.advance(target - now_);
    now_ = target;
    runUntilIdle();
}

bool ManualLoop::runUntil(const std::function<bool()>& pred, Duration realTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + realTimeout;
    for (;;) {
        runUntilIdle();
        if (pred()) return true;
        std::unique_lock lock(mutex_);
        if (!wake_.wait_until(lock, deadline, [this] { return !posted_.empty(); })) {
            lock.unlock();
            runUntilIdle();
            return pred();
        }
    }
}

void PlainLoop::run() {
    for (;;) {
        runPosted();
        while (runOneDueTimer(now()))
            runPosted();
        std::unique_lock lock(mutex_);
        if (quitting_) return;
        if (!posted_.empty()) continue;
        if (auto due = timers_.nextDue()) {
            wake_.wait_until(lock, *due, [this] { return quitting_ || !posted_.empty(); });
        } else {
            wake_.wait(lock, [this] { return quitting_ || !posted_.empty(); });
        }
    }
}

void PlainLoop::quit() {
    std::lock_guard lock(mutex_);
    quitting_ = true;
    wake_.notify_one();
}

} // namespace korvane
