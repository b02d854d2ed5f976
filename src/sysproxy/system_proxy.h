#pragma once

#include "base/serial_queue.h"
#include "base/task.h"
#include "sysproxy/proxy_backup.h"

#include <filesystem>
#include <string>
#include <vector>

namespace korvane {

// Reads the proxy settings of every enabled network service, points them at the core's
// local port and puts them back. Changes go through the privileged helper when it is
// installed, otherwise through an administrator script; the backup file remembers the
// user's own settings across crashes and updates.
//
// enable() and restore() run one at a time, in the order they were called, each seeing what
// the one before left: a second restore finds the record consumed and succeeds without a
// prompt. A call whose task is cancelled while it waits for its turn does nothing; one
// cancelled while its change is under way returns at once, but the next call still waits
// until that change has ended. Main thread only.
class SystemProxy {
public:
    SystemProxy(std::filesystem::path backup, std::filesystem::path tempDir);

    const std::filesystem::path& backup() const { return backup_; }
    const std::filesystem::path& tempDir() const { return tempDir_; }

    // Names of the enabled network services. Throws the runner's error.
    static std::vector<std::string> listServices();
    // One proxy query's output ("Enabled: Yes", "Server: ...", "Port: ...").
    static ProxyEntry parse(std::string_view text);
    // The current settings of every enabled service; a failed query reads as switched off,
    // and so does a kind pointing at the local proxy (it cannot be the user's own setting).
    static std::vector<ServiceSnapshot> snapshot();
    static std::string enableScript(const std::vector<ServiceSnapshot>& services);
    // A kind saved as on but without a server and port the tool accepts is written off.
    static std::string restoreScript(const std::vector<ServiceSnapshot>& services);
    // Runs script as administrator behind the prompt of `operation` ("restore" or "enable").
    // A dismissed prompt throws ProxyAuthorizationCancelled.
    static void runPrivileged(const std::string& script, const std::string& operation);

    // Switches every enabled service to the local proxy.
    Task<void> enable();
    // Puts the saved settings back; nothing to do without a backup file or a switched helper.
    Task<void> restore();
    // Whether an operation is under way or waits its turn (an enable that has not written its
    // record yet still has to be restored after).
    bool busy() const { return queue_.busy(); }
    // Whether any service still sends web or SOCKS traffic to the local port. Blocks.
    bool stillRoutingThroughKorvane() const;

private:
    std::filesystem::path backup_;
    std::filesystem::path tempDir_;
    SerialQueue queue_;
};

} // namespace korvane
