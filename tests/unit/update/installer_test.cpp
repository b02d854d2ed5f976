// The preparation beside the installation, with the real archive lister and shell and the
// stand-in copy, architecture and signature tools under a temporary system root: what a full
// package and a patch become, and every refusal, each of which leaves the installation as it
// was and nothing new in the Applications folder.

#include "base/errors.h"
#include "base/files.h"
#include "platform/system_paths.h"
#include "testing/temp_dir.h"
#include "testing/update_packages.h"
#include "update/korvane_update_installer.h"
#include "update/package_listing.h"

#include <gtest/gtest.h>

#include <korvane_deployment.h>

#include <functional>
#include <stop_token>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kToolFailed = "更新准备未通过校验，旧版本和连接保持不变";
const std::string kScript = "#!/bin/zsh\nexit 0\n";

void writeFile(const fs::path& path, std::string_view bytes) {
    fs::remove(path);
    writeFileAtomically(path, bytes, 0644);
}

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

class InstallerTest : public ::testing::Test {
protected:
    InstallerTest() {
        setSystemRoot(root());
        tools.trust(team);
        TestBundleSpec spec;
        spec.resources = {{"update-install.zsh", kScript}, {"UI/a b.html", "<p>"}};
        writeTestBundle(installed(), spec);
        signBundle(installed(), team);
        before = treeDigest(installed());
    }
    ~InstallerTest() override { setSystemRoot({}); }

    fs::path root() const { return dir.path() / "root"; }
    fs::path installed() const { return root() / "Applications" / "Korvane.app"; }
    fs::path support() const { return dir.path() / "support"; }
    fs::path package() const { return dir.path() / "package.zip"; }

    // A signed bundle of the next build made from the spec, at dir/<name>.
    fs::path bundle(const std::string& name, TestBundleSpec spec, const SigningKey* key = nullptr) const {
        const fs::path path = dir.path() / name;
        writeTestBundle(path, spec);
        signBundle(path, key ? *key : team);
        return path;
    }
    static TestBundleSpec next(std::int64_t build = 101) {
        TestBundleSpec spec;
        spec.build = build;
        spec.resources = {{"update-install.zsh", kScript}, {"UI/a b.html", "<p>new"}};
        return spec;
    }

    PreparedKorvaneUpdate prepare(bool isPatch, std::int64_t target = 101,
                                  KorvaneUpdateInstaller::Options options = {}) const {
        return KorvaneUpdateInstaller::prepare(package(), isPatch, target, 100, "x64", support(), installed(),
                                               options);
    }
    std::string failure(bool isPatch, std::int64_t target = 101,
                        KorvaneUpdateInstaller::Options options = {}) {
        try {
            prepare(isPatch, target, options);
        } catch (const std::exception& error) {
            return error.what();
        }
        return "";
    }

    std::vector<fs::path> staging() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(root() / "Applications"))
            if (entry.path().filename() != "Korvane.app") found.push_back(entry.path());
        return found;
    }
    void expectUntouched(const std::string& name) const {
        EXPECT_EQ(treeDigest(installed()), before) << name;
        EXPECT_TRUE(staging().empty()) << name;
    }

    TempDir dir;
    UpdateTools tools{dir.path() / "root"};
    SigningKey team{deployment::kSigningTeam};
    std::map<std::string, std::string> before;
};

TEST_F(InstallerTest, AFullPackageBecomesTheStagedBundle) {
    const fs::path target = bundle("new.app", next());
    writeFullPackage(package(), target);
    const PreparedKorvaneUpdate prepared = prepare(false);

    ASSERT_EQ(staging(), std::vector<fs::path>{prepared.transaction});
    EXPECT_TRUE(prepared.transaction.filename().string().starts_with(".korvane-update-"));
    EXPECT_EQ(modeOf(prepared.transaction), 0700u);
    EXPECT_EQ(prepared.app, installed());
    EXPECT_EQ(prepared.helper, prepared.transaction / "install.zsh");
    EXPECT_EQ(modeOf(prepared.helper), 0700u);
    EXPECT_EQ(readFile(prepared.helper), kScript);
    EXPECT_EQ(prepared.updates, support() / "updates");
    EXPECT_EQ(modeOf(prepared.updates), 0700u);
    EXPECT_EQ(prepared.fromBuild, 100);
    EXPECT_EQ(prepared.toBuild, 101);
    EXPECT_EQ(treeDigest(prepared.transaction / "ready.app"), treeDigest(target));
    EXPECT_EQ(treeDigest(installed()), before);
}

TEST_F(InstallerTest, APatchIsLaidOverACopyOfTheInstallation) {
    TestBundleSpec spec = next();
    spec.architectures = {"arm64", "x86_64"};
    spec.resources["UI/added.js"] = "added";
    const fs::path target = bundle("new.app", spec);
    writePatchPackage(package(), installed(), target, patchManifest(100, 101));
    const PreparedKorvaneUpdate prepared = prepare(true);
    EXPECT_EQ(treeDigest(prepared.transaction / "ready.app"), treeDigest(target));
    EXPECT_EQ(treeDigest(installed()), before);
}

TEST_F(InstallerTest, TheListingAcceptsTwoThousandEntriesAndNoMore) {
    // The archive tool's own listing, read and screened as the preparation does.
    ZipWriter zip;
    for (int i = 0; i < 2000; ++i)
        zip.addFile("Korvane.app/Contents/Resources/r/" + std::to_string(i) + (i % 2 ? " odd name" : ""),
                    "x");
    zip.write(package());
    auto listing = [this] {
        return parseZipListing(
            KorvaneUpdateInstaller::run(systemPath("/usr/bin/zipinfo").string(), {"-s", package().string()}));
    };
    const auto entries = listing();
    ASSERT_TRUE(entries.has_value());
    ASSERT_EQ(entries->size(), 2000u);
    EXPECT_EQ((*entries)[1].name, "Korvane.app/Contents/Resources/r/1 odd name");
    EXPECT_EQ((*entries)[1].type, '-');
    EXPECT_NO_THROW(screenPackageEntries(*entries));

    zip.addFile("Korvane.app/one-more", "x");
    zip.write(package());
    EXPECT_EQ(failure(false), "更新包包含不安全的文件路径，已拒绝安装");
    expectUntouched("2,001 entries");
}

TEST_F(InstallerTest, RefusalsLeaveNothingBehind) {
    const SigningKey stranger{deployment::kSigningTeam};
    const SigningKey otherTeam{"OTHERTEAM1"};
    tools.trust(otherTeam);
    const fs::path outside = dir.path() / "outside";
    fs::create_directories(outside);

    struct Case {
        std::string name;
        std::function<void()> make; // writes package(), and anything else the case needs
        bool isPatch;
        std::string error;
        std::int64_t target = 101;
    };
    const std::string unsafe = "更新包包含不安全的文件路径，已拒绝安装";
    const std::string link = "更新包包含非预期链接，已拒绝安装";
    const std::string identity = "新版客户端身份或版本不正确";
    const std::string patchMismatch = "补丁与当前版本或芯片不匹配";
    auto full = [&](TestBundleSpec spec, const SigningKey* key = nullptr) {
        return [this, spec, key] { writeFullPackage(package(), bundle("new.app", spec, key)); };
    };
    auto entries = [&](std::vector<std::string> names) {
        return [this, names] {
            ZipWriter zip;
            for (const auto& name : names)
                zip.addFile(name, "x");
            zip.write(package());
        };
    };
    auto patchWith = [&](Json manifest) {
        return [this, manifest] {
            writePatchPackage(package(), installed(), bundle("new.app", next()), manifest);
        };
    };
    TestBundleSpec otherIdentifier = next();
    otherIdentifier.identifier = "art.korvane.mac.other";
    TestBundleSpec decimalBuild = next();
    decimalBuild.versionText = "101.0";
    TestBundleSpec arrayInfo = next();
    arrayInfo.infoNotADictionary = true;
    TestBundleSpec armOnly = next();
    armOnly.architectures = {"arm64"};
    Json noArch = patchManifest(100, 101);
    noArch.erase("arch");
    Json otherFormat = patchManifest(100, 101);
    otherFormat["format"] = "korvane-macos-file-delta-v2";
    Json decimalTo = patchManifest(100, 101);
    decimalTo["to_build"] = 101.0;

    const std::vector<Case> cases = {
        {"a .. part", entries({"Korvane.app/Contents/../../../x"}), false, unsafe},
        {"an absolute path", entries({"/tmp/x"}), false, unsafe},
        {"a backslash", entries({"Korvane.app\\Contents\\x"}), false, unsafe},
        {"a link, then a file through it",
         [&] {
             ZipWriter zip;
             zip.addDirectory("Korvane.app/");
             zip.addLink("Korvane.app/escape", outside.string());
             zip.addFile("Korvane.app/escape/planted", "x");
             zip.write(package());
         },
         false, link},
        {"a link deep inside a framework",
         [&] {
             const fs::path target = dir.path() / "new.app";
             writeTestBundle(target, next());
             const fs::path versions = target / "Contents/Frameworks/Kit.framework/Versions";
             fs::create_directories(versions / "A");
             fs::create_symlink("A", versions / "Current");
             signBundle(target, team);
             writeFullPackage(package(), target);
         },
         false, link},
        {"not an archive", [&] { writeFile(package(), "not a zip"); }, false, kToolFailed},
        {"another identifier", full(otherIdentifier), false, identity},
        {"build 101.0", full(decimalBuild), false, identity},
        {"build of another version", full(next(102)), false, identity},
        {"an information file that is no dictionary", full(arrayInfo), false, "更新包版本信息无效"},
        {"arm64 only", full(armOnly), false, "新版芯片架构不匹配"},
        {"signed by a key the team does not have", full(next(), &stranger), false, kToolFailed},
        {"signed by another team", full(next(), &otherTeam), false, kToolFailed},
        {"changed after signing",
         [&] {
             const fs::path target = bundle("new.app", next());
             writeFile(target / "Contents/Resources/UI/a b.html", "<p>tampered");
             writeFullPackage(package(), target);
         },
         false, kToolFailed},
        {"a patch without arch", patchWith(noArch), true, patchMismatch},
        {"a patch from another build", patchWith(patchManifest(99, 101)), true, patchMismatch},
        {"a patch to another build", patchWith(patchManifest(100, 102)), true, patchMismatch},
        {"a patch to build 101.0", patchWith(decimalTo), true, patchMismatch},
        {"a patch of another format", patchWith(otherFormat), true, patchMismatch},
        {"a patch whose result is not sealed",
         [&] {
             const fs::path target = bundle("new.app", next());
             fs::remove(target / "Contents/_CodeSignature/CodeSignature");
             writePatchPackage(package(), installed(), target, patchManifest(100, 101));
         },
         true, kToolFailed},
        {"a target beyond the highest build", full(next(100'000'001)), false,
         "请先使用安装器将 Korvane 安装到应用程序目录", 100'000'001},
        {"a target that is not newer", full(next(100)), false, "请先使用安装器将 Korvane 安装到应用程序目录",
         100},
    };
    for (const auto& c : cases) {
        fs::remove_all(dir.path() / "new.app");
        c.make();
        EXPECT_EQ(failure(c.isPatch, c.target), c.error) << c.name;
        expectUntouched(c.name);
    }
    EXPECT_TRUE(fs::is_empty(outside));
}

TEST_F(InstallerTest, TheInstallationMustBeTheUsersOwnInTheApplicationsFolder) {
    writeFullPackage(package(), bundle("new.app", next()));
    const std::string notInstalled = "请先使用安装器将 Korvane 安装到应用程序目录";
    const std::string rights = "当前客户端安装权限需要修复，请使用新版 PKG 安装器覆盖一次；本次连接保持不变";
    const fs::path elsewhere = dir.path() / "home/Applications/Korvane.app";
    fs::create_directories(elsewhere.parent_path());
    fs::copy(installed(), elsewhere, fs::copy_options::recursive);
    const fs::path script = installed() / "Contents/Resources/update-install.zsh";
    const fs::path moved = root() / "Applications/Korvane-real.app";

    struct Case {
        std::string name;
        std::function<void()> change, undo;
        std::function<void()> prepare;
        std::string error;
    };
    auto run = [this](const fs::path& running, const std::string& arch) {
        return [this, running, arch] {
            KorvaneUpdateInstaller::prepare(package(), false, 101, 100, arch, support(), running);
        };
    };
    auto nothing = [] {};
    const std::vector<Case> cases = {
        {"a copy outside the Applications folder", nothing, nothing, run(elsewhere, "x64"), notInstalled},
        {"an unknown architecture key", nothing, nothing, run(installed(), "ppc"), notInstalled},
        {"a bundle owned by another user", [&] { ASSERT_EQ(::lchown(installed().c_str(), 65534, 65534), 0); },
         [&] { ASSERT_EQ(::lchown(installed().c_str(), ::geteuid(), ::getegid()), 0); },
         run(installed(), "x64"), rights},
        {"a bundle that is a link",
         [&] {
             fs::rename(installed(), moved);
             fs::create_directory_symlink(moved, installed());
         },
         [&] {
             fs::remove(installed());
             fs::rename(moved, installed());
         },
         run(installed(), "x64"), rights},
        {"no install script", [&] { fs::rename(script, dir.path() / "script"); },
         [&] { fs::rename(dir.path() / "script", script); }, run(installed(), "x64"),
         "当前安装缺少更新助手，请使用安装器修复一次"},
    };
    for (const auto& c : cases) {
        c.change();
        try {
            c.prepare();
            ADD_FAILURE() << c.name << ": prepared";
        } catch (const KorvaneError& error) {
            EXPECT_EQ(error.what(), c.error) << c.name;
        }
        c.undo();
        expectUntouched(c.name);
    }
}

TEST_F(InstallerTest, AToolThatHangsIsKilledAndAStopEndsThePreparation) {
    writeFullPackage(package(), bundle("new.app", next()));
    const fs::path started = dir.path() / "started";
    tools.replace("/usr/bin/codesign", "#!/bin/sh\necho $$ > '" + started.string() + "'\nexec sleep 600\n");
    auto alive = [&] {
        const auto pid = readFile(started);
        return pid && ::kill(std::stoi(*pid), 0) == 0;
    };

    KorvaneUpdateInstaller::Options options;
    options.toolTimeLimit = 500ms;
    EXPECT_EQ(failure(false, 101, options), kToolFailed);
    EXPECT_FALSE(alive());
    expectUntouched("a tool that hangs");

    fs::remove(started);
    std::stop_source stop;
    options.toolTimeLimit = KorvaneUpdateInstaller::kToolTimeLimit;
    options.stop = stop.get_token();
    std::thread stopper([&] {
        while (!fs::exists(started))
            std::this_thread::sleep_for(10ms);
        stop.request_stop();
    });
    EXPECT_THROW(prepare(false, 101, options), Cancelled);
    stopper.join();
    EXPECT_FALSE(alive());
    expectUntouched("a stopped preparation");
}

TEST_F(InstallerTest, ALinkTheListingMissedIsFoundAfterUnpacking) {
    // An archive tool that does not show links: the walk below the unpacked package still
    // finds the one deep inside.
    tools.replace("/usr/bin/zipinfo", "#!/bin/sh\n/usr/bin/zipinfo \"$@\" | sed 's/^l/-/'\n");
    const fs::path target = dir.path() / "new.app";
    writeTestBundle(target, next());
    fs::create_directories(target / "Contents/Frameworks/Kit.framework/Versions/A");
    fs::create_symlink("A", target / "Contents/Frameworks/Kit.framework/Versions/Current");
    signBundle(target, team);
    writeFullPackage(package(), target);
    EXPECT_EQ(failure(false), "更新包包含非预期链接，已拒绝安装");
    expectUntouched("a link the listing missed");
}

} // namespace
