// The preparation's defences that the end-to-end tests cannot reach in reasonable time or at
// all: the listing's limit as the real archive lister prints it, the walk after unpacking when
// the listing misses a link, and tools that hang or are stopped. Each leaves the installation
// as it was and nothing new in the Applications folder. (Every refusal through the client is in
// tests/e2e/update_test.cpp.)

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

class InstallerTest : public ::testing::Test {
protected:
    InstallerTest() {
        setSystemRoot(root());
        tools.trust(team);
        TestBundle bundleContents;
        bundleContents.resources = {{"update-install.zsh", kScript}, {"UI/a b.html", "<p>"}};
        writeTestBundle(installed(), bundleContents);
        signBundle(installed(), team);
        before = treeDigest(installed());
    }
    ~InstallerTest() override { setSystemRoot({}); }

    fs::path root() const { return dir.path() / "root"; }
    fs::path installed() const { return root() / "Applications" / "Korvane.app"; }
    fs::path support() const { return dir.path() / "support"; }
    fs::path package() const { return dir.path() / "package.zip"; }

    // A signed bundle of build 101 at dir/new.app, as the package's content.
    fs::path target() const {
        TestBundle bundleContents;
        bundleContents.build = 101;
        bundleContents.resources = {{"update-install.zsh", kScript}};
        const fs::path path = dir.path() / "new.app";
        writeTestBundle(path, bundleContents);
        signBundle(path, team);
        return path;
    }
    std::string failure(KorvaneUpdateInstaller::Options options = {}) const {
        try {
            KorvaneUpdateInstaller::prepare(package(), false, 101, 100, "x64", support(), installed(),
                                            options);
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
    EXPECT_EQ(failure(), "更新包包含不安全的文件路径，已拒绝安装");
    expectUntouched("2,001 entries");
}

TEST_F(InstallerTest, AToolThatHangsIsKilledAndAStopEndsThePreparation) {
    writeFullPackage(package(), target());
    const fs::path started = dir.path() / "started";
    tools.replace("/usr/bin/codesign", "#!/bin/sh\necho $$ > '" + started.string() + "'\nexec sleep 600\n");
    auto alive = [&] {
        const auto pid = readFile(started);
        return pid && ::kill(std::stoi(*pid), 0) == 0;
    };

    KorvaneUpdateInstaller::Options options;
    options.toolTimeLimit = 500ms;
    EXPECT_EQ(failure(options), kToolFailed);
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
    EXPECT_EQ(failure(options), Cancelled().what());
    stopper.join();
    EXPECT_FALSE(alive());
    expectUntouched("a stopped preparation");
}

TEST_F(InstallerTest, ALinkTheListingMissedIsFoundAfterUnpacking) {
    // An archive tool that does not show links: the walk below the unpacked package still
    // finds the one deep inside.
    tools.replace("/usr/bin/zipinfo", "#!/bin/sh\n/usr/bin/zipinfo \"$@\" | sed 's/^l/-/'\n");
    const fs::path bundle = target();
    fs::create_directories(bundle / "Contents/Frameworks/Kit.framework/Versions/A");
    fs::create_symlink("A", bundle / "Contents/Frameworks/Kit.framework/Versions/Current");
    signBundle(bundle, team);
    writeFullPackage(package(), bundle);
    EXPECT_EQ(failure(), "更新包包含非预期链接，已拒绝安装");
    expectUntouched("a link the listing missed");
}

} // namespace
