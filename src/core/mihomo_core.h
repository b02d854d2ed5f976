#pragma once

#include "sysproxy/system_proxy.h"

#include "base/json.h"
#include "base/task.h"
#include "panel/http.h"

#include <array>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// Owner of the proxy core process and of the connected flag. Main thread only.
class MihomoCore {
public:
    // resourcesDir: the application's resources, whose "bin" holds the core and its geo data.
    MihomoCore(std::filesystem::path supportDir, const std::filesystem::path& resourcesDir);

    // The core's two listening sockets, both on 127.0.0.1: the mixed proxy port is
    // kLocalProxyPort (platform/local_proxy.h); the controller takes no credentials.
    static constexpr std::string_view kControllerAddress = "127.0.0.1:9097";
    static constexpr std::string_view kControllerBase = "http://127.0.0.1:9097";
    // Shipped beside the core and copied into its working directory; the last one is optional.
    static constexpr std::array<std::string_view, 3> kGeoFiles = {"geoip.dat", "geosite.dat", "geoip.metadb"};

    const std::filesystem::path& supportDir() const { return supportDir_; }
    const std::filesystem::path& runtimeDir() const { return runtimeDir_; }
    const std::filesystem::path& binDir() const { return binDir_; }
    std::filesystem::path executable() const { return binDir_ / "micore"; }
    std::filesystem::path configurationFile() const { return runtimeDir_ / "config.yaml"; }
    // The core's arguments (without the executable): its home and its configuration file.
    std::vector<std::string> arguments() const;

    // A name as one path segment of a controller URL: ASCII letters, digits and "-._~" stay,
    // every other byte is percent-encoded (so "/" and " " in node names survive). A name with a
    // "%" in it is encoded byte for byte, so that the core decodes it only once.
    static std::string encodeName(std::string_view name);
    // Controller requests, sent through http. Non-2xx answers and transport failures throw
    // (the HttpClient's errors). version(): resolves once the controller answers (1 s).
    static Task<void> version(HttpClient& http);
    // Selects node in group (5 s); the answer's body is not read.
    static Task<void> select(HttpClient& http, std::string group, std::string node);
    // The group as the controller describes it (4 s); its "now" is the selected member. A body
    // that is not JSON throws the parser's error.
    static Task<Json> group(HttpClient& http, std::string group);
    // Whether the core reached probe through the named node within timeoutMs: only a 2xx answer
    // with an integer "delay" above 0 counts. Never throws: a cancelled measurement is false too,
    // and the caller asks its task whether it was cancelled.
    static Task<bool> measureDelay(HttpClient& http, std::string name, std::string probe, int timeoutMs);

    bool connected() const { return connected_; }
    // Whether a core process was launched and is still running.
    bool processRunning() const;
    // Whether the local proxy port is usable right now: only while connected with a live
    // core, and only if the local proxy port accepts a TCP connection.
    bool socksReady() const;

    // The system proxy controller; its backup file is supportDir/proxy-backup.json.
    SystemProxy& proxy() { return proxy_; }
    // Whether a changed system proxy may still need restoring: the backup file exists, or
    // else the helper reports the proxy as switched. Blocks briefly (a helper exchange).
    bool requiresRecovery() const;

private:
    std::filesystem::path supportDir_;
    std::filesystem::path runtimeDir_;
    std::filesystem::path binDir_;
    SystemProxy proxy_;
    bool connected_ = false;
};

// Whether a TCP connection to 127.0.0.1:port succeeds (blocking, closed at once).
bool localPortAccepts(int port);

} // namespace korvane
