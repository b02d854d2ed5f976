#include "platform/network_path_monitor.h"

#include "base/executor.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/route.h>
#endif

namespace korvane {

namespace fs = std::filesystem;

namespace {

// Route changes come in bursts (a link coming up brings its addresses and routes a moment
// later): the path is read once the events have been quiet this long, or after the longest wait.
constexpr int kQuietMilliseconds = 100;
constexpr int kLongestSettleMilliseconds = 1000;

std::string readSmallFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

#ifdef __linux__

// The interfaces that carry a default route of the main table, IPv4 and IPv6.
std::set<std::string> defaultRouteInterfaces() {
    std::set<std::string> names;
    std::istringstream ipv4(readSmallFile("/proc/net/route"));
    std::string line;
    std::getline(ipv4, line); // the column titles
    while (std::getline(ipv4, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, mask, ignored;
        unsigned flags = 0;
        fields >> name >> destination >> gateway >> std::hex >> flags >> std::dec >> ignored >> ignored >>
            ignored >> mask;
        if (fields && destination == "00000000" && mask == "00000000" && (flags & RTF_UP)) names.insert(name);
    }
    std::istringstream ipv6(readSmallFile("/proc/net/ipv6_route"));
    while (std::getline(ipv6, line)) {
        std::istringstream fields(line);
        std::string destination, prefix, source, sourcePrefix, nextHop, metric, references, use, name;
        unsigned flags = 0;
        fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >> references >> use >>
            std::hex >> flags >> std::dec >> name;
        if (fields && destination == std::string(32, '0') && prefix == "00" && (flags & RTF_UP) &&
            !(flags & RTF_REJECT))
            names.insert(name);
    }
    return names;
}

#endif

} // namespace

InterfaceType NetworkPathMonitor::interfaceType(const fs::path& deviceDirectory) {
    std::error_code error;
    if (fs::exists(deviceDirectory / "wireless", error) || fs::exists(deviceDirectory / "phy80211", error))
        return InterfaceType::Wifi;
    const std::string type = readSmallFile(deviceDirectory / "type");
    if (type == "772\n") return InterfaceType::Loopback;
    if (type != "1\n") return InterfaceType::Other; // tunnels, PPP, WireGuard and the like
    std::istringstream uevent(readSmallFile(deviceDirectory / "uevent"));
    for (std::string line; std::getline(uevent, line);) {
        if (line == "DEVTYPE=wwan") return InterfaceType::Cellular;
        if (line == "DEVTYPE=wlan") return InterfaceType::Wifi;
    }
    return InterfaceType::Wired;
}

NetworkPath NetworkPathMonitor::currentPath() {
    NetworkPath path;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return path;
    std::vector<std::string> names;
    std::vector<unsigned> flags;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_name) continue;
        const std::string name = entry->ifa_name;
        auto known = std::find(names.begin(), names.end(), name);
        if (known == names.end()) {
            names.push_back(name);
            flags.push_back(entry->ifa_flags);
        } else {
            flags[static_cast<std::size_t>(known - names.begin())] |= entry->ifa_flags;
        }
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
            char text[INET_ADDRSTRLEN] = {};
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text))
                path.addresses.push_back({name, text});
        }
    }
    ::freeifaddrs(list);

#ifdef __linux__
    const std::set<std::string> routed = defaultRouteInterfaces();
    for (std::size_t i = 0; i < names.size(); ++i) {
        if ((flags[i] & IFF_UP) == 0 || (flags[i] & IFF_RUNNING) == 0) continue;
        const InterfaceType type = interfaceType(fs::path("/sys/class/net") / names[i]);
        path.interfaces.push_back({names[i], type});
        if (routed.count(names[i]) && std::find(path.uses.begin(), path.uses.end(), type) == path.uses.end())
            path.uses.push_back(type);
    }
#endif
    path.satisfied = !path.uses.empty();
    return path;
}

struct NetworkPathMonitor::Watch {
    Handler handler;
    bool stopped = false; // main thread only
    int events = -1;      // the netlink socket
    int stopPipe[2] = {-1, -1};
    NetworkPath last; // the watcher thread's, once started

    ~Watch() {
        for (int fd : {events, stopPipe[0], stopPipe[1]})
            if (fd >= 0) ::close(fd);
    }

    // Reads every event waiting; false when there was none.
    bool drain() const {
        char buffer[8192];
        bool any = false;
        for (;;) {
            const ssize_t got = ::recv(events, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0) {
                any = true;
                continue;
            }
            if (got < 0 && errno == EINTR) continue;
            // ENOBUFS: events were lost, which only means that something changed.
            if (got < 0 && errno == ENOBUFS) {
                any = true;
                continue;
            }
            return any;
        }
    }

    // false once the monitor stops.
    bool waitForChange() const {
        pollfd fds[2] = {{stopPipe[0], POLLIN, 0}, {events, POLLIN, 0}};
        for (;;) {
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (fds[0].revents) return false;
            if (drain()) break;
        }
        for (int waited = 0; waited < kLongestSettleMilliseconds; waited += kQuietMilliseconds) {
            const int ready = ::poll(fds, 2, kQuietMilliseconds);
            if (ready < 0 && errno != EINTR) return false;
            if (fds[0].revents) return false;
            if (ready == 0 || !drain()) break;
        }
        return true;
    }
};

void NetworkPathMonitor::start(Handler handler) {
    if (watch_) return;
    watch_ = std::make_shared<Watch>();
    watch_->handler = std::move(handler);
#ifdef __linux__
    // Subscribed before the first reading, so that no change falls between the two.
    watch_->events = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl groups{};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups =
        RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    const bool subscribed =
        watch_->events >= 0 &&
        ::bind(watch_->events, reinterpret_cast<sockaddr*>(&groups), sizeof groups) == 0 &&
        ::pipe2(watch_->stopPipe, O_CLOEXEC) == 0;
#else
    const bool subscribed = false;
#endif
    watch_->last = currentPath();
    watch_->handler(watch_->last);
    if (!subscribed) return; // the first path stays the only one

    thread_ = std::thread([watch = watch_] {
        while (watch->waitForChange()) {
            NetworkPath path = currentPath();
            if (path == watch->last) continue;
            watch->last = path;
            mainExecutor().post([watch, path = std::move(path)] {
                if (!watch->stopped) watch->handler(path);
            });
        }
    });
}

NetworkPathMonitor::~NetworkPathMonitor() {
    if (!watch_) return;
    watch_->stopped = true;
    if (thread_.joinable()) {
        const char stop = 1;
        const ssize_t written = ::write(watch_->stopPipe[1], &stop, 1);
        (void)written; // an empty pipe always takes one byte
        thread_.join();
    }
}

} // namespace korvane
