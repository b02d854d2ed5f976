#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace korvane::testing {

// A private desktop session: a D-Bus session bus of its own and the dconf settings store it
// starts, both keeping their files under `directory`. What a test and the client write to the
// GNOME settings there never reaches the user's own. Reading and writing goes through the
// desktop's own tool, gsettings, as a user would.
class PrivateDesktopSession {
public:
    // Starts the bus and waits until it accepts connections; throws std::runtime_error when
    // dbus-daemon cannot be started.
    explicit PrivateDesktopSession(const std::filesystem::path& directory);
    // Stops the bus; the settings store leaves with it.
    ~PrivateDesktopSession();
    PrivateDesktopSession(const PrivateDesktopSession&) = delete;
    PrivateDesktopSession& operator=(const PrivateDesktopSession&) = delete;

    // What a process needs to use this session: the bus address, the configuration and
    // runtime directories of the store, and the dconf store itself.
    const std::map<std::string, std::string>& environment() const { return environment_; }

    // `gsettings <arguments>` in this session; its output, or std::runtime_error on failure.
    std::string gsettings(const std::vector<std::string>& arguments) const;
    // `gsettings get schema key`, without the line break.
    std::string get(const std::string& schema, const std::string& key) const;
    void set(const std::string& schema, const std::string& key, const std::string& value) const;
    // Every key of org.gnome.system.proxy and its children, "schema key" to the value's text.
    std::map<std::string, std::string> proxyKeys() const;
    // Puts every key of org.gnome.system.proxy and its children back to its default.
    void resetProxyKeys() const;

private:
    std::map<std::string, std::string> environment_;
    pid_t bus_ = -1;
};

} // namespace korvane::testing
