#include "diag/quality_log.h"

#include "base/json.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using namespace korvane;

namespace {

struct Store {
    std::optional<std::string> installId;
    bool writable = true;
    int writes = 0;
};

QualityEnvironment environment(bool consent, Store& store) {
    QualityEnvironment env;
    env.consent = [consent] { return consent; };
    env.readInstallId = [&store] { return store.installId; };
    env.storeInstallId = [&store](const std::string& id) {
        ++store.writes;
        if (!store.writable) return false;
        store.installId = id;
        return true;
    };
    env.appVersion = "1.0.0";
    env.appBuild = 100;
    env.osVersion = "Linux 6.1";
    env.endpoint = "https://127.0.0.1:18447/api/quality.php";
    return env;
}

TEST(QualityRecordTest, WithoutConsentOnlyEssentialFailuresGoOutAndCarryLess) {
    Store store;
    auto env = environment(false, store);
    EXPECT_EQ(QualityLog::record(env, "vpn_connect_attempt", "smart", 10, "", ""), std::nullopt);
    EXPECT_EQ(QualityLog::record(env, "node_switch_failure", "", {}, "", ""), std::nullopt)
        << "essential but not on the allow-list";

    auto record =
        QualityLog::record(env, "vpn_connect_failure", "smart", 1234, "connect_failed", "core_or_proxy");
    ASSERT_TRUE(record);
    EXPECT_EQ(*record, Json::parse(R"({"platform":"macos","app_version":"1.0.0","app_build":100,
        "install_id":")" + QualityLog::errorSessionID() +
                                   R"(","event":"vpn_connect_failure","architecture":"x64",
        "reason":"connect_failed","extra":{"stage":"core_or_proxy"}})"));
    EXPECT_EQ(store.writes, 0) << "no installation identifier without consent";
}

TEST(QualityRecordTest, WithConsentTheInstallationIdentifierIsCreatedOnceAndReused) {
    Store store;
    auto env = environment(true, store);
    auto first = QualityLog::record(env, "vpn_connect_success", "global", 900000, "", "");
    ASSERT_TRUE(first);
    ASSERT_TRUE(store.installId);
    EXPECT_EQ((*first)["install_id"], *store.installId);
    EXPECT_NE(*store.installId, QualityLog::errorSessionID());
    EXPECT_EQ((*first)["route_mode"], "global");
    EXPECT_EQ((*first)["duration_ms"], 600000);
    EXPECT_EQ((*first)["os_version"], "Linux 6.1");
    EXPECT_EQ((*first)["device_class"], "desktop");
    EXPECT_FALSE(first->contains("reason"));
    EXPECT_FALSE(first->contains("extra"));

    auto second = QualityLog::record(env, "app_start", "", -5, "", "");
    EXPECT_EQ((*second)["install_id"], *store.installId);
    EXPECT_EQ((*second)["duration_ms"], 0);
    EXPECT_FALSE(second->contains("route_mode"));
    EXPECT_EQ(store.writes, 1);
}

TEST(QualityRecordTest, FailedStoreFallsBackToTheSessionIdentifier) {
    Store store;
    store.writable = false;
    auto env = environment(true, store);
    auto record = QualityLog::record(env, "app_start", "", {}, "", "");
    EXPECT_EQ((*record)["install_id"], QualityLog::errorSessionID());
}

TEST(QualityRecordTest, ReasonAndStageAreCleanedThenCut) {
    EXPECT_EQ(QualityLog::clean("permission or 网络-x.y_z"), "permissionor-x.y_z");
    EXPECT_EQ(QualityLog::clean(std::string(60, 'r')), std::string(48, 'r'));
    Store store;
    auto env = environment(true, store);
    auto record = QualityLog::record(env, "app_start", "", {}, "网络 错误", "");
    EXPECT_FALSE(record->contains("reason")) << "nothing left after cleaning";
}

} // namespace
