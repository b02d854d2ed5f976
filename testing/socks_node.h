#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>

namespace korvane::testing {

// A free loopback TCP port at the time of asking: bound to port 0, read back and released.
std::uint16_t freeLoopbackPort();

// A real SOCKS5 node on loopback: Debian's microsocks on a free port, its log line-buffered in
// a file, so that a test can tell which connections went through it. Killed when the object
// goes.
class SocksNode {
public:
    // The log goes to <directory>/microsocks-<port>.log. Throws std::runtime_error when the node
    // does not accept connections within a few seconds.
    explicit SocksNode(const std::filesystem::path& directory);
    ~SocksNode();
    SocksNode(const SocksNode&) = delete;
    SocksNode& operator=(const SocksNode&) = delete;

    std::uint16_t port() const { return port_; }
    // How many connections the node has made to 127.0.0.1:port so far, by its own log.
    int connectionsTo(std::uint16_t port) const;

private:
    std::uint16_t port_ = 0;
    std::filesystem::path log_;
    pid_t pid_ = -1;
};

} // namespace korvane::testing
