// What a launch makes of the files an update leaves behind, on the loop's virtual clock: the
// one-time session (its age, permissions, type and size) and the install script's result.
// The hand-off that writes them, the script and the reconnect run for real in
// tests/e2e/update_handoff_test.cpp.

#include "app/korvane_application.h"
#include "base/files.h"
#include "testing/fake_platform.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

double nowSeconds(const ControllerHarness& h) {
    auto& loop = const_cast<ManualLoop&>(h.loop);
    return std::chrono::duration<double>(loop.wallClock().now().time_since_epoch()).count();
}

std::vector<std::pair<std::string, std::string>> updateReports(const ControllerHarness& h) {
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& line : h.fake.eventLog()) {
        const auto event = line.value("event", std::string());
        if (event.starts_with("update_install_"))
            found.emplace_back(event, line.value("reason", std::string()));
    }
    return found;
}

TEST(UpdateHandOverTest, TheOneTimeSessionIsTakenOnlyWhenFreshPrivateAndSmall) {
    struct Case {
        const char* name;
        double age; // seconds before the launch
        mode_t mode = 0600;
        bool link = false;
        std::size_t padding = 0; // spaces after the object
        std::optional<std::string> credential = std::nullopt;
        bool left = false; // the file is still there afterwards
    };
    const Case cases[] = {
        {"599 s old", 599, 0600, false, 0, "carried-token"},
        {"600 s old", 600},
        {"dated in the future", -1},
        {"readable by others", 10, 0644, false, 0, std::nullopt, true},
        {"a symbolic link to a valid one", 10, 0600, true, 0, std::nullopt, true},
        {"65,537 bytes", 10, 0600, false, 65'537},
        {"65,536 bytes", 10, 0600, false, 65'536, "carried-token"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ControllerHarness h;
        const fs::path updates = h.fake.supportDir() / "updates";
        fs::create_directories(updates);
        const fs::path file = updates / "one-time-session.json";
        std::string text = Json{{"created", nowSeconds(h) - c.age}, {"token", "carried-token"}}.dump();
        if (c.padding) text.append(c.padding - text.size(), ' ');
        const fs::path target = c.link ? h.fake.root() / "elsewhere.json" : file;
        writeFileAtomically(target, text, c.mode);
        if (c.link) fs::create_symlink(target, file);

        auto& app = h.launchAndSettle();
        EXPECT_EQ(app.auth(), c.credential);
        EXPECT_EQ(fs::is_symlink(file) || fs::exists(file), c.left);
        if (c.link) EXPECT_EQ(readFile(target), text);
        h.destroyController();
    }
}

TEST(UpdateHandOverTest, TheInstallResultIsReportedOnceWithItsClampedExitCode) {
    struct Case {
        const char* name;
        std::string body;
        std::vector<std::pair<std::string, std::string>> reports;
        bool left = false;
    };
    const std::vector<Case> cases = {
        {"installed build 100",
         R"({"status":"success","to_build":100,"exit_code":0})",
         {{"update_install_success", "ok"}}},
        {"success for another build",
         R"({"status":"success","to_build":101})",
         {{"update_install_failure", "exit_0"}}},
        {"failed with 17",
         R"({"status":"failed","to_build":100,"exit_code":17})",
         {{"update_install_failure", "exit_17"}}},
        {"failed with 1500",
         R"({"status":"failed","exit_code":1500})",
         {{"update_install_failure", "exit_999"}}},
        {"failed with -3", R"({"status":"failed","exit_code":-3})", {{"update_install_failure", "exit_0"}}},
        {"failed without a code",
         R"({"status":"failed","exit_code":"10"})",
         {{"update_install_failure", "exit_0"}}},
        {"an unknown status", R"({"status":"done","exit_code":0})", {}, true},
        {"not an object", R"(["failed"])", {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ControllerHarness h;
        h.recordEvents();
        h.fake.writeSupportFile("updates/last-update-result.json", c.body);
        h.launchAndSettle();
        EXPECT_EQ(updateReports(h), c.reports);
        EXPECT_EQ(fs::exists(h.fake.supportDir() / "updates/last-update-result.json"), c.left);
        // Read again on the next tick only when it was left.
        h.app().healthTick();
        h.loop.runUntilIdle();
        EXPECT_EQ(updateReports(h), c.reports);
        h.destroyController();
    }
}

TEST(UpdateHandOverTest, AResultWrittenAfterTheLaunchIsReportedByTheNextTickUnlessItIsALink) {
    ControllerHarness h;
    h.recordEvents();
    auto& app = h.launchAndSettle();
    const fs::path updates = h.fake.supportDir() / "updates";
    fs::create_directories(updates);
    writeFileAtomically(h.fake.root() / "planted.json", R"({"status":"failed","exit_code":10})");
    fs::create_symlink(h.fake.root() / "planted.json", updates / "last-update-result.json");
    app.healthTick();
    h.loop.runUntilIdle();
    EXPECT_TRUE(updateReports(h).empty());
    EXPECT_TRUE(fs::is_symlink(updates / "last-update-result.json"));

    fs::remove(updates / "last-update-result.json");
    writeFileAtomically(updates / "last-update-result.json", R"({"status":"failed","exit_code":10})");
    app.healthTick();
    h.loop.runUntilIdle();
    EXPECT_EQ(updateReports(h),
              (std::vector<std::pair<std::string, std::string>>{{"update_install_failure", "exit_10"}}));
    EXPECT_FALSE(fs::exists(updates / "last-update-result.json"));
}

} // namespace
