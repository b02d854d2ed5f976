#include "testing/fake_platform.h"

#include "base/files.h"
#include "platform/system_paths.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace korvane::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

void writeBytes(const fs::path& path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

// The argument of `<prefix>argument);`, the only form the controller writes bridge calls in.
std::optional<Json> parseCall(std::string_view script, std::string_view prefix) {
    constexpr std::string_view kSuffix = ");";
    if (!script.starts_with(prefix) || !script.ends_with(kSuffix) ||
        script.size() < prefix.size() + kSuffix.size())
        return std::nullopt;
    Json argument = Json::parse(script.substr(prefix.size(), script.size() - prefix.size() - kSuffix.size()),
                                nullptr, false);
    if (argument.is_discarded()) return std::nullopt;
    return argument;
}

class FakeMainWindow final : public MainWindow {
public:
    explicit FakeMainWindow(MainWindowLog& log) : log_(log) {}

    void addUserScript(const std::string& source) override { log_.userScripts.push_back(source); }
    void loadFile(const std::string& fileUrl, const std::string& readAccessDirectory) override {
        log_.loadedUrl = fileUrl;
        log_.readAccessDirectory = readAccessDirectory;
    }
    void evaluateScript(const std::string& script,
                        std::function<void(std::optional<std::string>)> completion) override {
        log_.scripts.push_back(script);
        log_.scriptTimes.push_back(mainExecutor().now());
        // A web view answers evaluations asynchronously, never inside the call.
        if (completion) mainExecutor().post([completion, error = log_.scriptError] { completion(error); });
    }
    void show() override {
        ++log_.shows;
        log_.visible = true;
    }
    void hide() override {
        ++log_.hides;
        log_.visible = false;
    }
    void bringToFront() override { ++log_.fronts; }

private:
    MainWindowLog& log_;
};

class FakeSupportWindow final : public PlainWebWindow {
public:
    explicit FakeSupportWindow(FakeWindowSystem& windows) : windows_(windows) {}
    void load(const std::string& url, int) override { windows_.supportWindowLoads.push_back(url); }
    void bringToFront() override { ++windows_.supportWindowFronts; }

private:
    FakeWindowSystem& windows_;
};

class FakeStatusItem final : public StatusItem {};

} // namespace

// ---- Application, bundle, directories, settings, workspace ----------------------------------

void FakeApplication::requestTermination() {
    ++terminationRequests;
    if (onTerminationRequest) onTerminationRequest();
}

std::optional<std::string> FakeBundle::infoString(const std::string& key) const {
    if (auto it = info.find(key); it != info.end()) return it->second;
    return std::nullopt;
}

fs::path FakeBundle::writeResource(const fs::path& relative, std::string_view bytes) {
    auto path = resourcesDirectory() / relative;
    writeBytes(path, bytes);
    return path;
}

void FakeBundle::removeResource(const fs::path& relative) { fs::remove_all(resourcesDirectory() / relative); }

std::optional<fs::path> FakeDirectories::applicationSupport() const {
    if (!hasHome) return std::nullopt;
    return home_ / "Library" / "Application Support";
}

std::optional<fs::path> FakeDirectories::downloads() const {
    if (!hasHome) return std::nullopt;
    return home_ / "Downloads";
}

void FakeDefaults::setRaw(const std::string& key, Json value) {
    std::lock_guard lock(mutex_);
    values_[key] = std::move(value);
}

std::optional<Json> FakeDefaults::raw(const std::string& key) const {
    std::lock_guard lock(mutex_);
    if (auto it = values_.find(key); it != values_.end()) return *it;
    return std::nullopt;
}

bool FakeDefaults::contains(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return values_.contains(key);
}

std::optional<std::string> FakeDefaults::getString(const std::string& key) const {
    auto value = raw(key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::optional<bool> FakeDefaults::getBool(const std::string& key) const {
    auto value = raw(key);
    if (!value || !value->is_boolean()) return std::nullopt;
    return value->get<bool>();
}

void FakeDefaults::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    values_.erase(key);
}

std::vector<int> FakeWorkspace::runningApplications(const std::string& bundleIdentifier) const {
    if (auto it = running.find(bundleIdentifier); it != running.end()) return it->second;
    return {};
}

// ---- Windows -------------------------------------------------------------------------------

std::vector<Json> MainWindowLog::states() const {
    std::vector<Json> result;
    for (const auto& script : scripts) {
        if (auto argument = parseCall(script, "window.__korvaneState("))
            result.push_back(std::move(*argument));
    }
    return result;
}

std::vector<Reply> MainWindowLog::replies() const {
    std::vector<Reply> result;
    for (const auto& script : scripts) {
        auto argument = parseCall(script, "window.__korvaneResolve(...");
        if (argument && argument->is_array() && argument->size() == 3)
            result.push_back({(*argument)[0], (*argument)[1], (*argument)[2]});
    }
    return result;
}

std::vector<Json> MainWindowLog::progress() const {
    std::vector<Json> result;
    for (const auto& script : scripts) {
        if (auto argument = parseCall(script, "window.__korvaneUpdateProgress("))
            result.push_back(std::move(*argument));
    }
    return result;
}

Json MainWindowLog::lastState() const {
    auto all = states();
    if (all.empty()) throw std::logic_error("no state was pushed to the page");
    return all.back();
}

std::size_t MainWindowLog::countScripts(std::string_view fragment) const {
    return static_cast<std::size_t>(std::count_if(scripts.begin(), scripts.end(), [&](const std::string& s) {
        return s.find(fragment) != std::string::npos;
    }));
}

void FakeWindowSystem::fireMenuItem(const std::string& title) {
    for (const auto& item : statusItem.menu) {
        if (item.title == title && item.action) {
            // A copy: the action may rebuild the menu.
            auto action = item.action;
            action();
            return;
        }
    }
    throw std::logic_error("no status menu item titled " + title);
}

std::unique_ptr<MainWindow> FakeWindowSystem::createMainWindow(const WindowGeometry& geometry,
                                                               WebViewDelegate& delegate) {
    // One main window per controller; a new controller starts a fresh record.
    main = MainWindowLog{};
    main.created = true;
    main.geometry = geometry;
    main.delegate = &delegate;
    return std::make_unique<FakeMainWindow>(main);
}

std::unique_ptr<PlainWebWindow> FakeWindowSystem::createPlainWebWindow(const WindowGeometry& geometry) {
    supportWindows.push_back(geometry);
    return std::make_unique<FakeSupportWindow>(*this);
}

std::unique_ptr<StatusItem> FakeWindowSystem::createStatusItem(const std::optional<std::string>& iconPath,
                                                               const std::string& emojiTitle,
                                                               std::vector<MenuItem> menu) {
    statusItem = StatusItemLog{true, iconPath, emojiTitle, std::move(menu)};
    return std::make_unique<FakeStatusItem>();
}

int FakeWindowSystem::runModalAlert(const std::string& title, const std::string& text,
                                    const std::vector<std::string>& buttons) {
    int answer = 0;
    if (!alertAnswers.empty()) {
        answer = alertAnswers.front();
        alertAnswers.pop_front();
    }
    if (answer < 0 || answer >= static_cast<int>(buttons.size())) answer = 0;
    alerts.push_back({title, text, buttons, answer});
    return answer;
}

// ---- The platform --------------------------------------------------------------------------

FakePlatform::FakePlatform()
    : bundle(root_.path() / "Korvane.app"),
      directories(root_.path() / "home", root_.path() / "Applications"), platform_{application, bundle,
                                                                                   directories, defaults,
                                                                                   windows,     workspace} {
    bundle.info = {{"CFBundleIdentifier", "art.korvane.mac.native"},
                   {"CFBundleShortVersionString", "1.0.0"},
                   {"CFBundleVersion", "100"}};
    bundle.writeResource("UI/index.html", "<!doctype html><title>Korvane</title>\n");
    bundle.writeResource("UI/bridge.js", "window.korvane = {};\n");
    fs::create_directories(directories.home());
    fs::create_directories(directories.applications());
}

fs::path FakePlatform::supportDir() const {
    return directories.home() / "Library" / "Application Support" / "Korvane";
}

void FakePlatform::writeSupportFile(const std::string& name, std::string_view bytes) {
    writeBytes(supportDir() / name, bytes);
}

void FakePlatform::writeSystemFile(const std::string& absolutePath, std::string_view bytes) {
    writeBytes(root() / fs::path(absolutePath).relative_path(), bytes);
}

void FakePlatform::plantNodeCache(const Json& nodes, std::string_view subscription) {
    writeSupportFile("subscription.yaml", subscription);
    writeSupportFile("nodes.json", nodes.dump());
}

std::shared_ptr<KorvaneRecorder> FakePlatform::makeRecorder(const Clock* clock) const {
    const FakeDirectories* dirs = &directories;
    return std::make_shared<KorvaneRecorder>(RecorderEnvironment{
        [dirs] { return dirs->applicationSupport(); },
        bundle.infoString("CFBundleShortVersionString").value_or(""), bundleBuild(bundle), clock});
}

std::vector<Json> FakePlatform::eventLog() const {
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::directory_iterator it(supportDir() / "logs", error), end; !error && it != end;
         it.increment(error))
        files.push_back(it->path());
    std::sort(files.begin(), files.end()); // client-YYYY-MM-DD.jsonl sorts by day
    std::vector<Json> lines;
    for (const auto& file : files) {
        std::istringstream in(readFile(file).value_or(""));
        for (std::string line; std::getline(in, line);)
            lines.push_back(Json::parse(line, nullptr, false));
    }
    return lines;
}

// ---- Harness -------------------------------------------------------------------------------

Executor::TimerId RecordingExecutor::callAfter(Duration delay, std::function<void()> fn) {
    timers.push_back({loop_.now(), delay});
    // The loop hands out the id only once the timer is set, so the timer looks it up in a
    // slot filled just after.
    auto id = std::make_shared<TimerId>(0);
    const TimerId armed = loop_.callAfter(delay, [this, id, fn = std::move(fn)] {
        armed_.erase(*id);
        fn();
    });
    *id = armed;
    armed_.emplace(armed, loop_.now() + std::max(delay, Duration::zero()));
    return armed;
}

void RecordingExecutor::cancelTimer(TimerId id) {
    armed_.erase(id);
    loop_.cancelTimer(id);
}

std::optional<MonotonicTime> RecordingExecutor::nextDue() const {
    std::optional<MonotonicTime> earliest;
    for (const auto& [id, due] : armed_) {
        if (!earliest || due < *earliest) earliest = due;
    }
    return earliest;
}

ControllerHarness::ControllerHarness() {
    setMainExecutor(&executor);
    setWallClock(&loop.wallClock());
    setSystemRoot(fake.root());
}

ControllerHarness::~ControllerHarness() {
    destroyController();
    if (recording_) KorvaneRecorder::install(nullptr);
    setSystemRoot({});
    setWallClock(nullptr);
    setMainExecutor(nullptr);
}

void ControllerHarness::recordEvents() {
    KorvaneRecorder::install(fake.makeRecorder(&loop.wallClock()));
    recording_ = true;
}

KorvaneApplication& ControllerHarness::launch() {
    destroyController();
    controller = std::make_unique<KorvaneApplication>(
        fake.platform(), http, [wire = pulses] { return std::make_unique<FakePulseTransport>(wire); });
    controller->applicationDidFinishLaunching();
    return *controller;
}

bool ControllerHarness::settle(Duration virtualLimit) {
    if (!controller) return true;
    const KorvaneApplication& app = *controller;
    const auto ended = [&app] { return app.launchTask().done(); };
    const MonotonicTime limit = loop.now() + virtualLimit;
    loop.runUntilIdle();
    while (!ended()) {
        // Work handed to another thread (a body given to blocking) comes back in real time;
        // it gets a moment before virtual time moves on.
        if (loop.runUntil(ended, std::chrono::milliseconds{20})) break;
        const auto due = executor.nextDue();
        if (!due || *due > limit) return false;
        loop.advance(std::chrono::duration_cast<Duration>(*due - loop.now()));
    }
    loop.runUntilIdle();
    return true;
}

KorvaneApplication& ControllerHarness::launchAndSettle() {
    launch();
    if (!settle()) throw std::runtime_error("the launch task did not end");
    return *controller;
}

void ControllerHarness::destroyController() {
    if (!controller) return;
    settle();
    controller.reset();
    // Sleeps and delayed calls still pending must run out: their frames are freed only when
    // they resume and see the controller gone.
    loop.advance(1h);
}

} // namespace korvane::testing
