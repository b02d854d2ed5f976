// The route check against this machine's kernel, and against stand-ins for the route tool put
// under a system root: a tunnel, oversized or broken output, and tools that hang.

#include "platform/route_lookup.h"
#include "platform/system_paths.h"
#include "pulse/korvane_physical_pulse.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

using namespace korvane;
using namespace korvane::testing;

namespace {

namespace fs = std::filesystem;

// The interface of the IPv4 default route, from the kernel's own table; none without one.
std::optional<std::string> defaultRouteInterface() {
    std::ifstream table("/proc/net/route");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string name, destination;
        fields >> name >> destination;
        if (destination == "00000000") return name;
    }
    return std::nullopt;
}

std::optional<std::string> routeName(const std::string& host) {
    auto output = lookUpRoute(host);
    if (!output) return std::nullopt;
    return KorvanePhysicalPulse::routeInterface(*output);
}

TEST(RouteCheckTest, TheKernelNamesLoopbackAndTheDefaultRoute) {
    setSystemRoot({});
    EXPECT_EQ(routeName("127.0.0.1"), "lo");
    EXPECT_EQ(routeName("::1"), "lo");
    EXPECT_EQ(routeName("localhost"), "lo");
    // A loopback panel is reached over no physical path, whatever the allowed interfaces are.
    EXPECT_FALSE(KorvanePhysicalPulse::routeIsPhysical("127.0.0.1", {"eth0", "wlan0", "en0"}));

    const auto outside = defaultRouteInterface();
    if (!outside) GTEST_SKIP() << "this machine has no default route";
    EXPECT_EQ(routeName("203.0.113.9"), *outside);
    EXPECT_TRUE(KorvanePhysicalPulse::routeIsPhysical("203.0.113.9", {"wlan9", *outside}));
    EXPECT_FALSE(KorvanePhysicalPulse::routeIsPhysical("203.0.113.9", {"wlan9"}));
}

TEST(RouteCheckTest, HostsThatCannotBeAskedAboutAreNotPhysical) {
    setSystemRoot({});
    const auto outside = defaultRouteInterface().value_or("eth0");
    EXPECT_FALSE(KorvanePhysicalPulse::routeIsPhysical("203.0.113.9", {}));
    EXPECT_FALSE(KorvanePhysicalPulse::routeIsPhysical(std::string(251, 'a'), {outside}));
    EXPECT_FALSE(KorvanePhysicalPulse::routeIsPhysical("-n", {outside}));
    EXPECT_FALSE(KorvanePhysicalPulse::routeIsPhysical("203.0.113.9 ; true", {outside}));
    EXPECT_FALSE(KorvanePhysicalPulse::routeIsPhysical("no-such-host.invalid", {outside}));
}

class RouteToolTest : public ::testing::Test {
protected:
    void SetUp() override { setSystemRoot(root.path()); }
    void TearDown() override { setSystemRoot({}); }

    void tool(const std::string& script, bool executable = true) {
        fs::create_directories(root.path() / "sbin");
        const fs::path path = root.path() / "sbin" / "route";
        std::ofstream(path) << "#!/bin/sh\n" << script;
        ::chmod(path.c_str(), executable ? 0755 : 0644);
    }

    TempDir root;
};

TEST_F(RouteToolTest, TheStandInAnswersAsTheRealToolWould) {
    const fs::path arguments = root.path() / "arguments";
    tool("printf '%s\\n' \"$*\" > '" + arguments.string() +
         "'\n"
         "echo '   route to: '\"$3\"\n"
         "echo 'interface: en9' >&2\n"
         "echo '  interface: utun4'\n");
    EXPECT_FALSE(KorvanePhysicalPulse::routeIsPhysical("203.0.113.9", {"en0"})) << "a tunnel is not physical";
    EXPECT_TRUE(KorvanePhysicalPulse::routeIsPhysical("203.0.113.9", {"en0", "utun4"}));
    std::ifstream written(arguments);
    std::string line;
    std::getline(written, line);
    EXPECT_EQ(line, "-n get 203.0.113.9");
}

TEST_F(RouteToolTest, AnyFailureOfTheToolIsNotPhysical) {
    const std::string answer = "echo '  interface: en0'\n";
    const std::string filler =
        "head -c 16368 /dev/zero | tr '\\0' x\necho\n"; // 16369 bytes with the line end
    const struct {
        std::string name;
        std::string script;
        bool physical;
    } cases[] = {
        {"answers", answer, true},
        // 16384 bytes in all: a filler line of 16367, then the interface line of 17.
        {"exactly the largest output", "head -c 16366 /dev/zero | tr '\\0' x\necho\n" + answer, true},
        {"fails", answer + "exit 1\n", false},
        {"output past the limit", answer + filler, false},
        {"output not UTF-8", "printf '\\377\\n'\n" + answer, false},
        {"hangs", answer + "sleep 30\n", false},
        {"hangs ignoring SIGTERM", "trap '' TERM\n" + answer + "sleep 30\n", false},
        {"leaves a child holding the output", "(sleep 3) &\n" + answer, false},
        {"no interface line", "echo 'route: writing to routing socket: not in table'\n", false},
    };
    for (const auto& c : cases) {
        tool(c.script);
        EXPECT_EQ(KorvanePhysicalPulse::routeIsPhysical("203.0.113.9", {"en0"}), c.physical) << c.name;
    }
}

TEST_F(RouteToolTest, WithoutAnExecutableStandInTheKernelAnswers) {
    tool("echo '  interface: utun4'\n", /*executable=*/false);
    EXPECT_EQ(routeName("127.0.0.1"), "lo");
}

} // namespace
