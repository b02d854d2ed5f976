#pragma once

#include "sysproxy/system_proxy.h"

#include "base/child_process.h"
#include "base/json.h"
#include "base/serial_queue.h"
#include "base/task.h"
#include "base/unique_fd.h"
#include "panel/http.h"
#include "panel/node.h"

#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane {

// Owner of the proxy core process, of the connection and of the connected flag: it starts
// the core with a fresh configuration, proves that traffic flows through the chosen node,
// switches the system proxy to the local port and puts everything back. Main thread only.
//
// Who stops the core: whoever started it, on every way out (cancellation included), except
// that a node-test run leaves a core alone that a connection is using or about to use.
class MihomoCore {
public:
    // resourcesDir: the application's resources, whose "bin" holds the core and its geo data.
    // Controller requests go through http, which must outlive the core object. The system
    // proxy is switched through proxySettings (nullptr: nothing can switch it, so connecting
    // fails before the core starts).
    MihomoCore(std::filesystem::path supportDir, const std::filesystem::path& resourcesDir,
               HttpClient& http = defaultHttpClient(),
               std::shared_ptr<const ProxySettingsBackend> proxySettings = networksetupProxySettings());
    // A core still running is asked to stop (SIGTERM), without waiting.
    ~MihomoCore();
    MihomoCore(const MihomoCore&) = delete;
    MihomoCore& operator=(const MihomoCore&) = delete;

    // The core's two listening sockets, both on 127.0.0.1: the mixed proxy port is
    // kLocalProxyPort (platform/local_proxy.h); the controller takes no credentials.
    static constexpr int kControllerPort = 9097;
    static constexpr std::string_view kControllerAddress = "127.0.0.1:9097";
    static constexpr std::string_view kControllerBase = "http://127.0.0.1:9097";

    const std::filesystem::path& supportDir() const { return supportDir_; }
    const std::filesystem::path& runtimeDir() const { return runtimeDir_; }
    const std::filesystem::path& binDir() const { return binDir_; }
    std::filesystem::path executable() const { return binDir_ / "micore"; }
    std::filesystem::path configurationFile() const { return runtimeDir_ / "config.yaml"; }
    std::filesystem::path logsDir() const { return supportDir_ / "logs"; }
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

    // ---- Process ----------------------------------------------------------------------------
    // Starts the core unless one of ours runs already (then it is reused as it is): the geo
    // data, the configuration, the day's log, the child, and its readiness (42 rounds of
    // /version 250 ms apart). A core left by a client that was killed is stopped first; ports
    // held by any other program are an error. A failed or cancelled start stops its child.
    // Whether it started a core, decided in turn with the stops: a core still being stopped is
    // not one to reuse.
    Task<bool> startCore(std::string subscription, std::vector<Node> nodes, std::string mode);
    // Stops the core (SIGTERM, then SIGKILL when it does not go) and waits, bounded, until it
    // has exited, so that the next start never races it. Never fails.
    Task<void> stopCore();
    // A core left running by an earlier client of ours (its pid file names our executable) is
    // stopped and waited for, bounded.
    Task<void> stopOrphanCore();
    // Whether a core process of ours is running.
    bool processRunning() const;
    // Cuts the day's log back when it has grown beyond its limit; for the health tick.
    void capLog();

    // ---- Connection -------------------------------------------------------------------------
    // Connects to selected: core, select and verify through the controller, two probes through
    // the node, the local port accepting, then the system proxy. Every failure after the checks
    // restores what was switched and stops the core. While connected to another node it
    // switches for real through the running core (the proxy settings stay).
    Task<void> connect(std::string subscription, std::vector<Node> nodes, std::string selected,
                       std::string mode);
    // Restores the system proxy first (its failure leaves the connection as it is, except
    // ProxyRecordKept: the settings are back, so the connection ends and that error follows),
    // then stops the core. Also when not connected: a leftover backup is restored, a core left running by
    // node tests is stopped.
    Task<void> disconnect();
    // Node availability: probes through every node, eight at a time in list order, each slice
    // only after the last answered; results on the main thread as they come.
    Task<void> testNodes(std::string subscription, std::vector<Node> nodes, std::string mode,
                         std::function<void(const std::string&, bool)> onResult);

    // ---- Pause and resume across an update (upgrade_pause.cpp) ---------------------------------
    // Stops the core for the new copy of the client and leaves the system proxy pointing at the
    // local port: SIGTERM, then up to 60 checks 100 ms apart. A core still running after them
    // throws KorvaneError "Mihomo 尚未安全退出，更新已暂停" and keeps everything as it was
    // (process, log, connected); otherwise the connection is marked down and the core's fields
    // cleared. The proxy settings, the backup file and the helper are never touched.
    Task<void> pauseForUpgrade();
    // Brings the connection back on selected after a pause, without touching the proxy
    // settings: only while they are still switched by this client (a backup file or the
    // helper's ON, and a service's web or SOCKS proxy on the local port), and only for a node
    // of the list. Starts the core, selects and verifies the node; a failure there stops the
    // core again and throws, leaving the settings to the caller.
    Task<void> resumeAfterUpgrade(std::string subscription, std::vector<Node> nodes, std::string selected,
                                  std::string mode);

    // A connection about to begin, declared before the caller stops node tests, so that their
    // run leaves the core running for it. Held until the connection attempt has ended.
    class ConnectionIntent {
    public:
        explicit ConnectionIntent(MihomoCore& core) : core_(&core) { ++core.connecting_; }
        ConnectionIntent(ConnectionIntent&& other) noexcept : core_(std::exchange(other.core_, nullptr)) {}
        ConnectionIntent& operator=(ConnectionIntent&&) = delete;
        ConnectionIntent(const ConnectionIntent&) = delete;
        ConnectionIntent& operator=(const ConnectionIntent&) = delete;
        ~ConnectionIntent() {
            if (core_) --core_->connecting_;
        }

    private:
        MihomoCore* core_;
    };
    ConnectionIntent intendToConnect() { return ConnectionIntent(*this); }

    bool connected() const { return connected_; }
    // The node the connection uses; empty while not connected.
    const std::string& connectedNode() const { return connectedNode_; }
    // Whether the local proxy port is usable right now: only while connected with a live
    // core, and only if the local proxy port accepts a TCP connection.
    bool socksReady() const;

    // The system proxy controller; its backup file is supportDir/proxy-backup.json.
    SystemProxy& proxy() { return proxy_; }
    // Whether a changed system proxy may still need restoring: an operation is under way, the
    // backup file exists, or else the helper does not say it is off. Blocks briefly (a helper
    // exchange).
    bool requiresRecovery() const;

private:
    Task<void> startCoreInTurn(const std::string& subscription, const std::vector<Node>& nodes,
                               const std::string& mode);
    Task<void> stopCoreInTurn();
    Task<void> awaitReadiness();
    Task<void> selectAndVerify(const std::string& node, const char* notInEffect);
    Task<void> probeThrough(const std::string& node);
    Task<void> waitForLocalPort();
    Task<void> switchTo(const std::string& node);
    Task<void> testOne(std::string node, std::function<void(const std::string&, bool)> onResult);
    Task<void> stopUnlessConnecting();

    std::filesystem::path supportDir_;
    std::filesystem::path runtimeDir_;
    std::filesystem::path binDir_;
    HttpClient& http_;
    SystemProxy proxy_;
    mutable ChildProcess process_; // mutable: asking whether it runs reaps it
    UniqueFd log_;
    // Starts and stops take turns: a start waits for a stop under way, and a second start finds
    // the first one's core.
    SerialQueue lifecycle_;
    bool connected_ = false;
    std::string connectedNode_;
    int connecting_ = 0;
};

// Whether a TCP connection to 127.0.0.1:port succeeds (blocking, closed at once).
bool localPortAccepts(int port);

} // namespace korvane
