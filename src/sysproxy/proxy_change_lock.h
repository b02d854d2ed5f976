#pragma once

#include <filesystem>
#include <sys/types.h>

namespace korvane {

// One change of the proxy settings at a time across processes, and a change that outlives
// the client that began it. The administrator run of a change keeps the lock open for as long
// as it runs (it inherits it, see ChildExtras), so a client killed while its prompt is open
// leaves a run that would still switch or restore the settings later, behind the next
// launch's back. Taking the lock while such a run holds it ends that run's process group
// (recorded in the file) and waits until it has let go: the record that run worked from is
// still on disk, so the new change starts from a known state.
//
// A lock file that cannot be opened (a read-only or full support directory) leaves the change
// unguarded rather than refused: putting the user's settings back matters more.
class ProxyChangeLock {
public:
    // Takes the lock; blocks while an abandoned run ends. Call it on the work pool.
    explicit ProxyChangeLock(const std::filesystem::path& file);
    ~ProxyChangeLock();
    ProxyChangeLock(const ProxyChangeLock&) = delete;
    ProxyChangeLock& operator=(const ProxyChangeLock&) = delete;

    // The descriptor a run of this change keeps open; -1 when unguarded.
    int fd() const { return fd_; }
    // Notes the process group of the run that now holds the lock with this process.
    void recordRun(pid_t group) const;

private:
    int fd_ = -1;
};

} // namespace korvane
