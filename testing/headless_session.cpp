#include "testing/headless_session.h"

#include "platform/processes.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace korvane::testing {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kLongestLoggedEvent = 600;
constexpr std::size_t kLoggedStderrTail = 4000;
// Output still arriving after the process ended comes from descendants that kept the pipes;
// it is read for this long at most.
constexpr auto kDrainTime = 2s;

int millisecondsUntil(HeadlessSession::Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - HeadlessSession::Clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
}

// text cut to at most limit bytes without splitting a UTF-8 sequence.
std::string shortened(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end) + " …(" + std::to_string(text.size()) + " bytes)";
}

std::string errorText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool isOverridden(std::string_view entry, const std::map<std::string, std::string>& extra) {
    const auto key = entry.substr(0, entry.find('='));
    return key == "HOME" || key == "KORVANE_ROOT" || key == "KORVANE_BUNDLE" ||
           extra.contains(std::string(key));
}

} // namespace

std::string ExitStatus::describe() const {
    if (exited()) return "exit code " + std::to_string(code);
    const char* name = ::sigabbrev_np(signal);
    return "signal " + std::to_string(signal) + (name ? std::string(" (SIG") + name + ")" : "");
}

std::filesystem::path HeadlessSession::executableIn(const std::filesystem::path& bundle) {
    return bundle / "Contents" / "MacOS" / "korvane-headless";
}

HeadlessSession::HeadlessSession(Options options) : options_(std::move(options)) {
    if (options_.executable.empty()) throw SessionError("HeadlessSession: no executable given");

    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        if (!isOverridden(*entry, options_.environment)) environment.emplace_back(*entry);
    }
    if (options_.home) environment.push_back("HOME=" + options_.home->string());
    if (options_.root) environment.push_back("KORVANE_ROOT=" + options_.root->string());
    if (options_.bundle) environment.push_back("KORVANE_BUNDLE=" + options_.bundle->string());
    for (const auto& [key, value] : options_.environment)
        environment.push_back(key + "=" + value);

    std::vector<std::string> arguments{options_.executable.string()};
    arguments.insert(arguments.end(), options_.arguments.begin(), options_.arguments.end());

    auto pointers = [](std::vector<std::string>& strings) {
        std::vector<char*> result;
        for (auto& s : strings)
            result.push_back(s.data());
        result.push_back(nullptr);
        return result;
    };
    auto argv = pointers(arguments);
    auto envp = pointers(environment);

    // Our ends are close-on-exec so that a second session never inherits the first one's pipes
    // (which would hide the end of its input from the first process).
    int input[2] = {-1, -1}, output[2] = {-1, -1}, error[2] = {-1, -1};
    auto closeAll = [&] {
        for (int* pair : {input, output, error}) {
            closeFd(pair[0]);
            closeFd(pair[1]);
        }
    };
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0 ||
        (options_.captureStderr && ::pipe2(error, O_CLOEXEC) != 0)) {
        const auto text = errorText("pipe");
        closeAll();
        throw SessionError("HeadlessSession: " + text);
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    if (options_.captureStderr) posix_spawn_file_actions_adddup2(&actions, error[1], STDERR_FILENO);
    // Nothing else of the test's: a client (or its core) outliving a killed test must not keep
    // its files open, such as the lock of the machine's fixed ports that flock(1) hands down.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    // The child starts like any program: nothing blocked, SIGPIPE fatal. Its own process group
    // lets the destructor take its descendants down with it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    const int result = ::posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    closeFd(input[0]);
    closeFd(output[1]);
    closeFd(error[1]);
    if (result != 0) {
        closeAll();
        pid_ = -1;
        throw SessionError("HeadlessSession: cannot start " + options_.executable.string() + ": " +
                           std::strerror(result));
    }
    inputFd_ = input[1];
    outputFd_ = output[0];
    errorFd_ = error[0];
    ::fcntl(outputFd_, F_SETFL, O_NONBLOCK);
    if (errorFd_ >= 0) ::fcntl(errorFd_, F_SETFL, O_NONBLOCK);
}

HeadlessSession::HeadlessSession(Fifos fifos) : attached_(true) {
    options_.executable = "attached";
    for (const auto& fifo : {fifos.input, fifos.output}) {
        // A copy attached earlier keeps its own ends of FIFOs made at the same paths.
        ::unlink(fifo.c_str());
        if (::mkfifo(fifo.c_str(), 0600) != 0)
            throw SessionError("HeadlessSession: " + errorText(("mkfifo " + fifo.string()).c_str()));
    }
    // Read and write: the open does not wait for the reader, and the copy sees the end of its
    // input once this side closes.
    inputFd_ = ::open(fifos.input.c_str(), O_RDWR | O_CLOEXEC);
    // A read end with no writer yet reports nothing to poll() until one has come and gone.
    outputFd_ = ::open(fifos.output.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (inputFd_ < 0 || outputFd_ < 0) {
        const auto text = errorText("open FIFO");
        closeFd(inputFd_);
        closeFd(outputFd_);
        throw SessionError("HeadlessSession: " + text);
    }
}

HeadlessSession::~HeadlessSession() {
    closeFd(inputFd_);
    if (attached_) {
        if (pid_ > 0 && !reap(false)) {
            ::kill(pid_, SIGKILL);
            for (const auto until = Clock::now() + 5s; !reap(false) && Clock::now() < until;)
                std::this_thread::sleep_for(5ms);
        }
    } else if (pid_ > 0 && !exit_) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        reap(true);
    }
    closeFd(outputFd_);
    closeFd(errorFd_);
}

void HeadlessSession::send(const Json& command) { sendLine(encodeJson(command)); }

void HeadlessSession::sendLine(std::string_view text) {
    if (inputFd_ < 0) fail("cannot send after closeInput(): " + std::string(text));
    std::string line(text);
    line.push_back('\n');

    // A process that is gone must fail this test, not kill the test program with SIGPIPE.
    sigset_t pipeSignal, previous, pending;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE);

    std::string_view rest = line;
    int writeError = 0;
    while (!rest.empty()) {
        const ssize_t written = ::write(inputFd_, rest.data(), rest.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) {
            writeError = errno;
            break;
        }
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
    if (writeError == EPIPE && !alreadyPending) {
        const timespec immediately{};
        ::sigtimedwait(&pipeSignal, nullptr, &immediately);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (writeError != 0) fail("cannot send " + std::string(text) + ": " + std::strerror(writeError));
}

void HeadlessSession::closeInput() { closeFd(inputFd_); }

Json HeadlessSession::next(const Predicate& predicate, std::chrono::milliseconds timeout) {
    return take(predicate, timeout, "a matching event");
}

Json HeadlessSession::waitFor(std::string_view event, std::chrono::milliseconds timeout) {
    return waitFor(
        event, [](const Json&) { return true; }, timeout);
}

Json HeadlessSession::waitFor(std::string_view event, const Predicate& predicate,
                              std::chrono::milliseconds timeout) {
    return take([&](const Json& e) { return e.value("event", std::string()) == event && predicate(e); },
                timeout, "event \"" + std::string(event) + "\"");
}

Json HeadlessSession::take(const Predicate& predicate, std::chrono::milliseconds timeout,
                           const std::string& what) {
    const auto deadline = Clock::now() + timeout;
    std::size_t checked = 0;
    for (;;) {
        for (; checked < events_.size(); ++checked) {
            if (!handedOut_[checked] && predicate(events_[checked])) {
                handedOut_[checked] = true;
                return events_[checked];
            }
        }
        if (outputFd_ < 0) fail("the output ended while waiting for " + what);
        if (Clock::now() >= deadline)
            fail("no " + what + " within " + std::to_string(timeout.count()) + " ms");
        pollOnce(deadline);
    }
}

void HeadlessSession::collectFor(std::chrono::milliseconds duration) {
    const auto deadline = Clock::now() + duration;
    while (Clock::now() < deadline && (outputFd_ >= 0 || errorFd_ >= 0))
        pollOnce(deadline);
}

void HeadlessSession::skipReceived() { std::fill(handedOut_.begin(), handedOut_.end(), true); }

std::vector<Json> HeadlessSession::eventsNamed(std::string_view event) const {
    std::vector<Json> result;
    for (const auto& e : events_) {
        if (e.value("event", std::string()) == event) result.push_back(e);
    }
    return result;
}

bool HeadlessSession::running() { return !reap(false); }

void HeadlessSession::sendSignal(int signal) {
    if (pid_ > 0 && !reap(false)) ::kill(pid_, signal);
}

ExitStatus HeadlessSession::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!reap(false)) {
        if (Clock::now() >= deadline)
            fail("the process still runs after " + std::to_string(timeout.count()) + " ms");
        // Reading keeps a chatty process from blocking on a full pipe while it winds down.
        const auto slice = std::min(deadline, Clock::now() + 10ms);
        if (outputFd_ >= 0 || errorFd_ >= 0) {
            pollOnce(slice);
        } else {
            std::this_thread::sleep_until(slice);
        }
    }
    const auto drainDeadline = Clock::now() + kDrainTime;
    while ((outputFd_ >= 0 || errorFd_ >= 0) && Clock::now() < drainDeadline)
        pollOnce(drainDeadline);
    return *exit_;
}

void HeadlessSession::pollOnce(Clock::time_point deadline) {
    pollfd fds[2];
    nfds_t count = 0;
    if (outputFd_ >= 0) fds[count++] = {outputFd_, POLLIN, 0};
    if (errorFd_ >= 0) fds[count++] = {errorFd_, POLLIN, 0};
    if (count == 0) return;
    const int ready = ::poll(fds, count, millisecondsUntil(deadline));
    if (ready < 0 && errno != EINTR) fail(errorText("poll"));
    if (ready <= 0) return;
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0) continue;
        const bool isOutput = fds[i].fd == outputFd_;
        char buffer[16384];
        for (;;) {
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) break; // EAGAIN: all there is for now
            if (got == 0) {
                if (isOutput) {
                    // A last line without its newline still counts.
                    if (!pending_.empty()) addLine(std::exchange(pending_, {}));
                    closeFd(outputFd_);
                } else {
                    closeFd(errorFd_);
                }
                break;
            }
            if (isOutput) {
                consumeOutput(std::string_view(buffer, static_cast<std::size_t>(got)));
            } else {
                stderrText_.append(buffer, static_cast<std::size_t>(got));
            }
        }
    }
}

void HeadlessSession::consumeOutput(std::string_view data) {
    pending_.append(data);
    std::size_t start = 0;
    for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1)
        addLine(pending_.substr(start, end - start));
    pending_.erase(0, start);
}

void HeadlessSession::addLine(std::string line) {
    Json event = Json::parse(line, nullptr, false);
    if (event.is_object() && event.contains("event") && event["event"].is_string()) {
        if (attached_ && pid_ <= 0 && event["event"] == "ready" && event.contains("pid") &&
            event["pid"].is_number_integer())
            pid_ = event["pid"].get<pid_t>();
        events_.push_back(std::move(event));
        handedOut_.push_back(false);
    } else {
        malformed_.push_back(std::move(line));
    }
}

bool HeadlessSession::reap(bool block) {
    if (exit_) return true;
    if (pid_ <= 0) return false;
    if (attached_) {
        // Not ours to wait for: gone once its id is (or it is a zombie of another parent).
        for (;;) {
            if (processEnded(pid_)) {
                // Its code as it announced it, the only account of its end there is.
                ExitStatus ended;
                for (const auto& event : events_)
                    if (event.value("event", std::string()) == "exit" && event.contains("code") &&
                        event["code"].is_number_integer())
                        ended.code = event["code"].get<int>();
                exit_ = ended;
                return true;
            }
            if (!block) return false;
            std::this_thread::sleep_for(5ms);
        }
    }
    int status = 0;
    pid_t result;
    do {
        result = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == 0) return false;
    ExitStatus ended;
    if (result == pid_ && WIFEXITED(status)) ended.code = WEXITSTATUS(status);
    if (result == pid_ && WIFSIGNALED(status)) ended.signal = WTERMSIG(status);
    exit_ = ended;
    return true;
}

std::string HeadlessSession::describeEvents() const {
    std::string text;
    for (std::size_t i = 0; i < events_.size(); ++i)
        text +=
            "  " + std::to_string(i) + ": " + shortened(encodeJson(events_[i]), kLongestLoggedEvent) + "\n";
    if (events_.empty()) text += "  (none)\n";
    for (const auto& line : malformed_)
        text += "  not an event: " + shortened(line, kLongestLoggedEvent) + "\n";
    return text;
}

void HeadlessSession::fail(const std::string& what) {
    std::string text = "HeadlessSession (" + options_.executable.filename().string() + "): " + what + "\n";
    // A closed output usually means the process is on its way out: wait a moment so that the
    // message can tell how it ended.
    for (const auto until = Clock::now() + 1s; outputFd_ < 0 && !reap(false) && Clock::now() < until;)
        std::this_thread::sleep_for(10ms);
    text += reap(false) ? "process ended: " + exit_->describe() + "\n" : "process still running\n";
    text += "events so far:\n" + describeEvents();
    if (!stderrText_.empty()) {
        const auto tail = stderrText_.size() > kLoggedStderrTail
                              ? stderrText_.substr(stderrText_.size() - kLoggedStderrTail)
                              : stderrText_;
        text += "standard error (end):\n" + tail + "\n";
    }
    throw SessionError(text);
}

} // namespace korvane::testing
