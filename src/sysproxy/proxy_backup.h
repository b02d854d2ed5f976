#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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

// One proxy of the GNOME desktop's settings (the http, https or socks child of
// org.gnome.system.proxy). A value the user never set follows the schema's default and is
// none here: putting it back resets the key instead of writing today's default into it.
struct GnomeProxyEndpoint {
    std::optional<std::string> host;
    std::optional<std::int64_t> port;

    friend bool operator==(const GnomeProxyEndpoint&, const GnomeProxyEndpoint&) = default;
};

// Every value of the GNOME desktop's proxy settings that switching to the local proxy changes.
struct GnomeProxySettings {
    std::optional<std::string> mode; // "none", "manual" or "auto"
    GnomeProxyEndpoint http;
    GnomeProxyEndpoint https;
    GnomeProxyEndpoint socks;
    std::optional<std::vector<std::string>> ignoreHosts;

    friend bool operator==(const GnomeProxySettings&, const GnomeProxySettings&) = default;
};

// What the backup file holds: the network services' settings (the settings tool's) and the
// desktop's (GNOME's), each present only where that kind of settings was switched.
struct ProxyBackup {
    ProxyBackup() = default;
    // Implicit: a list of services is a record of them.
    ProxyBackup(std::vector<ServiceSnapshot> saved, std::optional<GnomeProxySettings> desktop = std::nullopt)
        : services(std::move(saved)), gnome(std::move(desktop)) {}

    std::vector<ServiceSnapshot> services;
    std::optional<GnomeProxySettings> gnome;

    friend bool operator==(const ProxyBackup&, const ProxyBackup&) = default;
};

// The backup file's text: a compact JSON array, "/" written as "\/". The services come first,
// one object each; the desktop's settings are one object with "kind" "gnome" after them.
std::string encodeProxyBackup(const ProxyBackup& backup);
// Throws KorvaneError on any structural fault. Files from older versions carry "service"
// and "bypassDomains"; they read the same.
ProxyBackup decodeProxyBackup(std::string_view text);

// Writes the file atomically with permissions 0600 (FileError on failure).
void writeProxyBackup(const std::filesystem::path& file, const ProxyBackup& backup);
// Reads and decodes the whole file; a missing or unreadable file is a FileError.
ProxyBackup readProxyBackup(const std::filesystem::path& file);

} // namespace korvane
