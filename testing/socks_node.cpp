#include "testing/socks_node.h"

#include "base/files.h"
#include "core/mihomo_core.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace korvane::testing {

std::uint16_t freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        if (fd >= 0) ::close(fd);
        throw std::runtime_error("no free loopback port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

SocksNode::SocksNode(const std::filesystem::path& directory) : port_(freeLoopbackPort()) {
    log_ = directory / ("microsocks-" + std::to_string(port_) + ".log");
    // microsocks logs each connection it makes on standard output; line buffering keeps the log
    // current while it runs.
    std::vector<std::string> argv{"stdbuf",    "-oL", "microsocks",         "-i",
                                  "127.0.0.1", "-p",  std::to_string(port_)};
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    // Nothing else of the test's: a node outliving a killed test must not keep its files open
    // (such as the lock of the machine's fixed ports that flock(1) hands down).
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    const int failed = ::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("cannot start microsocks");
    for (int i = 0; i < 500 && !localPortAccepts(port_); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!localPortAccepts(port_)) throw std::runtime_error("microsocks does not listen");
}

SocksNode::~SocksNode() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

int SocksNode::connectionsTo(std::uint16_t port) const {
    const std::string text = readFile(log_).value_or("");
    const std::string mark = "connected to 127.0.0.1:" + std::to_string(port) + "\n";
    int count = 0;
    for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark, at + mark.size()))
        ++count;
    return count;
}

} // namespace korvane::testing
