#pragma once

#include "base/clock.h"
#include "base/executor.h"
#include "base/timer_queue.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace korvane {

// What the two portable loops share: a thread-safe queue of posted work and a timer
// queue ordered by due time (ties in the order they were set).
class LoopBase : public Executor {
public:
    void post(std::function<void()> fn) override;
    TimerId callAfter(Duration delay, std::function<void()> fn) override;
    void cancelTimer(TimerId id) override;

protected:
    // Runs everything posted so far; returns whether anything ran.
    bool runPosted();
    // Runs the earliest timer if it is due at `at`; returns whether one ran.
    bool runOneDueTimer(MonotonicTime at);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> posted_;
    TimerQueue timers_;
};

// A loop driven by the test: time stands still until advance() moves it, and then every
// timer due is run in order, with posted work run in between. The loop also carries a
// wall clock that moves with its virtual time.
class ManualLoop final : public LoopBase {
public:
    ManualLoop();

    MonotonicTime now() const override { return now_; }
    ManualClock& wallClock() { return wall_; }

    // Runs posted work and timers due now until nothing is left to run.
    void runUntilIdle();
    // Moves virtual time forward by d, running every timer that falls due on the way.
    void advance(Duration d);
    // Runs until pred() holds, waiting in real time (at most realTimeout) for work posted
    // from other threads, such as blocking() results. Returns pred().
    bool runUntil(const std::function<bool()>& pred, Duration realTimeout = Duration{5000});

private:
    MonotonicTime now_;
    ManualClock wall_;
};

// The real-time loop of the headless shell.
class PlainLoop final : public LoopBase {
public:
    MonotonicTime now() const override { return std::chrono::steady_clock::now(); }
    void run();  // until quit()
    void quit(); // any thread

private:
    bool quitting_ = false;
};

} // namespace korvane
