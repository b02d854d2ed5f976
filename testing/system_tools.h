#pragma once

#include "base/json.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace korvane::testing {

// The system tools of the proxy switch, laid out under a test's system root (the directory
// KORVANE_ROOT or setSystemRoot() names): <root>/usr/sbin/networksetup and
// <root>/usr/bin/osascript are the stand-ins of testing/stand_ins, their state lives in
// <root>/var/stand-in.
class SystemTools {
public:
    explicit SystemTools(std::filesystem::path root);

    const std::filesystem::path& root() const { return root_; }

    // The network services as the stand-in keeps them:
    // [{"name", "disabled", "webproxy", "securewebproxy", "socksfirewallproxy", "bypass"}],
    // each proxy {"enabled", "server", "port"}.
    void setServices(const Json& services);
    Json services() const;
    // Every run of the settings tool so far, in order: {"time" (seconds since the epoch), "args"}.
    std::vector<Json> toolCalls() const;
    // Flags of the tool (e.g. "-setsocksfirewallproxy") that fail from now on.
    void failTool(const std::vector<std::string>& flags);

    // How the next administrator prompts end: "run" (the user agrees), "cancel" (dismissed),
    // "fail" (the script host reports an error); each answered after delaySeconds.
    void setPromptMode(const std::string& mode, double delaySeconds = 0);
    // The prompt texts shown so far, in order.
    std::vector<std::string> prompts() const;

    // Installs or removes the helper's launch daemon file.
    void setHelperInstalled(bool installed);
    // Where the helper's socket is for the current user.
    std::filesystem::path helperSocket() const;

private:
    Json readState() const;
    void writeState(const Json& state);

    std::filesystem::path root_;
};

// A one-service entry for SystemTools::setServices.
Json standInService(const std::string& name, bool disabled = false);

// `services` as a restore from a record of `saved` can make it: a kind saved without both a
// server and a port gets its state back only (the settings tool cannot clear a server), so
// its server and port are taken from `saved` for the comparison. Such a kind saved as on
// comes back off, which this view does not hide.
Json restorableView(Json services, const Json& saved);

// A fake helper daemon on a Unix socket, in a child process: answers every connection with
// `reply` after reading the request once, or closes it unanswered when `reply` is empty.
// It listens as `uid` (privileges dropped after binding), so a test run as root can stand
// up a helper that is not the superuser. A request that begins with `hangOn` is answered only
// after `hang`, as a helper stuck in its work would; each connection is served on its own, so
// the others are answered meanwhile.
class FakeProxyHelper {
public:
    FakeProxyHelper(const std::filesystem::path& socket, std::string reply, uid_t uid = 0,
                    std::string hangOn = {}, std::chrono::milliseconds hang = {});
    ~FakeProxyHelper();
    FakeProxyHelper(const FakeProxyHelper&) = delete;
    FakeProxyHelper& operator=(const FakeProxyHelper&) = delete;

    // Everything the helper has received, all connections together.
    std::string received() const;

private:
    std::filesystem::path socket_;
    std::filesystem::path record_;
    pid_t pid_ = -1;
};

} // namespace korvane::testing
