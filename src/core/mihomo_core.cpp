#include "core/mihomo_core.h"

#include "platform/local_proxy.h"
#include "sysproxy/proxy_helper_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvane {

MihomoCore::MihomoCore(std::filesystem::path supportDir, const std::filesystem::path& resourcesDir)
    : supportDir_(std::move(supportDir)), runtimeDir_(supportDir_ / "runtime"), binDir_(resourcesDir / "bin"),
      proxy_(supportDir_ / "proxy-backup.json", supportDir_) {}

bool MihomoCore::processRunning() const {
    // The core process is not launched by this build yet.
    return false;
}

bool MihomoCore::requiresRecovery() const {
    std::error_code error;
    if (std::filesystem::exists(proxy_.backup(), error)) return true;
    return KorvaneProxyHelperClient::enabled();
}

bool MihomoCore::socksReady() const {
    if (!connected_ || !processRunning()) return false;
    return localPortAccepts(kLocalProxyPort);
}

bool localPortAccepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

} // namespace korvane
