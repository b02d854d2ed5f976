#include "sysproxy/command_runner.h"

#include "base/child_process.h"
#include "base/files.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "sysproxy/proxy_change_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvane {

namespace {

constexpr std::size_t kMessageCharacters = 180;

// The first `count` characters (Unicode scalars) of valid UTF-8 text.
std::string prefixCharacters(const std::string& text, std::size_t count) {
    std::size_t at = 0;
    for (std::size_t n = 0; n < count && at < text.size(); ++n)
        decodeScalar(text, at);
    return text.substr(0, at);
}

} // namespace

ProxyAuthorizationCancelled::ProxyAuthorizationCancelled()
    : KorvaneError("已取消网络代理授权。Korvane 不会继续修改系统网络设置。") {}

std::string CommandRunner::run(const std::string& path, const std::vector<std::string>& arguments,
                               const ProxyChangeLock* change) {
    int ends[2];
    // Close-on-exec, so that programs started by other threads meanwhile do not inherit the
    // write end and keep the pipe open; dup2 below clears the flag for this child only.
    if (::pipe2(ends, O_CLOEXEC) != 0) throw FileError(errno);
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);

    ChildExtras extras;
    if (change && change->fd() >= 0) extras = {change->fd(), true};
    const pid_t pid = startProcess(path, arguments, writeEnd.get(), false, extras);
    if (extras.ownProcessGroup) change->recordRun(pid);
    writeEnd.reset();

    std::string output;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    readEnd.reset();

    int status = 0;
    pid_t reaped = -1;
    do {
        reaped = ::waitpid(pid, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    if (reaped < 0) throw FileError(errno);
    if (!isValidUtf8(output)) output.clear();
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return output;
    throw KorvaneError("系统代理命令失败：" + prefixCharacters(output, kMessageCharacters));
}

std::string shellQuote(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string scriptHostLiteral(std::string_view text) {
    std::string literal = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') literal += '\\';
        literal += c;
    }
    return literal + "\"";
}

} // namespace korvane
