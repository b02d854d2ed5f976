#include "sysproxy/proxy_helper_client.h"

#include "base/errors.h"
#include "base/files.h"
#include "base/text.h"
#include "platform/system_paths.h"

#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace korvane {

namespace {

constexpr const char* kLaunchDaemonFile = "/Library/LaunchDaemons/art.korvane.proxyhelper.plist";
constexpr const char* kSocketPrefix = "/var/run/korvane-proxy-";
constexpr const char* kSocketSuffix = ".sock";
// The path field is 104 bytes on the platform the helper was written for; with its
// terminating zero the path must stay within 103 of them.
constexpr std::size_t kMaxPathWithZero = 103;
constexpr std::size_t kMaxReply = 128;
constexpr int kReplyTimeoutSeconds = 15;

class Socket {
public:
    Socket() : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

} // namespace

std::filesystem::path KorvaneProxyHelperClient::launchDaemonFile() { return systemPath(kLaunchDaemonFile); }

std::filesystem::path KorvaneProxyHelperClient::socketPath() {
    return systemPath(kSocketPrefix + std::to_string(::getuid()) + kSocketSuffix);
}

std::string KorvaneProxyHelperClient::send(const std::string& operation) {
    if (operation != "status" && operation != "enable" && operation != "restore") {
        throw KorvaneError("无效的网络代理辅助操作");
    }
    Socket socket;
    if (socket.fd() < 0) throw KorvaneError("无法连接网络代理辅助服务");

    timeval timeout{kReplyTimeoutSeconds, 0};
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    const std::string path = socketPath().string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() + 1 > kMaxPathWithZero) throw KorvaneError("网络辅助服务地址无效");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        throw KorvaneError("Korvane 网络辅助服务未运行，请通过安装器修复安装");
    }

    // Only a helper running as the superuser is trusted, and it is checked before a single
    // byte goes out: anyone could listen on a stale socket path.
    ucred peer{};
    socklen_t peerLength = sizeof peer;
    if (::getsockopt(socket.fd(), SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) != 0 ||
        peerLength != sizeof peer || peer.uid != 0) {
        throw KorvaneError("网络辅助服务身份校验失败");
    }

    // MSG_NOSIGNAL: a peer that has gone away makes the write fail instead of raising
    // SIGPIPE in the whole application.
    const std::string request = operation + "\n";
    const ssize_t written = ::send(socket.fd(), request.data(), request.size(), MSG_NOSIGNAL);
    if (written != static_cast<ssize_t>(request.size())) throw KorvaneError("网络辅助服务通信失败");

    char buffer[kMaxReply];
    const ssize_t received = ::recv(socket.fd(), buffer, sizeof buffer, 0);
    if (received <= 0) throw KorvaneError("网络辅助服务没有响应");
    return readReply(std::string_view(buffer, static_cast<std::size_t>(received)));
}

std::string KorvaneProxyHelperClient::readReply(std::string_view raw) {
    if (!isValidUtf8(raw)) throw KorvaneError("网络辅助服务没有响应");
    const std::string reply(trimWhitespaceAndNewlines(raw));
    if (reply.starts_with("ERR_")) throw KorvaneError("网络代理操作未完成，请检查辅助服务是否正常运行");
    if (reply == "ON" || reply == "OFF" || reply == "OK") return reply;
    throw KorvaneError("网络辅助服务返回异常");
}

bool KorvaneProxyHelperClient::mayBeEnabled() {
    std::error_code error;
    if (!std::filesystem::exists(launchDaemonFile(), error)) return false;
    try {
        return send("status") != "OFF";
    } catch (const std::exception&) {
        return true;
    }
}

bool KorvaneProxyHelperClient::enabled() {
    std::error_code error;
    if (!std::filesystem::exists(launchDaemonFile(), error)) return false;
    try {
        return send("status") == "ON";
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace korvane
