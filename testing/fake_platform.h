#pragma once

// An in-memory platform for controller tests and benchmarks: every call the controller makes
// is recorded where a test can read it, settings can hold values of any type, and the bundle
// and home are real directories under one temporary root, so file-based behaviour (the page,
// the node cache, the event log) runs unchanged.

#include "app/korvane_application.h"
#include "base/event_loops.h"
#include "base/json.h"
#include "diag/korvane_recorder.h"
#include "platform/platform.h"
#include "testing/fake_http_client.h"
#include "testing/fake_pulse_transport.h"
#include "testing/temp_dir.h"

#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::testing {

class FakeApplication final : public Application {
public:
    std::vector<std::string> args;
    int regularPolicyRequests = 0;
    int activations = 0;
    int terminationRequests = 0;
    std::vector<bool> terminationReplies;
    std::vector<std::string> logLines;
    // Runs on requestTermination, where a real application would consult the termination gate.
    std::function<void()> onTerminationRequest;

    void setActivationPolicyRegular() override { ++regularPolicyRequests; }
    void requestTermination() override;
    void replyToTermination(bool shouldTerminate) override { terminationReplies.push_back(shouldTerminate); }
    void activate() override { ++activations; }
    std::vector<std::string> arguments() const override { return args; }
    int processId() const override { return 4242; }
    void systemLog(const std::string& line) override { logLines.push_back(line); }
};

// A bundle directory whose Info.plist strings live in `info`; resources are real files.
class FakeBundle final : public Bundle {
public:
    explicit FakeBundle(std::filesystem::path location) : location_(std::move(location)) {}

    std::map<std::string, std::string> info;

    std::filesystem::path location() const override { return location_; }
    std::filesystem::path resourcesDirectory() const override { return location_ / "Contents" / "Resources"; }
    std::optional<std::string> infoString(const std::string& key) const override;

    // Creates or replaces Contents/Resources/<relative> with exactly these bytes.
    std::filesystem::path writeResource(const std::filesystem::path& relative, std::string_view bytes);
    void removeResource(const std::filesystem::path& relative);

private:
    std::filesystem::path location_;
};

// The standard folders below a home directory, laid out as on the target platform.
class FakeDirectories final : public Directories {
public:
    FakeDirectories(std::filesystem::path home, std::filesystem::path applications)
        : home_(std::move(home)), applications_(std::move(applications)) {}

    // False behaves like a user without a home: no Application Support, no Downloads.
    bool hasHome = true;

    const std::filesystem::path& home() const { return home_; }
    std::optional<std::filesystem::path> applicationSupport() const override;
    std::optional<std::filesystem::path> downloads() const override;
    std::filesystem::path applications() const override { return applications_; }

private:
    std::filesystem::path home_;
    std::filesystem::path applications_;
};

// Settings as one JSON object. setRaw plants values of any type, as a hand-edited or older
// settings store can hold them; the typed reads then answer none, as the real store does.
class FakeDefaults final : public UserDefaults {
public:
    void setRaw(const std::string& key, Json value);
    std::optional<Json> raw(const std::string& key) const;

    bool contains(const std::string& key) const override;
    std::optional<std::string> getString(const std::string& key) const override;
    std::optional<bool> getBool(const std::string& key) const override;
    void setString(const std::string& key, const std::string& value) override { setRaw(key, value); }
    void setBool(const std::string& key, bool value) override { setRaw(key, value); }
    void remove(const std::string& key) override;

private:
    mutable std::mutex mutex_;
    Json values_ = Json::object();
};

// One window.__korvaneResolve call.
struct Reply {
    Json id;
    Json value;
    Json error;
};

// Everything asked of the main window. The window system keeps it, so it stays readable after
// the controller (which owns the window itself) is gone.
struct MainWindowLog {
    bool created = false;
    WindowGeometry geometry; // title, sizes and buttons the window was made with
    WebViewDelegate* delegate = nullptr;
    std::vector<std::string> userScripts;
    std::optional<std::string> loadedUrl;
    std::optional<std::string> readAccessDirectory;
    std::vector<std::string> scripts;       // every evaluated script, byte for byte
    std::vector<MonotonicTime> scriptTimes; // when each was evaluated, on the main executor
    int shows = 0;
    int hides = 0;
    int fronts = 0;
    bool visible = false;
    // What the completion of each evaluation receives (posted to the main executor); none is
    // success.
    std::optional<std::string> scriptError;

    // The parsed arguments of the bridge's calls, in order; scripts of other forms are skipped.
    std::vector<Json> states() const;
    std::vector<Reply> replies() const;
    std::vector<Json> progress() const;
    // The last state pushed; throws when there was none.
    Json lastState() const;
    std::size_t countScripts(std::string_view fragment) const;
};

struct AlertCall {
    std::string title;
    std::string text;
    std::vector<std::string> buttons;
    int answer = 0;
};

struct StatusItemLog {
    bool created = false;
    std::optional<std::string> iconPath;
    std::string emojiTitle;
    std::vector<MenuItem> menu;
};

class FakeWindowSystem final : public WindowSystem {
public:
    MainWindowLog main;
    StatusItemLog statusItem;
    std::vector<AlertCall> alerts;
    // Answers for the coming alerts, in order; the first button when empty or out of range.
    std::deque<int> alertAnswers;
    std::vector<WindowGeometry> supportWindows; // every plain web window made, with its geometry
    std::vector<std::string> supportWindowLoads;
    int supportWindowFronts = 0;

    // Runs the action of the status menu item with this title; throws when there is none.
    void fireMenuItem(const std::string& title);

    std::unique_ptr<MainWindow> createMainWindow(const WindowGeometry& geometry,
                                                 WebViewDelegate& delegate) override;
    std::unique_ptr<PlainWebWindow> createPlainWebWindow(const WindowGeometry& geometry) override;
    std::unique_ptr<StatusItem> createStatusItem(const std::optional<std::string>& iconPath,
                                                 const std::string& emojiTitle,
                                                 std::vector<MenuItem> menu) override;
    int runModalAlert(const std::string& title, const std::string& text,
                      const std::vector<std::string>& buttons) override;
};

class FakeWorkspace final : public Workspace {
public:
    std::vector<std::string> openedURLs;
    std::vector<std::string> openedApplications;
    std::vector<std::string> pasteboard; // every text put there, the current one last
    std::map<std::string, std::vector<int>> running;

    void openURL(const std::string& url) override { openedURLs.push_back(url); }
    void openApplication(const std::string& path) override { openedApplications.push_back(path); }
    std::vector<int> runningApplications(const std::string& bundleIdentifier) const override;
    void setPasteboardString(const std::string& text) override { pasteboard.push_back(text); }
};

// The whole platform below one temporary root: <root>/Korvane.app (version 1.0.0, build 100,
// with a minimal UI/index.html and UI/bridge.js), <root>/home and <root>/Applications.
class FakePlatform {
    TempDir root_; // first: the members below are placed inside it

public:
    FakePlatform();
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    FakeApplication application;
    FakeBundle bundle;
    FakeDirectories directories;
    FakeDefaults defaults;
    FakeWindowSystem windows;
    FakeWorkspace workspace;

    // The controller keeps a reference to this, so it lives as long as the fake.
    Platform& platform() { return platform_; }

    const std::filesystem::path& root() const { return root_.path(); }
    // <home>/Library/Application Support/Korvane, where the client keeps its files.
    std::filesystem::path supportDir() const;
    // Writes <supportDir>/<name>, creating the folders.
    void writeSupportFile(const std::string& name, std::string_view bytes);
    // Writes a file at a fixed system path (as systemPath() resolves it below a harness).
    void writeSystemFile(const std::string& absolutePath, std::string_view bytes);
    // A subscription and a nodes.json of these entries, as a previous run leaves them.
    void plantNodeCache(const Json& nodes, std::string_view subscription = "proxies: []\n");

    // A recorder writing the event log below this home, on the given clock (the process wall
    // clock when null).
    std::shared_ptr<KorvaneRecorder> makeRecorder(const Clock* clock = nullptr) const;
    // Every line of the event log so far, oldest day first.
    std::vector<Json> eventLog() const;

private:
    Platform platform_;
};

// The main executor a harness installs: its manual loop, noting every timer armed, so that
// periodic work with no other visible effect can still be checked, and which ones are still
// to fire.
class RecordingExecutor final : public Executor {
public:
    explicit RecordingExecutor(ManualLoop& loop) : loop_(loop) {}

    struct Timer {
        MonotonicTime armedAt;
        Duration delay;
    };
    std::vector<Timer> timers;

    void post(std::function<void()> fn) override { loop_.post(std::move(fn)); }
    TimerId callAfter(Duration delay, std::function<void()> fn) override;
    void cancelTimer(TimerId id) override;
    MonotonicTime now() const override { return loop_.now(); }

    // When the earliest timer still armed is due; none when no timer is armed.
    std::optional<MonotonicTime> nextDue() const;

private:
    ManualLoop& loop_;
    std::map<TimerId, MonotonicTime> armed_;
};

// A controller on a manual loop over a fake platform, making its requests through a fake
// HTTP client. Construction installs the loop as the main executor, its clock as the wall
// clock and the fake root as the root of fixed system paths; destruction removes the
// controller the way destroyController() does and uninstalls everything, so that nothing
// leaks.
//
// Nothing is routed on the client at first, so every request fails as if nothing listened
// (the launch task's remote configuration fetch among them) until a test scripts answers.
class ControllerHarness {
public:
    ControllerHarness();
    ~ControllerHarness();
    ControllerHarness(const ControllerHarness&) = delete;
    ControllerHarness& operator=(const ControllerHarness&) = delete;

    FakePlatform fake;
    ManualLoop loop;
    RecordingExecutor executor{loop};
    FakeHttpClient http;
    // The whitelist pulse's route check and requests, answered in virtual time.
    std::shared_ptr<PulseWire> pulses = std::make_shared<PulseWire>();
    std::unique_ptr<KorvaneApplication> controller;

    // Installs an event log below the fake home on the loop's wall clock, until destruction.
    void recordEvents();
    // Constructs the controller and runs the launch sequence; the launch task has not run yet.
    KorvaneApplication& launch();
    // Runs the loop until the launch task has ended and nothing more is due now, moving
    // virtual time from timer to timer while the task waits (a scripted delay, a sleep);
    // false when it did not end within virtualLimit.
    bool settle(Duration virtualLimit = std::chrono::minutes{10});
    // launch() and settle().
    KorvaneApplication& launchAndSettle();
    KorvaneApplication& app() { return *controller; }
    // Lets the launch task end and queued work run while the controller still exists (as it
    // would in a running application), removes it, then lets the timers and sleeps it left
    // behind run out (an hour of virtual time).
    void destroyController();

    MainWindowLog& window() { return fake.windows.main; }
    const MainWindowLog& window() const { return fake.windows.main; }

private:
    bool recording_ = false;
};

} // namespace korvane::testing
