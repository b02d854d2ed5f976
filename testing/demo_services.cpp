// korvane-demo-services: the loopback services a local build talks to, for the demo, the GUI
// tests and the screenshots: the stand-in panel with its demo account (18444), the remote
// configuration (18443), the official site (18445), the support chat (18446), the update
// host (18447), the two connectivity probes (18448, 18449), and a real SOCKS5 proxy (Debian's
// microsocks, on a free port) that the subscription's node "美国 04" points at, so that one
// node is available and a connection can be made through it. Prints "ready" once every port
// listens; runs until stdin closes or a termination signal arrives.
#include "base/child_process.h"
#include "core/mihomo_core.h"
#include "testing/https_server.h"
#include "testing/stand_in_panel.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;

namespace {

std::uint16_t freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    if (fd >= 0) ::close(fd);
    if (!bound) throw std::runtime_error("no free loopback port");
    return ntohs(address.sin_port);
}

std::optional<std::filesystem::path> onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (folder.empty()) continue;
        const auto candidate = std::filesystem::path(folder) / program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

// microsocks on a free loopback port, stopped with the services. The port is picked before
// the proxy binds it, so another program may take it first: then a fresh port is tried.
class SocksNode {
public:
    SocksNode() {
        const auto program = onPath("microsocks");
        if (!program) throw std::runtime_error("microsocks is not installed (scripts/setup.sh installs it)");
        for (int attempt = 0; attempt < 5; ++attempt) {
            port_ = freeLoopbackPort();
            const std::vector<std::string> arguments{"-i", "127.0.0.1", "-p", std::to_string(port_)};
            pid_ = startProcess(program->string(), arguments);
            for (auto waited = 0ms; waited < 3s; waited += 10ms) {
                if (localPortAccepts(port_)) return;
                if (::waitpid(pid_, nullptr, WNOHANG) == pid_) break;
                std::this_thread::sleep_for(10ms);
            }
            stop();
        }
        throw std::runtime_error("microsocks did not start");
    }
    ~SocksNode() { stop(); }
    SocksNode(const SocksNode&) = delete;
    SocksNode& operator=(const SocksNode&) = delete;

    std::uint16_t port() const { return port_; }

private:
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

HttpResponse page(const std::string& title) {
    auto response = HttpResponse::text(200, "<!DOCTYPE html><meta charset=\"utf-8\"><title>" + title +
                                                "</title><h1>" + title + "</h1>");
    for (auto& [name, value] : response.headers) {
        if (name == "Content-Type") value = "text/html; charset=utf-8";
    }
    return response;
}

} // namespace

int main() {
    // Signals are taken synchronously below, so the servers shut down through their destructors.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    try {
        StandInPanel panel(18444);
        HttpsServer config(HttpsServer::Options{18443, true});
        HttpsServer site(HttpsServer::Options{18445, true});
        HttpsServer support(HttpsServer::Options{18446, true});
        HttpsServer update(HttpsServer::Options{18447, true});

        const std::string remote =
            R"({"Domain":"https://127.0.0.1:18444","officialUrl":"https://127.0.0.1:18445",)"
            R"("supportUrl":"https://127.0.0.1:18446/widget"})";
        config.route("GET", "/RemoteConfig.json", HttpResponse::json(200, remote));
        config.route("GET", "/client/config.json", HttpResponse::json(200, remote));
        site.route("GET", "/", page("Korvane 官网（本地演示）"));
        support.route("GET", "/widget", page("Korvane 在线客服（本地演示）"));
        update.route("POST", "/api/quality.php", HttpResponse::json(200, "{}"));
        update.route("GET", "/api/macos.json", HttpResponse::json(200, R"({"version":"0.0.0","build":0})"));

        // The connectivity checks a connection and the node tests make through a node.
        HttpsServer probeA(HttpsServer::Options{18448, true});
        HttpsServer probeB(HttpsServer::Options{18449, true});
        for (HttpsServer* probe : {&probeA, &probeB}) {
            for (const char* method : {"HEAD", "GET"})
                probe->route(method, "/generate_204", HttpResponse::text(204, ""));
        }
        SocksNode node;
        panel.setSubscription(StandInPanel::demoSubscription(node.port()));

        std::printf("ready\n");
        std::fflush(stdout);

        std::thread([] {
            std::string line;
            while (std::getline(std::cin, line)) {
            }
            ::kill(::getpid(), SIGTERM);
        }).detach();
        int received = 0;
        sigwait(&signals, &received);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvane-demo-services: %s\n", error.what());
        return 1;
    }
    return 0;
}
