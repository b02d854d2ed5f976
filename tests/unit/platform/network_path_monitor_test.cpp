// The network path as this machine's kernel reports it: interface types from sysfs entries,
// the path right now, and a change of address arriving as an update on the main loop.

#include "platform/network_path_monitor.h"

#include "base/event_loops.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

using namespace korvane;
using korvane::testing::TempDir;
namespace fs = std::filesystem;

namespace {

bool hasAddress(const NetworkPath& path, const std::string& name, const std::string& ipv4) {
    return std::find(path.addresses.begin(), path.addresses.end(), InterfaceAddress{name, ipv4}) !=
           path.addresses.end();
}

TEST(NetworkPathMonitorTest, InterfaceTypesComeFromTheDevicesEntries) {
    const struct {
        std::string type;
        std::vector<std::string> entries; // directories beside "type"
        std::string uevent;
        InterfaceType expected;
    } cases[] = {
        {"1\n", {"wireless"}, "", InterfaceType::Wifi},
        {"1\n", {"phy80211"}, "", InterfaceType::Wifi},
        {"1\n", {}, "INTERFACE=wlp2s0\nDEVTYPE=wlan\n", InterfaceType::Wifi},
        {"1\n", {}, "INTERFACE=wwan0\nDEVTYPE=wwan\n", InterfaceType::Cellular},
        {"1\n", {}, "INTERFACE=enp3s0\n", InterfaceType::Wired},
        {"1\n", {}, "DEVTYPE=bridge\n", InterfaceType::Wired},
        {"772\n", {}, "", InterfaceType::Loopback},
        {"65534\n", {}, "DEVTYPE=wireguard\n", InterfaceType::Other},
        {"512\n", {}, "", InterfaceType::Other},
        {"", {}, "", InterfaceType::Other},
    };
    for (const auto& c : cases) {
        TempDir device;
        if (!c.type.empty()) std::ofstream(device.path() / "type") << c.type;
        if (!c.uevent.empty()) std::ofstream(device.path() / "uevent") << c.uevent;
        for (const auto& entry : c.entries)
            fs::create_directories(device.path() / entry);
        EXPECT_EQ(NetworkPathMonitor::interfaceType(device.path()), c.expected) << c.type << " " << c.uevent;
    }
}

TEST(NetworkPathMonitorTest, ThePathOfThisMachine) {
    const NetworkPath path = NetworkPathMonitor::currentPath();
    EXPECT_NE(std::find(path.interfaces.begin(), path.interfaces.end(),
                        NetworkInterface{"lo", InterfaceType::Loopback}),
              path.interfaces.end());
    EXPECT_TRUE(hasAddress(path, "lo", "127.0.0.1"));
    EXPECT_EQ(std::find(path.uses.begin(), path.uses.end(), InterfaceType::Loopback), path.uses.end());
    EXPECT_EQ(path.satisfied, !path.uses.empty());
}

TEST(NetworkPathMonitorTest, AnAddressChangeArrivesAsAnUpdate) {
    ManualLoop loop;
    setMainExecutor(&loop);
    std::vector<NetworkPath> updates;
    {
        NetworkPathMonitor monitor;
        monitor.start([&](const NetworkPath& path) { updates.push_back(path); });
        ASSERT_EQ(updates.size(), 1u) << "the current path is handed over at once";
        EXPECT_EQ(updates[0], NetworkPathMonitor::currentPath());

        // Needs the right to change addresses; the address stays on loopback, reachable by nobody.
        if (std::system("ip addr add 127.0.0.77/32 dev lo 2>/dev/null") != 0) {
            setMainExecutor(nullptr);
            GTEST_SKIP() << "no permission to add an address";
        }
        const bool added = loop.runUntil([&] { return hasAddress(updates.back(), "lo", "127.0.0.77"); });
        const int removed = std::system("ip addr del 127.0.0.77/32 dev lo");
        EXPECT_TRUE(added);
        EXPECT_EQ(removed, 0);
        EXPECT_TRUE(loop.runUntil([&] { return !hasAddress(updates.back(), "lo", "127.0.0.77"); }));
    }
    const std::size_t seen = updates.size();
    loop.runUntilIdle();
    EXPECT_EQ(updates.size(), seen) << "nothing arrives once the monitor is gone";
    setMainExecutor(nullptr);
}

} // namespace
