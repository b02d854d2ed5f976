#include "sysproxy/system_proxy.h"

#include "base/base64.h"
#include "base/blocking.h"
#include "base/errors.h"
#include "base/text.h"
#include "platform/local_proxy.h"
#include "platform/system_paths.h"
#include "sysproxy/command_runner.h"
#include "sysproxy/proxy_helper_client.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace korvane {

namespace {

// The exact paths the administrator scripts name; runs from this process go through
// systemPath() so that tests can move them.
constexpr const char* kNetworksetup = "/usr/sbin/networksetup";
constexpr const char* kOsascript = "/usr/bin/osascript";
constexpr const char* kEcho = "/bin/echo";
constexpr const char* kBase64 = "/usr/bin/base64";
constexpr const char* kZsh = "/bin/zsh";

constexpr const char* kRestorePrompt =
    "Korvane 需要恢复您原来的 Mac 网络代理设置。仅恢复此前保存的网络配置。";
constexpr const char* kEnablePrompt = "Korvane 需要设置 Mac 网络代理来连接您的节点，代理地址为 "
                                      "127.0.0.1:7897。此授权只用于更改网络代理设置。";
static_assert(std::string_view(kEnablePrompt).find(kLocalProxyAddress) != std::string_view::npos,
              "the prompt names the address the settings are switched to");

// The highest port the settings tool accepts.
constexpr std::int64_t kMaxPort = 65535;

struct Kind {
    const char* name;
    ProxyEntry ServiceSnapshot::*entry;
};
constexpr Kind kKinds[] = {
    {"webproxy", &ServiceSnapshot::web},
    {"securewebproxy", &ServiceSnapshot::secure},
    {"socksfirewallproxy", &ServiceSnapshot::socks},
};

std::string networksetup() { return systemPath(kNetworksetup).string(); }

// A read-only query; a failing run reads as empty output.
std::string query(const char* flag, const std::string& service) {
    try {
        return CommandRunner::run(networksetup(), {flag, service});
    } catch (const std::exception&) {
        return {};
    }
}

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        result.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

std::string_view trimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string lowered(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

std::string script(const std::vector<std::string>& commands) {
    std::string text = "#!/bin/zsh\nset -e\n";
    for (const auto& command : commands)
        text += command + "\n";
    return text;
}

bool isLocalProxy(const ProxyEntry& entry) {
    return entry.server == kLocalProxyHost && entry.port == kLocalProxyPort;
}

bool pointsAtLocalPort(const ProxyEntry& entry) { return entry.enabled && isLocalProxy(entry); }

// A server the settings tool can be given back: without one, switching the kind on would
// send traffic nowhere (or to whatever server is left, such as the local port).
bool hasUsableServer(const ProxyEntry& entry) {
    return !entry.server.empty() && entry.port > 0 && entry.port <= kMaxPort;
}

// Runs body on the work pool within turn. The turn ends when the body has really ended, not
// when its task stops waiting for it: a cancelled task lets go of the body at once, and the
// next operation must not overlap the settings change still under way.
template <class F> auto withinTurn(SerialQueue::Turn turn, F body) {
    return [body = std::move(body), token = std::move(turn).handOff()]() mutable {
        const auto held = std::move(token);
        body();
    };
}

bool fileExists(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

constexpr const char* kNoSettings =
    "无法修改系统代理设置：未找到 GNOME 代理设置（org.gnome.system.proxy）或桌面会话总线";

// The network services' settings through the settings tool: the administrator scripts, or the
// privileged helper when it is installed.
class NetworksetupSettings final : public ProxySettingsBackend {
public:
    const char* name() const override { return "macos"; }

    ProxyBackup snapshot() const override {
        auto services = SystemProxy::snapshot();
        if (services.empty()) throw KorvaneError("未找到可用的网络服务");
        return {std::move(services), std::nullopt};
    }
    // The enable script is built from what the file holds, so the switch never touches a
    // service whose settings are not safely on disk.
    void switchOn(const ProxyBackup& record, const ProxyChangeLock& change) const override {
        if (record.gnome) throw KorvaneError(kOtherSettingsRecord);
        SystemProxy::runPrivileged(SystemProxy::enableScript(record.services), "enable", &change);
    }
    void putBack(const ProxyBackup& record, const ProxyChangeLock& change) const override {
        if (record.gnome) throw KorvaneError(kOtherSettingsRecord);
        SystemProxy::runPrivileged(SystemProxy::restoreScript(record.services), "restore", &change);
    }
    bool stillRoutingThroughKorvane() const override {
        std::vector<std::string> services;
        try {
            services = SystemProxy::listServices();
        } catch (const std::exception&) {
            return false;
        }
        for (const auto& name : services) {
            if (pointsAtLocalPort(SystemProxy::parse(query("-getwebproxy", name)))) return true;
            if (pointsAtLocalPort(SystemProxy::parse(query("-getsocksfirewallproxy", name)))) return true;
        }
        return false;
    }

    bool switchesWithoutRecord() const override {
        return fileExists(KorvaneProxyHelperClient::launchDaemonFile());
    }
    void switchOnWithoutRecord() const override { KorvaneProxyHelperClient::send("enable"); }
    // Only the helper's explicit "OFF" means there is nothing to put back; a failed exchange
    // restores anyway, and a failed restore fails the caller.
    bool mayBeSwitchedWithoutRecord() const override { return KorvaneProxyHelperClient::mayBeEnabled(); }
    void putBackWithoutRecord() const override { KorvaneProxyHelperClient::send("restore"); }
};

} // namespace

std::shared_ptr<const ProxySettingsBackend> networksetupProxySettings() {
    return std::make_shared<NetworksetupSettings>();
}

bool networksetupProxySettingsAvailable() { return fileExists(systemPath(kNetworksetup)); }

SystemProxy::SystemProxy(std::filesystem::path backup, std::filesystem::path tempDir,
                         std::shared_ptr<const ProxySettingsBackend> settings)
    : backup_(std::move(backup)), tempDir_(std::move(tempDir)), settings_(std::move(settings)) {}

void SystemProxy::checkAvailable() const {
    if (!settings_) throw KorvaneError(kNoSettings);
}

bool SystemProxy::mayNeedRestore() const {
    if (busy() || fileExists(backup_)) return true;
    return settings_ && settings_->mayBeSwitchedWithoutRecord();
}

std::vector<std::string> SystemProxy::listServices() {
    const std::string output = CommandRunner::run(networksetup(), {"-listallnetworkservices"});
    std::vector<std::string> services;
    for (const auto& line : lines(output)) {
        const std::string_view name = trimWhitespaceAndNewlines(line);
        if (name.empty() || name.starts_with("*") || name.starts_with("An asterisk")) continue;
        services.emplace_back(name);
    }
    return services;
}

ProxyEntry SystemProxy::parse(std::string_view text) {
    std::string enabled;
    std::string server;
    std::string port;
    for (const auto& line : lines(text)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string key = lowered(trimBlanks(std::string_view(line).substr(0, colon)));
        const std::string value(trimBlanks(std::string_view(line).substr(colon + 1)));
        if (key == "enabled") {
            enabled = value;
        } else if (key == "server") {
            server = value;
        } else if (key == "port") {
            port = value;
        }
    }
    return {lowered(enabled) == "yes", server, parseDecimalInteger(port).value_or(0)};
}

std::vector<ServiceSnapshot> SystemProxy::snapshot() {
    std::vector<ServiceSnapshot> services;
    for (const auto& name : listServices()) {
        ServiceSnapshot service;
        service.name = name;
        for (const auto& line : lines(query("-getproxybypassdomains", name))) {
            const std::string_view domain = trimWhitespaceAndNewlines(line);
            if (domain.empty() || domain.find("aren't any bypass domains") != std::string_view::npos)
                continue;
            service.bypass.emplace_back(domain);
        }
        service.web = parse(query("-getwebproxy", name));
        service.secure = parse(query("-getsecurewebproxy", name));
        service.socks = parse(query("-getsocksfirewallproxy", name));
        // Settings pointing at the local port were left by a run of this client whose record
        // is gone; recorded as the user's, a restore would point them at a dead port.
        for (const auto& kind : kKinds) {
            if (isLocalProxy(service.*kind.entry)) service.*kind.entry = ProxyEntry{};
        }
        services.push_back(std::move(service));
    }
    return services;
}

std::string SystemProxy::enableScript(const std::vector<ServiceSnapshot>& services) {
    const std::string tool = kNetworksetup;
    const std::string target = " " + std::string(kLocalProxyHost) + " " + std::to_string(kLocalProxyPort);
    // Only a pattern needs quoting, so that the shell does not expand it.
    std::string bypass;
    for (std::string_view host : kLocalProxyBypass)
        bypass += " " + (host.find('*') == std::string_view::npos ? std::string(host) : shellQuote(host));
    std::vector<std::string> commands;
    for (const auto& service : services) {
        const std::string q = shellQuote(service.name);
        for (const auto& kind : kKinds) {
            commands.push_back(tool + " -set" + kind.name + " " + q + target);
            commands.push_back(tool + " -set" + kind.name + "state " + q + " on");
        }
        commands.push_back(tool + " -setproxybypassdomains " + q + bypass);
    }
    return script(commands);
}

std::string SystemProxy::restoreScript(const std::vector<ServiceSnapshot>& services) {
    const std::string tool = kNetworksetup;
    std::vector<std::string> commands;
    for (const auto& service : services) {
        const std::string q = shellQuote(service.name);
        for (const auto& kind : kKinds) {
            const ProxyEntry& entry = service.*kind.entry;
            const bool usable = hasUsableServer(entry);
            if (usable) {
                commands.push_back(tool + " -set" + kind.name + " " + q + " " + shellQuote(entry.server) +
                                   " " + std::to_string(entry.port));
            }
            commands.push_back(tool + " -set" + kind.name + "state " + q +
                               (entry.enabled && usable ? " on" : " off"));
        }
        std::string domains;
        for (const auto& domain : service.bypass)
            domains += " " + shellQuote(domain);
        // The tool's own word for clearing the list.
        commands.push_back(tool + " -setproxybypassdomains " + q + (domains.empty() ? " Empty" : domains));
    }
    return script(commands);
}

void SystemProxy::runPrivileged(const std::string& script, const std::string& operation,
                                const ProxyChangeLock* change) {
    // The script travels Base64-encoded and reaches the shell on its standard input, so no
    // quoting of its own text can go wrong on the way.
    const std::string command =
        std::string(kEcho) + " " + shellQuote(base64Encode(script)) + " | " + kBase64 + " -D | " + kZsh;
    const std::string prompt = operation == "restore" ? kRestorePrompt : kEnablePrompt;
    const std::string source = "do shell script " + scriptHostLiteral(command) +
                               " with administrator privileges with prompt " + scriptHostLiteral(prompt);
    try {
        CommandRunner::run(systemPath(kOsascript).string(), {"-e", source}, change);
    } catch (const std::exception& error) {
        const std::string text = lowered(error.what());
        for (const char* marker : {"-128", "user canceled", "user cancelled", "用户取消"}) {
            if (text.find(marker) != std::string::npos) throw ProxyAuthorizationCancelled();
        }
        throw;
    }
}

Task<void> SystemProxy::enable() {
    checkAvailable();
    SerialQueue::Turn turn = co_await queue_.next();
    auto switchOn =
        withinTurn(std::move(turn), [backup = backup_, lock = changeLock(), settings = settings_] {
            if (settings->switchesWithoutRecord()) {
                settings->switchOnWithoutRecord();
                return;
            }
            const ProxyChangeLock change(lock);
            const bool existed = fileExists(backup);
            // A record that exists already holds the settings from before the first switch.
            if (!existed) writeProxyBackup(backup, settings->snapshot());
            // The switch works from what the file holds, never from what was meant to be written.
            const ProxyBackup record = readProxyBackup(backup);
            try {
                settings->switchOn(record, change);
            } catch (const ProxyAuthorizationCancelled&) {
                // Nothing was changed; a file from before this call still describes the user's
                // settings and stays.
                if (!existed) {
                    std::error_code ignored;
                    std::filesystem::remove(backup, ignored);
                }
                throw;
            }
        });
    co_await blocking(std::move(switchOn));
}

Task<void> SystemProxy::restore() {
    SerialQueue::Turn turn = co_await queue_.next();
    // What there is to restore is decided within the turn: a restore queued behind another
    // finds the record already consumed and has nothing left to do.
    auto putBack = withinTurn(std::move(turn), [backup = backup_, lock = changeLock(), settings = settings_] {
        // Taken before the record is looked at: a run left by a killed client may still be
        // changing the settings from it.
        const ProxyChangeLock change(lock);
        if (fileExists(backup)) {
            if (!settings) throw KorvaneError(kNoSettings);
            settings->putBack(readProxyBackup(backup), change);
            std::error_code error;
            if (!std::filesystem::remove(backup, error) && error) throw ProxyRecordKept(error.value());
            return;
        }
        if (settings && settings->mayBeSwitchedWithoutRecord()) settings->putBackWithoutRecord();
    });
    co_await blocking(std::move(putBack));
}

bool SystemProxy::stillRoutingThroughKorvane() const {
    return settings_ && settings_->stillRoutingThroughKorvane();
}

} // namespace korvane
