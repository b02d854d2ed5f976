#include "shells/headless/headless_platform.h"

#include "base/executor.h"

#include <cstdio>
#include <string_view>
#include <unistd.h>

namespace korvane::headless {

namespace {

class HeadlessMainWindow final : public MainWindow {
public:
    explicit HeadlessMainWindow(EventWriter& events) : events_(events) {}

    void addUserScript(const std::string&) override {}
    void loadFile(const std::string& fileUrl, const std::string&) override { url_ = fileUrl; }
    void evaluateScript(const std::string& script,
                        std::function<void(std::optional<std::string>)> completion) override {
        events_.emit("eval", {{"script", script}});
        emitScriptEvents(events_, script);
        if (completion) mainExecutor().post([completion] { completion(std::nullopt); });
    }
    void show() override { report("show"); }
    void hide() override { report("hide"); }
    void bringToFront() override { report("front"); }

private:
    void report(const char* action) {
        events_.emit("window", {{"window", "main"}, {"action", action}, {"url", url_}});
    }

    EventWriter& events_;
    std::string url_;
};

class HeadlessSupportWindow final : public PlainWebWindow {
public:
    explicit HeadlessSupportWindow(EventWriter& events) : events_(events) {}

    void load(const std::string& url, int) override { url_ = url; }
    void bringToFront() override {
        events_.emit("window", {{"window", "support"}, {"action", "front"}, {"url", url_}});
    }

private:
    EventWriter& events_;
    std::string url_;
};

class HeadlessStatusItem final : public StatusItem {};

bool parseCall(std::string_view script, std::string_view prefix, Json& argument) {
    constexpr std::string_view kSuffix = ");";
    if (script.size() < prefix.size() + kSuffix.size() || script.substr(0, prefix.size()) != prefix ||
        script.substr(script.size() - kSuffix.size()) != kSuffix) {
        return false;
    }
    auto body = script.substr(prefix.size(), script.size() - prefix.size() - kSuffix.size());
    argument = Json::parse(body, nullptr, false);
    return !argument.is_discarded();
}

} // namespace

void emitScriptEvents(EventWriter& events, const std::string& script) {
    Json argument;
    if (parseCall(script, "window.__korvaneResolve(...", argument) && argument.is_array() &&
        argument.size() == 3) {
        events.emit("resolve", {{"id", argument[0]}, {"value", argument[1]}, {"error", argument[2]}});
    } else if (parseCall(script, "window.__korvaneState(", argument)) {
        events.emit("state", {{"state", argument}});
    } else if (parseCall(script, "window.__korvaneUpdateProgress(", argument) && argument.is_object()) {
        events.emit("progress", {{"text", argument.value("text", Json())},
                                 {"progress", argument.value("progress", Json())}});
    }
}

HeadlessApplication::HeadlessApplication(EventWriter& events, std::vector<std::string> arguments)
    : events_(events), arguments_(std::move(arguments)) {}

void HeadlessApplication::requestTermination() {
    if (onTerminationRequest) onTerminationRequest();
}

void HeadlessApplication::replyToTermination(bool shouldTerminate) {
    events_.emit("terminate", {{"reply", shouldTerminate ? "yes" : "no"}});
    if (shouldTerminate && onExit) onExit(0);
}

int HeadlessApplication::processId() const { return static_cast<int>(::getpid()); }

void HeadlessApplication::systemLog(const std::string& line) { events_.emit("log", {{"text", line}}); }

void HeadlessWindowSystem::queueAlertAnswers(const std::vector<int>& answers) {
    alertAnswers_.insert(alertAnswers_.end(), answers.begin(), answers.end());
}

std::unique_ptr<MainWindow> HeadlessWindowSystem::createMainWindow(const WindowGeometry&, WebViewDelegate&) {
    return std::make_unique<HeadlessMainWindow>(events_);
}

std::unique_ptr<PlainWebWindow> HeadlessWindowSystem::createPlainWebWindow(const WindowGeometry&) {
    return std::make_unique<HeadlessSupportWindow>(events_);
}

std::unique_ptr<StatusItem> HeadlessWindowSystem::createStatusItem(const std::optional<std::string>&,
                                                                   const std::string&,
                                                                   std::vector<MenuItem> menu) {
    menu_ = std::move(menu);
    return std::make_unique<HeadlessStatusItem>();
}

int HeadlessWindowSystem::runModalAlert(const std::string& title, const std::string& text,
                                        const std::vector<std::string>& buttons) {
    int answer = 0;
    if (!alertAnswers_.empty()) {
        answer = alertAnswers_.front();
        alertAnswers_.pop_front();
    }
    if (answer < 0 || answer >= static_cast<int>(buttons.size())) answer = 0;
    events_.emit("alert", {{"title", title}, {"text", text}, {"buttons", buttons}, {"answer", answer}});
    return answer;
}

void HeadlessWorkspace::openURL(const std::string& url) { events_.emit("openURL", {{"url", url}}); }

void HeadlessWorkspace::openApplication(const std::string& path) {
    events_.emit("openApplication", {{"path", path}});
}

void HeadlessWorkspace::setPasteboardString(const std::string& text) {
    events_.emit("pasteboard", {{"text", text}});
}

void EventWriter::emit(const std::string& event, Json fields) {
    fields["event"] = event;
    std::string line = encodeJson(fields);
    line.push_back('\n');
    std::lock_guard lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

} // namespace korvane::headless
