// The desktop shell's main executor on the GLib main context.
#include "shells/gtk/glib_executor.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

using namespace korvane;
using namespace korvane::gtk;
using namespace std::chrono_literals;

namespace {

// Iterates the default main context until done() or a real-time deadline.
template <typename Pred> bool iterateUntil(Pred done, std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        g_main_context_iteration(nullptr, FALSE);
    return done();
}

TEST(GlibExecutorTest, WorkPostedFromAnotherThreadRunsOnTheMainThreadInOrder) {
    GlibExecutor executor;
    const auto mainThread = std::this_thread::get_id();
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    // Posted while nobody iterates the loop: the case where g_main_context_invoke would run
    // the work on the posting thread.
    std::thread([&] {
        for (int i = 0; i < 3; ++i) {
            executor.post([&, i] {
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
            });
        }
    }).join();
    EXPECT_TRUE(order.empty());
    ASSERT_TRUE(iterateUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    for (auto id : threads)
        EXPECT_EQ(id, mainThread);
}

TEST(GlibExecutorTest, TimersFireByDueTimeAndCancelledOnesNever) {
    GlibExecutor executor;
    std::vector<std::string> fired;
    executor.callAfter(60ms, [&] { fired.push_back("late"); });
    const auto cancelled = executor.callAfter(20ms, [&] { fired.push_back("cancelled"); });
    executor.callAfter(10ms, [&] { fired.push_back("early"); });
    // A timer cancelling another from its own callback, and cancelling itself after firing.
    Executor::TimerId victim = 0;
    Executor::TimerId self = 0;
    self = executor.callAfter(30ms, [&] {
        fired.push_back("canceller");
        executor.cancelTimer(victim);
        executor.cancelTimer(self);
    });
    victim = executor.callAfter(40ms, [&] { fired.push_back("victim"); });
    executor.cancelTimer(cancelled);
    executor.cancelTimer(9999); // unknown ids are ignored

    // Due order holds even when the loop comes late and every timer is overdue at once.
    std::this_thread::sleep_for(80ms);
    ASSERT_TRUE(iterateUntil([&] { return fired.size() == 3; }));
    // Nothing else may arrive afterwards.
    iterateUntil([] { return false; }, 100ms);
    EXPECT_EQ(fired, (std::vector<std::string>{"early", "canceller", "late"}));
}

TEST(GlibExecutorTest, PendingTimersAreRemovedWithTheExecutor) {
    bool fired = false;
    {
        GlibExecutor executor;
        executor.callAfter(10ms, [&] { fired = true; });
    }
    iterateUntil([] { return false; }, 60ms);
    EXPECT_FALSE(fired);
}

} // namespace
