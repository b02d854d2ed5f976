#include "platform/route_lookup.h"

#include "base/child_process.h"
#include "base/files.h"
#include "platform/system_paths.h"

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifdef __linux__
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#endif

namespace korvane {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr const char* kRouteTool = "/sbin/route";

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

int millisecondsLeft(SteadyClock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Close-on-exec from the start, so that programs started meanwhile by other threads do not
// inherit the write end and keep the pipe open.
bool openPipe(int ends[2]) {
#ifdef __linux__
    return ::pipe2(ends, O_CLOEXEC) == 0;
#else
    if (::pipe(ends) != 0) return false;
    ::fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    return true;
#endif
}

// Reaps the child, killing it first when it is still running at the deadline (or at once
// when kill is set), so that a tool that hangs or ignores SIGTERM never holds the caller.
int reap(pid_t pid, SteadyClock::time_point deadline, bool kill) {
    int status = 0;
    for (;;) {
        if (kill) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
        if (reaped == pid) return status;
        if (reaped < 0 && errno != EINTR) return -1;
        if (SteadyClock::now() >= deadline) {
            kill = true;
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// The route tool, run as "<tool> -n get <host>" with standard output captured and standard
// error discarded.
std::optional<std::string> runRouteTool(const std::string& tool, const std::string& host,
                                        SteadyClock::time_point deadline) {
    int ends[2];
    if (!openPipe(ends)) return std::nullopt;
    Fd readEnd(ends[0]);
    Fd writeEnd(ends[1]);
    pid_t pid = -1;
    try {
        pid = startProcess(tool, {"-n", "get", host}, writeEnd.get(), /*errorsToNull=*/true);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    writeEnd.reset();

    std::string output;
    bool failed = false;
    char buffer[4096];
    for (;;) {
        pollfd ready{readEnd.get(), POLLIN, 0};
        const int wait = millisecondsLeft(deadline);
        const int polled = wait > 0 ? ::poll(&ready, 1, wait) : 0;
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) {
            failed = true; // out of time (or poll itself failed)
            break;
        }
        const ssize_t got = ::read(readEnd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        output.append(buffer, static_cast<std::size_t>(got));
        if (output.size() > kRouteLookupOutputLimit) {
            failed = true;
            break;
        }
    }
    readEnd.reset();
    const int status = reap(pid, deadline, failed);
    if (failed || status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    if (!isValidUtf8(output)) return std::nullopt;
    return output;
}

#ifdef __linux__

struct HostAddress {
    int family = AF_UNSPEC;
    unsigned char bytes[16] = {};
    std::size_t length = 0;
};

std::optional<HostAddress> fromSockaddr(const sockaddr* address) {
    HostAddress result;
    if (address->sa_family == AF_INET) {
        result.family = AF_INET;
        result.length = 4;
        std::memcpy(result.bytes, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, 4);
        return result;
    }
    if (address->sa_family == AF_INET6) {
        result.family = AF_INET6;
        result.length = 16;
        std::memcpy(result.bytes, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, 16);
        return result;
    }
    return std::nullopt;
}

// The host's first address, the one a connection tries first. A name is resolved on a thread
// of its own, so that a slow resolver cannot hold the caller past the deadline; its late answer
// is dropped.
std::optional<HostAddress> resolve(const std::string& host, SteadyClock::time_point deadline) {
    HostAddress literal;
    if (::inet_pton(AF_INET, host.c_str(), literal.bytes) == 1) {
        literal.family = AF_INET;
        literal.length = 4;
        return literal;
    }
    if (::inet_pton(AF_INET6, host.c_str(), literal.bytes) == 1) {
        literal.family = AF_INET6;
        literal.length = 16;
        return literal;
    }

    struct Resolution {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::optional<HostAddress> address;
    };
    auto resolution = std::make_shared<Resolution>();
    try {
        std::thread([resolution, host] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* found = nullptr;
            std::optional<HostAddress> address;
            if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
                for (const addrinfo* entry = found; entry && !address; entry = entry->ai_next)
                    address = fromSockaddr(entry->ai_addr);
                ::freeaddrinfo(found);
            }
            std::lock_guard lock(resolution->mutex);
            resolution->address = address;
            resolution->finished = true;
            resolution->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    std::unique_lock lock(resolution->mutex);
    if (!resolution->done.wait_until(lock, deadline, [&] { return resolution->finished; }))
        return std::nullopt;
    return resolution->address;
}

// Asks the kernel, as "ip route get" does, which interface a packet to address leaves through.
std::optional<std::string> outgoingInterface(const HostAddress& address, SteadyClock::time_point deadline) {
    Fd socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (socket.get() < 0) return std::nullopt;
    const int wait = millisecondsLeft(deadline);
    if (wait <= 0) return std::nullopt;
    timeval timeout{wait / 1000, (wait % 1000) * 1000};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    struct {
        nlmsghdr header;
        rtmsg route;
        char attributes[64];
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.route.rtm_family = static_cast<unsigned char>(address.family);
    request.route.rtm_dst_len = static_cast<unsigned char>(address.length * 8);
    auto* destination =
        reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) + NLMSG_ALIGN(request.header.nlmsg_len));
    destination->rta_type = RTA_DST;
    destination->rta_len = static_cast<unsigned short>(RTA_LENGTH(address.length));
    std::memcpy(RTA_DATA(destination), address.bytes, address.length);
    request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_ALIGN(destination->rta_len);

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket.get(), &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0)
        return std::nullopt;

    alignas(nlmsghdr) char answer[8192];
    for (;;) {
        const ssize_t got = ::recv(socket.get(), answer, sizeof answer, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return std::nullopt; // includes the receive time-out
        auto length = static_cast<unsigned int>(got);
        for (auto* message = reinterpret_cast<nlmsghdr*>(answer); NLMSG_OK(message, length);
             message = NLMSG_NEXT(message, length)) {
            if (message->nlmsg_seq != request.header.nlmsg_seq) continue;
            if (message->nlmsg_type == NLMSG_ERROR || message->nlmsg_type == NLMSG_DONE)
                return std::nullopt; // no route (unreachable, prohibited) or nothing to say
            if (message->nlmsg_type != RTM_NEWROUTE) continue;
            auto* route = static_cast<rtmsg*>(NLMSG_DATA(message));
            int attributesLength = static_cast<int>(RTM_PAYLOAD(message));
            for (auto* attribute = RTM_RTA(route); RTA_OK(attribute, attributesLength);
                 attribute = RTA_NEXT(attribute, attributesLength)) {
                if (attribute->rta_type != RTA_OIF || RTA_PAYLOAD(attribute) < sizeof(int)) continue;
                int index = 0;
                std::memcpy(&index, RTA_DATA(attribute), sizeof index);
                char name[IF_NAMESIZE] = {};
                if (!::if_indextoname(static_cast<unsigned int>(index), name)) return std::nullopt;
                return std::string(name);
            }
            return std::nullopt; // a route without an outgoing interface (blackhole)
        }
    }
}

std::optional<std::string> kernelRoute(const std::string& host, SteadyClock::time_point deadline) {
    const auto address = resolve(host, deadline);
    if (!address) return std::nullopt;
    const auto interfaceName = outgoingInterface(*address, deadline);
    if (!interfaceName) return std::nullopt;
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(address->family, address->bytes, text, sizeof text);
    // The route tool's own layout, of which only the "interface:" line is read.
    return std::string("   route to: ") + text + "\n  " + std::string(kRouteInterfaceLabel) + " " +
           *interfaceName + "\n";
}

#endif

} // namespace

std::optional<std::string> lookUpRoute(const std::string& host) {
    const auto deadline = SteadyClock::now() + kRouteLookupTimeLimit;
    const std::string tool = systemPath(kRouteTool).string();
#ifdef __linux__
    // This platform's own route tool knows no "get": the kernel answers, unless a system root
    // provides a stand-in for the real tool.
    if (tool == kRouteTool || ::access(tool.c_str(), X_OK) != 0) return kernelRoute(host, deadline);
#endif
    return runRouteTool(tool, host, deadline);
}

} // namespace korvane
