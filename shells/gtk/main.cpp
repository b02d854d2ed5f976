// Korvane: the desktop client on GTK 3 and WebKitGTK. The controller runs on the GLib main
// context; this file only wires the platform implementations to it and maps the
// termination gate onto the main loop.
#include "app/korvane_application.h"
#include "app/process_services.h"
#include "platform/network_path_monitor.h"
#include "platform/posix_platform.h"
#include "shells/gtk/gtk_platform.h"
#include "sysproxy/proxy_settings_backend.h"

#include <gio/gio.h>
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>

using namespace korvane;
using namespace korvane::gtk;

namespace {

// WebDriver may drive the main view only in builds against local stand-ins: a shipped
// client never accepts remote control of the page that holds the user's session.
bool automationRequested(const std::vector<std::string>& arguments) {
#if KORVANE_ALLOW_AUTOMATION
    return std::find(arguments.begin(), arguments.end(), "--automation") != arguments.end();
#else
    (void)arguments;
    return false;
#endif
}

class Shell {
public:
    Shell(int argc, char** argv)
        : application_(std::vector<std::string>(argv + 1, argv + argc)),
          windows_(automationRequested(application_.arguments())), bundle_(PlistBundle::locate()),
          defaults_(
              defaultsFile(bundle_.infoString("CFBundleIdentifier").value_or("art.korvane.mac.native"))),
          platform_{application_, bundle_, directories_, defaults_, windows_, workspace_} {
        setMainExecutor(&executor_);
        installProcessServices(platform_);
        application_.onTerminationRequest = [this] { terminate(); };
        application_.onQuit = [] { quit(); };
        application_.onActivate = [this] {
            if (GtkWidget* window = windows_.mainWindow()) gtk_window_present(GTK_WINDOW(window));
        };
        windows_.onAutomationClose = [] { quit(); };
    }

    int run() {
        // The desktop's own proxy settings when it has them, unless KORVANE_PROXY_BACKEND names
        // a backend; the controller notes in the event log which one it got.
        controller_ = std::make_unique<KorvaneApplication>(
            platform_, defaultHttpClient(), nullptr, chooseProxySettings(ProxySettingsDefault::Automatic));
        controller_->applicationDidFinishLaunching();
        // The current path arrives before the launch task's first turn, then every change.
        networkMonitor_.start([this](const NetworkPath& path) { controller_->networkPathChanged(path); });
        // The application becomes active when its main window gains the focus.
        if (GtkWidget* window = windows_.mainWindow()) {
            g_signal_connect(window, "notify::is-active", G_CALLBACK(onActiveChanged), this);
        }
        // The system's quit and log-out arrive as signals; they pass the same gate as the menu.
        g_unix_signal_add(SIGTERM, onSignal, this);
        g_unix_signal_add(SIGINT, onSignal, this);
        g_unix_signal_add(SIGHUP, onSignal, this);
        watchForWake();
        gtk_main();
        // Like the target platform's termination: the process ends here, without unwinding
        // tasks that are still waiting.
        std::fflush(nullptr);
        std::_Exit(0);
    }

private:
    static gboolean onSignal(gpointer data) {
        static_cast<Shell*>(data)->terminate();
        return G_SOURCE_CONTINUE;
    }

    static void onActiveChanged(GObject* window, GParamSpec*, gpointer data) {
        if (gtk_window_is_active(GTK_WINDOW(window)))
            static_cast<Shell*>(data)->controller_->applicationDidBecomeActive();
    }

    // The system's did-wake notification: logind announces the end of a sleep with
    // PrepareForSleep(false) on the system bus. Without a system bus (containers) there is
    // simply no wake to observe.
    void watchForWake() { g_bus_get(G_BUS_TYPE_SYSTEM, nullptr, onSystemBus, this); }

    static void onSystemBus(GObject*, GAsyncResult* result, gpointer data) {
        auto* self = static_cast<Shell*>(data);
        GDBusConnection* bus = g_bus_get_finish(result, nullptr);
        if (!bus) return;
        g_dbus_connection_signal_subscribe(bus, "org.freedesktop.login1", "org.freedesktop.login1.Manager",
                                           "PrepareForSleep", "/org/freedesktop/login1", nullptr,
                                           G_DBUS_SIGNAL_FLAGS_NONE, onPrepareForSleep, self, nullptr);
        self->systemBus_ = bus;
    }

    static void onPrepareForSleep(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                  GVariant* parameters, gpointer data) {
        gboolean sleeping = TRUE;
        if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)")))
            g_variant_get(parameters, "(b)", &sleeping);
        if (!sleeping) static_cast<Shell*>(data)->controller_->systemDidWake();
    }

    void terminate() {
        if (controller_->applicationShouldTerminate() == KorvaneApplication::TerminateReply::Now) quit();
    }

    static void quit() {
        if (gtk_main_level() > 0) gtk_main_quit();
    }

    GlibExecutor executor_;
    DesktopApplication application_;
    GtkWindowSystem windows_;
    GtkWorkspace workspace_;
    XdgDirectories directories_;
    PlistBundle bundle_;
    JsonFileDefaults defaults_;
    Platform platform_;
    std::unique_ptr<KorvaneApplication> controller_;
    NetworkPathMonitor networkMonitor_;    // after the controller it reports to
    GDBusConnection* systemBus_ = nullptr; // kept for the process's lifetime
};

} // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    Shell shell(argc, argv);
    return shell.run();
}
