#pragma once

#include "sysproxy/proxy_backup.h"

#include <memory>
#include <string_view>

namespace korvane {

class ProxyChangeLock;

// The hosts that reach the network directly while the settings point at the local proxy.
inline constexpr std::string_view kLocalProxyBypass[] = {"localhost", "127.0.0.1", "*.local"};

// Where the computer's proxy settings are read and changed: the network services through the
// settings tool (networksetup) or the GNOME desktop's own settings. SystemProxy keeps the
// backup record and the order of operations; a backend only reads and writes settings.
// Backends keep no state. Every function blocks: SystemProxy calls the changing ones on the
// work pool, one at a time, and stillRoutingThroughKorvane on the main thread.
class ProxySettingsBackend {
public:
    virtual ~ProxySettingsBackend() = default;

    // The backend's code in the event log, as KORVANE_PROXY_BACKEND names it: "macos" or "gnome".
    virtual const char* name() const = 0;
    // The user's settings now, as the record keeps them. Throws when there is nothing to switch.
    virtual ProxyBackup snapshot() const = 0;
    // Points the settings at the local proxy. record is what the backup file holds: a record
    // that does not describe this backend's settings is refused before anything changes.
    // change is the lock held for it, which any process run for it keeps.
    virtual void switchOn(const ProxyBackup& record, const ProxyChangeLock& change) const = 0;
    // Puts back what record holds; refuses a record of another backend's settings.
    virtual void putBack(const ProxyBackup& record, const ProxyChangeLock& change) const = 0;
    // Whether web or SOCKS traffic still goes to the local port.
    virtual bool stillRoutingThroughKorvane() const = 0;

    // Settings changed by an agent that keeps its own memory instead of the record (the
    // privileged helper): whether switching goes through it, the switch itself, whether it
    // may still have the settings switched, and its restore.
    virtual bool switchesWithoutRecord() const { return false; }
    virtual void switchOnWithoutRecord() const {}
    virtual bool mayBeSwitchedWithoutRecord() const { return false; }
    virtual void putBackWithoutRecord() const {}
};

// The error of a backend given a record of another backend's settings.
extern const char* const kOtherSettingsRecord;

// The network services through the settings tool, the administrator prompt and the helper.
std::shared_ptr<const ProxySettingsBackend> networksetupProxySettings();
// Whether the settings tool is there (under the system root).
bool networksetupProxySettingsAvailable();

// The GNOME desktop's org.gnome.system.proxy settings of the user, through GSettings.
std::shared_ptr<const ProxySettingsBackend> gnomeProxySettings();
// Whether those settings can be changed for real: the schema is installed, and the settings
// reach the desktop (a session bus for dconf; the in-memory store only when it was asked for
// by GSETTINGS_BACKEND, as tests do).
bool gnomeProxySettingsAvailable();

// What a shell uses when KORVANE_PROXY_BACKEND does not say.
enum class ProxySettingsDefault {
    Automatic,    // GNOME's when available, else the settings tool's when it is there
    Networksetup, // the settings tool's
};

// The backend named by KORVANE_PROXY_BACKEND ("gnome" or "macos"), or else the shell's
// default; nullptr when the one chosen is not available or the name is unknown, and then
// nothing can switch the settings.
std::shared_ptr<const ProxySettingsBackend> chooseProxySettings(ProxySettingsDefault fallback);

} // namespace korvane
