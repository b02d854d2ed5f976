#include "shells/gtk/gtk_platform.h"

#include "base/json.h"
#include "platform/system_paths.h"

#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <unistd.h>

namespace korvane::gtk {

namespace fs = std::filesystem;

// ---- application -------------------------------------------------------------------------

void DesktopApplication::requestTermination() {
    if (onTerminationRequest) onTerminationRequest();
}

void DesktopApplication::replyToTermination(bool shouldTerminate) {
    if (shouldTerminate && onQuit) onQuit();
}

void DesktopApplication::activate() {
    if (onActivate) onActivate();
}

int DesktopApplication::processId() const { return static_cast<int>(::getpid()); }

void DesktopApplication::systemLog(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

// ---- directories and defaults ------------------------------------------------------------

std::optional<fs::path> XdgDirectories::applicationSupport() const {
    const char* data = g_get_user_data_dir();
    if (!data || !*data) return std::nullopt;
    return fs::path(data);
}

std::optional<fs::path> XdgDirectories::downloads() const {
    if (const char* special = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD); special && *special)
        return fs::path(special);
    const char* home = g_get_home_dir();
    if (!home || !*home) return std::nullopt;
    return fs::path(home) / "Downloads";
}

fs::path XdgDirectories::applications() const { return systemPath("/Applications"); }

fs::path defaultsFile(const std::string& bundleIdentifier) {
    return fs::path(g_get_user_config_dir()) / "Korvane" / (bundleIdentifier + ".json");
}

// ---- windows -----------------------------------------------------------------------------

namespace {

void setWindowGeometry(GtkWindow* window, const WindowGeometry& geometry) {
    gtk_window_set_title(window, geometry.title.c_str());
    gtk_window_set_default_size(window, geometry.width, geometry.height);
    if (geometry.minWidth > 0 && geometry.minHeight > 0) {
        GdkGeometry hints{};
        hints.min_width = geometry.minWidth;
        hints.min_height = geometry.minHeight;
        gtk_window_set_geometry_hints(window, nullptr, &hints, GDK_HINT_MIN_SIZE);
    }
    gtk_window_set_position(window, GTK_WIN_POS_CENTER);
    if (!geometry.miniaturizable) gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_DIALOG);
}

class GtkMainWindow final : public MainWindow {
public:
    GtkMainWindow(GtkWindowSystem& system, WebKitWebContext* context, const WindowGeometry& geometry,
                  WebViewDelegate& delegate)
        : system_(system), delegate_(delegate) {
        content_ = webkit_user_content_manager_new();
        g_signal_connect(content_, "script-message-received::korvane", G_CALLBACK(onScriptMessage), this);
        webkit_user_content_manager_register_script_message_handler(content_, "korvane");

        view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context,
                                             "user-content-manager", content_, "is-controlled-by-automation",
                                             system.automation() ? TRUE : FALSE, nullptr));
        g_signal_connect(view_, "decide-policy", G_CALLBACK(onDecidePolicy), this);
        g_signal_connect(view_, "script-dialog", G_CALLBACK(onScriptDialog), this);
        g_signal_connect(view_, "load-changed", G_CALLBACK(onLoadChanged), this);
        g_signal_connect(view_, "close", G_CALLBACK(onViewClose), this);

        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        setWindowGeometry(GTK_WINDOW(window_), geometry);
        gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
        g_signal_connect(window_, "delete-event", G_CALLBACK(onDelete), this);
    }

    ~GtkMainWindow() override {
        system_.forgetMainWindow();
        g_signal_handlers_disconnect_by_data(content_, this);
        g_signal_handlers_disconnect_by_data(view_, this);
        g_signal_handlers_disconnect_by_data(window_, this);
        gtk_widget_destroy(window_);
        g_object_unref(content_);
    }

    GtkWidget* window() const { return window_; }
    WebKitWebView* view() const { return view_; }

    void addUserScript(const std::string& source) override {
        WebKitUserScript* script =
            webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                   WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
        webkit_user_content_manager_add_script(content_, script);
        webkit_user_script_unref(script);
    }

    // WebKitGTK lets a file page read the files beside it without a separate grant, so
    // the folder is implied by the page's own location.
    void loadFile(const std::string& fileUrl, const std::string&) override {
        webkit_web_view_load_uri(view_, fileUrl.c_str());
    }

    void evaluateScript(const std::string& script,
                        std::function<void(std::optional<std::string>)> completion) override {
        auto* done =
            completion ? new std::function<void(std::optional<std::string>)>(std::move(completion)) : nullptr;
        webkit_web_view_evaluate_javascript(view_, script.c_str(), static_cast<gssize>(script.size()),
                                            nullptr, nullptr, nullptr, onEvaluated, done);
    }

    void show() override { gtk_widget_show_all(window_); }
    void hide() override { gtk_widget_hide(window_); }
    void bringToFront() override {
        gtk_widget_show_all(window_);
        gtk_window_present(GTK_WINDOW(window_));
    }

private:
    static void onEvaluated(GObject* object, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::function<void(std::optional<std::string>)>> done(
            static_cast<std::function<void(std::optional<std::string>)>*>(data));
        GError* error = nullptr;
        JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(object), result, &error);
        std::optional<std::string> text;
        if (error) {
            text = error->message;
            g_error_free(error);
        }
        if (value) g_object_unref(value);
        if (done) (*done)(text);
    }

    static void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
        auto* self = static_cast<GtkMainWindow*>(data);
        JSCValue* value = webkit_javascript_result_get_js_value(result);
        char* text = jsc_value_to_json(value, 0);
        Json body = text ? Json::parse(text, nullptr, false) : Json();
        g_free(text);
        if (body.is_discarded()) body = Json();
        self->delegate_.didReceiveScriptMessage(body);
    }

    static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                   WebKitPolicyDecisionType type, gpointer data) {
        if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
            type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
            return FALSE;
        }
        auto* self = static_cast<GtkMainWindow*>(data);
        WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
            WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        std::optional<std::string> url;
        if (WebKitURIRequest* request = action ? webkit_navigation_action_get_request(action) : nullptr) {
            if (const char* uri = webkit_uri_request_get_uri(request); uri && *uri) url = uri;
        }
        if (self->delegate_.decidePolicy(url) == NavigationDecision::Allow) {
            webkit_policy_decision_use(decision);
        } else {
            webkit_policy_decision_ignore(decision);
        }
        return TRUE;
    }

    static gboolean onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data) {
        auto* self = static_cast<GtkMainWindow*>(data);
        // A WebDriver session must see the page's dialogs itself to answer them.
        if (self->system_.automation()) return FALSE;
        if (webkit_script_dialog_get_dialog_type(dialog) != WEBKIT_SCRIPT_DIALOG_CONFIRM) {
            // The page's alert and prompt are not shown; a prompt answers null.
            return TRUE;
        }
        webkit_script_dialog_ref(dialog);
        self->delegate_.runConfirmPanel(webkit_script_dialog_get_message(dialog), [dialog](bool confirmed) {
            webkit_script_dialog_confirm_set_confirmed(dialog, confirmed ? TRUE : FALSE);
            webkit_script_dialog_close(dialog);
            webkit_script_dialog_unref(dialog);
        });
        return TRUE;
    }

    static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
        if (event == WEBKIT_LOAD_FINISHED) static_cast<GtkMainWindow*>(data)->delegate_.didFinishNavigation();
    }

    static void onViewClose(WebKitWebView*, gpointer data) {
        auto* self = static_cast<GtkMainWindow*>(data);
        if (self->system_.automation() && self->system_.onAutomationClose) self->system_.onAutomationClose();
    }

    static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer data) {
        // The delegate hides the window itself when it keeps it.
        return static_cast<GtkMainWindow*>(data)->delegate_.windowShouldClose() ? FALSE : TRUE;
    }

    GtkWindowSystem& system_;
    WebViewDelegate& delegate_;
    WebKitUserContentManager* content_ = nullptr;
    WebKitWebView* view_ = nullptr;
    GtkWidget* window_ = nullptr;
};

class GtkPlainWebWindow final : public PlainWebWindow {
public:
    explicit GtkPlainWebWindow(const WindowGeometry& geometry) {
        view_ = WEBKIT_WEB_VIEW(webkit_web_view_new());
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        setWindowGeometry(GTK_WINDOW(window_), geometry);
        gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
        // Closing keeps the window: the next call shows the same one again.
        g_signal_connect(window_, "delete-event", G_CALLBACK(gtk_widget_hide_on_delete), nullptr);
    }
    ~GtkPlainWebWindow() override { gtk_widget_destroy(window_); }

    // WebKitGTK has no per-request time-out; its network layer applies its own.
    void load(const std::string& url, int) override { webkit_web_view_load_uri(view_, url.c_str()); }
    void bringToFront() override {
        gtk_widget_show_all(window_);
        gtk_window_present(GTK_WINDOW(window_));
    }

private:
    GtkWidget* window_ = nullptr;
    WebKitWebView* view_ = nullptr;
};

class GtkStatusItem final : public StatusItem {
public:
    GtkStatusItem(const std::optional<std::string>& iconPath, const std::string& emojiTitle,
                  std::vector<MenuItem> items)
        : items_(std::move(items)) {
        indicator_ = app_indicator_new("korvane", "network-vpn", APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
        if (iconPath && loadsAsImage(*iconPath)) {
            app_indicator_set_icon_full(indicator_, iconPath->c_str(), "Korvane");
        } else {
            app_indicator_set_label(indicator_, emojiTitle.c_str(), emojiTitle.c_str());
        }
        menu_ = gtk_menu_new();
        g_object_ref_sink(menu_);
        for (auto& item : items_) {
            GtkWidget* widget = item.title.empty() ? gtk_separator_menu_item_new()
                                                   : gtk_menu_item_new_with_label(item.title.c_str());
            if (item.action) g_signal_connect(widget, "activate", G_CALLBACK(onActivate), &item);
            gtk_menu_shell_append(GTK_MENU_SHELL(menu_), widget);
        }
        gtk_widget_show_all(menu_);
        app_indicator_set_menu(indicator_, GTK_MENU(menu_));
        app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);
    }

    ~GtkStatusItem() override {
        app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_PASSIVE);
        g_object_unref(indicator_);
        gtk_widget_destroy(menu_);
        g_object_unref(menu_);
    }

private:
    static bool loadsAsImage(const std::string& path) {
        GdkPixbuf* image = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
        if (!image) return false;
        g_object_unref(image);
        return true;
    }

    static void onActivate(GtkMenuItem*, gpointer data) {
        // Copied first: the action may replace the menu it came from.
        auto action = static_cast<MenuItem*>(data)->action;
        action();
    }

    std::vector<MenuItem> items_;
    AppIndicator* indicator_ = nullptr;
    GtkWidget* menu_ = nullptr;
};

} // namespace

GtkWindowSystem::GtkWindowSystem(bool automation) : automation_(automation) {
    context_ = webkit_web_context_new();
    if (automation_) {
        webkit_web_context_set_automation_allowed(context_, TRUE);
        g_signal_connect(context_, "automation-started",
                         G_CALLBACK(+[](WebKitWebContext*, WebKitAutomationSession* session, gpointer data) {
                             WebKitApplicationInfo* info = webkit_application_info_new();
                             webkit_application_info_set_name(info, "Korvane");
                             webkit_automation_session_set_application_info(session, info);
                             webkit_application_info_unref(info);
                             g_signal_connect(session, "create-web-view",
                                              G_CALLBACK(+[](WebKitAutomationSession*, gpointer system) {
                                                  return static_cast<GtkWindowSystem*>(system)->mainView();
                                              }),
                                              data);
                         }),
                         this);
    }
}

GtkWindowSystem::~GtkWindowSystem() { g_object_unref(context_); }

std::unique_ptr<MainWindow> GtkWindowSystem::createMainWindow(const WindowGeometry& geometry,
                                                              WebViewDelegate& delegate) {
    auto window = std::make_unique<GtkMainWindow>(*this, context_, geometry, delegate);
    mainWindow_ = window->window();
    mainView_ = window->view();
    return window;
}

std::unique_ptr<PlainWebWindow> GtkWindowSystem::createPlainWebWindow(const WindowGeometry& geometry) {
    return std::make_unique<GtkPlainWebWindow>(geometry);
}

std::unique_ptr<StatusItem> GtkWindowSystem::createStatusItem(const std::optional<std::string>& iconPath,
                                                              const std::string& emojiTitle,
                                                              std::vector<MenuItem> menu) {
    return std::make_unique<GtkStatusItem>(iconPath, emojiTitle, std::move(menu));
}

int GtkWindowSystem::runModalAlert(const std::string& title, const std::string& text,
                                   const std::vector<std::string>& buttons) {
    GtkWidget* dialog = gtk_message_dialog_new(
        mainWindow_ && gtk_widget_get_visible(mainWindow_) ? GTK_WINDOW(mainWindow_) : nullptr,
        GTK_DIALOG_MODAL, GTK_MESSAGE_INFO, GTK_BUTTONS_NONE, "%s", title.c_str());
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", text.c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), "Korvane");
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        gtk_dialog_add_button(GTK_DIALOG(dialog), buttons[i].c_str(), static_cast<int>(i));
    }
    if (!buttons.empty()) gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
    const int response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    // Closing the alert without a button counts as the last one (the cancelling choice).
    if (response < 0 || static_cast<std::size_t>(response) >= buttons.size())
        return buttons.empty() ? 0 : static_cast<int>(buttons.size()) - 1;
    return response;
}

// ---- workspace ---------------------------------------------------------------------------

void GtkWorkspace::openURL(const std::string& url) {
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error)) {
        std::fprintf(stderr, "Korvane: no default application opens this link (%s)\n",
                     error ? error->message : "unknown error");
        if (error) g_error_free(error);
    }
}

void GtkWorkspace::openApplication(const std::string& path) {
    char* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    if (!uri) return;
    openURL(uri);
    g_free(uri);
}

void GtkWorkspace::setPasteboardString(const std::string& text) {
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    gtk_clipboard_clear(clipboard);
    gtk_clipboard_set_text(clipboard, text.c_str(), static_cast<gint>(text.size()));
    gtk_clipboard_store(clipboard);
}

} // namespace korvane::gtk
