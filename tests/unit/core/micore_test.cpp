// The stand-in core with real proxies as its nodes: microsocks (SOCKS5) and tinyproxy (HTTP),
// started on ephemeral loopback ports; the stand-in itself holds the fixed ports 9097 and 7897.

#include "core/mihomo_core.h"
#include "core/runtime_configuration.h"
#include "testing/async_test.h"
#include "testing/https_server.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;

namespace {

// A child process with its output in a file; SIGKILLed and reaped if still running at the end.
class Child {
public:
    Child(std::vector<std::string> argv, const std::filesystem::path& output,
          std::vector<std::string> env = {}) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        for (char** e = environ; *e; ++e)
            env.emplace_back(*e);
        std::vector<char*> envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void signal(int number) { ::kill(pid_, number); }
    // The exit code once the child ended within timeout; -1 while it runs, -2 after a signal.
    int waitExit(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!exited_) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) return -1;
            std::this_thread::sleep_for(5ms);
        }
        return code_;
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int code_ = -1;
};

std::uint16_t freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool waitForPort(int port, bool accepting = true) {
    for (int i = 0; i < 400; ++i) {
        if (localPortAccepts(port) == accepting) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

std::string readText(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Sends raw bytes to the mixed port and returns everything read until the peer closes.
std::string exchange(const std::string& request, int port = MihomoCore::kMixedPort) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, n);
    }
    ::close(fd);
    return answer;
}

const std::string kOddName = "a b/节点</x";

class MicoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(localPortAccepts(MihomoCore::kMixedPort)) << "port 7897 is taken";
        origin.route("HEAD", "/generate_204", HttpResponse::text(204, ""));
    }

    std::filesystem::path writeConfig(const std::string& proxies, const std::vector<std::string>& names,
                                      const std::string& mode = "global") {
        const auto file = dir.path() / "runtime" / "config.yaml";
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << runtimeConfiguration("proxies:\n" + proxies, names, mode);
        return file;
    }

    std::unique_ptr<Child> startCore(const std::filesystem::path& config, std::vector<std::string> env = {}) {
        auto core = std::make_unique<Child>(std::vector<std::string>{KORVANE_MICORE, "-d",
                                                                     config.parent_path().string(), "-f",
                                                                     config.string()},
                                            dir.path() / "core.log", std::move(env));
        return core;
    }

    std::unique_ptr<Child> startMicrosocks(std::uint16_t port) {
        auto child = std::make_unique<Child>(
            std::vector<std::string>{"microsocks", "-i", "127.0.0.1", "-p", std::to_string(port)},
            dir.path() / ("microsocks-" + std::to_string(port) + ".log"));
        EXPECT_TRUE(waitForPort(port));
        return child;
    }

    std::unique_ptr<Child> startTinyproxy(std::uint16_t port) {
        const auto config = dir.path() / "tinyproxy.conf";
        std::ofstream(config) << "Port " << port << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\n"
                              << "Allow 127.0.0.1\nConnectPort " << origin.port() << "\nLogLevel Error\n";
        auto child = std::make_unique<Child>(
            std::vector<std::string>{"tinyproxy", "-d", "-c", config.string()}, dir.path() / "tinyproxy.log");
        EXPECT_TRUE(waitForPort(port));
        return child;
    }

    std::string probe() const { return origin.baseUrl() + "/generate_204"; }

    TempDir dir;
    HttpsServer origin;
    HttpClient& http = defaultHttpClient();
    ManualLoopScope scope;
    ManualLoop& loop = scope.loop;
};

std::string node(const std::string& name, const std::string& type, int port) {
    return "  - {name: \"" + name + "\", type: " + type +
           ", server: 127.0.0.1, port: " + std::to_string(port) + "}\n";
}

TEST_F(MicoreTest, DelayThroughRealProxiesAndOddNames) {
    const std::uint16_t socksPort = freePort(), httpPort = freePort();
    auto socks = startMicrosocks(socksPort);
    auto tiny = startTinyproxy(httpPort);
    auto core = startCore(writeConfig(node(kOddName, "socks5", socksPort) + node("HTTP 1", "http", httpPort) +
                                          node("dead", "socks5", freePort()),
                                      {kOddName, "HTTP 1", "dead"}));
    ASSERT_TRUE(waitForPort(9097)) << readText(dir.path() / "core.log");
    runTask(loop, MihomoCore::version(http));

    EXPECT_TRUE(runTask(loop, MihomoCore::measureDelay(http, kOddName, probe(), 5000)));
    EXPECT_TRUE(runTask(loop, MihomoCore::measureDelay(http, "HTTP 1", probe(), 5000)));
    EXPECT_FALSE(runTask(loop, MihomoCore::measureDelay(http, "dead", probe(), 2000)));
    EXPECT_FALSE(runTask(loop, MihomoCore::measureDelay(http, "unknown", probe(), 2000)));

    // The name survives the path both ways: selected by it, reported back as it.
    const std::string group(kProxyGroupName);
    runTask(loop, MihomoCore::select(http, group, "HTTP 1"));
    EXPECT_EQ(runTask(loop, MihomoCore::group(http, group)).at("now"), "HTTP 1");
    runTask(loop, MihomoCore::select(http, group, kOddName));
    const Json state = runTask(loop, MihomoCore::group(http, group));
    EXPECT_EQ(state.at("now"), kOddName);
    EXPECT_EQ(state.at("all"), (Json{kOddName, "HTTP 1", "dead"}));
    EXPECT_EQ(errorOf(loop, MihomoCore::select(http, group, "")), "Selector update error: proxy not exist");
    EXPECT_EQ(errorOf(loop, MihomoCore::select(http, kOddName, "HTTP 1")), "Must be a Selector");
    EXPECT_TRUE(runTask(loop, MihomoCore::measureDelay(http, group, probe(), 5000)));

    // The node goes away: the same measurement fails.
    socks.reset();
    EXPECT_FALSE(runTask(loop, MihomoCore::measureDelay(http, kOddName, probe(), 2000)));

    core->signal(SIGTERM);
    EXPECT_EQ(core->waitExit(2s), 0);
}

TEST_F(MicoreTest, MixedPortRoutesByRulesThroughTheSelectedNode) {
    HttpsServer site(HttpsServer::Options{0, false});
    site.route("GET", "/page", HttpResponse::text(200, "hello through the proxy"));
    const std::uint16_t socksPort = freePort();
    auto socks = startMicrosocks(socksPort);
    auto core = startCore(writeConfig(node("dead", "socks5", freePort()) + node("live", "socks5", socksPort),
                                      {"dead", "live"}, "smart"));
    ASSERT_TRUE(waitForPort(MihomoCore::kMixedPort));
    const std::string port = std::to_string(site.port());
    auto get = [&](const std::string& host) {
        return exchange("GET http://" + host + ":" + port + "/page HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    };
    // "localhost" and 127.0.0.1 are direct by rule; the IPv4-mapped IPv6 form of the same address
    // matches no direct rule, so it goes to the group, whose first member is dead.
    const std::string proxied = "[::ffff:127.0.0.1]";
    EXPECT_NE(get("localhost").find("hello through the proxy"), std::string::npos);
    EXPECT_NE(get("127.0.0.1").find("hello through the proxy"), std::string::npos);
    EXPECT_EQ(get(proxied), "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(exchange("CONNECT " + proxied + ":" + port + " HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 200 Connection established\r\n\r\n"); // answered, then closed
    EXPECT_EQ(exchange("GET /page HTTP/1.1\r\nHost: x\r\n\r\n").substr(0, 12), "HTTP/1.1 400");

    runTask(loop, MihomoCore::select(http, std::string(kProxyGroupName), "live"));
    EXPECT_NE(get(proxied).find("hello through the proxy"), std::string::npos);
    const std::string tunnel =
        exchange("CONNECT " + proxied + ":" + port +
                 " HTTP/1.1\r\n\r\nGET /page HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(tunnel.starts_with("HTTP/1.1 200 Connection established\r\n\r\n")) << tunnel;
    EXPECT_NE(tunnel.find("hello through the proxy"), std::string::npos);

    // SOCKS5, the destination as a name.
    std::string socksRequest("\x05\x01\x00\x05\x01\x00\x03", 7);
    socksRequest += static_cast<char>(std::strlen("::ffff:127.0.0.1"));
    socksRequest += "::ffff:127.0.0.1";
    socksRequest += static_cast<char>(site.port() >> 8);
    socksRequest += static_cast<char>(site.port() & 0xff);
    socksRequest += "GET /page HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n";
    EXPECT_NE(exchange(socksRequest).find("hello through the proxy"), std::string::npos);

    // Nothing reached the site except through the rules above: three direct or proxied GETs
    // plus the tunnel and the SOCKS5 request.
    EXPECT_EQ(site.count("GET", "/page"), 5u);

    core->signal(SIGTERM);
    EXPECT_EQ(core->waitExit(2s), 0);
}

TEST_F(MicoreTest, BadConfigurationFailsBeforeBinding) {
    const auto config = dir.path() / "runtime" / "config.yaml";
    std::filesystem::create_directories(config.parent_path());
    const std::string group = "proxy-groups: [{name: G, type: select, proxies: [a]}]\n";
    const std::string cases[] = {
        "proxies: [{name: a, type: socks5}, {name: a, type: http}]\n" + group,
        "proxies: [{name: a, type: socks5}]\nproxy-groups: [{name: G, type: select, proxies: []}]\n",
        "proxies: [{name: a, type: socks5}]\nproxy-groups: [{name: G, type: select, proxies: [b]}]\n",
        "proxies: [{name: a, type: socks5}]\n" + group + "rules: [MATCH,H]\n",
        "log-level: warn\n",
        "proxies: [unclosed\n",
    };
    for (const auto& text : cases) {
        std::ofstream(config) << text;
        auto core = startCore(config);
        EXPECT_EQ(core->waitExit(5s), 1) << text;
        EXPECT_TRUE(readText(dir.path() / "core.log").starts_with("level=fatal msg=\"Parse config error: "))
            << text;
        EXPECT_FALSE(localPortAccepts(9097));
    }
}

TEST_F(MicoreTest, Knobs) {
    const auto config = writeConfig(node("a", "socks5", 1), {"a"});
    {
        auto core = startCore(config, {"MICORE_EXIT_AT_ONCE=1"});
        EXPECT_NE(core->waitExit(5s), -1);
    }
    {
        auto core = startCore(config, {"MICORE_CONTROLLER_DELAY_MS=1500"});
        ASSERT_TRUE(waitForPort(9097));
        EXPECT_NE(errorOf(loop, MihomoCore::version(http)), ""); // the 1 s time-out passes first
    }
    ASSERT_TRUE(waitForPort(9097, false));
    {
        auto core = startCore(config, {"MICORE_IGNORE_SIGTERM=1"});
        ASSERT_TRUE(waitForPort(9097));
        core->signal(SIGTERM);
        EXPECT_EQ(core->waitExit(300ms), -1);
    }
    ASSERT_TRUE(waitForPort(9097, false));
}

} // namespace
