// korvane-demo-services: the loopback services a local build talks to, for the demo, the GUI
// tests and the screenshots: the stand-in panel with its demo account (18444), the remote
// configuration (18443), the official site (18445), the support chat (18446) and the update
// host (18447). Prints "ready" once every port listens; runs until stdin closes or a
// termination signal arrives.
#include "testing/https_server.h"
#include "testing/stand_in_panel.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

using namespace korvane::testing;

namespace {

HttpResponse page(const std::string& title) {
    auto response = HttpResponse::text(200, "<!DOCTYPE html><meta charset=\"utf-8\"><title>" + title +
                                                "</title><h1>" + title + "</h1>");
    for (auto& [name, value] : response.headers) {
        if (name == "Content-Type") value = "text/html; charset=utf-8";
    }
    return response;
}

} // namespace

int main() {
    // Signals are taken synchronously below, so the servers shut down through their destructors.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    try {
        StandInPanel panel(18444);
        HttpsServer config(HttpsServer::Options{18443, true});
        HttpsServer site(HttpsServer::Options{18445, true});
        HttpsServer support(HttpsServer::Options{18446, true});
        HttpsServer update(HttpsServer::Options{18447, true});

        const std::string remote =
            R"({"Domain":"https://127.0.0.1:18444","officialUrl":"https://127.0.0.1:18445",)"
            R"("supportUrl":"https://127.0.0.1:18446/widget"})";
        config.route("GET", "/RemoteConfig.json", HttpResponse::json(200, remote));
        config.route("GET", "/client/config.json", HttpResponse::json(200, remote));
        site.route("GET", "/", page("Korvane 官网（本地演示）"));
        support.route("GET", "/widget", page("Korvane 在线客服（本地演示）"));
        update.route("POST", "/api/quality.php", HttpResponse::json(200, "{}"));
        update.route("GET", "/api/macos.json", HttpResponse::json(200, R"({"version":"0.0.0","build":0})"));

        std::printf("ready\n");
        std::fflush(stdout);

        std::thread([] {
            std::string line;
            while (std::getline(std::cin, line)) {
            }
            ::kill(::getpid(), SIGTERM);
        }).detach();
        int received = 0;
        sigwait(&signals, &received);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvane-demo-services: %s\n", error.what());
        return 1;
    }
    return 0;
}
