#pragma once

#include "base/json.h"
#include "platform/platform.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace korvane {

// The contract with the page in the main window: messages in, replies, state pushes and
// progress calls out, the navigation policy and the confirm dialog. It owns the main window;
// the web view's delegate (the controller) passes what the view reports on to it. Main thread
// only.
class PageBridge {
public:
    // A well-formed message of the page.
    struct Message {
        std::string id;
        std::string action;
        Json args; // an object; empty when the message has no "arg" object
    };

    // {"id": string, "action": string, "arg": object?} read; none for anything else, which the
    // bridge ignores without a reply.
    static std::optional<Message> readMessage(const Json& body);

    struct Handlers {
        // A well-formed message: its id, its action and its arguments (an object).
        std::function<void(std::string id, std::string action, Json args)> message;
        // A page load finished (every load, reloads included).
        std::function<void()> loaded;
        // A modal question with "继续" and "取消"; true for the first.
        std::function<bool(const std::string& title, const std::string& text)> confirm;
    };

    PageBridge(Platform& platform, Handlers handlers);

    // Creates the main window with the bridge script and starts loading the page; an alert
    // tells the user when the page is missing from the bundle.
    void open(WebViewDelegate& delegate,
              std::function<void(const std::string& title, const std::string& text)> alert);
    // Whether a page load has finished at least once.
    bool ready() const { return ready_; }

    void pushState(const Json& state);
    void reply(const std::string& id, const std::optional<Json>& value,
               const std::optional<std::string>& error);
    void updateProgress(const std::string& text, int progress);
    void evaluate(const std::string& script,
                  std::function<void(std::optional<std::string> error)> completion);

    // Shows the main window and brings it to the front; false when there is none.
    bool show();
    void hide();

    void didReceiveScriptMessage(const Json& body);
    void didFinishNavigation();
    NavigationDecision decidePolicy(const std::optional<std::string>& url);
    void runConfirmPanel(const std::string& message, std::function<void(bool)> completion);
    bool windowShouldClose();

private:
    Platform& platform_;
    Handlers handlers_;
    std::unique_ptr<MainWindow> window_;
    bool ready_ = false;
};

} // namespace korvane
