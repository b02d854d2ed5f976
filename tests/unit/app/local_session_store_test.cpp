#include "app/local_session_store.h"
#include "platform/posix_platform.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvane;
using korvane::testing::TempDir;
namespace fs = std::filesystem;

namespace {

class LocalSessionStoreTest : public ::testing::Test {
protected:
    fs::path directory() const {
        return home.path() / "Library" / "Application Support" / "Korvane" / "PrivateSession";
    }
    fs::path sessionFile(const std::string& key) const { return directory() / (key + ".session"); }
    static mode_t modeOf(const fs::path& path) {
        struct stat info {};
        ::lstat(path.c_str(), &info);
        return info.st_mode & 07777;
    }
    static void writeRaw(const fs::path& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }

    TempDir home;
    HomeDirectories directories{home.path()};
    LocalSessionStore store{directories};
};

TEST_F(LocalSessionStoreTest, RoundTripWithPrivateModesAndNoTemporaryFilesLeft) {
    ASSERT_TRUE(store.write("auth", "Bearer abc.def"));
    EXPECT_EQ(store.read("auth"), "Bearer abc.def");
    EXPECT_EQ(modeOf(directory()), 0700u);
    EXPECT_EQ(modeOf(sessionFile("auth")), 0600u);
    std::ifstream in(sessionFile("auth"), std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, "Bearer abc.def") << "the file holds the value's bytes and nothing else";
    int entries = 0;
    for ([[maybe_unused]] auto& entry : fs::directory_iterator(directory()))
        ++entries;
    EXPECT_EQ(entries, 1);
}

TEST_F(LocalSessionStoreTest, KeysOutsideTheAllowListAreRefusedAndCreateNothing) {
    EXPECT_FALSE(store.write("password", "hunter2"));
    EXPECT_EQ(store.read("password"), std::nullopt);
    EXPECT_FALSE(fs::exists(directory() / "password.session"));
    EXPECT_FALSE(fs::exists(directory())) << "a refused key must not even create the directory";
}

TEST_F(LocalSessionStoreTest, SizeLimitKeepsThePreviousValue) {
    const std::string largest(LocalSessionStore::kMaximumSize, 'a');
    ASSERT_TRUE(store.write("auth", largest));
    EXPECT_EQ(store.read("auth"), largest);
    EXPECT_FALSE(store.write("auth", largest + "b"));
    EXPECT_EQ(store.read("auth"), largest);
}

TEST_F(LocalSessionStoreTest, DeletingWorksAndDeletingNothingSucceeds) {
    ASSERT_TRUE(store.write("install_id", "3F2504E0-4F89-11D3-9A0C-0305E82C3301"));
    EXPECT_TRUE(store.write("install_id", std::nullopt));
    EXPECT_FALSE(fs::exists(sessionFile("install_id")));
    EXPECT_TRUE(store.write("install_id", ""));
    EXPECT_EQ(store.read("install_id"), std::nullopt);
}

TEST_F(LocalSessionStoreTest, RefusesFilesItCannotProveArePrivate) {
    ASSERT_TRUE(store.write("auth", "secret"));

    ::chmod(sessionFile("auth").c_str(), 0644);
    EXPECT_EQ(store.read("auth"), std::nullopt) << "readable by others";

    writeRaw(sessionFile("auth"), "");
    ::chmod(sessionFile("auth").c_str(), 0600);
    EXPECT_EQ(store.read("auth"), std::nullopt) << "empty";

    writeRaw(sessionFile("auth"), "bad \xC3");
    EXPECT_EQ(store.read("auth"), std::nullopt) << "not UTF-8";

    const fs::path target = home.path() / "elsewhere.session";
    writeRaw(target, "linked");
    ::chmod(target.c_str(), 0600);
    fs::remove(sessionFile("auth"));
    fs::create_symlink(target, sessionFile("auth"));
    EXPECT_EQ(store.read("auth"), std::nullopt) << "a symbolic link, even to a private file";
    // A write replaces the link itself and never writes through it.
    EXPECT_TRUE(store.write("auth", "new"));
    EXPECT_FALSE(fs::is_symlink(sessionFile("auth")));
    EXPECT_EQ(store.read("auth"), "new");
    std::ifstream linked(target);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(linked)), {}), "linked");
}

TEST_F(LocalSessionStoreTest, LooseDirectoryIsTightenedAndLinkedDirectoryRefused) {
    fs::create_directories(directory());
    ::chmod(directory().c_str(), 0755);
    EXPECT_TRUE(store.write("auth", "v"));
    EXPECT_EQ(modeOf(directory()), 0700u);

    fs::remove_all(directory());
    const fs::path real = home.path() / "real";
    fs::create_directories(real);
    fs::create_symlink(real, directory());
    EXPECT_FALSE(store.write("auth", "v"));
    EXPECT_EQ(store.read("auth"), std::nullopt);
}

TEST_F(LocalSessionStoreTest, ForeignDirectoryIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the directory to another user";
    fs::create_directories(directory());
    ASSERT_EQ(::chown(directory().c_str(), 65534, 65534), 0);
    EXPECT_FALSE(store.write("auth", "v"));
    EXPECT_EQ(store.read("auth"), std::nullopt);
}

TEST_F(LocalSessionStoreTest, NoApplicationSupportMeansNothingWorks) {
    HomeDirectories nowhere{fs::path()};
    LocalSessionStore homeless{nowhere};
    EXPECT_FALSE(homeless.write("auth", "v"));
    EXPECT_EQ(homeless.read("auth"), std::nullopt);
}

} // namespace
