// Node-test runs as the controller keeps them: a new run replaces the one under way, and what
// the old one still reports never reaches the page.

#include "app/node_tests.h"
#include "base/sleep.h"
#include "testing/async_test.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;

namespace {

TEST(NodeTests, ASecondRunStartedDuringTheFirstIsTheOnlyOneThatReports) {
    ManualLoopScope scope;
    std::vector<std::string> steps;
    int changes = 0;
    NodeTests tests([&] { ++changes; },
                    [&](const std::string& error) { steps.push_back("failed: " + error); });
    // A run whose one answer is already on its way when it is cancelled, so it reports anyway.
    auto run = [&](std::string label, bool available) -> NodeTests::Run {
        return [&steps, label, available](NodeTests::OnResult onResult) -> Task<void> {
            steps.push_back(label + " begins");
            auto wait = []() -> Task<void> { co_await sleep(1s); };
            co_await uncancellable(wait());
            onResult("n1", available);
            steps.push_back(label + " ends");
        };
    };

    tests.start(run("first", false));
    scope.loop.advance(500ms);
    tests.start(run("second", true));
    scope.loop.advance(500ms);
    EXPECT_TRUE(tests.availability().empty());
    EXPECT_EQ(steps, (std::vector<std::string>{"first begins", "first ends", "second begins"}))
        << "the second run begins only once the first has ended";
    scope.loop.advance(1s);
    EXPECT_EQ(tests.availability(), (std::map<std::string, bool>{{"n1", true}}));
    EXPECT_EQ(changes, 1);
    EXPECT_FALSE(tests.running());
}

} // namespace
