#pragma once

#include "base/errors.h"
#include "base/serial_queue.h"
#include "base/task.h"
#include "sysproxy/proxy_backup.h"
#include "sysproxy/proxy_change_lock.h"
#include "sysproxy/proxy_settings_backend.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace korvane {

// A restore that put the user's settings back but could not remove the backup file (a
// read-only support directory, say). The settings are the user's: nothing depends on the
// client any more, and the file's next restore only writes the same settings again. what() is
// the removal's error.
class ProxyRecordKept : public FileError {
public:
    using FileError::FileError;
};

// Points the computer's proxy settings at the core's local port and puts them back, through
// a backend: the network services' settings tool (the default; changes go through the
// privileged helper when it is installed, otherwise through an administrator script) or the
// GNOME desktop's settings. The backup file remembers the user's own settings across crashes
// and updates; it is written before the first change and removed once they are back.
//
// enable() and restore() run one at a time, in the order they were called, each seeing what
// the one before left: a second restore finds the record consumed and succeeds without a
// prompt. A call whose task is cancelled while it waits for its turn does nothing; one
// cancelled while its change is under way returns at once, but the next call still waits
// until that change has ended. Main thread only.
class SystemProxy {
public:
    // settings: nullptr when nothing can change them here; enable() then fails, and so does a
    // restore that finds a backup file.
    SystemProxy(std::filesystem::path backup, std::filesystem::path tempDir,
                std::shared_ptr<const ProxySettingsBackend> settings = networksetupProxySettings());

    const std::filesystem::path& backup() const { return backup_; }
    const std::filesystem::path& tempDir() const { return tempDir_; }
    // The lock every change of the settings holds, beside the backup file.
    std::filesystem::path changeLock() const { return backup_.string() + ".lock"; }
    // The backend's code for the event log; "none" without one.
    const char* settingsName() const { return settings_ ? settings_->name() : "none"; }
    // Throws the user's error when no backend can change the settings, so that a connection
    // fails before anything is started for it.
    void checkAvailable() const;

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
    // A dismissed prompt throws ProxyAuthorizationCancelled. The run keeps change's lock.
    static void runPrivileged(const std::string& script, const std::string& operation,
                              const ProxyChangeLock* change = nullptr);

    // Switches every enabled service to the local proxy.
    Task<void> enable();
    // Puts the saved settings back; nothing to do without a backup file or a switched helper.
    // Throws ProxyRecordKept when only the file's removal failed.
    Task<void> restore();
    // Whether an operation is under way or waits its turn (an enable that has not written its
    // record yet still has to be restored after).
    bool busy() const { return queue_.busy(); }
    // Whether the settings may still need restoring: an operation is under way, the backup
    // file exists, or the backend's helper does not say they are back. Blocks briefly (a
    // helper exchange).
    bool mayNeedRestore() const;
    // Whether any service still sends web or SOCKS traffic to the local port. Blocks.
    bool stillRoutingThroughKorvane() const;

private:
    std::filesystem::path backup_;
    std::filesystem::path tempDir_;
    std::shared_ptr<const ProxySettingsBackend> settings_;
    SerialQueue queue_;
};

} // namespace korvane
