// korvane-headless: the real controller driven over standard input and output, one JSON
// object per line each way. This is how the client is run and tested without a window
// system; docs/headless-protocol.md describes every command and event.

#include "app/korvane_application.h"
#include "app/process_services.h"
#include "base/event_loops.h"
#include "base/text.h"
#include "platform/posix_platform.h"
#include "shells/headless/headless_platform.h"
#include "sysproxy/proxy_settings_backend.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <pthread.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

using namespace korvane;
using namespace korvane::headless;

namespace {

sigset_t terminationSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    return signals;
}

std::optional<InterfaceType> interfaceType(const Json& value) {
    if (!value.is_string()) return std::nullopt;
    const auto text = value.get<std::string>();
    if (text == "wifi") return InterfaceType::Wifi;
    if (text == "wired") return InterfaceType::Wired;
    if (text == "cellular") return InterfaceType::Cellular;
    if (text == "loopback") return InterfaceType::Loopback;
    if (text == "other") return InterfaceType::Other;
    return std::nullopt;
}

NetworkPath parseNetworkPath(const Json& command) {
    NetworkPath path;
    path.satisfied = command.value("status", std::string()) == "satisfied";
    for (const auto& entry : command.value("interfaces", Json::array())) {
        if (!entry.is_object()) continue;
        auto type = interfaceType(entry.value("type", Json()));
        path.interfaces.push_back({entry.value("name", std::string()), type.value_or(InterfaceType::Other)});
    }
    for (const auto& use : command.value("uses", Json::array())) {
        if (auto type = interfaceType(use)) path.uses.push_back(*type);
    }
    for (const auto& entry : command.value("addresses", Json::array())) {
        if (!entry.is_object()) continue;
        path.addresses.push_back({entry.value("name", std::string()), entry.value("ipv4", std::string())});
    }
    return path;
}

// "1,0" -> {1, 0}; anything that is not a number is skipped.
std::vector<int> parseAnswers(const std::string& text) {
    std::vector<int> answers;
    std::stringstream list(text);
    for (std::string item; std::getline(list, item, ',');) {
        if (auto answer = parseDecimalInteger(item); answer && *answer >= 0 && *answer < 100)
            answers.push_back(static_cast<int>(*answer));
    }
    return answers;
}

class Shell {
public:
    Shell(int argc, char** argv)
        : application_(events_, std::vector<std::string>(argv + 1, argv + argc)), windows_(events_),
          workspace_(events_), bundle_(PlistBundle::locate()),
          defaults_(defaultsFile(directories_, bundle_)), platform_{application_, bundle_,  directories_,
                                                                    defaults_,    windows_, workspace_} {
        setMainExecutor(&loop_);
        installProcessServices(platform_);
        application_.onTerminationRequest = [this] { terminate(); };
        application_.onExit = [this](int code) { exit(code); };
    }

    int run() {
        // The network services' stand-ins under KORVANE_ROOT unless KORVANE_PROXY_BACKEND names
        // another backend.
        controller_ = std::make_unique<KorvaneApplication>(
            platform_, defaultHttpClient(), nullptr, chooseProxySettings(ProxySettingsDefault::Networksetup));
        // Started from a build or temporary folder, the shell runs as it is unless asked to
        // behave like an installed client that offers to move itself into the Applications folder.
        const char* offerMove = std::getenv("KORVANE_OFFER_MOVE");
        controller_->setOffersMoveToApplications(offerMove && std::string(offerMove) == "1");
        // Alerts of the launch itself come before any command is read: their answers are given
        // up front.
        if (const char* answers = std::getenv("KORVANE_ALERT_ANSWERS"))
            windows_.queueAlertAnswers(parseAnswers(answers));
        controller_->applicationDidFinishLaunching();
        events_.emit("ready", {{"pid", ::getpid()}});
        std::thread([this] { readCommands(); }).detach();
        std::thread([this] { awaitSignals(); }).detach();
        // The process leaves through exit(), never by the loop returning.
        loop_.run();
        return 1;
    }

private:
    static std::filesystem::path defaultsFile(const HomeDirectories& directories, const Bundle& bundle) {
        auto support = directories.applicationSupport();
        auto identifier = bundle.infoString("CFBundleIdentifier").value_or("art.korvane.mac.native");
        if (!support) return std::filesystem::path(".") / (identifier + ".json");
        return support->parent_path() / "Preferences" / (identifier + ".json");
    }

    void readCommands() {
        std::string line;
        while (std::getline(std::cin, line)) {
            loop_.post([this, line] { handle(line); });
        }
        // The driver went away: leave as a user would, through the termination gate, so that
        // nothing is left switched.
        loop_.post([this] { terminate(); });
    }

    // SIGTERM, SIGINT and SIGHUP (blocked in every thread since main's start) ask to quit like
    // the menu: through the termination gate, which restores the proxy before the exit.
    void awaitSignals() {
        const sigset_t signals = terminationSignals();
        for (;;) {
            int received = 0;
            if (::sigwait(&signals, &received) != 0) continue;
            loop_.post([this] { terminate(); });
        }
    }

    void handle(const std::string& line) {
        Json command = Json::parse(line, nullptr, false);
        if (!command.is_object() || !command.contains("cmd") || !command["cmd"].is_string()) {
            application_.systemLog("korvane-headless: ignored a malformed command");
            return;
        }
        // A field of the wrong type (an "item" that is a number, say) throws while the command
        // is read; it must not end the process, as an uncaught exception on the loop would.
        try {
            dispatch(command);
        } catch (const Json::exception&) {
            application_.systemLog("korvane-headless: ignored a malformed command");
        }
    }

    void dispatch(const Json& command) {
        const auto name = command["cmd"].get<std::string>();
        auto& controller = *controller_;
        if (name == "message") {
            controller.didReceiveScriptMessage(command.value("body", Json()));
        } else if (name == "pageLoaded") {
            controller.didFinishNavigation();
        } else if (name == "closeWindow") {
            controller.windowShouldClose();
        } else if (name == "menu") {
            const auto item = command.value("item", std::string());
            if (item == "showWindow") controller.showWindow();
            if (item == "menuToggle") controller.menuToggle();
            if (item == "quit") controller.quit();
        } else if (name == "activate") {
            controller.applicationDidBecomeActive();
        } else if (name == "wake") {
            controller.systemDidWake();
        } else if (name == "terminate") {
            terminate();
        } else if (name == "network") {
            controller.networkPathChanged(parseNetworkPath(command));
        } else if (name == "alertAnswers") {
            std::vector<int> answers;
            for (const auto& answer : command.value("buttons", Json::array())) {
                if (answer.is_number_integer()) answers.push_back(answer.get<int>());
            }
            windows_.queueAlertAnswers(answers);
        } else if (name == "healthTick") {
            controller.healthTick();
        } else if (name == "navigate") {
            std::optional<std::string> url;
            if (command.contains("url") && command["url"].is_string())
                url = command["url"].get<std::string>();
            auto decision = controller.decidePolicy(url);
            events_.emit("navigation",
                         {{"url", url ? Json(*url) : Json(nullptr)},
                          {"decision", decision == NavigationDecision::Allow ? "allow" : "cancel"}});
        } else if (name == "confirm") {
            controller.runConfirmPanel(command.value("message", std::string()), [this](bool result) {
                events_.emit("confirm", {{"result", result}});
            });
        } else {
            application_.systemLog("korvane-headless: unknown command " + name);
        }
    }

    void terminate() {
        if (exiting_) return;
        auto reply = controller_->applicationShouldTerminate();
        if (reply == KorvaneApplication::TerminateReply::Now) {
            events_.emit("terminate", {{"reply", "now"}});
            exit(0);
        } else {
            events_.emit("terminate", {{"reply", "later"}});
        }
    }

    void exit(int code) {
        exiting_ = true;
        events_.emit("exit", {{"code", code}});
        // Like the target platform's termination: the process ends here, without unwinding
        // tasks that are still waiting.
        std::fflush(stdout);
        std::_Exit(code);
    }

    EventWriter events_;
    PlainLoop loop_;
    HeadlessApplication application_;
    HeadlessWindowSystem windows_;
    HeadlessWorkspace workspace_;
    HomeDirectories directories_;
    PlistBundle bundle_;
    JsonFileDefaults defaults_;
    Platform platform_;
    std::unique_ptr<KorvaneApplication> controller_;
    bool exiting_ = false;
};

} // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that only the signal thread takes them; children start with
    // nothing blocked.
    const sigset_t signals = terminationSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::ios::sync_with_stdio(false);
    Shell shell(argc, argv);
    return shell.run();
}
