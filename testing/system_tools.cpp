#include "testing/system_tools.h"

#include "base/files.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace korvane::testing {

namespace {

const fs::path kStandIns = KORVANE_STAND_INS_DIR;

void install(const fs::path& from, const fs::path& to) {
    fs::create_directories(to.parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

Json proxy() { return {{"enabled", false}, {"server", ""}, {"port", 0}}; }

} // namespace

SystemTools::SystemTools(fs::path root) : root_(std::move(root)) {
    install(kStandIns / "networksetup", root_ / "usr/sbin/networksetup");
    install(kStandIns / "osascript", root_ / "usr/bin/osascript");
    fs::create_directories(root_ / "var/stand-in");
    fs::create_directories(root_ / "var/run");
    writeState({{"services", Json::array()}});
}

Json SystemTools::readState() const {
    return Json::parse(readFile(root_ / "var/stand-in/networksetup.json").value_or("{}"));
}

void SystemTools::writeState(const Json& state) {
    writeFileAtomically(root_ / "var/stand-in/networksetup.json", state.dump(), 0644);
}

void SystemTools::setServices(const Json& services) {
    Json state = readState();
    state["services"] = services;
    writeState(state);
}

Json SystemTools::services() const { return readState()["services"]; }

std::vector<Json> SystemTools::toolCalls() const {
    std::vector<Json> result;
    std::istringstream in(readFile(root_ / "var/stand-in/networksetup.log").value_or(""));
    for (std::string line; std::getline(in, line);)
        result.push_back(Json::parse(line));
    return result;
}

void SystemTools::failTool(const std::vector<std::string>& flags) {
    Json state = readState();
    state["failing"] = flags;
    writeState(state);
}

void SystemTools::setPromptMode(const std::string& mode, double delaySeconds) {
    writeFileAtomically(root_ / "var/stand-in/osascript.json",
                        Json{{"mode", mode}, {"delay", delaySeconds}}.dump(), 0644);
}

std::vector<std::string> SystemTools::prompts() const {
    std::vector<std::string> result;
    std::istringstream in(readFile(root_ / "var/stand-in/osascript.log").value_or(""));
    for (std::string line; std::getline(in, line);)
        result.push_back(Json::parse(line)["prompt"].get<std::string>());
    return result;
}

void SystemTools::setHelperInstalled(bool installed) {
    const fs::path marker = root_ / "Library/LaunchDaemons/art.korvane.proxyhelper.plist";
    if (installed) {
        fs::create_directories(marker.parent_path());
        writeFileAtomically(marker, "<plist/>", 0644);
    } else {
        fs::remove(marker);
    }
}

fs::path SystemTools::helperSocket() const {
    return root_ / ("var/run/korvane-proxy-" + std::to_string(::getuid()) + ".sock");
}

Json standInService(const std::string& name, bool disabled) {
    return {{"name", name},
            {"disabled", disabled},
            {"webproxy", proxy()},
            {"securewebproxy", proxy()},
            {"socksfirewallproxy", proxy()},
            {"bypass", Json::array()}};
}

Json restorableView(Json services, const Json& saved) {
    for (std::size_t i = 0; i < services.size() && i < saved.size(); ++i) {
        for (const char* kind : {"webproxy", "securewebproxy", "socksfirewallproxy"}) {
            const Json& was = saved[i][kind];
            if (was["server"] != "" && was["port"].get<int>() > 0) continue;
            services[i][kind]["server"] = was["server"];
            services[i][kind]["port"] = was["port"];
        }
    }
    return services;
}

FakeProxyHelper::FakeProxyHelper(const fs::path& socket, std::string reply, uid_t uid, std::string hangOn,
                                 std::chrono::milliseconds hang)
    : socket_(socket), record_(socket.string() + ".received") {
    fs::create_directories(socket.parent_path());
    fs::remove(socket);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socket.string();
    if (path.size() >= sizeof address.sun_path) throw std::runtime_error("helper socket path too long");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int record = ::open(record_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int ready[2];
    if (record < 0 || listener < 0 || ::pipe2(ready, O_CLOEXEC) != 0 ||
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot set up the fake helper");
    }
    ::chmod(path.c_str(), 0777);

    pid_ = ::fork();
    if (pid_ == 0) {
        // Only system calls from here on: the parent may have other threads.
        ::close(ready[0]);
        // A group of its own, so that the destructor ends the connections' children with it;
        // children nobody waits for are reaped by the system.
        ::setpgid(0, 0);
        ::signal(SIGCHLD, SIG_IGN);
        // The peer credentials a client sees are those in effect at listen().
        if (uid != 0 && (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0)) ::_exit(3);
        if (::listen(listener, 16) != 0) ::_exit(4);
        if (::write(ready[1], "!", 1) != 1) ::_exit(5);
        for (;;) {
            const int connection = ::accept(listener, nullptr, nullptr);
            if (connection < 0) continue;
            if (::fork() != 0) {
                ::close(connection);
                continue;
            }
            char buffer[256];
            const ssize_t n = ::read(connection, buffer, sizeof buffer);
            if (n > 0 && ::write(record, buffer, static_cast<std::size_t>(n)) < 0) ::_exit(6);
            if (!hangOn.empty() && n >= static_cast<ssize_t>(hangOn.size()) &&
                std::memcmp(buffer, hangOn.data(), hangOn.size()) == 0) {
                const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(hang);
                const timespec wait{static_cast<time_t>(seconds.count()),
                                    static_cast<long>((hang - seconds).count() * 1'000'000)};
                ::nanosleep(&wait, nullptr);
            }
            if (!reply.empty()) ::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::_exit(0);
        }
    }
    ::close(listener);
    ::close(record);
    ::close(ready[1]);
    char byte = 0;
    const bool started = pid_ > 0 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    if (!started) throw std::runtime_error("the fake helper did not start");
}

FakeProxyHelper::~FakeProxyHelper() {
    if (pid_ > 0) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    fs::remove(socket_, ignored);
    fs::remove(record_, ignored);
}

std::string FakeProxyHelper::received() const { return readFile(record_).value_or(""); }

} // namespace korvane::testing
