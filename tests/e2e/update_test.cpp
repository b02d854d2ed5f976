// The update check through the headless client, running from a bundle in the Applications
// folder of a temporary system root, against the update server stand-in on the deployment's
// manifest host, with Debian's archive lister and shell and the stand-in copy, architecture and
// signature tools. A full package and a patch end staged for the hand-off; every failure and
// refusal reaches the page with its text and leaves the installation, the connection and the
// proxy settings as they were.

#include "base/child_process.h"
#include "base/files.h"
#include "base/json.h"
#include "e2e_support.h"
#include "platform/local_proxy.h"
#include "testing/headless_session.h"
#include "testing/https_server.h"
#include "testing/stand_in_panel.h"
#include "testing/system_tools.h"
#include "testing/temp_dir.h"
#include "testing/update_packages.h"
#include "update/korvane_update_download.h"

#include <gtest/gtest.h>

#include <korvane_deployment.h>

#include <arpa/inet.h>
#include <csignal>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kChecking = "正在检查更新…";
constexpr const char* kFull = "正在下载自动安装更新包…";
constexpr const char* kPatch = "正在下载增量补丁…";
constexpr const char* kFailed = "下载失败，请重试";
constexpr const char* kVerifying = "下载完成，正在校验 SHA256…";
constexpr const char* kPassed = "已通过 SHA256 校验，正在准备安全重启…";
constexpr const char* kNotInstalled = "请先使用安装器将 Korvane 安装到应用程序目录";
constexpr const char* kRights = "当前客户端安装权限需要修复，请使用新版 PKG 安装器覆盖一次；本次连接保持不变";
constexpr const char* kToolFailed = "更新准备未通过校验，旧版本和连接保持不变";

std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

class UpdateTest : public ::testing::Test {
protected:
    UpdateTest() {
        // The installation: a bundle of build 100 with the built client's resources (the page,
        // the install script, the stand-in core, the test authority), sealed by the team.
        tools.trust(team);
        TestBundle bundleContents;
        writeTestBundle(installed(), bundleContents);
        fs::copy(e2e::kBundle / "Contents/Resources", installed() / "Contents/Resources",
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        signBundle(installed(), team);
        before = treeDigest(installed());
        fs::create_directories(served());
        update.route("POST", "/api/quality.php", HttpResponse::json(200, "{}"));
        manifest({{"enabled", true}, {"build", 100}});
    }
    ~UpdateTest() override { quit(); }

    fs::path root() const { return home.path() / "root"; }
    fs::path applications() const { return root() / "Applications"; }
    fs::path installed() const { return applications() / "Korvane.app"; }
    fs::path support() const { return e2e::supportDir(home.path()); }
    fs::path served() const { return home.path() / "served"; }

    HeadlessSession::Options options(const fs::path& bundle) const {
        auto options = e2e::sessionOptions(home.path());
        options.bundle = bundle;
        return options;
    }
    void launch(HeadlessSession::Options options) {
        session.emplace(std::move(options));
        session->waitFor("ready");
        session->waitFor("state", 30s);
    }
    void quit() {
        if (!session) return;
        session->send({{"cmd", "terminate"}});
        session->waitForExit(30s);
        session.reset();
    }
    Json ask(const std::string& action, const Json& arg = Json::object()) {
        const std::string id = "r" + std::to_string(++requests);
        session->send({{"cmd", "message"}, {"body", {{"id", id}, {"action", action}, {"arg", arg}}}});
        return session->waitFor(
            "resolve", [&](const Json& e) { return e["id"] == id; }, 60s);
    }

    void manifest(const Json& body) {
        update.route("GET", "/api/macos.json", HttpResponse::json(200, body.dump()));
    }
    // Serves the package and offers it (as a patch from build 100 when isPatch) in the manifest.
    void offer(const fs::path& package, bool isPatch, std::int64_t build = 101,
               std::optional<std::string> digest = std::nullopt) {
        const std::string path = "/packages/" + std::to_string(++packages) + ".zip";
        HttpResponse answer;
        answer.file = package;
        update.route("GET", path, answer);
        Json entry = {{"url", update.baseUrl() + path}, {"sha256", digest.value_or(sha256(package))}};
        if (!isPatch) {
            manifest({{"enabled", true}, {"build", build}, {"downloads", {{"x64", entry}}}});
            return;
        }
        entry.update(patchManifest(100, build));
        manifest({{"enabled", true}, {"build", build}, {"patches", {entry}}});
    }
    fs::path package(const std::string& name) const { return served() / (name + ".zip"); }
    // A sealed bundle with these contents at served/<name>.app; when derived, the installation's
    // files come first and these are laid over them, as a patch's target must be.
    fs::path bundle(const std::string& name, const TestBundle& bundleContents,
                    const SigningKey* key = nullptr, bool derived = false) const {
        const fs::path path = served() / (name + ".app");
        fs::remove_all(path);
        if (derived)
            fs::copy(installed(), path, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        writeTestBundle(path, bundleContents);
        signBundle(path, key ? *key : team);
        return path;
    }
    static TestBundle next(std::int64_t build = 101) {
        TestBundle bundleContents;
        bundleContents.build = build;
        bundleContents.resources = {
            {"UI/index.html", "<!doctype html><title>Korvane " + std::to_string(build) + "</title>"}};
        return bundleContents;
    }

    // The outcome of one check: the reply's error ("" for none) and the progress texts, the
    // percentages left out.
    std::pair<std::string, std::vector<std::string>> check() {
        const std::size_t from = session->eventsNamed("progress").size();
        const Json reply = ask("checkUpdate", {{"manual", true}});
        const auto all = session->eventsNamed("progress");
        std::vector<std::string> texts;
        for (std::size_t i = from; i < all.size(); ++i) {
            const std::string text = all[i]["text"];
            if (!text.starts_with("正在下载更新… ")) texts.push_back(text);
        }
        return {reply["error"].is_null() ? "" : reply["error"].get<std::string>(), texts};
    }
    std::vector<fs::path> staged() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(applications()))
            if (entry.path().filename() != "Korvane.app") found.push_back(entry.path());
        return found;
    }

    TempDir home;
    SystemTools systemTools{home.path() / "root"};
    UpdateTools tools{home.path() / "root"};
    SigningKey team{deployment::kSigningTeam};
    HttpsServer update{HttpsServer::Options{e2e::kUpdatePort, true}};
    std::map<std::string, std::string> before;
    int packages = 0;
    int requests = 0;
    // Last, so that the process has quit before the servers go.
    std::optional<HeadlessSession> session;
};

TEST_F(UpdateTest, AFullPackageAndAPatchEndReadyForTheHandOff) {
    // The install script is started through nohup; this one runs nothing, so the staging
    // directory stays as the hand-off left it (tests/e2e/update_handoff_test.cpp runs it).
    tools.replace("/usr/bin/nohup", "#!/bin/sh\nexit 0\n");
    struct Case {
        const char* name;
        bool isPatch;
        std::int64_t build;
        bool capitalDigest;
    };
    const Case cases[] = {{"full package", false, 101, true}, {"delta patch", true, 102, false}};
    for (const auto& c : cases) {
        TestBundle bundleContents = next(c.build);
        bundleContents.resources["UI/added.js"] = "added in " + std::to_string(c.build);
        if (c.isPatch) bundleContents.architectures = {"arm64", "x86_64"}; // a universal executable
        const fs::path target = bundle("target", bundleContents, nullptr, c.isPatch);
        if (c.isPatch) {
            writePatchPackage(package("target"), installed(), target, patchManifest(100, c.build));
        } else {
            writeFullPackage(package("target"), target);
        }
        std::string digest = sha256(package("target"));
        if (c.capitalDigest)
            for (char& ch : digest)
                ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        offer(package("target"), c.isPatch, c.build, digest);
        const auto stagedBefore = staged();

        launch(options(installed()));
        const auto [error, texts] = check();
        EXPECT_EQ(error, "") << c.name;
        EXPECT_EQ(texts, (std::vector<std::string>{kChecking, c.isPatch ? kPatch : kFull, kVerifying, kPassed,
                                                   "正在安装并重新打开 Korvane…"}))
            << c.name;
        // The hand-off ends the process through the termination gate.
        EXPECT_EQ(session->waitForExit(30s).code, 0) << c.name;
        session.reset();
        const auto now = staged();
        ASSERT_EQ(now.size(), stagedBefore.size() + 1) << c.name;
        fs::path transaction;
        for (const auto& path : now)
            if (std::find(stagedBefore.begin(), stagedBefore.end(), path) == stagedBefore.end())
                transaction = path;
        EXPECT_TRUE(transaction.filename().string().starts_with(".korvane-update-")) << c.name;
        EXPECT_EQ(modeOf(transaction), 0700u) << c.name;
        EXPECT_EQ(e2e::bundleBuild(transaction / "ready.app"), std::to_string(c.build)) << c.name;
        EXPECT_EQ(treeDigest(transaction / "ready.app"), treeDigest(target)) << c.name;
        EXPECT_EQ(modeOf(transaction / "install.zsh"), 0700u) << c.name;
        EXPECT_EQ(readFile(transaction / "install.zsh"),
                  readFile(installed() / "Contents/Resources/update-install.zsh"));
        const std::string file = c.isPatch ? "Korvane-100-to-102-x64.patch.zip" : "Korvane-101-x64.zip";
        EXPECT_EQ(sha256(support() / "updates" / file), sha256(package("target"))) << c.name;
    }
    EXPECT_EQ(modeOf(support() / "updates"), 0700u);
    EXPECT_EQ(treeDigest(installed()), before);
}

// One connected session; then every way the check can fail, each followed by the same
// questions: nothing new beside the installation, the installation unchanged, still connected
// through the same node, the proxy settings as the connection left them, no prompt.
TEST_F(UpdateTest, FailuresAndRefusalsChangeNothing) {
    const std::uint16_t nodePort = freePort();
    // The node goes with the test, however it ends.
    struct NodeProcess {
        ChildProcess process;
        ~NodeProcess() {
            process.signal(SIGKILL);
            while (process.running())
                std::this_thread::sleep_for(5ms);
        }
    } node{ChildProcess(
        startProcess("/usr/bin/microsocks", {"-i", "127.0.0.1", "-p", std::to_string(nodePort)}))};
    StandInPanel panel(e2e::kPanelPort);
    panel.setSubscription("proxies:\n" + e2e::socksEntry("香港 01", nodePort));
    e2e::Probes probes;
    systemTools.setServices(Json::array({standInService("Wi-Fi")}));

    launch(options(installed()));
    ASSERT_TRUE(
        ask("login", {{"email", panel.account().email}, {"password", panel.account().password}})["error"]
            .is_null());
    const Json connected = ask("connect", {{"nodeName", "香港 01"}});
    ASSERT_TRUE(connected["error"].is_null()) << connected.dump();
    ASSERT_TRUE(connected["value"]["connected"]);
    const Json switched = systemTools.services();
    ASSERT_EQ(switched[0]["socksfirewallproxy"]["port"], kLocalProxyPort);
    const std::size_t prompts = systemTools.prompts().size();

    const SigningKey stranger{deployment::kSigningTeam};
    const SigningKey otherTeam{"OTHERTEAM1"};
    tools.trust(otherTeam);
    const std::string unsafe = "更新包包含不安全的文件路径，已拒绝安装";
    const std::vector<std::string> manifestOnly = {kChecking};
    const std::vector<std::string> prepared = {kChecking, kFull, kVerifying, kPassed};
    const std::vector<std::string> preparedPatch = {kChecking, kPatch, kVerifying, kPassed};
    const std::vector<std::string> downloadFailed = {kChecking, kFull, kFailed};
    auto full = [&](TestBundle bundleContents, const SigningKey* key = nullptr) {
        return [=, this] {
            writeFullPackage(package("p"), bundle("p", bundleContents, key));
            offer(package("p"), false, bundleContents.build);
        };
    };
    auto patch = [&](Json patchJson, TestBundle bundleContents = next()) {
        return [=, this] {
            writePatchPackage(package("p"), installed(), bundle("p", bundleContents, nullptr, true),
                              patchJson);
            offer(package("p"), true, 101);
        };
    };
    auto names = [&](std::vector<std::string> entries) {
        return [=, this] {
            ZipWriter zip;
            for (const auto& name : entries)
                zip.addFile(name, "x");
            zip.write(package("p"));
            offer(package("p"), false);
        };
    };
    auto answer = [&](HttpResponse response) {
        return [=, this] {
            update.route("GET", "/broken.zip", response);
            manifest({{"enabled", true},
                      {"build", 101},
                      {"url", update.baseUrl() + "/broken.zip"},
                      {"sha256", std::string(64, 'a')}});
        };
    };
    HttpResponse cutOff;
    cutOff.body = std::string(256 * 1024, 'x');
    cutOff.cutAfter = 1000;
    HttpResponse tooLarge;
    tooLarge.raw = {"HTTP/1.1 200 OK\r\nContent-Length: 600000000\r\n\r\n", "PK"};
    tooLarge.holdOpen = true;
    TestBundle otherIdentifier = next();
    otherIdentifier.identifier = "art.korvane.mac.other";
    TestBundle decimalBuild = next();
    decimalBuild.versionText = "101.0";
    TestBundle arrayInfo = next();
    arrayInfo.infoNotADictionary = true;
    TestBundle armOnly = next();
    armOnly.architectures = {"arm64"};
    Json noArch = patchManifest(100, 101);
    noArch.erase("arch");
    const fs::path script = installed() / "Contents/Resources/update-install.zsh";
    const fs::path moved = applications() / "Korvane-moved.app";
    const fs::path updates = support() / "updates";

    struct Case {
        std::string name;
        std::function<void()> setUp;
        std::string error; // a prefix of the page's error text
        std::vector<std::string> texts;
        std::function<void()> undo = [] {};
    };
    const std::vector<Case> cases = {
        // The manifest.
        {"the manifest answers 503",
         [&] { update.route("GET", "/api/macos.json", HttpResponse::text(503, "<html>")); },
         "请求失败 HTTP 503", manifestOnly},
        {"the manifest is not JSON",
         [&] { update.route("GET", "/api/macos.json", HttpResponse::text(200, "<html>")); },
         "[json.exception.parse_error", manifestOnly},
        {"the manifest is not an object", [&] { manifest(Json::array()); }, "服务器返回数据格式不正确",
         manifestOnly},
        {"no safe address",
         [&] {
             manifest(
                 {{"enabled", true}, {"build", 101}, {"url", "http://127.0.0.1/a.zip"}, {"sha256", "ab"}});
         },
         "更新中心缺少对应架构的安全下载信息", manifestOnly},
        {"updates cannot be created",
         [&] {
             fs::remove_all(updates);
             writeFileAtomically(updates, "a file");
             offer(package("target"), false);
         },
         "Not a directory", manifestOnly,
         [&] {
             fs::remove(updates);
             fs::create_directory(updates, support());
         }},
        // The download.
        {"the package answers 404 with a page",
         answer(HttpResponse{404, {{"Content-Type", "text/html"}}, "<html>Not Found</html>"}),
         "更新中心返回了不正确的下载响应", downloadFailed},
        {"the package is cut off midway", answer(cutOff), "", downloadFailed},
        {"the package announces more than the ceiling", answer(tooLarge), "更新中心返回了不正确的下载响应",
         downloadFailed},
        {"the digest differs",
         [&] { offer(package("target"), false, 101, std::string(64, 'b')); },
         "更新文件 SHA256 校验失败，已拒绝安装",
         {kChecking, kFull, kVerifying, "SHA256 校验失败，已拒绝安装"}},
        // The preparation.
        {"a target beyond the highest build", full(next(100'000'001)), kNotInstalled, prepared},
        {"a bundle owned by another user",
         [&] {
             offer(package("target"), false);
             ASSERT_EQ(::lchown(installed().c_str(), 65534, 65534), 0);
         },
         kRights, prepared, [&] { ASSERT_EQ(::lchown(installed().c_str(), ::geteuid(), ::getegid()), 0); }},
        {"a bundle that is a link",
         [&] {
             offer(package("target"), false);
             fs::rename(installed(), moved);
             fs::create_directory_symlink(moved, installed());
         },
         kRights, prepared,
         [&] {
             fs::remove(installed());
             fs::rename(moved, installed());
         }},
        {"a .. part", names({"Korvane.app/../../x"}), unsafe, prepared},
        {"an absolute path", names({"/Applications/Korvane.app/x"}), unsafe, prepared},
        {"a backslash", names({"Korvane.app\\x"}), unsafe, prepared},
        {"2,001 entries",
         [&] {
             std::vector<std::string> many;
             for (int i = 0; i < 2001; ++i)
                 many.push_back("Korvane.app/" + std::to_string(i));
             names(many)();
         },
         unsafe, prepared},
        {"a link",
         [&] {
             ZipWriter zip;
             zip.addDirectory("Korvane.app/");
             zip.addLink("Korvane.app/Contents", applications().string());
             zip.addFile("Korvane.app/Contents/planted", "x");
             zip.write(package("p"));
             offer(package("p"), false);
         },
         "更新包包含非预期链接，已拒绝安装", prepared},
        {"a link deep inside a framework",
         [&] {
             const fs::path target = bundle("p", next());
             fs::create_directories(target / "Contents/Frameworks/Kit.framework/Versions/A");
             fs::create_symlink("A", target / "Contents/Frameworks/Kit.framework/Versions/Current");
             signBundle(target, team);
             writeFullPackage(package("p"), target);
             offer(package("p"), false);
         },
         "更新包包含非预期链接，已拒绝安装", prepared},
        {"not an archive",
         [&] {
             writeFileAtomically(package("p"), "not a zip");
             offer(package("p"), false);
         },
         kToolFailed, prepared},
        {"a patch without arch", patch(noArch), "补丁与当前版本或芯片不匹配", preparedPatch},
        {"a patch for another build", patch(patchManifest(99, 101)), "补丁与当前版本或芯片不匹配",
         preparedPatch},
        {"a patch whose result fails the signature check",
         [&] {
             const fs::path target = bundle("p", next(), nullptr, true);
             writeFileAtomically(target / "Contents/Resources/UI/index.html", "tampered");
             writePatchPackage(package("p"), installed(), target, patchManifest(100, 101));
             offer(package("p"), true);
         },
         kToolFailed, preparedPatch},
        {"an information file that is no dictionary", full(arrayInfo), "更新包版本信息无效", prepared},
        {"another identifier", full(otherIdentifier), "新版客户端身份或版本不正确", prepared},
        {"build 101.0", full(decimalBuild), "新版客户端身份或版本不正确", prepared},
        {"arm64 only", full(armOnly), "新版芯片架构不匹配", prepared},
        {"signed with a key that is not the team's", full(next(), &stranger), kToolFailed, prepared},
        {"validly signed by another team", full(next(), &otherTeam), kToolFailed, prepared},
        {"no install script in the running bundle",
         [&] {
             offer(package("target"), false);
             fs::rename(script, home.path() / "script");
         },
         "当前安装缺少更新助手，请使用安装器修复一次", prepared,
         [&] { fs::rename(home.path() / "script", script); }},
    };
    // The package most cases start from: a good one.
    writeFullPackage(package("target"), bundle("target", next()));

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.setUp();
        const auto [error, texts] = check();
        c.undo();
        EXPECT_TRUE(error.starts_with(c.error) && !error.empty()) << error;
        EXPECT_EQ(texts, c.texts);
        EXPECT_TRUE(staged().empty());
        EXPECT_EQ(treeDigest(installed()), before);
        const Json state = ask("bootstrap")["value"];
        EXPECT_TRUE(state["connected"]);
        EXPECT_TRUE(state["socksReady"]);
        EXPECT_EQ(state["selectedNode"], "香港 01");
        EXPECT_EQ(systemTools.services(), switched);
        EXPECT_EQ(systemTools.prompts().size(), prompts);
    }
    EXPECT_FALSE(fs::exists(applications() / "planted"));

    quit();
}

// Refusals that need another start of the client: a copy outside the Applications folder, and
// a folder or bundle the user cannot write (a read-only mount in a private mount namespace, as
// root writes into any folder whatever its mode).
TEST_F(UpdateTest, AnInstallationThatCannotBeReplacedIsRefused) {
    writeFullPackage(package("target"), bundle("target", next()));
    const fs::path elsewhere = home.path() / "Applications" / "Korvane.app";
    fs::create_directories(elsewhere.parent_path());
    fs::copy(installed(), elsewhere, fs::copy_options::recursive);

    auto readOnly = [&](const fs::path& mounted) {
        auto options = this->options(installed());
        options.arguments = {"-m",
                             "--",
                             "/bin/sh",
                             "-c",
                             "mount --bind -o ro \"$1\" \"$1\" && exec \"$2\"",
                             "sh",
                             mounted.string(),
                             options.executable.string()};
        options.executable = "/usr/bin/unshare";
        return options;
    };
    struct Case {
        const char* name;
        HeadlessSession::Options options;
        std::string error;
    };
    std::vector<Case> cases = {
        {"a copy in the home's Applications folder", options(elsewhere), kNotInstalled}};
    if (::geteuid() == 0) {
        cases.push_back({"a read-only Applications folder", readOnly(applications()), kNotInstalled});
        cases.push_back({"a read-only bundle", readOnly(installed()), kRights});
    }
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        offer(package("target"), false);
        launch(c.options);
        const auto [error, texts] = check();
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(texts, (std::vector<std::string>{kChecking, kFull, kVerifying, kPassed}));
        quit();
        EXPECT_TRUE(staged().empty());
        EXPECT_EQ(treeDigest(installed()), before);
    }
    if (::geteuid() != 0) GTEST_SKIP() << "the read-only cases need a private mount namespace (root)";
}

} // namespace
