#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace korvane {

struct WindowGeometry {
    std::string title;
    int width = 0;
    int height = 0;
    int minWidth = 0;
    int minHeight = 0;
    bool miniaturizable = true;
};

enum class NavigationDecision { Allow, Cancel };

// What the main window's web view reports to the controller.
class WebViewDelegate {
public:
    virtual ~WebViewDelegate() = default;

    // The page posted body to the script-message handler "korvane".
    virtual void didReceiveScriptMessage(const nlohmann::json& body) = 0;
    // A navigation finished loading.
    virtual void didFinishNavigation() = 0;
    // A navigation the page started; url is none when the request has no URL.
    virtual NavigationDecision decidePolicy(const std::optional<std::string>& url) = 0;
    // The page called confirm(message); the answer may come later.
    virtual void runConfirmPanel(const std::string& message, std::function<void(bool)> completion) = 0;
    // The close button of the main window; false keeps the window.
    virtual bool windowShouldClose() = 0;
};

// The main window with its web view.
class MainWindow {
public:
    virtual ~MainWindow() = default;

    // Injected into the main frame at document start of every page load.
    virtual void addUserScript(const std::string& source) = 0;
    // Loads a local file, allowing the page to read the files of readAccessDirectory.
    virtual void loadFile(const std::string& fileUrl, const std::string& readAccessDirectory) = 0;
    // Evaluates script in the page; completion (optional) receives an error text or none.
    virtual void evaluateScript(const std::string& script,
                                std::function<void(std::optional<std::string> error)> completion = {}) = 0;
    virtual void show() = 0;
    virtual void hide() = 0;
    virtual void bringToFront() = 0;
};

// A window with a plain web view (no handler, no scripts, no delegates).
class PlainWebWindow {
public:
    virtual ~PlainWebWindow() = default;

    // Loads url with the standard cache policy and the given time-out.
    virtual void load(const std::string& url, int timeoutSeconds) = 0;
    virtual void bringToFront() = 0;
};

struct MenuItem {
    std::string title; // empty for a separator
    std::string keyEquivalent;
    std::function<void()> action;
};

class StatusItem {
public:
    virtual ~StatusItem() = default;
};

// Windows, the status-bar item and modal alerts.
class WindowSystem {
public:
    virtual ~WindowSystem() = default;

    virtual std::unique_ptr<MainWindow> createMainWindow(const WindowGeometry& geometry,
                                                         WebViewDelegate& delegate) = 0;
    virtual std::unique_ptr<PlainWebWindow> createPlainWebWindow(const WindowGeometry& geometry) = 0;
    // iconPath when the icon loads, else the emoji title is shown.
    virtual std::unique_ptr<StatusItem> createStatusItem(const std::optional<std::string>& iconPath,
                                                         const std::string& emojiTitle,
                                                         std::vector<MenuItem> menu) = 0;
    // A modal alert; returns the index of the chosen button.
    virtual int runModalAlert(const std::string& title, const std::string& text,
                              const std::vector<std::string>& buttons) = 0;
};

} // namespace korvane
