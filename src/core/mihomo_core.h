#pragma once

#include "sysproxy/system_proxy.h"

#include <filesystem>

namespace korvane {

// Owner of the proxy core process and of the connected flag. Main thread only.
class MihomoCore {
public:
    explicit MihomoCore(std::filesystem::path supportDir);

    const std::filesystem::path& supportDir() const { return supportDir_; }
    const std::filesystem::path& runtimeDir() const { return runtimeDir_; }

    bool connected() const { return connected_; }
    // Whether a core process was launched and is still running.
    bool processRunning() const;
    // Whether the local proxy port is usable right now: only while connected with a live
    // core, and only if 127.0.0.1:7897 accepts a TCP connection.
    bool socksReady() const;

    // The system proxy controller; its backup file is supportDir/proxy-backup.json.
    SystemProxy& proxy() { return proxy_; }
    // Whether a changed system proxy may still need restoring: the backup file exists, or
    // else the helper reports the proxy as switched. Blocks briefly (a helper exchange).
    bool requiresRecovery() const;

private:
    std::filesystem::path supportDir_;
    std::filesystem::path runtimeDir_;
    SystemProxy proxy_;
    bool connected_ = false;
};

// Whether a TCP connection to 127.0.0.1:port succeeds (blocking, closed at once).
bool localPortAccepts(int port);

} // namespace korvane
