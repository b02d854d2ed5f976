// The private files read at launch, as another program could have left them: a FIFO at every
// one of them must neither hang the client nor be taken for data, and the folders the client
// creates are private from the start.

#include "base/json.h"
#include "e2e_support.h"
#include "testing/headless_session.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sys/stat.h>

using namespace korvane;
using namespace korvane::testing;
namespace fs = std::filesystem;

namespace {

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

std::set<std::string> refusedFiles(const fs::path& home) {
    std::set<std::string> refused;
    for (const auto& entry : fs::directory_iterator(e2e::supportDir(home) / "logs")) {
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);) {
            const Json event = Json::parse(line);
            if (event["event"] == "private_file_refused")
                refused.insert(event["stage"].get<std::string>() + ":" + event["reason"].get<std::string>());
        }
    }
    return refused;
}

TEST(PrivateFilesTest, AFifoAtEveryFileReadAtLaunchIsRefusedWithoutBlocking) {
    TempDir home;
    const fs::path support = e2e::supportDir(home.path());
    fs::create_directories(support / "PrivateSession");
    ::chmod((support / "PrivateSession").c_str(), 0700);
    const fs::path settings = home.path() / "Library" / "Preferences" / "art.korvane.mac.native.json";
    fs::create_directories(settings.parent_path());
    for (const fs::path& path : {support / "PrivateSession" / "auth.session", support / "subscription.yaml",
                                 support / "nodes.json", settings}) {
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << path;
    }

    HeadlessSession session(e2e::sessionOptions(home.path()));
    session.waitFor("ready");
    const Json state = session.waitFor("state")["state"];
    EXPECT_EQ(state["loggedIn"], false);
    EXPECT_EQ(state["nodes"], Json::array());
    session.send({{"cmd", "terminate"}});
    EXPECT_EQ(session.waitForExit().code, 0);

    EXPECT_EQ(refusedFiles(home.path()), (std::set<std::string>{"auth_session:not_regular_file",
                                                                "subscription_cache:not_regular_file"}));
}

TEST(PrivateFilesTest, FoldersTheClientCreatesArePrivateFromTheStart) {
    TempDir home;
    HeadlessSession session(e2e::sessionOptions(home.path()));
    session.waitFor("ready");
    session.send({{"cmd", "terminate"}});
    EXPECT_EQ(session.waitForExit().code, 0);
    for (const fs::path& folder : {home.path() / "Library", home.path() / "Library" / "Application Support",
                                   e2e::supportDir(home.path()), e2e::supportDir(home.path()) / "logs"}) {
        EXPECT_EQ(modeOf(folder), 0700u) << folder;
    }
}

} // namespace
