#pragma once

#include <string_view>

namespace korvane {

// Where the core's mixed (HTTP and SOCKS) proxy listens, and so where the system proxy
// settings point while connected. Loopback only: nothing outside the computer reaches it.
inline constexpr std::string_view kLocalProxyHost = "127.0.0.1";
inline constexpr int kLocalProxyPort = 7897;
// The two as one "host:port" text, as the user sees and copies it.
inline constexpr std::string_view kLocalProxyAddress = "127.0.0.1:7897";

namespace detail {
constexpr bool isHostAndPort(std::string_view address, std::string_view host, int port) {
    if (!address.starts_with(host) || address.size() <= host.size() + 1 || address[host.size()] != ':')
        return false;
    int value = 0;
    for (char c : address.substr(host.size() + 1)) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value == port;
}
} // namespace detail

static_assert(detail::isHostAndPort(kLocalProxyAddress, kLocalProxyHost, kLocalProxyPort));

} // namespace korvane
