// Task scopes and whenAll in virtual time: cancellation travels from owners to children,
// closing waits for every child, failures are reported once, and a discarded scope leaves
// nothing that could run later (ASan watches the frames).

#include "base/blocking.h"
#include "base/errors.h"
#include "base/event_loops.h"
#include "base/sleep.h"
#include "base/spawn.h"
#include "base/task.h"
#include "base/task_scope.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace korvane;
using namespace std::chrono_literals;

namespace {

class TaskScopeTest : public ::testing::Test {
protected:
    void SetUp() override {
        setMainExecutor(&loop);
        setUncaughtTaskErrorHandler([this](const std::string& text) { reported.push_back(text); });
    }
    void TearDown() override {
        loop.runUntilIdle();
        setUncaughtTaskErrorHandler(nullptr);
        setMainExecutor(nullptr);
    }

    // Sleeps for d and notes how it ended: "<name> slept" or "<name> cancelled".
    Task<void> sleeper(std::string name, Duration d) {
        try {
            co_await sleep(d);
            log.push_back(name + " slept");
        } catch (const Cancelled&) {
            log.push_back(name + " cancelled");
            throw;
        }
    }

    ManualLoop loop;
    std::vector<std::string> log;
    std::vector<std::string> reported;
};

TEST_F(TaskScopeTest, CancellingTheOwnerReachesEveryChildAndCloseWaitsForThemAll) {
    auto owner = [&]() -> Task<void> {
        TaskScope children(co_await currentStopToken());
        children.spawn(sleeper("a", 10s));
        children.spawn(sleeper("b", 20s));
        children.spawn(sleeper("c", 1s));
        try {
            co_await sleep(1h);
        } catch (const Cancelled&) {
            log.push_back("owner cancelled");
        }
        co_await children.close();
        log.push_back("closed with " + std::to_string(children.size()) + " left");
    };
    auto handle = spawn(owner());
    loop.advance(5s);
    handle.cancel();
    loop.runUntilIdle();
    EXPECT_TRUE(handle.done());
    EXPECT_EQ(log, (std::vector<std::string>{"c slept", "owner cancelled", "a cancelled", "b cancelled",
                                             "closed with 0 left"}));
    EXPECT_TRUE(reported.empty()) << "a cancellation is not an error";
}

TEST_F(TaskScopeTest, AChildThatThrowsIsReportedOnceAndTheOthersGoOn) {
    TaskScope scope;
    std::vector<std::string> scopeErrors;
    auto failing = []() -> Task<void> {
        co_await sleep(1s);
        throw KorvaneError("节点不可用");
    };
    scope.spawn(failing());
    scope.spawn(sleeper("other", 2s));
    loop.advance(3s);
    EXPECT_EQ(reported, std::vector<std::string>{"节点不可用"});
    EXPECT_EQ(log, std::vector<std::string>{"other slept"});

    scope.onError([&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            scopeErrors.push_back(e.what());
        }
    });
    scope.spawn(failing());
    loop.advance(1s);
    EXPECT_EQ(scopeErrors, std::vector<std::string>{"节点不可用"});
    EXPECT_EQ(reported.size(), 1u) << "a scope with its own handler does not report twice";
}

TEST_F(TaskScopeTest, ChildrenOfACancelledScopeNeverRun) {
    TaskScope scope;
    scope.cancel();
    bool ran = false;
    auto body = [&]() -> Task<void> {
        ran = true;
        co_return;
    };
    auto handle = scope.spawn(body());
    loop.runUntilIdle();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(handle.done());
}

TEST_F(TaskScopeTest, WhenAllReturnsResultsInOrderAndPassesCancellationOn) {
    auto value = [](int v, Duration d) -> Task<int> {
        co_await sleep(d);
        co_return v;
    };
    std::vector<int> results;
    auto gather = [&]() -> Task<void> {
        std::vector<Task<int>> tasks;
        tasks.push_back(value(1, 3s));
        tasks.push_back(value(2, 1s));
        tasks.push_back(value(3, 2s));
        results = co_await whenAll(std::move(tasks));
    };
    auto handle = spawn(gather());
    loop.advance(2s);
    EXPECT_FALSE(handle.done()) << "resumes only once every task has ended";
    loop.advance(1s);
    EXPECT_EQ(results, (std::vector<int>{1, 2, 3}));

    std::string outcome;
    auto cancelled = [&]() -> Task<void> {
        std::vector<Task<void>> tasks;
        tasks.push_back(sleeper("x", 10s));
        tasks.push_back(sleeper("y", 10s));
        try {
            co_await whenAll(std::move(tasks));
        } catch (const Cancelled&) {
            outcome = "cancelled";
        }
    };
    auto second = spawn(cancelled());
    loop.advance(1s);
    second.cancel();
    loop.runUntilIdle();
    EXPECT_EQ(outcome, "cancelled");
    EXPECT_EQ(log, (std::vector<std::string>{"x cancelled", "y cancelled"}));
}

TEST_F(TaskScopeTest, WhenAllThrowsTheFirstFailureAfterCancellingTheRest) {
    auto failing = [](std::string text, Duration d) -> Task<void> {
        co_await sleep(d);
        throw KorvaneError(text);
    };
    auto failsInCleanUp = [&]() -> Task<void> {
        try {
            co_await sleep(10s);
        } catch (const Cancelled&) {
            log.push_back("clean-up");
            throw KorvaneError("second");
        }
    };
    std::string caught;
    auto gather = [&]() -> Task<void> {
        std::vector<Task<void>> tasks;
        tasks.push_back(sleeper("slow", 10s));
        tasks.push_back(failing("first", 1s));
        tasks.push_back(failsInCleanUp());
        try {
            co_await whenAll(std::move(tasks));
        } catch (const KorvaneError& error) {
            caught = error.what();
        }
    };
    auto handle = spawn(gather());
    loop.advance(2s);
    EXPECT_TRUE(handle.done());
    EXPECT_EQ(caught, "first");
    EXPECT_EQ(log, (std::vector<std::string>{"slow cancelled", "clean-up"}));
    // A failure after the first is not lost.
    EXPECT_EQ(reported, std::vector<std::string>{"second"});
}

TEST_F(TaskScopeTest, ADiscardedScopeLeavesNothingThatRunsLater) {
    std::atomic<bool> releaseBody{false};
    auto outside = spawn(sleeper("outside", 1h));
    {
        auto scope = std::make_unique<TaskScope>();
        // Suspended in every kind of wait: a sleep, a blocking body, a join, a nested scope
        // and whenAll.
        scope->spawn(sleeper("sleeping", 10s));
        auto blocked = [&]() -> Task<void> {
            co_await blocking([&] {
                while (!releaseBody)
                    std::this_thread::sleep_for(1ms);
            });
            log.push_back("blocked resumed");
        };
        scope->spawn(blocked());
        auto joiner = [&]() -> Task<void> {
            co_await outside.join();
            log.push_back("joiner resumed");
        };
        scope->spawn(joiner());
        auto nested = [&]() -> Task<void> {
            TaskScope inner(co_await currentStopToken());
            inner.spawn(sleeper("inner", 10s));
            co_await inner.join();
            log.push_back("nested resumed");
        };
        scope->spawn(nested());
        auto gathered = [&]() -> Task<void> {
            std::vector<Task<void>> tasks;
            tasks.push_back(sleeper("gathered", 10s));
            co_await whenAll(std::move(tasks));
        };
        scope->spawn(gathered());
        auto notStarted = scope->spawn(sleeper("never started", 1s));
        loop.runUntilIdle();

        TaskScope other;
        auto waitsForNotStarted = [&](TaskHandle h) -> Task<void> {
            co_await h.join();
            log.push_back("join of a discarded task returned");
        };
        auto waiting = other.spawn(waitsForNotStarted(notStarted));
        loop.runUntilIdle();
        scope.reset();
        loop.runUntilIdle();
        EXPECT_TRUE(waiting.done());
    }
    releaseBody = true;
    loop.advance(20s);
    loop.runUntil([] { return false; }, 50ms);
    EXPECT_EQ(log, std::vector<std::string>{"join of a discarded task returned"});
    outside.cancel();
    loop.runUntilIdle();
    EXPECT_TRUE(reported.empty());
}

TEST_F(TaskScopeTest, CleanUpThatMustFinishRunsToItsEndAfterCancellation) {
    auto owner = [&]() -> Task<void> {
        try {
            co_await sleep(1h);
        } catch (const Cancelled&) {
            log.push_back("cancelled");
        }
        co_await uncancellable(sleeper("clean-up", 2s));
        co_await sleep(1s); // an ordinary wait afterwards is cancelled again
        log.push_back("unreachable");
    };
    auto handle = spawn(owner());
    loop.runUntilIdle();
    handle.cancel();
    loop.advance(1s);
    EXPECT_FALSE(handle.done());
    loop.advance(1s);
    EXPECT_TRUE(handle.done());
    EXPECT_EQ(log, (std::vector<std::string>{"cancelled", "clean-up slept"}));
}

TEST_F(TaskScopeTest, AwaitingAnEmptyTaskIsALogicError) {
    std::string caught;
    auto work = [&]() -> Task<void> {
        Task<int> empty;
        try {
            co_await std::move(empty);
        } catch (const std::logic_error& error) {
            caught = error.what();
        }
    };
    auto handle = spawn(work());
    loop.runUntilIdle();
    EXPECT_EQ(caught, "co_await on an empty Task");
}

} // namespace
