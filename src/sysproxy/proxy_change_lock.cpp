#include "sysproxy/proxy_change_lock.h"

#include "base/text.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace korvane {

namespace {

bool lockNow(int fd, int how) {
    int result;
    do {
        result = ::flock(fd, how);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

// The process group the file names, or 0.
pid_t recordedGroup(int fd) {
    char buffer[32] = {};
    const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
    if (n <= 0) return 0;
    const auto value = parseDecimalInteger(trimWhitespaceAndNewlines(std::string_view(buffer, n)));
    // Never 0 or 1, nor this process's own group: kill() would reach far more than a run.
    if (!value || *value <= 1 || *value > 0x3fffffff || *value == ::getpgrp()) return 0;
    return static_cast<pid_t>(*value);
}

} // namespace

ProxyChangeLock::ProxyChangeLock(const std::filesystem::path& file) {
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return;
    if (lockNow(fd_, LOCK_EX | LOCK_NB)) return;
    if (errno != EWOULDBLOCK) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    // Held: a run whose client is gone (or that of another copy of the client, whose change
    // fails then). While any holder lives, the group it belongs to cannot have been reused.
    if (const pid_t group = recordedGroup(fd_)) ::kill(-group, SIGKILL);
    if (!lockNow(fd_, LOCK_EX)) {
        ::close(fd_);
        fd_ = -1;
    }
}

ProxyChangeLock::~ProxyChangeLock() {
    if (fd_ >= 0) ::close(fd_);
}

void ProxyChangeLock::recordRun(pid_t group) const {
    if (fd_ < 0) return;
    const std::string text = std::to_string(group) + "\n";
    if (::ftruncate(fd_, 0) == 0) (void)!::pwrite(fd_, text.data(), text.size(), 0);
}

} // namespace korvane
