#pragma once

#include "base/json.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace korvane::testing {

// A failure of the session itself: a wait that timed out, a process that ended too early, a
// line that could not be sent. The text lists every event seen so far, so that a failing
// end-to-end test explains itself; gtest reports it as the test's failure.
class SessionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How a finished child process ended.
struct ExitStatus {
    int code = -1;  // the exit code when it exited, else -1
    int signal = 0; // the signal that ended it, else 0

    bool exited() const { return signal == 0; }
    std::string describe() const;
};

// One run of the headless shell (or any program speaking its line protocol: one JSON object
// per line each way), driven from a test. Commands go to its standard input; every line of
// its standard output is parsed and kept as an event. Waits use real time: these are
// process tests.
//
// Events are handed out once: next() and waitFor() return the earliest event not handed out
// yet that matches, leaving the others to later calls. events() keeps the whole log.
class HeadlessSession {
public:
    using Clock = std::chrono::steady_clock;
    using Predicate = std::function<bool(const Json&)>;
    static constexpr std::chrono::milliseconds kDefaultTimeout{10'000};

    struct Options {
        std::filesystem::path executable;
        std::vector<std::string> arguments; // after argv[0], which is the executable
        // HOME, KORVANE_ROOT and KORVANE_BUNDLE are never inherited from the test's own
        // environment; each is set only when given here.
        std::optional<std::filesystem::path> home;
        std::optional<std::filesystem::path> root;
        std::optional<std::filesystem::path> bundle;
        // Further variables, set last (they may override the three above).
        std::map<std::string, std::string> environment;
        // Keep standard error for stderrText() instead of passing it through to the test's.
        bool captureStderr = false;
    };

    // A copy that another program starts (the application launcher's stand-in, say) with its
    // standard input and output on these two FIFOs.
    struct Fifos {
        std::filesystem::path input;
        std::filesystem::path output;
    };

    // The shell's executable inside a bundle: <bundle>/Contents/MacOS/korvane-headless.
    static std::filesystem::path executableIn(const std::filesystem::path& bundle);

    // Starts the process; throws SessionError when it cannot be started.
    explicit HeadlessSession(Options options);
    // Makes the two FIFOs and opens this side of each without waiting, so that the copy started
    // later on them never blocks on its opens. Its process id comes from its "ready" event; it is
    // not this process's child, so its end is seen when its id is gone (no exit status).
    explicit HeadlessSession(Fifos fifos);
    // Kills the process (SIGKILL) if it is still running, and reaps it.
    ~HeadlessSession();
    HeadlessSession(const HeadlessSession&) = delete;
    HeadlessSession& operator=(const HeadlessSession&) = delete;

    // Writes command as one compact line.
    void send(const Json& command);
    // Writes text followed by a newline as it is, e.g. a line that is not JSON.
    void sendLine(std::string_view text);
    // Closes standard input: the process sees the end of its input.
    void closeInput();

    // The earliest matching event not handed out yet, waiting for it up to timeout.
    Json next(const Predicate& predicate, std::chrono::milliseconds timeout = kDefaultTimeout);
    // The same for the next event with this "event" field, optionally also matching predicate.
    Json waitFor(std::string_view event, std::chrono::milliseconds timeout = kDefaultTimeout);
    Json waitFor(std::string_view event, const Predicate& predicate,
                 std::chrono::milliseconds timeout = kDefaultTimeout);
    // Reads whatever is available for up to `duration`, for checks that something did not happen.
    void collectFor(std::chrono::milliseconds duration);
    // Marks every event received so far as handed out, so that later waits see newer ones only.
    void skipReceived();

    // Every event received so far, in order, and those with this "event" field.
    const std::vector<Json>& events() const { return events_; }
    std::vector<Json> eventsNamed(std::string_view event) const;
    // Output lines that were not a JSON object with a string "event"; a healthy shell has none.
    const std::vector<std::string>& malformedLines() const { return malformed_; }
    // Standard error so far, when captured.
    const std::string& stderrText() const { return stderrText_; }

    pid_t pid() const { return pid_; }
    // Whether the process has not ended yet (reaps it when it has).
    bool running();
    void sendSignal(int signal);
    // Waits until the process ends, reading its remaining output, and returns how it ended.
    ExitStatus waitForExit(std::chrono::milliseconds timeout = kDefaultTimeout);

    // The event log so far, one event a line, for failure messages.
    std::string describeEvents() const;

private:
    Json take(const Predicate& predicate, std::chrono::milliseconds timeout, const std::string& what);
    // Waits until either stream has something (or has ended) or deadline has passed, and
    // reads what is there.
    void pollOnce(Clock::time_point deadline);
    void consumeOutput(std::string_view data);
    void addLine(std::string line);
    bool reap(bool block);
    [[noreturn]] void fail(const std::string& what);

    Options options_;
    pid_t pid_ = -1;
    int inputFd_ = -1;
    int outputFd_ = -1;
    int errorFd_ = -1;
    std::string pending_; // a partial line of standard output
    std::vector<Json> events_;
    std::vector<bool> handedOut_;
    std::vector<std::string> malformed_;
    std::string stderrText_;
    std::optional<ExitStatus> exit_;
    bool attached_ = false;
};

} // namespace korvane::testing
