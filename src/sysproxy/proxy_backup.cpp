#include "sysproxy/proxy_backup.h"

#include "base/errors.h"
#include "base/files.h"
#include "base/json.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

namespace korvane {

namespace {

// A record of every service of a computer is a few kilobytes; more is not ours.
constexpr std::size_t kMaximumBackupSize = 1 << 20;

const char* const kKinds[] = {"web", "secure", "socks"};

// The desktop's entry: its "kind", and its members named after the settings' own keys.
constexpr const char* kKindMember = "kind";
constexpr const char* kGnomeKind = "gnome";
constexpr const char* kModes[] = {"none", "manual", "auto"};
constexpr std::int64_t kMaximumGnomePort = 65535;

template <class T> Json orNull(const std::optional<T>& value) { return value ? Json(*value) : Json(nullptr); }

Json encodeGnome(const GnomeProxySettings& settings) {
    auto endpoint = [](const GnomeProxyEndpoint& e) {
        return Json{{"host", orNull(e.host)}, {"port", orNull(e.port)}};
    };
    return {{kKindMember, kGnomeKind},           {"mode", orNull(settings.mode)},
            {"http", endpoint(settings.http)},   {"https", endpoint(settings.https)},
            {"socks", endpoint(settings.socks)}, {"ignore-hosts", orNull(settings.ignoreHosts)}};
}

Json encodeEntry(const ProxyEntry& entry) {
    return {{"enabled", entry.enabled}, {"server", entry.server}, {"port", entry.port}};
}

[[noreturn]] void malformed(const std::string& what) { throw KorvaneError("代理备份文件格式无效：" + what); }

const Json& member(const Json& object, const char* name) {
    auto found = object.find(name);
    if (found == object.end()) malformed(std::string("缺少 ") + name);
    return *found;
}

ProxyEntry decodeEntry(const Json& object, const char* kind) {
    if (!object.is_object()) malformed(std::string(kind) + " 不是对象");
    const Json& enabled = member(object, "enabled");
    const Json& server = member(object, "server");
    const Json& port = member(object, "port");
    if (!enabled.is_boolean() || !server.is_string() || !port.is_number_integer()) {
        malformed(std::string(kind) + " 的成员类型错误");
    }
    ProxyEntry entry;
    entry.enabled = enabled.get<bool>();
    entry.server = server.get<std::string>();
    entry.port = port.is_number_unsigned() ? static_cast<std::int64_t>(port.get<std::uint64_t>())
                                           : port.get<std::int64_t>();
    return entry;
}

std::vector<std::string> decodeBypass(const Json& list) {
    if (!list.is_array()) malformed("bypass 不是数组");
    std::vector<std::string> domains;
    for (const Json& domain : list) {
        if (!domain.is_string()) malformed("bypass 含有非字符串");
        domains.push_back(domain.get<std::string>());
    }
    return domains;
}

GnomeProxyEndpoint decodeGnomeEndpoint(const Json& object, const char* kind) {
    if (!object.is_object()) malformed(std::string(kind) + " 不是对象");
    const Json& host = member(object, "host");
    const Json& port = member(object, "port");
    if ((!host.is_null() && !host.is_string()) || (!port.is_null() && !port.is_number_integer()))
        malformed(std::string(kind) + " 的成员类型错误");
    GnomeProxyEndpoint endpoint;
    if (host.is_string()) endpoint.host = host.get<std::string>();
    if (!port.is_null()) {
        // Outside the settings' own range the value could not have been read from them.
        if (port.is_number_unsigned()
                ? port.get<std::uint64_t>() > kMaximumGnomePort
                : port.get<std::int64_t>() < 0 || port.get<std::int64_t>() > kMaximumGnomePort)
            malformed(std::string(kind) + " 的端口无效");
        endpoint.port = port.get<std::int64_t>();
    }
    return endpoint;
}

GnomeProxySettings decodeGnome(const Json& object) {
    GnomeProxySettings settings;
    const Json& mode = member(object, "mode");
    if (!mode.is_null()) {
        if (!mode.is_string()) malformed("mode 不是字符串");
        const std::string value = mode.get<std::string>();
        if (std::find(std::begin(kModes), std::end(kModes), value) == std::end(kModes))
            malformed("mode 无效");
        settings.mode = value;
    }
    settings.http = decodeGnomeEndpoint(member(object, "http"), "http");
    settings.https = decodeGnomeEndpoint(member(object, "https"), "https");
    settings.socks = decodeGnomeEndpoint(member(object, "socks"), "socks");
    if (const Json& hosts = member(object, "ignore-hosts"); !hosts.is_null())
        settings.ignoreHosts = decodeBypass(hosts);
    return settings;
}

} // namespace

std::string encodeProxyBackup(const ProxyBackup& backup) {
    Json array = Json::array();
    for (const auto& service : backup.services) {
        array.push_back({{"name", service.name},
                         {"web", encodeEntry(service.web)},
                         {"secure", encodeEntry(service.secure)},
                         {"socks", encodeEntry(service.socks)},
                         {"bypass", service.bypass}});
    }
    if (backup.gnome) array.push_back(encodeGnome(*backup.gnome));
    // In compact JSON a "/" can only occur inside a string, so escaping every one is safe.
    const std::string plain = array.dump();
    std::string text;
    text.reserve(plain.size());
    for (char c : plain) {
        if (c == '/') text += '\\';
        text += c;
    }
    return text;
}

ProxyBackup decodeProxyBackup(std::string_view text) {
    Json root = Json::parse(text, nullptr, false);
    if (root.is_discarded()) malformed("不是 JSON");
    if (!root.is_array()) malformed("不是数组");
    ProxyBackup backup;
    for (const Json& object : root) {
        if (!object.is_object()) malformed("元素不是对象");
        // Service objects never carry a kind; any other kind is a newer client's.
        if (auto kind = object.find(kKindMember); kind != object.end()) {
            if (*kind != kGnomeKind) malformed("未知的 kind");
            if (backup.gnome) malformed("重复的 gnome");
            backup.gnome = decodeGnome(object);
            continue;
        }
        ServiceSnapshot service;
        auto name = object.find("name");
        if (name != object.end() && !name->is_null()) {
            if (!name->is_string()) malformed("name 不是字符串");
            service.name = name->get<std::string>();
        } else {
            const Json& older = member(object, "service");
            if (!older.is_string()) malformed("service 不是字符串");
            service.name = older.get<std::string>();
        }
        service.web = decodeEntry(member(object, "web"), kKinds[0]);
        service.secure = decodeEntry(member(object, "secure"), kKinds[1]);
        service.socks = decodeEntry(member(object, "socks"), kKinds[2]);
        if (auto bypass = object.find("bypass"); bypass != object.end()) {
            service.bypass = decodeBypass(*bypass);
        } else if (auto older = object.find("bypassDomains"); older != object.end()) {
            service.bypass = decodeBypass(*older);
        }
        backup.services.push_back(std::move(service));
    }
    return backup;
}

void writeProxyBackup(const std::filesystem::path& file, const ProxyBackup& backup) {
    writeFileAtomically(file, encodeProxyBackup(backup), 0600);
}

ProxyBackup readProxyBackup(const std::filesystem::path& file) {
    // Never blocks on a FIFO planted here, never follows a link, never reads a foreign file.
    auto read = readPrivateFile(file, kMaximumBackupSize);
    if (!read.bytes) {
        using Refusal = PrivateFileRead::Refusal;
        throw FileError(read.refusal == Refusal::Missing      ? ENOENT
                        : read.refusal == Refusal::TooLarge   ? EFBIG
                        : read.refusal == Refusal::NotRegular ? EINVAL
                        : read.refusal == Refusal::NotOwned   ? EPERM
                                                              : EIO);
    }
    return decodeProxyBackup(*read.bytes);
}

} // namespace korvane
