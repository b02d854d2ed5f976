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
#include <pthread.h>
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
#include <memory>
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

// ---- geo data

// The geo data file `name` in the home directory, matched without regard to case as the core
// does; empty when there is none.
std::filesystem::path findGeoFile(const std::filesystem::path& home, std::string_view name) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(home, error)) {
        const std::string candidate = entry.path().filename().string();
        if (entry.is_regular_file(error) && candidate.size() == name.size() &&
            std::equal(candidate.begin(), candidate.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            }))
            return entry.path();
    }
    return {};
}

// One base-128 varint of a protobuf message at `at`, which is moved past it.
std::optional<std::uint64_t> readVarint(std::string_view data, std::size_t& at) {
    std::uint64_t value = 0;
    for (int shift = 0; shift < 64 && at < data.size(); shift += 7) {
        const auto byte = static_cast<unsigned char>(data[at++]);
        value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
        if (!(byte & 0x80)) return value;
    }
    return std::nullopt;
}

// The country codes of a GeoIPList or GeoSiteList (both: repeated entry = 1, each entry's
// country_code = 1), upper-cased; nothing when the data is not such a message.
std::optional<std::set<std::string>> geoCodes(std::string_view data) {
    std::set<std::string> codes;
    std::size_t at = 0;
    while (at < data.size()) {
        const auto key = readVarint(data, at);
        const auto length = readVarint(data, at);
        if (!key || *key != (1 << 3 | 2) || !length || *length > data.size() - at) return std::nullopt;
        const std::string_view entry = data.substr(at, *length);
        at += *length;
        std::size_t inner = 0;
        const auto codeKey = readVarint(entry, inner);
        const auto codeLength = readVarint(entry, inner);
        if (!codeKey || *codeKey != (1 << 3 | 2) || !codeLength || *codeLength > entry.size() - inner)
            return std::nullopt;
        std::string code(entry.substr(inner, *codeLength));
        for (auto& c : code)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        codes.insert(code);
    }
    return codes;
}

// What a GEOIP or GEOSITE rule needs before it can be built: its data file in the home
// directory, holding a CN entry. The core downloads a missing or invalid file at this point;
// offline that fails, and the rule with it. The stand-in never downloads. An empty answer means
// the file is usable.
std::string geoDataProblem(const std::filesystem::path& home, const std::string& file) {
    const std::string kind = file.substr(0, file.find('.'));
    const std::filesystem::path path = findGeoFile(home, file);
    const std::string failure = "can't download " + file + ": the stand-in core does not download geo data";
    if (path.empty()) {
        std::printf("level=info msg=\"Can't find %s, start download\"\n", file.c_str());
    } else {
        std::ifstream in(path, std::ios::binary);
        std::stringstream data;
        data << in.rdbuf();
        const auto codes = geoCodes(data.str());
        if (codes && codes->contains("CN")) return "";
        std::printf("level=warning msg=\"%s invalid, remove and download: country code CN not found\"\n",
                    file.c_str());
    }
    std::printf("level=error msg=\"can't initial %s: %s\"\n", kind.c_str(), failure.c_str());
    return failure;
}

Config loadConfig(const std::string& path, const std::filesystem::path& home) {
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
    const YamlValue* geodataMode = root.find("geodata-mode");
    const bool geodata = geodataMode && geodataMode->isBoolean() && geodataMode->asBoolean();
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
            // Without geodata mode, GEOIP reads the MaxMind database instead; the stand-in only
            // checks that it is there.
            std::string geoProblem;
            if (rule.type == "GEOSITE") {
                geoProblem = geoDataProblem(home, "GeoSite.dat");
            } else if (rule.type == "GEOIP" && geodata) {
                geoProblem = geoDataProblem(home, "GeoIP.dat");
            } else if (rule.type == "GEOIP" && findGeoFile(home, "geoip.metadb").empty()) {
                geoProblem = "can't download MMDB: the stand-in core does not download geo data";
            }
            if (!geoProblem.empty())
                throw ConfigError{"rules[" + std::to_string(index) + "] [" + line + "] error: " + geoProblem};
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

// The text with its %XX escapes decoded (and "+" as a space in a query); nothing when an escape
// is malformed, which the core's URL parser rejects as a whole.
std::optional<std::string> percentDecode(std::string_view text, bool query = false) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
                return std::nullopt;
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += query && text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

// The path as the core's URL parser would write it back: letters, digits, "-_.~" and
// "$&+,/:;=@" as they are, every other byte as an upper-case %XX.
std::string defaultPathEncoding(std::string_view path) {
    static constexpr std::string_view kKept = "-_.~$&+,/:;=@";
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || kKept.find(c) != std::string_view::npos) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

// The path the core's router matches: the decoded one when the request spelt it the way the URL
// parser would, the path as sent otherwise (so a "%2F" in a name does not split it). Names taken
// from it are decoded once more, so in the first case a name is decoded twice: a literal "%41"
// in a name, sent as "%2541", arrives as "A".
std::optional<std::string> routePath(std::string_view rawPath) {
    auto decoded = percentDecode(rawPath);
    if (!decoded) return std::nullopt;
    return defaultPathEncoding(*decoded) == rawPath ? *decoded : std::string(rawPath);
}

// The core's JSON: sorted keys (Json keeps them so) and "<", ">", "&" escaped as in HTML-safe
// output.
std::string jsonText(const Json& value) {
    std::string out;
    for (const char c : value.dump()) {
        if (c == '<')
            out += "\\u003c";
        else if (c == '>')
            out += "\\u003e";
        else if (c == '&')
            out += "\\u0026";
        else
            out += c;
    }
    return out;
}

struct Answer {
    int status;
    std::string body; // as sent
    std::string contentType = "application/json";
    bool close = false; // the connection ends after the answer
};

Answer json(int status, const Json& value) { return {status, jsonText(value) + "\n"}; }
Answer message(int status, const std::string& text) { return json(status, Json{{"message", text}}); }
// The router's own answers, for paths it has no route for and methods a route does not take.
Answer pageNotFound() { return {404, "404 page not found\n", "text/plain; charset=utf-8"}; }
Answer methodNotAllowed() { return {405, "", ""}; }

// The member a PUT /proxies/{group} body selects, decoded like the core: the first JSON value of
// the body (what follows it is not read) must be an object or null; its "name" member (the key
// matched without regard to case) must be a string or null. Absent or null selects "", which no
// group has. Nothing when the body is invalid.
std::optional<std::string> selectedName(const std::string& body) {
    std::istringstream in(body);
    Json request;
    try {
        in >> request;
    } catch (const Json::exception&) {
        return std::nullopt;
    }
    if (request.is_null()) return "";
    if (!request.is_object()) return std::nullopt;
    const Json* name = nullptr;
    for (const auto& [key, value] : request.items())
        if (key == "name" || (!name && lower(key) == "name")) name = &value;
    if (!name || name->is_null()) return "";
    if (!name->is_string()) return std::nullopt;
    return name->get<std::string>();
}

std::string typeName(const std::string& type) {
    if (type == "socks5") return "Socks5";
    if (type == "http") return "Http";
    if (type == "ss") return "Shadowsocks";
    if (type == "vmess") return "Vmess";
    if (type == "trojan") return "Trojan";
    return type;
}

// The first value of each query item, decoded; items with a malformed escape are left out.
std::map<std::string, std::string> queryItems(const std::string& query) {
    std::map<std::string, std::string> items;
    std::stringstream stream(query);
    for (std::string item; std::getline(stream, item, '&');) {
        const auto eq = item.find('=');
        auto key = percentDecode(item.substr(0, eq), true);
        auto value = percentDecode(eq == std::string::npos ? "" : item.substr(eq + 1), true);
        if (key && value) items.emplace(*key, *value);
    }
    return items;
}

// A decimal 16-bit integer as the core parses the delay test's time-out: an optional sign, then
// digits only.
std::optional<long> parseInt16(const std::string& text) {
    std::size_t digits = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
    if (digits == text.size() || text.size() > 10) return std::nullopt;
    for (std::size_t i = digits; i < text.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value < -32768 || value > 32767) return std::nullopt;
    return value;
}

// Status line and time of a HEAD request through the outbound; the delay test's measurement.
Answer delayTest(const std::string& name, const std::string& query) {
    auto items = queryItems(query);
    const auto timeout = parseInt16(items["timeout"]);
    if (!timeout) return message(400, "Body invalid");
    // The test runs under a deadline that has passed already.
    if (*timeout <= 0) return message(504, "Timeout");
    const std::string url = items["url"];
    const bool tls = url.starts_with("https://");
    if (!tls && !url.starts_with("http://")) return message(503, "An error occurred in the delay test");
    const std::string rest = url.substr(tls ? 8 : 7);
    const auto slash = rest.find('/');
    const std::string path = slash == std::string::npos ? "/" : rest.substr(slash);
    auto [host, port] = splitAuthority(rest.substr(0, slash), tls ? 443 : 80);

    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(*timeout);
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
    return json(200, Json{{"delay", elapsed}});
}

int gControllerDelayMs = 0;
// Knobs for the client's failure paths: every selection refused as the core refuses a name that
// is not a member, or answered as done while the group keeps its member.
bool gSelectRefused = false;
bool gSelectIgnored = false;

Answer controllerAnswer(const std::string& method, const std::string& target, const std::string& body) {
    const auto question = target.find('?');
    const std::string query = question == std::string::npos ? "" : target.substr(question + 1);
    const auto path = routePath(std::string_view(target).substr(0, question));
    if (!path) return {400, "400 Bad Request", "text/plain; charset=utf-8", true};
    if (*path == "/version")
        return method == "GET" ? json(200, Json{{"meta", true}, {"version", "v1.19.2"}}) : methodNotAllowed();
    if (!path->starts_with("/proxies/") || path->size() == 9) return pageNotFound();
    const std::string rest = path->substr(9);
    const auto slash = rest.find('/');
    const std::string segment = rest.substr(0, slash);
    const std::string tail = slash == std::string::npos ? "" : rest.substr(slash);
    const std::string name = percentDecode(segment).value_or(segment);

    std::unique_lock lock(gConfigMutex);
    Group* group = nullptr;
    for (auto& g : gConfig.groups)
        if (g.name == name) group = &g;
    const bool known = group || gConfig.nodes.contains(name) || name == "DIRECT" || name == "REJECT";
    if (!known) return message(404, "Resource not found");
    if (tail == "/delay") {
        if (method != "GET") return methodNotAllowed();
        lock.unlock();
        return delayTest(name, query);
    }
    if (!tail.empty() && tail != "/") return pageNotFound();
    if (method == "PUT") {
        const auto member = selectedName(body);
        if (!member) return message(400, "Body invalid");
        if (!group) return message(400, "Must be a Selector");
        if (gSelectRefused ||
            std::find(group->members.begin(), group->members.end(), *member) == group->members.end())
            return message(400, "Selector update error: proxy not exist");
        if (!gSelectIgnored) group->now = *member;
        return {204, "", ""};
    }
    // Only groups that select automatically can be unpinned; a select group or a node cannot.
    if (method == "DELETE") return message(400, "Body invalid");
    if (method != "GET") return methodNotAllowed();
    if (group)
        return json(200, Json{{"alive", true},
                              {"all", group->members},
                              {"history", Json::array()},
                              {"name", group->name},
                              {"now", group->now},
                              {"type", "Selector"},
                              {"udp", true}});
    auto node = gConfig.nodes.find(name);
    const std::string type =
        node == gConfig.nodes.end() ? (name == "DIRECT" ? "Direct" : "Reject") : typeName(node->second.type);
    const bool udp = node == gConfig.nodes.end() || node->second.udp;
    return json(
        200, Json{{"alive", true}, {"history", Json::array()}, {"name", name}, {"type", type}, {"udp", udp}});
}

const char* statusText(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Error";
    }
}

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
        std::string response =
            "HTTP/1.1 " + std::to_string(answer.status) + " " + statusText(answer.status) + "\r\n";
        if (!answer.contentType.empty()) response += "Content-Type: " + answer.contentType + "\r\n";
        if (answer.close) response += "Connection: close\r\n";
        if (answer.status != 204)
            response += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
        response += "\r\n" + answer.body;
        const bool close = answer.close || lowered.find("\r\nconnection: close\r\n") != std::string::npos;
        if (!sendAll(client.fd, response) || close) return;
    }
}

// ---- listening

// `failure` names the listener in the line logged when its port cannot be bound.
// A thread that is detached from its start: the process may end at any moment (a crash
// knob, SIGTERM) without a thread left joinable, which a thread sanitiser reports as a leak.
template <class F> void startDetached(F body) {
    auto* owned = new F(std::move(body));
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    auto run = [](void* argument) -> void* {
        std::unique_ptr<F> body(static_cast<F*>(argument));
        (*body)();
        return nullptr;
    };
    if (::pthread_create(&thread, &attributes, run, owned) != 0) delete owned;
    pthread_attr_destroy(&attributes);
}

void listenOn(std::uint16_t port, void (*serve)(Fd), const char* failure) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 128) != 0) {
        // Like the real core: a port that cannot be bound is logged, and the process stays up.
        std::string reason = std::strerror(errno);
        if (!reason.empty())
            reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
        std::printf("level=error msg=\"%s: listen tcp 127.0.0.1:%u: bind: %s\"\n", failure, port,
                    reason.c_str());
        std::fflush(stdout);
        ::close(fd);
        return;
    }
    startDetached([fd, serve] {
        for (;;) {
            int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            startDetached([serve, client] { serve(Fd(client)); });
        }
    });
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
        gConfig = loadConfig(configFile, home);
    } catch (const ConfigError& error) {
        std::printf("level=fatal msg=\"Parse config error: %s\"\n", error.message.c_str());
        return 1;
    }
    if (const char* delay = std::getenv("MICORE_CONTROLLER_DELAY_MS")) gControllerDelayMs = std::atoi(delay);
    gSelectRefused = std::getenv("MICORE_SELECT_REFUSED") != nullptr;
    gSelectIgnored = std::getenv("MICORE_SELECT_IGNORED") != nullptr;
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGTERM, std::getenv("MICORE_IGNORE_SIGTERM") ? SIG_IGN : onTerminate);

    std::printf("level=info msg=\"micore stand-in started with %zu proxies\"\n", gConfig.nodes.size());
    std::fflush(stdout);
    // The controller comes up first; the mixed port may follow a little later.
    listenOn(kControllerPort, serveController, "External controller listen error");
    if (const char* delay = std::getenv("MICORE_MIXED_PORT_DELAY_MS"))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(delay)));
    listenOn(kMixedPort, serveMixed, "Start Mixed(http+socks) server error");
    if (const char* after = std::getenv("MICORE_EXIT_AFTER_MS")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(after)));
        std::printf("level=fatal msg=\"stand-in crash\"\n");
        std::fflush(stdout);
        // As a crash ends a process: at once, with nothing run on the way out.
        ::kill(::getpid(), SIGKILL);
    }
    for (;;)
        ::pause();
}
