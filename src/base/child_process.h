#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace korvane {

// What a child carries beyond the usual: an open file it keeps as its descriptor 3 for as
// long as it runs (a lock that must outlive this process while the child works), and a
// process group of its own (whose id is the child's), so that it can be ended with whatever
// it started.
struct ChildExtras {
    int keepOpenFd = -1;
    bool ownProcessGroup = false;
    // A session (and so a process group) of its own: no terminal's hang-up or signals reach it.
    bool ownSession = false;
};

// Starts the program at path with arguments (no shell), standard input from the null device
// and standard output and error both on outputFd (the null device when it is -1; standard error
// alone goes there too when errorsToNull), with default signal handling and nothing blocked,
// whatever the calling thread has set up for itself, and no other open file of this process
// (but the kept one of extras). The environment and working directory are this process's. Returns the child's
// id; a program that cannot be started throws FileError.
pid_t startProcess(const std::string& path, const std::vector<std::string>& arguments, int outputFd = -1,
                   bool errorsToNull = false, ChildExtras extras = {});

// Starts the program at path with arguments (no shell) detached: in a session of its own, with
// standard input, output and error on the null device, default signal handling and nothing
// blocked. It is not waited for: it may outlive this process. Returns its id; a program that
// cannot be started throws FileError.
pid_t startDetachedProcess(const std::string& path, const std::vector<std::string>& arguments);

// A child process this process started and has to reap. Main thread only. Destroying the
// object does not stop the child.
class ChildProcess {
public:
    ChildProcess() = default;
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }
    // Whether it has not exited yet; reaps it once it has.
    bool running();
    // The wait status once it has exited and was reaped.
    const std::optional<int>& exitStatus() const { return status_; }
    void signal(int number) const;

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

} // namespace korvane
