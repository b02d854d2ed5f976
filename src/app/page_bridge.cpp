#include "app/page_bridge.h"

#include "base/files.h"
#include "base/url.h"

namespace korvane {

PageBridge::PageBridge(Platform& platform, Handlers handlers)
    : platform_(platform), handlers_(std::move(handlers)) {}

void PageBridge::open(WebViewDelegate& delegate,
                      std::function<void(const std::string&, const std::string&)> alert) {
    const WindowGeometry geometry{"Korvane", 920, 650, 790, 540, true};
    window_ = platform_.windows.createMainWindow(geometry, delegate);
    if (auto bridge = platform_.bundle.resource("UI/bridge.js")) {
        if (auto source = readFile(*bridge); source && isValidUtf8(*source)) window_->addUserScript(*source);
    }
    if (auto page = platform_.bundle.resource("UI/index.html")) {
        window_->loadFile(fileURL(page->string()), page->parent_path().string());
    } else {
        alert("安装包不完整", "找不到 Korvane UI 页面");
    }
}

void PageBridge::pushState(const Json& state) {
    if (window_) window_->evaluateScript("window.__korvaneState(" + encodeJsonForScript(state) + ");");
}

void PageBridge::reply(const std::string& id, const std::optional<Json>& value,
                       const std::optional<std::string>& error) {
    if (!window_) return;
    Json arguments = Json::array({id, value ? *value : Json(nullptr), error ? Json(*error) : Json(nullptr)});
    window_->evaluateScript("window.__korvaneResolve(..." + encodeJsonForScript(arguments) + ");");
}

void PageBridge::updateProgress(const std::string& text, int progress) {
    if (!window_) return;
    Json argument = {{"text", text}, {"progress", progress}};
    window_->evaluateScript("window.__korvaneUpdateProgress(" + encodeJsonForScript(argument) + ");");
}

void PageBridge::evaluate(const std::string& script,
                          std::function<void(std::optional<std::string>)> completion) {
    if (window_) window_->evaluateScript(script, std::move(completion));
}

bool PageBridge::show() {
    if (!window_) return false;
    window_->show();
    window_->bringToFront();
    return true;
}

void PageBridge::hide() {
    if (window_) window_->hide();
}

std::optional<PageBridge::Message> PageBridge::readMessage(const Json& body) {
    if (!body.is_object()) return std::nullopt;
    auto id = body.find("id");
    auto action = body.find("action");
    if (id == body.end() || !id->is_string() || action == body.end() || !action->is_string())
        return std::nullopt;
    Json args = Json::object();
    if (auto arg = body.find("arg"); arg != body.end() && arg->is_object()) args = *arg;
    return Message{id->get<std::string>(), action->get<std::string>(), std::move(args)};
}

void PageBridge::didReceiveScriptMessage(const Json& body) {
    auto message = readMessage(body);
    if (!message) return;
    handlers_.message(std::move(message->id), std::move(message->action), std::move(message->args));
}

void PageBridge::didFinishNavigation() {
    ready_ = true;
    handlers_.loaded();
}

NavigationDecision PageBridge::decidePolicy(const std::optional<std::string>& url) {
    if (!url) return NavigationDecision::Allow;
    const std::string_view scheme = urlScheme(*url);
    if (scheme == "file" || scheme == "about") return NavigationDecision::Allow;
    if (scheme == "https") platform_.workspace.openURL(*url);
    return NavigationDecision::Cancel;
}

void PageBridge::runConfirmPanel(const std::string& message, std::function<void(bool)> completion) {
    completion(handlers_.confirm("Korvane", message));
}

bool PageBridge::windowShouldClose() {
    // The window and its page stay alive; the client goes on in the menu bar.
    hide();
    return false;
}

} // namespace korvane
