#pragma once

#include <string>
#include <vector>

namespace korvane {

enum class InterfaceType { Wifi, Wired, Cellular, Loopback, Other };

struct NetworkInterface {
    std::string name;
    InterfaceType type = InterfaceType::Other;
    bool operator==(const NetworkInterface&) const = default;
};

struct InterfaceAddress {
    std::string name;
    std::string ipv4;
    bool operator==(const InterfaceAddress&) const = default;
};

// One update of the system's network path, as the path monitor reports it.
struct NetworkPath {
    bool satisfied = false;
    std::vector<NetworkInterface> interfaces;
    std::vector<InterfaceType> uses;
    std::vector<InterfaceAddress> addresses;
    bool operator==(const NetworkPath&) const = default;
};

} // namespace korvane
