// micore: a stand-in for the proxy core, small enough to read in one sitting. It honours the
// client's command line and runtime configuration, serves the controller and the mixed proxy
// port on loopback as the real core answers them, and forwards through socks5 and http nodes.
// See README.md for what it leaves out and for the knobs the failure tests use.

#include "base/json.h"
#include "base/yaml.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using korvane::Json;
using korvane::YamlValue;

namespace {

constexpr std::uint16_t kControllerPort = 9097;
constexpr std::uint16_t kMixedPort = 7897;

using Clock = std::chrono::steady_clock;

// ---- configuration

struct Node {
    std::string name;
    std::string type; // as configured: "socks5", "http", "ss", ...
    std::string server;
    int port = 0;
    std::string username;
    std::string password;
    bool udp = false;
};

struct Group {
    std::string name;
    std::vector<std::string> members; // configuration order, duplicates kept
    std::string now;
};

struct Rule {
    std::string type;
    std::string payload;
    std::string target;
};

struct Config {
    std::map<std::string, Node> nodes;
    std::vector<Group> groups;
    std::vector<Rule> rules;
};

struct ConfigError {
    std::string message;
};

std::string scalarText(const YamlValue& value) {
    if (value.isString()) return value.asString();
    if (value.isInteger()) return std::to_string(value.asInteger());
    if (value.isBoolean()) return value.asBoolean() ? "true" : "false";
    return "";
}

Config loadConfig(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw ConfigError{"open " + path + ": no such file or directory"};
    std::stringstream text;
    text << file.rdbuf();
    YamlValue root;
    try {
        root = korvane::loadYaml(text.str());
    } catch (const korvane::YamlError& error) {
        throw ConfigError{std::string("yaml: ") + error.what()};
    }
    if (!root.isMapping()) throw ConfigError{"configuration is not a mapping"};
    if (const YamlValue* level = root.find("log-level")) {
        static const std::set<std::string> levels = {"silent", "error", "warning", "info", "debug"};
        if (!levels.contains(scalarText(*level))) throw ConfigError{"log-level: invalid mode"};
    }

    Config config;
    if (const YamlValue* proxies = root.find("proxies"); proxies && proxies->isSequence()) {
        std::size_t index = 0;
        for (const auto& proxy : proxies->asSequence()) {
            const YamlValue* name = proxy.find("name");
            const YamlValue* type = proxy.find("type");
            if (!name || !type)
                throw ConfigError{"proxy " + std::to_string(index) + ": missing name or type"};
            Node node;
            node.name = scalarText(*name);
            node.type = scalarText(*type);
            if (const auto* v = proxy.find("server")) node.server = scalarText(*v);
            if (const auto* v = proxy.find("port")) node.port = std::atoi(scalarText(*v).c_str());
            if (const auto* v = proxy.find("username")) node.username = scalarText(*v);
            if (const auto* v = proxy.find("password")) node.password = scalarText(*v);
            if (const auto* v = proxy.find("udp")) node.udp = v->isBoolean() && v->asBoolean();
            if (config.nodes.contains(node.name))
                throw ConfigError{"proxy " + std::to_string(index) + ": duplicate proxy name: " + node.name};
            config.nodes.emplace(node.name, node);
            ++index;
        }
    }
    auto defined = [&](const std::string& name) {
        if (name == "DIRECT" || name == "REJECT" || config.nodes.contains(name)) return true;
        for (const auto& group : config.groups)
            if (group.name == name) return true;
        return false;
    };
    if (const YamlValue* groups = root.find("proxy-groups"); groups && groups->isSequence()) {
        for (const auto& entry : groups->asSequence()) {
            Group group;
            if (const auto* v = entry.find("name")) group.name = scalarText(*v);
            if (const auto* members = entry.find("proxies"); members && members->isSequence())
                for (const auto& member : members->asSequence())
                    group.members.push_back(scalarText(member));
            if (group.members.empty())
                throw ConfigError{"proxy group[" + group.name + "]: `use` or `proxies` missing"};
            group.now = group.members.front();
            config.groups.push_back(group);
        }
        for (const auto& group : config.groups)
            for (const auto& member : group.members)
                if (!defined(member))
                    throw ConfigError{"proxy group[" + group.name + "]: '" + member + "' not found"};
    }
    if (const YamlValue* rules = root.find("rules"); rules && rules->isSequence()) {
        std::size_t index = 0;
        for (const auto& entry : rules->asSequence()) {
            const std::string line = scalarText(entry);
            std::vector<std::string> parts;
            std::stringstream stream(line);
            for (std::string part; std::getline(stream, part, ',');)
                parts.push_back(part);
            Rule rule;
            if (parts.size() == 2 && parts[0] == "MATCH") {
                rule = Rule{"MATCH", "", parts[1]};
            } else if (parts.size() >= 3) {
                rule = Rule{parts[0], parts[1], parts[2]};
            } else {
                throw ConfigError{"rules[" + std::to_string(index) + "] [" + line +
                                  "] error: format invalid"};
            }
            if (!defined(rule.target))
                throw ConfigError{"rules[" + std::to_string(index) + "] [" + line + "] error: proxy [" +
                                  rule.target + "] not found"};
            config.rules.push_back(rule);
            ++index;
        }
    }
    return config;
}

Config gConfig;
std::mutex gConfigMutex; // guards the groups' selections

// ---- sockets

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            if (fd >= 0) ::close(fd);
            fd = std::exchange(other.fd, -1);
        }
        return *this;
    }
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

bool sendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool recvExact(int fd, char* buffer, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::recv(fd, buffer, size, 0);
        if (n <= 0) return false;
        buffer += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads up to the blank line ending an HTTP head; what came after it stays in `rest`.
std::optional<std::string> readHead(int fd, std::string& rest) {
    std::string data = std::move(rest);
    rest.clear();
    for (;;) {
        if (auto end = data.find("\r\n\r\n"); end != std::string::npos) {
            rest = data.substr(end + 4);
            return data.substr(0, end + 4);
        }
        if (data.size() > 65536) return std::nullopt;
        char buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return std::nullopt;
        data.append(buffer, static_cast<std::size_t>(n));
    }
}

void setTimeouts(int fd, int milliseconds) {
    timeval tv{milliseconds / 1000, (milliseconds % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// A TCP connection to host:port (names resolved by the system), or -1.
Fd dialTcp(const std::string& host, int port, int timeoutMs) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return Fd();
    Fd result;
    for (addrinfo* a = found; a; a = a->ai_next) {
        Fd fd(::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd.fd < 0) continue;
        setTimeouts(fd.fd, timeoutMs);
        if (::connect(fd.fd, a->ai_addr, a->ai_addrlen) == 0) {
            result = std::move(fd);
            break;
        }
    }
    ::freeaddrinfo(found);
    return result;
}

// ---- dialing through a node

bool socks5Connect(int fd, const Node& node, const std::string& host, int port) {
    const bool auth = !node.username.empty();
    std::string hello = auth ? std::string("\x05\x01\x02", 3) : std::string("\x05\x01\x00", 3);
    char reply[2];
    if (!sendAll(fd, hello) || !recvExact(fd, reply, 2) || reply[0] != 5) return false;
    if (auth) {
        if (reply[1] != 2) return false;
        std::string login = "\x01";
        login += static_cast<char>(node.username.size());
        login += node.username;
        login += static_cast<char>(node.password.size());
        login += node.password;
        if (!sendAll(fd, login) || !recvExact(fd, reply, 2) || reply[1] != 0) return false;
    } else if (reply[1] != 0) {
        return false;
    }
    std::string request("\x05\x01\x00\x03", 4);
    request += static_cast<char>(host.size());
    request += host;
    request += static_cast<char>(port >> 8);
    request += static_cast<char>(port & 0xff);
    char head[4];
    if (!sendAll(fd, request) || !recvExact(fd, head, 4) || head[1] != 0) return false;
    std::size_t skip = head[3] == 1 ? 4 : head[3] == 4 ? 16 : 0;
    if (head[3] == 3) {
        unsigned char length = 0;
        if (!recvExact(fd, reinterpret_cast<char*>(&length), 1)) return false;
        skip = length;
    }
    std::string tail(skip + 2, '\0');
    return recvExact(fd, tail.data(), tail.size());
}

bool httpConnect(int fd, const Node& node, const std::string& host, int port) {
    const std::string authority = host + ":" + std::to_string(port);
    std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
    if (!sendAll(fd, request)) return false;
    std::string rest;
    auto head = readHead(fd, rest);
    (void)node;
    return head && (head->starts_with("HTTP/1.1 200") || head->starts_with("HTTP/1.0 200")) && rest.empty();
}

std::string selectedOf(const std::string& name, int depth = 0);

// A connection to host:port through the named outbound (a node, a group, DIRECT or REJECT).
Fd dialVia(const std::string& outbound, const std::string& host, int port, int timeoutMs) {
    const std::string target = selectedOf(outbound);
    if (target == "DIRECT") return dialTcp(host, port, timeoutMs);
    auto found = gConfig.nodes.find(target);
    if (found == gConfig.nodes.end()) return Fd();
    const Node& node = found->second;
    if (node.type != "socks5" && node.type != "http") return Fd();
    Fd fd = dialTcp(node.server, node.port, timeoutMs);
    if (fd.fd < 0) return fd;
    bool ok =
        node.type == "socks5" ? socks5Connect(fd.fd, node, host, port) : httpConnect(fd.fd, node, host, port);
    return ok ? std::move(fd) : Fd();
}

// What a name stands for once groups are followed to their selected member.
std::string selectedOf(const std::string& name, int depth) {
    std::string now;
    {
        std::lock_guard lock(gConfigMutex);
        for (const auto& group : gConfig.groups)
            if (group.name == name) now = group.now;
    }
    return now.empty() || depth >= 8 ? name : selectedOf(now, depth + 1);
}

// ---- routing

std::string lower(std::string text) {
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool inCidr(const std::string& host, const std::string& cidr, bool v6) {
    auto slash = cidr.find('/');
    if (slash == std::string::npos) return false;
    const int bits = std::atoi(cidr.c_str() + slash + 1);
    unsigned char a[16], b[16];
    const int family = v6 ? AF_INET6 : AF_INET;
    std::string literal = host;
    if (literal.size() > 2 && literal.front() == '[') literal = literal.substr(1, literal.size() - 2);
    if (::inet_pton(family, literal.c_str(), a) != 1) return false;
    if (::inet_pton(family, cidr.substr(0, slash).c_str(), b) != 1) return false;
    for (int i = 0; i < bits; ++i) {
        const int mask = 0x80 >> (i % 8);
        if ((a[i / 8] & mask) != (b[i / 8] & mask)) return false;
    }
    return true;
}

// The outbound of the first matching rule. Names are never resolved (every IP rule acts as
// no-resolve), and GEOSITE and GEOIP never match.
std::string route(const std::string& rawHost) {
    const std::string host = lower(rawHost);
    for (const auto& rule : gConfig.rules) {
        const std::string payload = lower(rule.payload);
        bool match = false;
        if (rule.type == "DOMAIN")
            match = host == payload;
        else if (rule.type == "DOMAIN-SUFFIX")
            match = host == payload || (host.size() > payload.size() && host.ends_with("." + payload));
        else if (rule.type == "IP-CIDR")
            match = inCidr(host, rule.payload, false);
        else if (rule.type == "IP-CIDR6")
            match = inCidr(host, rule.payload, true);
        else if (rule.type == "MATCH")
            match = true;
        if (match) return rule.target;
    }
    return "DIRECT";
}

// ---- relaying

void relay(int a, int b) {
    setTimeouts(a, 0);
    setTimeouts(b, 0);
    pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    char buffer[16384];
    for (;;) {
        if (::poll(fds, 2, -1) < 0) return;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0 || !sendAll(fds[1 - i].fd, std::string_view(buffer, static_cast<std::size_t>(n))))
                return;
        }
    }
}

// host:port of an authority; default port when none is given.
std::pair<std::string, int> splitAuthority(const std::string& authority, int defaultPort) {
    if (!authority.empty() && authority.front() == '[') {
        auto close = authority.find(']');
        std::string host = authority.substr(1, close - 1);
        int port = close + 1 < authority.size() && authority[close + 1] == ':'
                       ? std::atoi(authority.c_str() + close + 2)
                       : defaultPort;
        return {host, port};
    }
    auto colon = authority.rfind(':');
    if (colon == std::string::npos) return {authority, defaultPort};
    return {authority.substr(0, colon), std::atoi(authority.c_str() + colon + 1)};
}

constexpr int kDialTimeoutMs = 10000;

void serveSocks5(Fd client) {
    char head[2];
    if (!recvExact(client.fd, head, 2)) return;
    std::string methods(static_cast<unsigned char>(head[1]), '\0');
    if (!recvExact(client.fd, methods.data(), methods.size())) return;
    if (!sendAll(client.fd, std::string("\x05\x00", 2))) return;
    char request[4];
    if (!recvExact(client.fd, request, 4) || request[1] != 1) return;
    std::string host;
    if (request[3] == 1 || request[3] == 4) {
        unsigned char address[16];
        const int size = request[3] == 1 ? 4 : 16;
        if (!recvExact(client.fd, reinterpret_cast<char*>(address), size)) return;
        char text[INET6_ADDRSTRLEN];
        ::inet_ntop(request[3] == 1 ? AF_INET : AF_INET6, address, text, sizeof text);
        host = text;
    } else if (request[3] == 3) {
        unsigned char length = 0;
        if (!recvExact(client.fd, reinterpret_cast<char*>(&length), 1)) return;
        host.resize(length);
        if (!recvExact(client.fd, host.data(), length)) return;
    } else {
        return;
    }
    unsigned char port[2];
    if (!recvExact(client.fd, reinterpret_cast<char*>(port), 2)) return;
    Fd upstream = dialVia(route(host), host, port[0] << 8 | port[1], kDialTimeoutMs);
    const std::string success("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10);
    const std::string failure("\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00", 10);
    if (upstream.fd < 0) {
        sendAll(client.fd, failure);
        return;
    }
    if (sendAll(client.fd, success)) relay(client.fd, upstream.fd);
}

void serveHttpProxy(Fd client, std::string buffered) {
    auto head = readHead(client.fd, buffered);
    if (!head) return;
    const auto lineEnd = head->find("\r\n");
    std::istringstream line(head->substr(0, lineEnd));
    std::string method, target, version;
    line >> method >> target >> version;
    if (method == "CONNECT") {
        if (!sendAll(client.fd, "HTTP/1.1 200 Connection established\r\n\r\n")) return;
        auto [host, port] = splitAuthority(target, 443);
        Fd upstream = dialVia(route(host), host, port, kDialTimeoutMs);
        if (upstream.fd < 0) return;
        if (!buffered.empty() && !sendAll(upstream.fd, buffered)) return;
        relay(client.fd, upstream.fd);
        return;
    }
    if (!target.starts_with("http://")) {
        sendAll(client.fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }
    const std::string rest = target.substr(7);
    const auto slash = rest.find('/');
    const std::string authority = rest.substr(0, slash);
    const std::string path = slash == std::string::npos ? "/" : rest.substr(slash);
    auto [host, port] = splitAuthority(authority, 80);
    Fd upstream = dialVia(route(host), host, port, kDialTimeoutMs);
    if (upstream.fd < 0) {
        sendAll(client.fd, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }
    // One request per connection: headers go on without the proxy's own, with Connection: close.
    std::string forwarded = method + " " + path + " " + version + "\r\n";
    std::istringstream headers(head->substr(lineEnd + 2));
    for (std::string header; std::getline(headers, header);) {
        if (!header.empty() && header.back() == '\r') header.pop_back();
        if (header.empty()) continue;
        const std::string name = lower(header.substr(0, header.find(':')));
        if (name.starts_with("proxy-") || name == "connection" || name == "keep-alive") continue;
        forwarded += header + "\r\n";
    }
    forwarded += "Connection: close\r\n\r\n" + buffered;
    if (sendAll(upstream.fd, forwarded)) relay(client.fd, upstream.fd);
}

void serveMixed(Fd client) {
    setTimeouts(client.fd, 30000);
    char first = 0;
    if (::recv(client.fd, &first, 1, MSG_PEEK) != 1) return;
    if (first == 0x05) return serveSocks5(std::move(client));
    if (first == 0x04) return; // SOCKS4 is not served by the stand-in
    serveHttpProxy(std::move(client), "");
}

// ---- controller

std::string percentDecode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct Answer {
    int status;
    std::string body; // without the trailing line feed
};

Answer message(int status, const std::string& text) { return {status, Json{{"message", text}}.dump()}; }

std::string typeName(const std::string& type) {
    if (type == "socks5") return "Socks5";
    if (type == "http") return "Http";
    if (type == "ss") return "Shadowsocks";
    if (type == "vmess") return "Vmess";
    if (type == "trojan") return "Trojan";
    return type;
}

// Status line and time of a HEAD request through the outbound; the delay test's measurement.
Answer delayTest(const std::string& name, const std::string& query) {
    std::map<std::string, std::string> items;
    std::stringstream stream(query);
    for (std::string item; std::getline(stream, item, '&');) {
        auto eq = item.find('=');
        if (eq != std::string::npos) items[item.substr(0, eq)] = percentDecode(item.substr(eq + 1));
    }
    const std::string timeoutText = items["timeout"];
    char* end = nullptr;
    const long timeout = std::strtol(timeoutText.c_str(), &end, 10);
    if (timeoutText.empty() || *end || timeout < 0 || timeout > 32767) return message(400, "Body invalid");
    const std::string url = items["url"];
    const bool tls = url.starts_with("https://");
    if (!tls && !url.starts_with("http://")) return message(400, "Body invalid");
    const std::string rest = url.substr(tls ? 8 : 7);
    const auto slash = rest.find('/');
    const std::string path = slash == std::string::npos ? "/" : rest.substr(slash);
    auto [host, port] = splitAuthority(rest.substr(0, slash), tls ? 443 : 80);

    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeout);
    auto remaining = [&] {
        return static_cast<int>(std::max<long>(
            1, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
    };
    bool answered = false;
    Fd fd = dialVia(name, host, port, remaining());
    if (fd.fd >= 0) {
        setTimeouts(fd.fd, remaining());
        const std::string request = "HEAD " + path + " HTTP/1.1\r\nHost: " + host +
                                    "\r\nUser-Agent: micore\r\nConnection: close\r\n\r\n";
        std::string rest2;
        if (tls) {
            SSL_CTX* context = SSL_CTX_new(TLS_client_method());
            SSL* ssl = SSL_new(context);
            SSL_set_fd(ssl, fd.fd);
            SSL_set_tlsext_host_name(ssl, host.c_str());
            char buffer[64];
            answered = SSL_connect(ssl) == 1 &&
                       SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0 &&
                       SSL_read(ssl, buffer, sizeof buffer) > 5 && std::string_view(buffer, 5) == "HTTP/";
            SSL_free(ssl);
            SSL_CTX_free(context);
        } else {
            answered = sendAll(fd.fd, request) && readHead(fd.fd, rest2).has_value();
        }
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (Clock::now() > deadline) return message(504, "Timeout");
    if (!answered || elapsed == 0) return message(503, "An error occurred in the delay test");
    return {200, Json{{"delay", elapsed}}.dump()};
}

Answer controllerAnswer(const std::string& method, const std::string& target, const std::string& body) {
    const auto question = target.find('?');
    const std::string path = target.substr(0, question);
    const std::string query = question == std::string::npos ? "" : target.substr(question + 1);
    if (path == "/version" && method == "GET") return {200, R"({"meta":true,"version":"v1.19.2"})"};
    if (!path.starts_with("/proxies/")) return message(404, "Resource not found");
    std::string name = path.substr(9);
    bool delay = false;
    if (name.ends_with("/delay")) {
        name.resize(name.size() - 6);
        delay = true;
    }
    name = percentDecode(name);

    std::unique_lock lock(gConfigMutex);
    Group* group = nullptr;
    for (auto& g : gConfig.groups)
        if (g.name == name) group = &g;
    const bool known = group || gConfig.nodes.contains(name) || name == "DIRECT" || name == "REJECT";
    if (!known) return message(404, "Resource not found");
    if (delay) {
        if (method != "GET") return message(404, "Resource not found");
        lock.unlock();
        return delayTest(name, query);
    }
    if (method == "PUT") {
        const Json request = Json::parse(body, nullptr, false);
        if (request.is_discarded() || !request.is_object() || !request.contains("name") ||
            !request["name"].is_string())
            return message(400, "Body invalid");
        if (!group) return message(400, "Must be a Selector");
        const std::string member = request["name"];
        if (std::find(group->members.begin(), group->members.end(), member) == group->members.end())
            return message(400, "Selector update error: proxy not exist");
        group->now = member;
        return {204, ""};
    }
    if (method != "GET") return message(405, "Method not allowed");
    if (group)
        return {200, Json{{"alive", true},
                          {"all", group->members},
                          {"history", Json::array()},
                          {"name", group->name},
                          {"now", group->now},
                          {"type", "Selector"},
                          {"udp", true}}
                         .dump()};
    auto node = gConfig.nodes.find(name);
    const std::string type =
        node == gConfig.nodes.end() ? (name == "DIRECT" ? "Direct" : "Reject") : typeName(node->second.type);
    const bool udp = node == gConfig.nodes.end() || node->second.udp;
    return {200,
            Json{{"alive", true}, {"history", Json::array()}, {"name", name}, {"type", type}, {"udp", udp}}
                .dump()};
}

int gControllerDelayMs = 0;

void serveController(Fd client) {
    setTimeouts(client.fd, 30000);
    std::string buffered;
    for (;;) {
        auto head = readHead(client.fd, buffered);
        if (!head) return;
        std::istringstream line(head->substr(0, head->find("\r\n")));
        std::string method, target;
        line >> method >> target;
        std::size_t length = 0;
        const std::string lowered = lower(*head);
        if (auto at = lowered.find("\r\ncontent-length:"); at != std::string::npos)
            length = std::strtoul(lowered.c_str() + at + 17, nullptr, 10);
        while (buffered.size() < length) {
            char chunk[4096];
            ssize_t n = ::recv(client.fd, chunk, sizeof chunk, 0);
            if (n <= 0) return;
            buffered.append(chunk, static_cast<std::size_t>(n));
        }
        const std::string body = buffered.substr(0, length);
        buffered.erase(0, length);
        if (gControllerDelayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(gControllerDelayMs));
        const Answer answer = controllerAnswer(method, target, body);
        const std::string payload = answer.status == 204 ? "" : answer.body + "\n";
        std::string response = "HTTP/1.1 " + std::to_string(answer.status) + " " +
                               (answer.status < 300 ? "OK" : "Error") + "\r\n";
        if (answer.status != 204) response += "Content-Type: application/json\r\n";
        response += "Content-Length: " + std::to_string(payload.size()) + "\r\n\r\n" + payload;
        if (!sendAll(client.fd, response)) return;
    }
}

// ---- listening

void listenOn(std::uint16_t port, void (*serve)(Fd)) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 128) != 0) {
        // Like the real core: a port that cannot be bound is logged, and the process stays up.
        std::printf("level=error msg=\"Start listener error: listen tcp 127.0.0.1:%u: %s\"\n", port,
                    std::strerror(errno));
        std::fflush(stdout);
        ::close(fd);
        return;
    }
    std::thread([fd, serve] {
        for (;;) {
            int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            std::thread(serve, Fd(client)).detach();
        }
    }).detach();
}

void onTerminate(int) { ::_exit(0); }

} // namespace

int main(int argc, char** argv) {
    std::string home, configFile;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "-d") == 0) home = argv[i + 1];
        if (std::strcmp(argv[i], "-f") == 0) configFile = argv[i + 1];
    }
    if (std::getenv("MICORE_EXIT_AT_ONCE")) return 1;
    if (home.empty()) home = ".";
    if (configFile.empty()) configFile = (std::filesystem::path(home) / "config.yaml").string();
    std::error_code ignored;
    std::filesystem::create_directories(home, ignored);

    try {
        gConfig = loadConfig(configFile);
    } catch (const ConfigError& error) {
        std::printf("level=fatal msg=\"Parse config error: %s\"\n", error.message.c_str());
        return 1;
    }
    if (const char* delay = std::getenv("MICORE_CONTROLLER_DELAY_MS")) gControllerDelayMs = std::atoi(delay);
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGTERM, std::getenv("MICORE_IGNORE_SIGTERM") ? SIG_IGN : onTerminate);

    std::printf("level=info msg=\"micore stand-in started with %zu proxies\"\n", gConfig.nodes.size());
    std::fflush(stdout);
    listenOn(kMixedPort, serveMixed);
    listenOn(kControllerPort, serveController);
    for (;;)
        ::pause();
}
