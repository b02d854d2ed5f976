#include "base/child_process.h"

#include "base/errors.h"
#include "base/unique_fd.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace korvane {

pid_t startProcess(const std::string& path, const std::vector<std::string>& arguments, int outputFd,
                   bool errorsToNull, ChildExtras extras) {
    // A copy above the low numbers, so that the dup2 below never has equal descriptors (which
    // would leave the close-on-exec flag set).
    UniqueFd kept;
    if (extras.keepOpenFd >= 0) {
        kept.reset(::fcntl(extras.keepOpenFd, F_DUPFD_CLOEXEC, 10));
        if (!kept) throw FileError(errno);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (outputFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
        if (errorsToNull) {
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        } else {
            posix_spawn_file_actions_adddup2(&actions, outputFd, STDERR_FILENO);
        }
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    }
    if (kept) posix_spawn_file_actions_adddup2(&actions, kept.get(), 3);
    // Nothing else: a descriptor this process inherited without close-on-exec (a lock its own
    // parent holds, say) must not live on in a child that outlives it.
    posix_spawn_file_actions_addclosefrom_np(&actions, kept ? 4 : 3);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGHUP);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (extras.ownSession) {
        flags |= POSIX_SPAWN_SETSID; // a session of its own is a process group of its own too
    } else if (extras.ownProcessGroup) {
        posix_spawnattr_setpgroup(&attributes, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attributes, flags);

    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) throw FileError(error);
    return pid;
}

pid_t startDetachedProcess(const std::string& path, const std::vector<std::string>& arguments) {
    ChildExtras extras;
    extras.ownSession = true;
    return startProcess(path, arguments, -1, false, extras);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), status_(std::exchange(other.status_, std::nullopt)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    pid_ = std::exchange(other.pid_, -1);
    status_ = std::exchange(other.status_, std::nullopt);
    return *this;
}

bool ChildProcess::running() {
    if (pid_ <= 0 || status_) return false;
    int status = 0;
    pid_t reaped = -1;
    do {
        reaped = ::waitpid(pid_, &status, WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    if (reaped == 0) return true;
    // Reaped now, or already reaped elsewhere (ECHILD): either way it is gone.
    status_ = reaped == pid_ ? status : -1;
    return false;
}

void ChildProcess::signal(int number) const {
    // Never after it was reaped: the id may belong to another process by then.
    if (pid_ > 0 && !status_) ::kill(pid_, number);
}

} // namespace korvane
