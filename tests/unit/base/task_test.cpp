#include "base/blocking.h"
#include "base/errors.h"
#include "base/event_loops.h"
#include "base/sleep.h"
#include "base/spawn.h"
#include "base/task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace korvane;
using namespace std::chrono_literals;

namespace {

class TaskTest : public ::testing::Test {
protected:
    void SetUp() override { setMainExecutor(&loop); }
    void TearDown() override {
        loop.runUntilIdle();
        setMainExecutor(nullptr);
    }
    ManualLoop loop;
};

Task<int> answer(int& steps) {
    ++steps;
    co_return 42;
}

Task<std::string> failing() {
    throw KorvaneError("无法连接");
    co_return "";
}

Task<int> sum(int& steps) {
    int a = co_await answer(steps);
    int b = co_await answer(steps);
    co_return a + b;
}

TEST_F(TaskTest, TaskIsLazyAndRunsWhenSpawned) {
    int steps = 0;
    int result = 0;
    auto work = [&]() -> Task<void> { result = co_await sum(steps); };
    Task<void> task = work();
    EXPECT_EQ(steps, 0);
    auto handle = spawn(std::move(task));
    EXPECT_EQ(steps, 0) << "spawn must not run the task inside the call";
    loop.runUntilIdle();
    EXPECT_EQ(steps, 2);
    EXPECT_EQ(result, 84);
    EXPECT_TRUE(handle.done());
}

TEST_F(TaskTest, ExceptionsTravelThroughCoAwait) {
    std::string caught;
    auto work = [&]() -> Task<void> {
        try {
            co_await failing();
        } catch (const KorvaneError& error) {
            caught = error.what();
        }
    };
    auto handle = spawn(work());
    loop.runUntilIdle();
    EXPECT_EQ(caught, "无法连接");
}

TEST_F(TaskTest, UncaughtErrorsAreReportedNotThrown) {
    std::string reported;
    setUncaughtTaskErrorHandler([&](const std::string& text) { reported = text; });
    auto work = []() -> Task<void> { co_await failing(); };
    auto handle = spawn(work());
    loop.runUntilIdle();
    setUncaughtTaskErrorHandler(nullptr);
    EXPECT_EQ(reported, "无法连接");
    EXPECT_TRUE(handle.done());
}

TEST_F(TaskTest, SleepUsesVirtualTime) {
    int stage = 0;
    auto work = [&]() -> Task<void> {
        stage = 1;
        co_await sleep(1800s);
        stage = 2;
    };
    auto handle = spawn(work());
    loop.runUntilIdle();
    EXPECT_EQ(stage, 1);
    loop.advance(1799s);
    EXPECT_EQ(stage, 1);
    loop.advance(1s);
    EXPECT_EQ(stage, 2);
}

TEST_F(TaskTest, CancellationWhileSleepingThrowsCancelledNotKorvaneError) {
    bool sawKorvaneError = false;
    bool sawCancelled = false;
    bool finished = false;
    auto work = [&]() -> Task<void> {
        try {
            co_await sleep(600s);
            finished = true;
        } catch (const KorvaneError&) {
            sawKorvaneError = true;
        } catch (const Cancelled&) {
            sawCancelled = true;
        }
    };
    auto handle = spawn(work());
    loop.advance(10s);
    handle.cancel();
    loop.runUntilIdle();
    EXPECT_TRUE(sawCancelled);
    EXPECT_FALSE(sawKorvaneError);
    EXPECT_FALSE(finished);
    EXPECT_TRUE(handle.done());
    loop.advance(600s); // the cancelled timer must not fire into a finished task
}

TEST_F(TaskTest, CancelBeforeStartNeverRunsTheBody) {
    bool ran = false;
    auto work = [&]() -> Task<void> {
        ran = true;
        co_return;
    };
    auto handle = spawn(work());
    handle.cancel();
    loop.runUntilIdle();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(handle.done());
}

TEST_F(TaskTest, ChildTasksInheritCancellation) {
    bool childCancelled = false;
    auto child = [&]() -> Task<void> {
        try {
            co_await sleep(30s);
        } catch (const Cancelled&) {
            childCancelled = true;
            throw;
        }
    };
    auto parent = [&]() -> Task<void> { co_await child(); };
    auto handle = spawn(parent());
    loop.runUntilIdle();
    handle.cancel();
    loop.runUntilIdle();
    EXPECT_TRUE(childCancelled);
    EXPECT_TRUE(handle.done());
}

TEST_F(TaskTest, JoinAfterCancelWaitsForTheEnd) {
    std::vector<std::string> order;
    auto sleeper = [&]() -> Task<void> {
        try {
            co_await sleep(100s);
        } catch (const Cancelled&) {
            order.push_back("sleeper cleaned up");
            throw;
        }
    };
    auto handle = spawn(sleeper());
    auto stopper = [&]() -> Task<void> {
        handle.cancel();
        co_await handle.join();
        order.push_back("joined");
        co_await handle.join(); // joining a finished task returns at once
        order.push_back("joined again");
    };
    loop.runUntilIdle();
    auto stopping = spawn(stopper());
    loop.runUntilIdle();
    EXPECT_EQ(order, (std::vector<std::string>{"sleeper cleaned up", "joined", "joined again"}));
}

TEST_F(TaskTest, BlockingRunsOffTheMainThreadAndResumesOnIt) {
    const auto mainThread = std::this_thread::get_id();
    std::thread::id bodyThread;
    std::thread::id resumedOn;
    int result = 0;
    auto work = [&]() -> Task<void> {
        result = co_await blocking([&] {
            bodyThread = std::this_thread::get_id();
            return 7;
        });
        resumedOn = std::this_thread::get_id();
    };
    auto handle = spawn(work());
    ASSERT_TRUE(loop.runUntil([&] { return handle.done(); }));
    EXPECT_EQ(result, 7);
    EXPECT_NE(bodyThread, mainThread);
    EXPECT_EQ(resumedOn, mainThread);
}

TEST_F(TaskTest, BlockingPropagatesErrors) {
    std::string caught;
    auto work = [&]() -> Task<void> {
        try {
            co_await blocking([]() -> int { throw std::runtime_error("Permission denied"); });
        } catch (const std::runtime_error& error) {
            caught = error.what();
        }
    };
    auto handle = spawn(work());
    ASSERT_TRUE(loop.runUntil([&] { return handle.done(); }));
    EXPECT_EQ(caught, "Permission denied");
}

TEST_F(TaskTest, CancellationWhileBlockedResumesAtOnce) {
    std::atomic<bool> release{false};
    std::atomic<bool> bodyFinished{false};
    bool cancelled = false;
    auto work = [&]() -> Task<void> {
        try {
            co_await blocking([&] {
                while (!release)
                    std::this_thread::sleep_for(1ms);
                bodyFinished = true;
            });
        } catch (const Cancelled&) {
            cancelled = true;
        }
    };
    auto handle = spawn(work());
    loop.runUntilIdle();
    handle.cancel();
    ASSERT_TRUE(loop.runUntil([&] { return handle.done(); }));
    EXPECT_TRUE(cancelled);
    EXPECT_FALSE(bodyFinished) << "the task must not wait for the body";
    release = true;
    // The late result is dropped without touching the finished task.
    loop.runUntil([&] { return bodyFinished.load(); });
    loop.runUntil([] { return false; }, 20ms);
}

TEST_F(TaskTest, ManyTasksInterleaveAtTheirWaits) {
    std::vector<int> order;
    auto worker = [&](int id, int delaySeconds) -> Task<void> {
        for (int round = 0; round < 3; ++round) {
            co_await sleep(std::chrono::seconds(delaySeconds));
            order.push_back(id);
        }
    };
    std::vector<TaskHandle> handles;
    handles.push_back(spawn(worker(1, 3)));
    handles.push_back(spawn(worker(2, 2)));
    handles.push_back(spawn(worker(3, 5)));
    loop.advance(20s);
    // Wake-ups in time order: 2@2 1@3 2@4 3@5 1@6 2@6 1@9 3@10 3@15
    EXPECT_EQ(order, (std::vector<int>{2, 1, 2, 3, 1, 2, 1, 3, 3}));
    for (auto& h : handles)
        EXPECT_TRUE(h.done());
}

TEST_F(TaskTest, WallClockMovesWithVirtualTime) {
    const auto before = loop.wallClock().now();
    loop.advance(1209600s);
    EXPECT_EQ(loop.wallClock().now() - before, std::chrono::seconds(1209600));
}

TEST(PlainLoopTest, RunsPostedWorkAndTimersUntilQuit) {
    PlainLoop loop;
    setMainExecutor(&loop);
    std::vector<std::string> order;
    auto work = [&]() -> Task<void> {
        order.push_back("start");
        co_await sleep(5ms);
        order.push_back("slept");
        int value = co_await blocking([] { return 3; });
        order.push_back("blocked " + std::to_string(value));
        loop.quit();
    };
    auto handle = spawn(work());
    loop.run();
    setMainExecutor(nullptr);
    EXPECT_EQ(order, (std::vector<std::string>{"start", "slept", "blocked 3"}));
}

} // namespace
