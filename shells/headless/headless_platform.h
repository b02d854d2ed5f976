#pragma once

#include "platform/application.h"
#include "platform/windows.h"
#include "platform/workspace.h"
#include "shells/headless/event_writer.h"

#include <deque>
#include <functional>

namespace korvane::headless {

// The application object of the headless shell: termination answers become events, and
// an allowed termination ends the process through the exit callback.
class HeadlessApplication final : public Application {
public:
    HeadlessApplication(EventWriter& events, std::vector<std::string> arguments);

    // Wired by the shell: asks the controller's termination gate.
    std::function<void()> onTerminationRequest;
    // Wired by the shell: ends the process with an exit code.
    std::function<void(int)> onExit;

    void setActivationPolicyRegular() override {}
    void requestTermination() override;
    void replyToTermination(bool shouldTerminate) override;
    void activate() override {}
    std::vector<std::string> arguments() const override { return arguments_; }
    int processId() const override;
    void systemLog(const std::string& line) override;

private:
    EventWriter& events_;
    std::vector<std::string> arguments_;
};

// Windows, web views, the status item and alerts, reported as events. Alerts take their
// answers from a queue the driver fills ahead of time; the first button otherwise.
class HeadlessWindowSystem final : public WindowSystem {
public:
    explicit HeadlessWindowSystem(EventWriter& events) : events_(events) {}

    void queueAlertAnswers(const std::vector<int>& answers);

    std::unique_ptr<MainWindow> createMainWindow(const WindowGeometry& geometry,
                                                 WebViewDelegate& delegate) override;
    std::unique_ptr<PlainWebWindow> createPlainWebWindow(const WindowGeometry& geometry) override;
    std::unique_ptr<StatusItem> createStatusItem(const std::optional<std::string>& iconPath,
                                                 const std::string& emojiTitle,
                                                 std::vector<MenuItem> menu) override;
    int runModalAlert(const std::string& title, const std::string& text,
                      const std::vector<std::string>& buttons) override;

    // The menu of the status item, for the shell's "menu" command.
    const std::vector<MenuItem>& menu() const { return menu_; }

private:
    EventWriter& events_;
    std::deque<int> alertAnswers_;
    std::vector<MenuItem> menu_;
};

class HeadlessWorkspace final : public Workspace {
public:
    explicit HeadlessWorkspace(EventWriter& events) : events_(events) {}

    void openURL(const std::string& url) override;
    void openApplication(const std::string& path) override;
    std::vector<int> runningApplications(const std::string&) const override { return {}; }
    void setPasteboardString(const std::string& text) override;

private:
    EventWriter& events_;
};

// The events a script evaluated in the page stands for, parsed from the bridge's calls.
void emitScriptEvents(EventWriter& events, const std::string& script);

} // namespace korvane::headless
