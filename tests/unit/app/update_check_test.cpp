// The "checkUpdate" action through the controller: the manifest from the fake client, the
// package from a loopback server; the alert, the percentages and the events, one check at a
// time, and a quit ending it. The preparation itself refuses here (the fake bundle is not in the
// Applications folder); every failure and refusal through the client is in
// tests/e2e/update_test.cpp.

#include "app/korvane_application.h"
#include "base/errors.h"
#include "base/files.h"
#include "testing/async_test.h"
#include "testing/fake_platform.h"
#include "testing/https_server.h"
#include "testing/test_certificates.h"
#include "update/korvane_update_download.h"

#include <gtest/gtest.h>

#include <korvane_deployment.h>

#include <sys/stat.h>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kChecking = "正在检查更新…";
constexpr const char* kNotInstalled = "请先使用安装器将 Korvane 安装到应用程序目录";

Json progress(const std::string& text, int value) { return {{"progress", value}, {"text", text}}; }

class UpdateCheckTest : public ::testing::Test {
protected:
    UpdateCheckTest() {
        trustAdditionalCertificateAuthority(testCaFile());
        h.recordEvents();
        h.launchAndSettle();
        writeFileAtomically(served(), bytes);
        HttpResponse answer;
        answer.file = served();
        server.route("GET", "/Korvane-101-x64.zip", answer);
    }
    ~UpdateCheckTest() override { h.destroyController(); }

    fs::path served() const { return h.fake.root() / "served.zip"; }
    fs::path package() const { return h.fake.supportDir() / "updates" / "Korvane-101-x64.zip"; }
    std::string digest() const { return sha256(served()); }
    Json offer(const std::string& sha) const {
        return {
            {"enabled", true},
            {"build", 101},
            {"downloads", {{"x64", {{"url", server.baseUrl() + "/Korvane-101-x64.zip"}, {"sha256", sha}}}}}};
    }
    void manifest(HttpResponse answer) { h.http.route("GET", deployment::kManifest, std::move(answer)); }
    void manifest(const Json& body) { manifest(HttpResponse::json(200, body.dump())); }

    // The action's error text ("" when it succeeded) and the progress calls it made.
    std::pair<std::string, std::vector<Json>> check(const Json& args = Json::object()) {
        const std::size_t before = h.window().progress().size();
        const std::string error = errorOf(h.loop, h.app().dispatch("checkUpdate", args));
        const auto all = h.window().progress();
        return {error, std::vector<Json>(all.begin() + static_cast<long>(before), all.end())};
    }
    std::vector<std::tuple<std::string, std::string, std::string>> updateEvents() const {
        std::vector<std::tuple<std::string, std::string, std::string>> found;
        for (const auto& line : h.fake.eventLog()) {
            const auto event = line.value("event", std::string());
            if (event.starts_with("update_"))
                found.emplace_back(event, line.value("stage", std::string()),
                                   line.value("reason", std::string()));
        }
        return found;
    }

    ControllerHarness h;
    HttpsServer server;
    const std::string bytes = std::string(300 * 1024, 'k');
};

TEST_F(UpdateCheckTest, NothingNewerIsSaidOnThePageAndAsAnAlertWhenAsked) {
    struct Case {
        const char* name;
        Json manifest;
        Json args;
        bool alert;
    };
    const Case cases[] = {
        {"the same build", {{"enabled", true}, {"build", 100}}, Json::object(), true},
        {"manual false", {{"enabled", true}, {"build", 100}}, {{"manual", false}}, false},
        {"manual not a Boolean", {{"enabled", true}, {"build", 100}}, {{"manual", "no"}}, true},
        {"enabled as a string", {{"enabled", "true"}, {"build", 101}}, {{"manual", false}}, false},
        {"a build that is no integer", {{"enabled", true}, {"build", 101.5}}, {{"manual", false}}, false},
    };
    for (const auto& c : cases) {
        manifest(c.manifest);
        const std::size_t alerts = h.fake.windows.alerts.size();
        const auto [error, texts] = check(c.args);
        EXPECT_EQ(error, "") << c.name;
        EXPECT_EQ(texts, (std::vector<Json>{progress(kChecking, -1), progress("目前已是最新版本", -1)}))
            << c.name;
        ASSERT_EQ(h.fake.windows.alerts.size(), alerts + (c.alert ? 1 : 0)) << c.name;
        if (c.alert) {
            EXPECT_EQ(h.fake.windows.alerts.back().title, "Korvane 已是当前版本");
            EXPECT_EQ(h.fake.windows.alerts.back().text, "暂无可用的 Mac 更新。");
        }
    }
    EXPECT_EQ(h.http.requests().back().timeoutSeconds, 8);
    EXPECT_FALSE(fs::exists(package()));
}

TEST_F(UpdateCheckTest, TheDownloadIsVerifiedThenPrepared) {
    // Capital letters in the manifest's digest match.
    std::string upper = digest();
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    manifest(offer(upper));
    const auto [error, texts] = check();
    EXPECT_EQ(error, kNotInstalled);

    ASSERT_GE(texts.size(), 5u);
    EXPECT_EQ(texts[0], progress(kChecking, -1));
    EXPECT_EQ(texts[1], progress("正在下载自动安装更新包…", 0));
    const std::vector<Json> end(texts.end() - 2, texts.end());
    EXPECT_EQ(end, (std::vector<Json>{progress("下载完成，正在校验 SHA256…", 100),
                                      progress("已通过 SHA256 校验，正在准备安全重启…", 100)}));
    for (auto it = texts.begin() + 2; it != texts.end() - 2; ++it) {
        const int value = (*it)["progress"];
        EXPECT_EQ((*it)["text"], "正在下载更新… " + std::to_string(value) + "%");
    }
    EXPECT_EQ(texts[texts.size() - 3]["progress"], 100);

    // The package stays for a later attempt, in a folder of the user's alone.
    EXPECT_EQ(readFile(package()), bytes);
    struct stat info {};
    ASSERT_EQ(::stat(package().parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(updateEvents(), (std::vector<std::tuple<std::string, std::string, std::string>>{
                                  {"update_found", "manifest", ""},
                                  {"update_plan", "full", ""},
                                  {"update_download_complete", "download", ""},
                                  {"update_checksum_pass", "sha256", ""}}));
}

TEST_F(UpdateCheckTest, AWrongDigestOrAFailedDownloadEndsTheCheck) {
    manifest(offer(std::string(64, '0')));
    auto [error, texts] = check();
    EXPECT_EQ(error, "更新文件 SHA256 校验失败，已拒绝安装");
    EXPECT_EQ(texts.back(), progress("SHA256 校验失败，已拒绝安装", -1));
    EXPECT_FALSE(fs::exists(package()));

    server.route("GET", "/Korvane-101-x64.zip", HttpResponse{404, {{"Content-Type", "text/html"}}, "<html>"});
    std::tie(error, texts) = check();
    EXPECT_EQ(error, "更新中心返回了不正确的下载响应");
    EXPECT_EQ(texts, (std::vector<Json>{progress(kChecking, -1), progress("正在下载自动安装更新包…", 0),
                                        progress("下载失败，请重试", -1)}));
    EXPECT_FALSE(fs::exists(package()));

    const auto events = updateEvents();
    const std::vector<std::tuple<std::string, std::string, std::string>> failures = {
        {"update_download_failure", "", "sha256_mismatch"},
        {"update_download_failure", "", "download_error"}};
    std::vector<std::tuple<std::string, std::string, std::string>> seen;
    for (const auto& event : events)
        if (std::get<0>(event) == "update_download_failure") seen.push_back(event);
    EXPECT_EQ(seen, failures);
}

TEST_F(UpdateCheckTest, OneCheckAtATimeAndAQuitEndsIt) {
    HttpResponse late = HttpResponse::json(200, R"({"enabled":true,"build":100})");
    late.delay = 5s;
    manifest(late);
    std::optional<std::string> first;
    auto record = [](KorvaneApplication& app, std::optional<std::string>& out) -> Task<void> {
        try {
            co_await app.dispatch("checkUpdate", Json::object());
            out = "";
        } catch (const std::exception& error) {
            out = error.what();
        }
    };
    auto handle = spawn(record(h.app(), first));
    h.loop.runUntilIdle();
    EXPECT_EQ(errorOf(h.loop, h.app().dispatch("checkUpdate", Json::object())),
              "正在进行其他操作，请稍后再更新");
    EXPECT_EQ(errorOf(h.loop, h.app().dispatch("connect", {{"nodeName", "x"}})), "正在进行其他网络操作");

    // A quit cancels the check and lets the application go once it has ended.
    EXPECT_EQ(h.app().applicationShouldTerminate(), KorvaneApplication::TerminateReply::Later);
    ASSERT_TRUE(
        h.loop.runUntil([&] { return handle.done() && !h.fake.application.terminationReplies.empty(); }));
    EXPECT_EQ(first, "操作已取消");
    EXPECT_EQ(h.fake.application.terminationReplies, std::vector<bool>{true});
}

} // namespace
