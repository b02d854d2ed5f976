// The GNOME desktop's proxy settings (org.gnome.system.proxy and its http, https and socks
// children) through GIO's GSettings: the user's own settings, so no administrator prompt and
// no helper. Every change is synced to the settings store and read back before it counts.

#include "base/errors.h"
#include "diag/korvane_recorder.h"
#include "platform/local_proxy.h"
#include "sysproxy/proxy_settings_backend.h"

#include <gio/gio.h>
// Which settings store is in use (to refuse the in-memory one) is part of the backend API.
#define G_SETTINGS_ENABLE_BACKEND
#include <gio/gsettingsbackend.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvane {

namespace {

constexpr const char* kSchema = "org.gnome.system.proxy";
constexpr const char* kMode = "mode";
constexpr const char* kIgnoreHosts = "ignore-hosts";
constexpr const char* kHost = "host";
constexpr const char* kPort = "port";
constexpr const char* kManual = "manual";
// The children, in the order of GnomeProxySettings' endpoints.
constexpr std::array<const char*, 3> kEndpoints = {"http", "https", "socks"};

constexpr const char* kNotSwitched = "系统代理设置没有生效，请检查桌面的代理设置是否被锁定";
constexpr const char* kNotRestored = "未能恢复桌面原来的代理设置，请检查桌面的代理设置是否被锁定";
constexpr const char* kNotUsable = "GNOME 代理设置（org.gnome.system.proxy）不可用";
constexpr const char* kNoDesktopRecord = "代理备份文件中没有桌面的代理设置";

GnomeProxyEndpoint GnomeProxySettings::*const kEndpointMembers[] = {
    &GnomeProxySettings::http, &GnomeProxySettings::https, &GnomeProxySettings::socks};
static_assert(std::size(kEndpointMembers) == kEndpoints.size());

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using SettingsPtr = std::unique_ptr<GSettings, ObjectUnref>;

struct VariantUnref {
    void operator()(GVariant* value) const { g_variant_unref(value); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

struct StrvFree {
    void operator()(gchar** strings) const { g_strfreev(strings); }
};

bool schemaInstalled(const char* id) {
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (!source) return false;
    GSettingsSchema* schema = g_settings_schema_source_lookup(source, id, TRUE);
    if (!schema) return false;
    g_settings_schema_unref(schema);
    return true;
}

// Creating settings of a schema that is not installed aborts the process, so every use asks
// first.
bool schemasInstalled() {
    if (!schemaInstalled(kSchema)) return false;
    for (const char* child : kEndpoints) {
        if (!schemaInstalled((std::string(kSchema) + "." + child).c_str())) return false;
    }
    return true;
}

std::vector<std::string> strings(gchar** values) {
    std::vector<std::string> result;
    for (gchar** value = values; value && *value; ++value)
        result.emplace_back(*value);
    return result;
}

// What the settings say now, whoever set it (the user, a default, an administrator's lock).
struct Effective {
    std::string mode;
    std::array<std::pair<std::string, std::int64_t>, 3> endpoints;
    std::vector<std::string> ignoreHosts;
};

bool isLocalProxy(const std::pair<std::string, std::int64_t>& endpoint) {
    return endpoint.first == kLocalProxyHost && endpoint.second == kLocalProxyPort;
}

std::vector<std::string> localBypass() {
    return {std::begin(kLocalProxyBypass), std::end(kLocalProxyBypass)};
}

// The first value that differs from what switching on writes, as a code for the event log;
// none when the settings are switched exactly.
std::optional<std::string> differenceFromSwitched(const Effective& now) {
    if (now.mode != kManual) return std::string(kMode);
    for (std::size_t i = 0; i < kEndpoints.size(); ++i) {
        if (now.endpoints[i].first != kLocalProxyHost) return std::string(kEndpoints[i]) + "." + kHost;
        if (now.endpoints[i].second != kLocalProxyPort) return std::string(kEndpoints[i]) + "." + kPort;
    }
    if (now.ignoreHosts != localBypass()) return std::string(kIgnoreHosts);
    return std::nullopt;
}

// The proxy settings and their three children, created for one operation on the thread that
// runs it.
class Desktop {
public:
    Desktop() {
        if (!schemasInstalled()) throw KorvaneError(kNotUsable);
        root_.reset(g_settings_new(kSchema));
        for (std::size_t i = 0; i < kEndpoints.size(); ++i)
            children_[i].reset(g_settings_get_child(root_.get(), kEndpoints[i]));
    }

    Effective effective() const {
        Effective now;
        gchar* mode = g_settings_get_string(root_.get(), kMode);
        now.mode = mode;
        g_free(mode);
        for (std::size_t i = 0; i < kEndpoints.size(); ++i) {
            gchar* host = g_settings_get_string(children_[i].get(), kHost);
            now.endpoints[i] = {host, g_settings_get_int(children_[i].get(), kPort)};
            g_free(host);
        }
        std::unique_ptr<gchar*, StrvFree> hosts(g_settings_get_strv(root_.get(), kIgnoreHosts));
        now.ignoreHosts = strings(hosts.get());
        return now;
    }

    // The values the user set; none where a key follows its default.
    GnomeProxySettings user() const {
        GnomeProxySettings settings;
        if (VariantPtr mode{g_settings_get_user_value(root_.get(), kMode)})
            settings.mode = g_variant_get_string(mode.get(), nullptr);
        for (std::size_t i = 0; i < kEndpoints.size(); ++i) {
            GnomeProxyEndpoint& endpoint = settings.*kEndpointMembers[i];
            if (VariantPtr host{g_settings_get_user_value(children_[i].get(), kHost)})
                endpoint.host = g_variant_get_string(host.get(), nullptr);
            if (VariantPtr port{g_settings_get_user_value(children_[i].get(), kPort)})
                endpoint.port = g_variant_get_int32(port.get());
        }
        if (VariantPtr hosts{g_settings_get_user_value(root_.get(), kIgnoreHosts)}) {
            std::unique_ptr<const gchar*, decltype(&g_free)> values(g_variant_get_strv(hosts.get(), nullptr),
                                                                    &g_free);
            settings.ignoreHosts.emplace();
            for (const gchar** value = values.get(); *value; ++value)
                settings.ignoreHosts->emplace_back(*value);
        }
        return settings;
    }

    // Writes every value of settings, resetting those that are none. Mode first when the
    // settings stop pointing at a proxy (putting back), last when they start (switching on),
    // so that no program uses a half-written proxy.
    void write(const GnomeProxySettings& settings, bool modeFirst) const {
        if (modeFirst) writeString(root_.get(), kMode, settings.mode);
        for (std::size_t i = 0; i < kEndpoints.size(); ++i) {
            const GnomeProxyEndpoint& endpoint = settings.*kEndpointMembers[i];
            writeString(children_[i].get(), kHost, endpoint.host);
            set(children_[i].get(), kPort,
                endpoint.port ? g_variant_new_int32(static_cast<gint32>(*endpoint.port)) : nullptr);
        }
        GVariant* hosts = nullptr;
        if (settings.ignoreHosts) {
            std::vector<const gchar*> values;
            for (const auto& host : *settings.ignoreHosts)
                values.push_back(host.c_str());
            hosts = g_variant_new_strv(values.data(), static_cast<gssize>(values.size()));
        }
        set(root_.get(), kIgnoreHosts, hosts);
        if (!modeFirst) writeString(root_.get(), kMode, settings.mode);
        // Until the store has them, another program (and the next launch) would not see them.
        g_settings_sync();
    }

private:
    static void writeString(GSettings* settings, const char* key, const std::optional<std::string>& value) {
        set(settings, key, value ? g_variant_new_string(value->c_str()) : nullptr);
    }

    // value (floating, consumed) or, when null, the key's default.
    static void set(GSettings* settings, const char* key, GVariant* value) {
        if (!value) {
            g_settings_reset(settings, key);
            return;
        }
        if (!g_settings_set_value(settings, key, value)) throw KorvaneError(kNotSwitched);
    }

    SettingsPtr root_;
    std::array<SettingsPtr, 3> children_;
};

GnomeProxySettings switchedSettings() {
    GnomeProxySettings settings;
    settings.mode = kManual;
    for (auto member : kEndpointMembers)
        settings.*member = {std::string(kLocalProxyHost), kLocalProxyPort};
    settings.ignoreHosts = localBypass();
    return settings;
}

// Whether the settings now are what settings describes: its values in force, and the keys it
// leaves to their defaults without a value of the user's.
bool holds(const Desktop& desktop, const GnomeProxySettings& settings) {
    const Effective now = desktop.effective();
    const GnomeProxySettings user = desktop.user();
    auto matches = [](const auto& wanted, const auto& actual, const auto& userValue) {
        return wanted ? actual == *wanted : !userValue.has_value();
    };
    if (!matches(settings.mode, now.mode, user.mode)) return false;
    for (std::size_t i = 0; i < kEndpoints.size(); ++i) {
        const GnomeProxyEndpoint& wanted = settings.*kEndpointMembers[i];
        const GnomeProxyEndpoint& userValue = user.*kEndpointMembers[i];
        if (!matches(wanted.host, now.endpoints[i].first, userValue.host)) return false;
        if (!matches(wanted.port, now.endpoints[i].second, userValue.port)) return false;
    }
    return matches(settings.ignoreHosts, now.ignoreHosts, user.ignoreHosts);
}

class GnomeSettings final : public ProxySettingsBackend {
public:
    const char* name() const override { return "gnome"; }

    ProxyBackup snapshot() const override {
        const Desktop desktop;
        GnomeProxySettings settings = desktop.user();
        const Effective now = desktop.effective();
        // Values pointing at the local port were left by a run of this client whose record is
        // gone; recorded as the user's, a restore would point them at a dead port.
        bool allLocal = true;
        for (std::size_t i = 0; i < kEndpoints.size(); ++i) {
            if (isLocalProxy(now.endpoints[i])) {
                settings.*kEndpointMembers[i] = {};
            } else {
                allLocal = false;
            }
        }
        if (allLocal && now.mode == kManual) settings.mode.reset();
        return {{}, std::move(settings)};
    }

    void switchOn(const ProxyBackup& record, const ProxyChangeLock&) const override {
        if (!record.services.empty()) throw KorvaneError(kOtherSettingsRecord);
        // Switching without the desktop's settings safely on disk could lose them.
        if (!record.gnome) throw KorvaneError(kNoDesktopRecord);
        const Desktop desktop;
        const GnomeProxySettings switched = switchedSettings();
        desktop.write(switched, false);
        if (!holds(desktop, switched)) throw KorvaneError(kNotSwitched);
    }

    void putBack(const ProxyBackup& record, const ProxyChangeLock&) const override {
        if (!record.services.empty()) throw KorvaneError(kOtherSettingsRecord);
        if (!record.gnome) return;
        const Desktop desktop;
        // The user (or another program) may have changed a value while the client had them
        // switched; the record still wins, but the log keeps a note of it.
        if (auto changed = differenceFromSwitched(desktop.effective()))
            KorvaneRecorder::record("proxy_settings_changed_under_client", name(), *changed);
        desktop.write(*record.gnome, true);
        if (!holds(desktop, *record.gnome)) throw KorvaneError(kNotRestored);
    }

    bool stillRoutingThroughKorvane() const override {
        if (!schemasInstalled()) return false;
        const Effective now = Desktop().effective();
        if (now.mode != kManual) return false;
        // The secure proxy is not examined, as for the network services.
        return isLocalProxy(now.endpoints[0]) || isLocalProxy(now.endpoints[2]);
    }
};

// A session bus this process can reach without starting one: its address given, or the
// per-user bus socket present.
bool sessionBusReachable() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!address || !*address) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        std::error_code error;
        if (!runtime || !*runtime ||
            !std::filesystem::is_socket(std::filesystem::path(runtime) / "bus", error))
            return false;
    }
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        g_clear_error(&error);
        return false;
    }
    g_object_unref(bus);
    return true;
}

} // namespace

std::shared_ptr<const ProxySettingsBackend> gnomeProxySettings() { return std::make_shared<GnomeSettings>(); }

bool gnomeProxySettingsAvailable() {
    if (!schemasInstalled()) return false;
    // Without a settings store (dconf) GSettings keeps values in memory: a change would reach
    // no other program while the client reported it done.
    GSettingsBackend* store = g_settings_backend_get_default();
    const bool inMemory = std::strcmp(G_OBJECT_TYPE_NAME(store), "GMemorySettingsBackend") == 0;
    g_object_unref(store);
    if (inMemory) {
        const char* asked = std::getenv("GSETTINGS_BACKEND");
        return asked && std::strcmp(asked, "memory") == 0;
    }
    return sessionBusReachable();
}

} // namespace korvane
