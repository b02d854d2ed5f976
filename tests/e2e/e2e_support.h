#pragma once

// What the end-to-end tests share: where the built bundle is, the deployment's fixed ports and
// its probes, how a session of it starts on a fresh home, and how a test plants what an earlier
// run would have left behind.

#include "base/files.h"
#include "base/json.h"
#include "testing/headless_session.h"
#include "testing/https_server.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <sys/stat.h>
#include <thread>

namespace korvane::e2e {

inline const std::filesystem::path kBundle = KORVANE_TEST_BUNDLE;

// The fixed loopback ports of the local deployment: remote configuration, panel, update server
// and the two reachability probes.
inline constexpr std::uint16_t kConfigPort = 18443;
inline constexpr std::uint16_t kPanelPort = 18444;
inline constexpr std::uint16_t kUpdatePort = 18447;
inline constexpr std::uint16_t kProbeAPort = 18448;
inline constexpr std::uint16_t kProbeBPort = 18449;

// <home>/Library/Application Support/Korvane
inline std::filesystem::path supportDir(const std::filesystem::path& home) {
    return home / "Library" / "Application Support" / "Korvane";
}

// The headless shell of the built bundle on this home, with an empty system root below it.
inline testing::HeadlessSession::Options sessionOptions(const std::filesystem::path& home) {
    testing::HeadlessSession::Options options;
    options.executable = testing::HeadlessSession::executableIn(kBundle);
    options.home = home;
    options.root = home / "root";
    return options;
}

// The deployment's two reachability probes, each answering HEAD /generate_204 with 204.
struct Probes {
    Probes() {
        for (auto* probe : {&a, &b})
            probe->route("HEAD", "/generate_204", testing::HttpResponse::text(204, ""));
    }

    testing::HttpsServer a{testing::HttpsServer::Options{kProbeAPort, true}};
    testing::HttpsServer b{testing::HttpsServer::Options{kProbeBPort, true}};
};

// A subscription's line for a SOCKS5 node on a loopback port.
inline std::string socksEntry(const std::string& name, int port) {
    return "  - {name: \"" + name + "\", type: socks5, server: 127.0.0.1, port: " + std::to_string(port) +
           "}\n";
}

// One kind of proxy of a service, as the stand-in settings tool lists it.
inline Json proxy(bool enabled, const std::string& server, int port) {
    return {{"enabled", enabled}, {"server", server}, {"port", port}};
}

// Polls predicate until it holds (true) or limit has passed (false).
template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    for (const auto until = std::chrono::steady_clock::now() + limit; !predicate();) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The CFBundleVersion of bundle's Info.plist, or "" when it has none.
inline std::string bundleBuild(const std::filesystem::path& bundle) {
    const std::string plist = readFile(bundle / "Contents/Info.plist").value_or("");
    const auto key = plist.find("<key>CFBundleVersion</key>");
    if (key == std::string::npos) return "";
    const auto start = plist.find("<string>", key) + 8;
    return plist.substr(start, plist.find("</string>", start) - start);
}

inline void plantSettings(const std::filesystem::path& home, const Json& settings) {
    const auto file = home / "Library" / "Preferences" / "art.korvane.mac.native.json";
    std::filesystem::create_directories(file.parent_path());
    writeFileAtomically(file, settings.dump());
}

inline void plantSession(const std::filesystem::path& home, const std::string& key, const std::string& value,
                         mode_t mode) {
    const auto directory = supportDir(home) / "PrivateSession";
    std::filesystem::create_directories(directory);
    ::chmod(directory.c_str(), 0700);
    writeFileAtomically(directory / (key + ".session"), value, mode);
}

// A test of the client on a fresh home: where it keeps its files there, and how a session of it
// starts with standard error captured.
class ClientTest : public ::testing::Test {
protected:
    std::filesystem::path support() const { return supportDir(home.path()); }
    std::filesystem::path backup() const { return support() / "proxy-backup.json"; }
    std::filesystem::path pidFile() const { return support() / "runtime" / "core.pid"; }

    testing::HeadlessSession::Options options(std::map<std::string, std::string> environment = {}) const {
        auto options = sessionOptions(home.path());
        options.environment = std::move(environment);
        options.captureStderr = true;
        return options;
    }

    testing::TempDir home;
};

} // namespace korvane::e2e
