// The stand-in core with real proxies as its nodes: microsocks (SOCKS5) and tinyproxy (HTTP),
// started on ephemeral loopback ports; the stand-in itself holds the fixed ports 9097 and 7897.

#include "core/mihomo_core.h"
#include "core/runtime_configuration.h"
#include "platform/local_proxy.h"
#include "testing/async_test.h"
#include "testing/https_server.h"
#include "testing/socks_node.h"
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
std::string exchange(const std::string& request, int port = kLocalProxyPort) {
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
        ASSERT_FALSE(localPortAccepts(kLocalProxyPort)) << "port 7897 is taken";
        origin.route("HEAD", "/generate_204", HttpResponse::text(204, ""));
    }

    // The client's configuration in a home directory that also has the geo data its rules need.
    std::filesystem::path writeConfig(const std::string& proxies, const std::vector<std::string>& names,
                                      const std::string& mode = "global") {
        const auto file = dir.path() / "runtime" / "config.yaml";
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << runtimeConfiguration("proxies:\n" + proxies, names, mode);
        for (const char* geo : {"geoip.dat", "geosite.dat"})
            std::filesystem::copy_file(std::filesystem::path(KORVANE_MICORE_GEODATA_DIR) / geo,
                                       file.parent_path() / geo,
                                       std::filesystem::copy_options::overwrite_existing);
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
    const std::uint16_t socksPort = freeLoopbackPort(), httpPort = freeLoopbackPort();
    auto socks = startMicrosocks(socksPort);
    auto tiny = startTinyproxy(httpPort);
    auto core = startCore(writeConfig(node(kOddName, "socks5", socksPort) + node("HTTP 1", "http", httpPort) +
                                          node("dead", "socks5", freeLoopbackPort()) +
                                          node("x%41", "socks5", socksPort),
                                      {kOddName, "HTTP 1", "dead", "x%41"}));
    ASSERT_TRUE(waitForPort(9097)) << readText(dir.path() / "core.log");
    runTask(loop, MihomoCore::version(http));

    EXPECT_TRUE(runTask(loop, MihomoCore::measureDelay(http, kOddName, probe(), 5000)));
    EXPECT_TRUE(runTask(loop, MihomoCore::measureDelay(http, "HTTP 1", probe(), 5000)));
    EXPECT_FALSE(runTask(loop, MihomoCore::measureDelay(http, "dead", probe(), 2000)));
    EXPECT_FALSE(runTask(loop, MihomoCore::measureDelay(http, "unknown", probe(), 2000)));
    EXPECT_TRUE(runTask(loop, MihomoCore::measureDelay(http, "x%41", probe(), 5000))); // not decoded twice

    // The name survives the path both ways: selected by it, reported back as it.
    const std::string group(kProxyGroupName);
    runTask(loop, MihomoCore::select(http, group, "HTTP 1"));
    EXPECT_EQ(runTask(loop, MihomoCore::group(http, group)).at("now"), "HTTP 1");
    runTask(loop, MihomoCore::select(http, group, kOddName));
    const Json state = runTask(loop, MihomoCore::group(http, group));
    EXPECT_EQ(state.at("now"), kOddName);
    EXPECT_EQ(state.at("all"), (Json{kOddName, "HTTP 1", "dead", "x%41"}));
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
    const std::uint16_t socksPort = freeLoopbackPort();
    auto socks = startMicrosocks(socksPort);
    auto core =
        startCore(writeConfig(node("dead", "socks5", freeLoopbackPort()) + node("live", "socks5", socksPort),
                              {"dead", "live"}, "smart"));
    ASSERT_TRUE(waitForPort(kLocalProxyPort));
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
    const auto config = writeConfig(node("a", "socks5", 1), {"a"}, "smart");
    const auto home = config.parent_path();
    const std::string clientConfig = readText(config);
    const auto expectFatal = [&](const std::string& text, const std::string& expected) {
        std::ofstream(config) << text;
        auto core = startCore(config);
        EXPECT_EQ(core->waitExit(5s), 1) << text;
        const std::string log = readText(dir.path() / "core.log");
        EXPECT_NE(log.find("level=fatal msg=\"Parse config error: " + expected), std::string::npos) << log;
        EXPECT_FALSE(localPortAccepts(9097));
    };
    const std::string group = "proxy-groups: [{name: G, type: select, proxies: [a]}]\n";
    const std::pair<std::string, std::string> cases[] = {
        {"proxies: [{name: a, type: socks5}, {name: a, type: http}]\n" + group,
         "proxy 1: duplicate proxy name"},
        {"proxies: [{name: a, type: socks5}]\nproxy-groups: [{name: G, type: select, proxies: []}]\n",
         "proxy group[G]"},
        {"proxies: [{name: a, type: socks5}]\nproxy-groups: [{name: G, type: select, proxies: [b]}]\n",
         "proxy group[G]: 'b' not found"},
        {"proxies: [{name: a, type: socks5}]\n" + group + "rules: ['MATCH,H']\n",
         "rules[0] [MATCH,H] error: proxy [H] not found"},
        {"log-level: warn\n", "log-level"},
        {"proxies: [unclosed\n", "yaml: "},
    };
    for (const auto& [text, expected] : cases)
        expectFatal(text, expected);

    // Geo data the rules need, missing or without a CN entry: offline, the core fails to
    // download it. Global mode has no GEOIP rule, so it starts without geoip.dat.
    const std::string geosite = readText(home / "geosite.dat");
    const std::string geositeError = "rules[22] [GEOSITE,private,DIRECT] error: can't download GeoSite.dat";
    std::filesystem::remove(home / "geosite.dat");
    expectFatal(clientConfig, geositeError);
    std::ofstream(home / "GeoSite.dat") << std::string("\x0a\x04\x0a\x02US", 6); // a list holding US only
    expectFatal(clientConfig, geositeError);
    std::ofstream(home / "GeoSite.dat") << "not geo data";
    expectFatal(clientConfig, geositeError);
    std::filesystem::remove(home / "GeoSite.dat");
    std::ofstream(home / "GEOSITE.DAT") << geosite; // the name is matched without regard to case
    std::filesystem::remove(home / "geoip.dat");
    expectFatal(clientConfig, "rules[26] [GEOIP,CN,DIRECT] error: can't download GeoIP.dat");
    writeConfig(node("a", "socks5", 1), {"a"}, "global");
    std::filesystem::remove(home / "geoip.dat");
    auto core = startCore(config);
    EXPECT_TRUE(waitForPort(9097)) << readText(dir.path() / "core.log");
}

// Raw requests to the controller, answered as the core's router and handlers answer them.
TEST_F(MicoreTest, ControllerAnswersLikeTheCore) {
    auto core = startCore(
        writeConfig(node("dead", "socks5", 1) + node("x%41", "socks5", 1) + node("a&b", "socks5", 1),
                    {"dead", "x%41", "a&b"}));
    ASSERT_TRUE(waitForPort(9097));
    const std::string group = "/proxies/Korvane%20%E6%89%8B%E5%8A%A8%E8%8A%82%E7%82%B9";
    struct Case {
        std::string method, target, body, answer;
    };
    const Case cases[] = {
        {"GET", "/version", "", "200 {\"meta\":true,\"version\":\"v1.19.2\"}\n"},
        {"PUT", "/version", "", "405 "},
        {"GET", "/nothing", "", "404 404 page not found\n"},
        {"GET", "/proxies/unknown", "", "404 {\"message\":\"Resource not found\"}\n"},
        {"POST", "/proxies/dead", "", "405 "},
        {"GET", "/proxies/%zz", "", "400 400 Bad Request"},
        // Selection: the body is read like a JSON object with an optional string "name".
        {"PUT", group, "{}", "400 {\"message\":\"Selector update error: proxy not exist\"}\n"},
        {"PUT", group, "{\"name\":null}", "400 {\"message\":\"Selector update error: proxy not exist\"}\n"},
        {"PUT", group, "null", "400 {\"message\":\"Selector update error: proxy not exist\"}\n"},
        {"PUT", group, "", "400 {\"message\":\"Body invalid\"}\n"},
        {"PUT", group, "[\"dead\"]", "400 {\"message\":\"Body invalid\"}\n"},
        {"PUT", group, "{\"name\":5}", "400 {\"message\":\"Body invalid\"}\n"},
        {"PUT", group, "{\"NAME\":\"a&b\"} and more", "204 "},
        {"PUT", "/proxies/dead", "{\"name\":\"dead\"}", "400 {\"message\":\"Must be a Selector\"}\n"},
        {"DELETE", group, "", "400 {\"message\":\"Body invalid\"}\n"},
        // The delay test's time-out is a 16-bit integer; a bad probe URL fails the test.
        {"GET", "/proxies/dead/delay?timeout=abc&url=http://a/", "", "400 {\"message\":\"Body invalid\"}\n"},
        {"GET", "/proxies/dead/delay?timeout=32768&url=http://a/", "",
         "400 {\"message\":\"Body invalid\"}\n"},
        {"GET", "/proxies/dead/delay?timeout=-5&url=http://a/", "", "504 {\"message\":\"Timeout\"}\n"},
        {"GET", "/proxies/dead/delay?timeout=%2B900&url=ftp://a/", "",
         "503 {\"message\":\"An error occurred in the delay test\"}\n"},
        // Names: "&" comes back escaped; a path spelt as the URL parser would spell it has its
        // name decoded twice, so "x%41" is reached only through a path spelt otherwise.
        {"GET", "/proxies/a%26b", "",
         "200 {\"alive\":true,\"history\":[],\"name\":\"a\\u0026b\",\"type\":\"Socks5\",\"udp\":false}\n"},
        {"GET", "/proxies/x%2541", "", "404 {\"message\":\"Resource not found\"}\n"},
        {"GET", "/proxies/x%25%34%31", "",
         "200 {\"alive\":true,\"history\":[],\"name\":\"x%41\",\"type\":\"Socks5\",\"udp\":false}\n"},
    };
    for (const auto& c : cases) {
        const std::string response =
            exchange(c.method + " " + c.target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                         "Content-Length: " + std::to_string(c.body.size()) + "\r\n\r\n" + c.body,
                     9097);
        const auto bodyAt = response.find("\r\n\r\n");
        ASSERT_NE(bodyAt, std::string::npos) << c.method << " " << c.target << ": " << response;
        EXPECT_EQ(response.substr(9, 4) + response.substr(bodyAt + 4), c.answer)
            << c.method << " " << c.target;
    }
    EXPECT_EQ(runTask(loop, MihomoCore::group(http, std::string(kProxyGroupName))).at("now"), "a&b");
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
        // The controller answers while the mixed port does not listen yet, as the core may.
        auto core = startCore(config, {"MICORE_MIXED_PORT_DELAY_MS=2000"});
        ASSERT_TRUE(waitForPort(9097));
        runTask(loop, MihomoCore::version(http));
        EXPECT_FALSE(localPortAccepts(kLocalProxyPort));
        EXPECT_TRUE(waitForPort(kLocalProxyPort));
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
