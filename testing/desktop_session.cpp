#include "testing/desktop_session.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace korvane::testing {

namespace {

// Runs program (looked up on PATH) with this process's environment and `environment` over
// it; its standard output (and error, when errorsToo) goes to the returned descriptor.
pid_t spawn(const std::vector<std::string>& command, const std::map<std::string, std::string>& environment,
            bool errorsToo, int& output) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (!environment.contains(text.substr(0, text.find('=')))) entries.push_back(text);
    }
    for (const auto& [key, value] : environment)
        entries.push_back(key + "=" + value);
    auto pointers = [](std::vector<std::string>& strings) {
        std::vector<char*> result;
        for (auto& s : strings)
            result.push_back(s.data());
        result.push_back(nullptr);
        return result;
    };
    std::vector<std::string> arguments = command;
    auto argv = pointers(arguments);
    auto envp = pointers(entries);

    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
    if (errorsToo) {
        posix_spawn_file_actions_adddup2(&actions, pipe[1], 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    const int failed = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    if (failed != 0) {
        ::close(pipe[0]);
        throw std::runtime_error(command[0] + ": " + std::strerror(failed));
    }
    output = pipe[0];
    return pid;
}

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

} // namespace

PrivateDesktopSession::PrivateDesktopSession(const std::filesystem::path& directory) {
    const auto config = directory / "config";
    const auto runtime = directory / "runtime";
    std::filesystem::create_directories(config);
    std::filesystem::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);
    const std::string address = "unix:path=" + (runtime / "bus").string();
    // The store (dconf-service) is started by the bus and inherits its environment.
    environment_ = {{"DBUS_SESSION_BUS_ADDRESS", address},
                    {"XDG_CONFIG_HOME", config.string()},
                    {"XDG_RUNTIME_DIR", runtime.string()},
                    {"GSETTINGS_BACKEND", "dconf"}};
    int output = -1;
    bus_ = spawn({"dbus-daemon", "--session", "--nofork", "--address=" + address, "--print-address"},
                 environment_, false, output);
    // The address is printed once the bus listens.
    std::string line;
    char c;
    while (::read(output, &c, 1) == 1 && c != '\n')
        line.push_back(c);
    ::close(output);
    if (line.empty()) {
        ::kill(bus_, SIGKILL);
        ::waitpid(bus_, nullptr, 0);
        throw std::runtime_error("dbus-daemon did not start");
    }
}

PrivateDesktopSession::~PrivateDesktopSession() {
    ::kill(bus_, SIGTERM);
    ::waitpid(bus_, nullptr, 0);
}

std::string PrivateDesktopSession::gsettings(const std::vector<std::string>& arguments) const {
    std::vector<std::string> command{"gsettings"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    int output = -1;
    const pid_t pid = spawn(command, environment_, true, output);
    std::string text = readAll(output);
    ::close(output);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string joined;
        for (const auto& argument : command)
            joined += argument + " ";
        throw std::runtime_error(joined + "failed: " + text);
    }
    return text;
}

std::string PrivateDesktopSession::get(const std::string& schema, const std::string& key) const {
    std::string value = gsettings({"get", schema, key});
    if (!value.empty() && value.back() == '\n') value.pop_back();
    return value;
}

void PrivateDesktopSession::set(const std::string& schema, const std::string& key,
                                const std::string& value) const {
    gsettings({"set", schema, key, value});
}

std::map<std::string, std::string> PrivateDesktopSession::proxyKeys() const {
    std::map<std::string, std::string> keys;
    const std::string text = gsettings({"list-recursively", "org.gnome.system.proxy"});
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        // "schema key value", the value being GVariant text that may hold blanks.
        const auto first = line.find(' ');
        const auto second = first == std::string::npos ? first : line.find(' ', first + 1);
        if (second == std::string::npos) continue;
        keys[line.substr(0, second)] = line.substr(second + 1);
    }
    return keys;
}

void PrivateDesktopSession::resetProxyKeys() const {
    gsettings({"reset-recursively", "org.gnome.system.proxy"});
}

} // namespace korvane::testing
