#pragma once

// The desktop implementations of the platform layer on GTK 3, WebKitGTK 4.1 and
// ayatana-appindicator. Only the gtk shell links this; the libraries under src/ and the
// headless shell stay free of GTK.

#include "platform/application.h"
#include "platform/directories.h"
#include "platform/windows.h"
#include "platform/workspace.h"
#include "shells/gtk/glib_executor.h"

#include <functional>
#include <memory>
#include <mutex>

typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitWebContext WebKitWebContext;
typedef struct _WebKitWebView WebKitWebView;

namespace korvane::gtk {

class DesktopApplication final : public Application {
public:
    explicit DesktopApplication(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}

    // Wired by the shell: asks the controller's termination gate.
    std::function<void()> onTerminationRequest;
    // Wired by the shell: the termination was allowed.
    std::function<void()> onQuit;
    // Wired by the shell: brings the main window forward.
    std::function<void()> onActivate;

    void setActivationPolicyRegular() override {}
    void requestTermination() override;
    void replyToTermination(bool shouldTerminate) override;
    void activate() override;
    std::vector<std::string> arguments() const override { return arguments_; }
    int processId() const override;
    void systemLog(const std::string& line) override;

private:
    std::vector<std::string> arguments_;
};

// Application Support, Downloads and Applications in the XDG locations: the user data
// directory, the download directory, and the fixed system path of applications.
class XdgDirectories final : public Directories {
public:
    std::optional<std::filesystem::path> applicationSupport() const override;
    std::optional<std::filesystem::path> downloads() const override;
    std::filesystem::path applications() const override;
};

// Where the settings file lives: <XDG config>/Korvane/<bundle identifier>.json.
std::filesystem::path defaultsFile(const std::string& bundleIdentifier);

class GtkWindowSystem final : public WindowSystem {
public:
    // automation: the main web view may be driven by WebKit's WebDriver (local builds only).
    explicit GtkWindowSystem(bool automation);
    ~GtkWindowSystem() override;

    // Wired by the shell: the automation session closed the main view.
    std::function<void()> onAutomationClose;

    std::unique_ptr<MainWindow> createMainWindow(const WindowGeometry& geometry,
                                                 WebViewDelegate& delegate) override;
    std::unique_ptr<PlainWebWindow> createPlainWebWindow(const WindowGeometry& geometry) override;
    std::unique_ptr<StatusItem> createStatusItem(const std::optional<std::string>& iconPath,
                                                 const std::string& emojiTitle,
                                                 std::vector<MenuItem> menu) override;
    int runModalAlert(const std::string& title, const std::string& text,
                      const std::vector<std::string>& buttons) override;

    // The main window, for alerts' parent and the application's activation; may be null.
    GtkWidget* mainWindow() const { return mainWindow_; }
    bool automation() const { return automation_; }
    WebKitWebView* mainView() const { return mainView_; }
    void forgetMainWindow() {
        mainWindow_ = nullptr;
        mainView_ = nullptr;
    }

private:
    bool automation_;
    WebKitWebContext* context_ = nullptr;
    GtkWidget* mainWindow_ = nullptr;
    WebKitWebView* mainView_ = nullptr;
};

class GtkWorkspace final : public Workspace {
public:
    void openURL(const std::string& url) override;
    void openApplication(const std::string& path) override;
    std::vector<int> runningApplications(const std::string&) const override { return {}; }
    void setPasteboardString(const std::string& text) override;
};

} // namespace korvane::gtk
