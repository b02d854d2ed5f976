// The administrator scripts run as the superuser, and what they set comes from the network
// services' names and from the proxy record, a file of the user's. Whatever those hold, shell
// syntax included, must reach the settings tool as plain arguments and never run as a command.

#include "base/files.h"
#include "platform/system_paths.h"
#include "sysproxy/proxy_backup.h"
#include "sysproxy/system_proxy.h"
#include "testing/async_test.h"
#include "testing/system_tools.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

using namespace korvane;
using korvane::testing::ManualLoopScope;
using korvane::testing::runTask;
using korvane::testing::SystemTools;
using korvane::testing::TempDir;
namespace fs = std::filesystem;

namespace {

class PrivilegedScriptTest : public ::testing::Test {
protected:
    PrivilegedScriptTest() {
        setSystemRoot(dir_.path());
        fs::create_directories(support_);
    }
    ~PrivilegedScriptTest() override { setSystemRoot(""); }

    // Every way a shell could be made to run `touch <canary>`.
    std::vector<std::string> attacks() const {
        const std::string touch = "touch " + canary_.string();
        return {"'; " + touch + "; '",   "$(" + touch + ")",   "`" + touch + "`",
                "\"; " + touch + "; \"", "x\n" + touch + "\n", "${IFS}$(" + touch + ")"};
    }

    TempDir dir_;
    fs::path support_ = dir_.path() / "support";
    fs::path canary_ = dir_.path() / "canary";
    SystemTools tools_{dir_.path()};
    ManualLoopScope scope_;
    SystemProxy proxy_{support_ / "proxy-backup.json", support_};
};

TEST_F(PrivilegedScriptTest, ServiceNamesAndRecordedValuesAreOnlyEverArguments) {
    // Services named like an attack, switched on and back as the user's settings.
    Json services = Json::array();
    for (const auto& attack : attacks()) {
        if (attack.find('\n') == std::string::npos) // the tool lists one name per line
            services.push_back(korvane::testing::standInService("Wi-Fi" + attack));
    }
    tools_.setServices(services);
    runTask(scope_.loop, proxy_.enable());
    for (const auto& service : tools_.services())
        EXPECT_EQ(service["webproxy"]["server"], "127.0.0.1") << service["name"];
    runTask(scope_.loop, proxy_.restore());
    // A kind saved without a server comes back off; the tool cannot clear the server itself.
    EXPECT_EQ(korvane::testing::restorableView(tools_.services(), services), services);

    // A record planted with the attacks as servers and bypass entries, for services whose
    // names carry them too.
    services = Json::array();
    ProxyBackup record;
    for (const auto& attack : attacks()) {
        services.push_back(korvane::testing::standInService(attack));
        record.services.push_back(
            {attack, {true, attack, 8080}, {}, {false, attack, 1080}, {attack, "*.local"}});
    }
    tools_.setServices(services);
    writeProxyBackup(support_ / "proxy-backup.json", record);
    runTask(scope_.loop, proxy_.restore());

    EXPECT_FALSE(fs::exists(canary_)) << "a recorded value ran as a command";
    const Json restored = tools_.services();
    const auto planted = attacks();
    ASSERT_EQ(restored.size(), planted.size());
    for (std::size_t i = 0; i < restored.size(); ++i) {
        const std::string& attack = planted[i];
        EXPECT_EQ(restored[i]["name"], attack);
        EXPECT_EQ(restored[i]["webproxy"], (Json{{"enabled", true}, {"server", attack}, {"port", 8080}}));
        EXPECT_EQ(restored[i]["socksfirewallproxy"],
                  (Json{{"enabled", false}, {"server", attack}, {"port", 1080}}));
        EXPECT_EQ(restored[i]["bypass"], (Json{attack, "*.local"}));
    }
    EXPECT_EQ(tools_.prompts().size(), 3u);
}

} // namespace
