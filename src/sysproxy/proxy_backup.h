#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// One kind of proxy setting of one network service, as the operating system reports it.
struct ProxyEntry {
    bool enabled = false;
    std::string server;    // empty when none is set
    std::int64_t port = 0; // 0 when none is set or it could not be read

    friend bool operator==(const ProxyEntry&, const ProxyEntry&) = default;
};

// The saved proxy settings of one network service.
struct ServiceSnapshot {
    std::string name; // exactly as the service list gives it
    ProxyEntry web;
    ProxyEntry secure;
    ProxyEntry socks;
    std::vector<std::string> bypass; // in the order listed

    friend bool operator==(const ServiceSnapshot&, const ServiceSnapshot&) = default;
};

// The backup file's text: a compact JSON array, "/" written as "\/".
std::string encodeProxyBackup(const std::vector<ServiceSnapshot>& services);
// Throws KorvaneError on any structural fault. Files from older versions carry "service"
// and "bypassDomains"; they read the same.
std::vector<ServiceSnapshot> decodeProxyBackup(std::string_view text);

// Writes the file atomically with permissions 0600 (FileError on failure).
void writeProxyBackup(const std::filesystem::path& file, const std::vector<ServiceSnapshot>& services);
// Reads and decodes the whole file; a missing or unreadable file is a FileError.
std::vector<ServiceSnapshot> readProxyBackup(const std::filesystem::path& file);

} // namespace korvane
