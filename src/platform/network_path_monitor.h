#pragma once

// The system's network path and its changes, for shells that have no path monitor of their own
// (Linux: the kernel's rtnetlink link, address and route events).
//
// The path is put together the way the client reads it: the interfaces that are up and
// running with their types (wireless when the device has a "wireless" or "phy80211" entry in
// /sys/class/net, cellular for a WWAN device, wired for any other Ethernet, loopback, other), the
// types of the interfaces that carry a default route as the types in use, satisfied when there
// is such a route, and every IPv4 address per interface name.

#include "platform/network_path.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

namespace korvane {

class NetworkPathMonitor {
public:
    using Handler = std::function<void(const NetworkPath&)>;

    NetworkPathMonitor() = default;
    // Main thread. Stops watching: the handler is not called after this returns.
    ~NetworkPathMonitor();
    NetworkPathMonitor(const NetworkPathMonitor&) = delete;
    NetworkPathMonitor& operator=(const NetworkPathMonitor&) = delete;

    // Main thread, once. Calls handler with the current path right away, then, on the main
    // thread, with every path that differs from the one it was last given.
    void start(Handler handler);

    // The system's network path now.
    static NetworkPath currentPath();
    // The type of an interface from its sysfs directory (/sys/class/net/<name>).
    static InterfaceType interfaceType(const std::filesystem::path& deviceDirectory);

private:
    struct Watch;
    std::shared_ptr<Watch> watch_;
    std::thread thread_;
};

} // namespace korvane
