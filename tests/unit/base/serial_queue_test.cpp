#include "base/errors.h"
#include "base/serial_queue.h"
#include "base/spawn.h"
#include "testing/async_test.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace korvane;

namespace {

Task<void> take(SerialQueue& queue, std::optional<SerialQueue::Turn>& turn) { turn = co_await queue.next(); }

Task<void> note(SerialQueue& queue, std::vector<std::string>& log, std::string name) {
    try {
        auto turn = co_await queue.next();
        log.push_back(name);
    } catch (const Cancelled&) {
        log.push_back(name + " cancelled");
        throw;
    }
}

TEST(SerialQueueTest, TurnsPassInArrivalOrderSkippingTheCancelled) {
    korvane::testing::ManualLoopScope scope;
    auto& loop = scope.loop;
    SerialQueue queue;
    std::vector<std::string> log;
    std::optional<SerialQueue::Turn> first;
    auto a = spawn(take(queue, first));
    loop.runUntilIdle();
    ASSERT_TRUE(first && first->held());

    auto b = spawn(note(queue, log, "b"));
    auto c = spawn(note(queue, log, "c"));
    auto d = spawn(note(queue, log, "d"));
    loop.runUntilIdle();
    EXPECT_TRUE(log.empty());
    b.cancel();
    loop.runUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"b cancelled"}));

    // c is given the turn but cancelled before it resumes: it passes the turn on unused.
    first->release();
    c.cancel();
    loop.runUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"b cancelled", "d", "c cancelled"}));
    EXPECT_FALSE(queue.busy());

    // A turn handed to another thread ends when that thread drops it.
    auto again = spawn(take(queue, first));
    loop.runUntilIdle();
    auto token = std::move(*first).handOff();
    auto e = spawn(note(queue, log, "e"));
    loop.runUntilIdle();
    EXPECT_FALSE(e.done());
    std::thread([held = std::move(token)]() mutable { held.reset(); }).join();
    ASSERT_TRUE(loop.runUntil([&] { return e.done(); }));
    EXPECT_EQ(log.back(), "e");
    EXPECT_FALSE(queue.busy());
}

} // namespace
