#include "base/json.h"
#include "panel/account_overview.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace korvane;

namespace {

const WallTime kNow{std::chrono::seconds{1'750'000'000}};

AccountOverview overviewOf(const char* profile) { return AccountOverview(Json::parse(profile), kNow); }

TEST(AccountOverviewTest, NumbersComeFromNumbersAndNumericStringsOnly) {
    struct Case {
        Json value;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {12, 12},
        {1.5, 1.5},
        {" 2e9\n", 2e9},
        {"12", 12},
        {true, std::nullopt},
        {nullptr, std::nullopt},
        {"abc", std::nullopt},
        {"12 GB", std::nullopt},
        {-1, std::nullopt},
        {9007199254740991.0, 9007199254740991.0},
        {9007199254740992.0, std::nullopt},
        {"inf", std::nullopt},
        {Json::array({1}), std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AccountOverview::number(&c.value), c.expected) << c.value.dump();
    EXPECT_EQ(AccountOverview::number(nullptr), std::nullopt);
}

TEST(AccountOverviewTest, ExpiryInSecondsOrMillisecondsAndItsLimits) {
    EXPECT_EQ(overviewOf(R"({"expired_at":1767225600})").expiresAt, 1767225600);
    EXPECT_EQ(overviewOf(R"({"expired_at":1767225600000})").expiresAt, 1767225600);
    auto beyond = overviewOf(R"({"expired_at":1e16})");
    EXPECT_FALSE(beyond.expiresAt);
    EXPECT_FALSE(beyond.expiryKnown);
    auto never = overviewOf(R"({"expired_at":null})");
    EXPECT_FALSE(never.expiresAt);
    EXPECT_TRUE(never.expiryKnown);
    EXPECT_FALSE(overviewOf(R"({"expired_at":"abc"})").expiryKnown);
    EXPECT_FALSE(overviewOf("{}").expiryKnown);
}

TEST(AccountOverviewTest, TrafficPlanAndReset) {
    auto overview = overviewOf(R"({"u":1.5e9,"d":"5e8","transfer_enable":"107374182400","plan_id":3,
        "plan":{"reset_traffic_method":1.9},"reset_day":12.2,"next_reset_at":1700000000})");
    EXPECT_EQ(overview.usedBytes, 2e9);
    EXPECT_EQ(overview.totalBytes, 107374182400.0);
    EXPECT_TRUE(overview.hasPlan);
    EXPECT_EQ(overview.resetMethod, 1);
    EXPECT_EQ(overview.resetDays, 13);
    EXPECT_FALSE(overview.nextResetAt) << "a reset in the past is dropped";
    EXPECT_TRUE(overview.resetKnown);

    EXPECT_FALSE(overviewOf(R"({"u":1})").usedBytes);
    EXPECT_FALSE(overviewOf(R"({"transfer_enable":-1})").totalBytes);
    EXPECT_FALSE(overviewOf(R"({"transfer_enable":true})").totalBytes);
    EXPECT_FALSE(overviewOf(R"({"plan_id":0,"transfer_enable":0})").hasPlan);
    EXPECT_TRUE(overviewOf(R"({"plan":{}})").hasPlan);
    EXPECT_FALSE(overviewOf(R"({"plan":{"reset_traffic_method":5}})").resetMethod);
    EXPECT_FALSE(overviewOf(R"({"plan":{"reset_traffic_method":-1}})").resetMethod);
    EXPECT_FALSE(overviewOf(R"({"reset_traffic_method":2})").resetMethod) << "only the plan's member counts";

    auto nullDay = overviewOf(R"({"reset_day":null})");
    EXPECT_FALSE(nullDay.resetDays);
    EXPECT_TRUE(nullDay.resetKnown);
    EXPECT_FALSE(overviewOf(R"({"reset_day":36601})").resetDays);
    EXPECT_FALSE(overviewOf(R"({"next_reset_at":1700000000})").resetKnown);
    auto future = overviewOf(R"({"next_reset_at":1800000000000})");
    EXPECT_EQ(future.nextResetAt, 1800000000);
    EXPECT_TRUE(future.resetKnown);
}

TEST(AccountOverviewTest, PageFormHasExactlyTenMembers) {
    auto json = overviewOf(R"({"plan_id":1,"expired_at":null})").json();
    EXPECT_EQ(json, Json::parse(R"({"hasPlan":true,"expiryKnown":true,"expiresAt":null,"totalBytes":null,
        "usedBytes":null,"nextResetAt":null,"resetDays":null,"resetKnown":false,"resetMethod":null,
        "fetchedAt":1750000000.0})"));
}

} // namespace
