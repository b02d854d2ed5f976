#pragma once

#include "platform/processes.h"

#include <atomic>
#include <csignal>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace korvane::testing {

// A command run by /bin/sh as a child process that a thread of its own reaps the moment it ends,
// so that it is gone at once for anyone asking whether it still runs ("kill -0" sees a zombie
// as alive). Killed when the object goes, unless it has ended.
class ReapedChild {
public:
    explicit ReapedChild(const std::string& command) {
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        reaper_ = std::thread([this] {
            int status = 0;
            ::waitpid(pid_, &status, 0);
            status_ = status;
            ended_ = true;
        });
    }
    ~ReapedChild() {
        if (!ended_) ::kill(pid_, SIGKILL);
        reaper_.join();
    }
    ReapedChild(const ReapedChild&) = delete;
    ReapedChild& operator=(const ReapedChild&) = delete;

    pid_t pid() const { return pid_; }
    bool ended() const { return ended_; }
    // The signal that ended it, 0 while it runs or when it exited.
    int endingSignal() const { return ended_ && WIFSIGNALED(status_.load()) ? WTERMSIG(status_.load()) : 0; }
    // Waits (up to 2 s) until the shell has become program, having done what came before the exec.
    void waitForExec(const std::filesystem::path& program) const {
        for (int i = 0; i < 200 && processExecutable(pid_) != program; ++i)
            ::usleep(10'000);
    }

private:
    pid_t pid_ = -1;
    std::atomic<int> status_ = 0;
    std::atomic<bool> ended_ = false;
    std::thread reaper_;
};

} // namespace korvane::testing
