// The package download against a loopback server: what lands at the destination and when,
// the percentages, every failure leaving an earlier file in place and no partial file behind;
// and the digest.

#include "base/errors.h"
#include "base/files.h"
#include "panel/http.h"
#include "testing/async_test.h"
#include "testing/https_server.h"
#include "testing/temp_dir.h"
#include "testing/test_certificates.h"
#include "update/korvane_update_download.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string package(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    return bytes;
}

class DownloadTest : public ::testing::Test {
protected:
    DownloadTest() {
        trustAdditionalCertificateAuthority(testCaFile());
        fs::create_directories(updates());
        writeFileAtomically(destination(), "an earlier download");
        writeFileAtomically(file(), body);
    }

    fs::path updates() const { return dir.path() / "updates"; }
    fs::path destination() const { return updates() / "Korvane-42-x64.zip"; }
    fs::path file() const { return dir.path() / "served.zip"; }

    std::string download(const std::string& path, std::chrono::milliseconds stallLimit = 60s) {
        percentages.clear();
        KorvaneUpdateDownload transfer(
            destination(), [this](int percentage) { percentages.push_back(percentage); }, stallLimit);
        return errorOf(scope.loop, transfer.run(server.baseUrl() + path));
    }
    // What the download left in its folder besides the destination.
    std::vector<std::string> leftovers() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(updates()))
            if (entry.path() != destination()) names.push_back(entry.path().filename().string());
        return names;
    }

    const std::string body = package(3 * 1024 * 1024 + 17);
    TempDir dir;
    HttpsServer server;
    ManualLoopScope scope;
    std::vector<int> percentages;
};

TEST_F(DownloadTest, TheFileReplacesTheEarlierOneOnlyOnceComplete) {
    // A link planted where the package goes is replaced, not followed.
    const fs::path elsewhere = dir.path() / "elsewhere";
    writeFileAtomically(elsewhere, "not the client's");
    fs::remove(destination());
    fs::create_symlink(elsewhere, destination());
    HttpResponse answer;
    answer.file = file();
    server.route("GET", "/package.zip", answer);

    EXPECT_EQ(download("/package.zip"), "");
    EXPECT_FALSE(fs::is_symlink(destination()));
    EXPECT_EQ(readFile(destination()), body);
    EXPECT_EQ(readFile(elsewhere), "not the client's");
    EXPECT_TRUE(leftovers().empty());
    ASSERT_FALSE(percentages.empty());
    EXPECT_TRUE(std::is_sorted(percentages.begin(), percentages.end()));
    EXPECT_EQ(std::adjacent_find(percentages.begin(), percentages.end()), percentages.end()) << "repeated";
    EXPECT_EQ(percentages.back(), 100);
}

TEST_F(DownloadTest, WithoutALengthThereAreNoPercentages) {
    HttpResponse answer;
    answer.file = file();
    answer.noLength = true;
    server.route("GET", "/package.zip", answer);
    EXPECT_EQ(download("/package.zip"), "");
    EXPECT_EQ(readFile(destination()), body);
    EXPECT_TRUE(percentages.empty());
}

// The statuses, a cut-off and an oversized answer are in the end-to-end tests; these two need a
// short stall limit or a second address.
TEST_F(DownloadTest, AStallOrAnInsecureRedirectEndsItWithoutATrace) {
    HttpResponse stalled;
    stalled.file = file();
    stalled.cutAfter = 1024 * 1024;
    stalled.holdOpen = true;
    server.route("GET", "/stalled.zip", stalled);
    EXPECT_EQ(download("/stalled.zip", 300ms), "更新下载长时间没有收到数据，已停止");
    EXPECT_EQ(readFile(destination()), "an earlier download");
    EXPECT_TRUE(leftovers().empty());

    server.route(
        "GET", "/moved.zip",
        HttpResponse{302, {{"Location", "http://127.0.0.1:" + std::to_string(server.port()) + "/x"}}, ""});
    EXPECT_NE(download("/moved.zip"), "");
    EXPECT_EQ(server.count("GET", "/x"), 0u);
    EXPECT_EQ(readFile(destination()), "an earlier download");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(DownloadTest, ACancelledDownloadStopsAndRemovesItsPart) {
    HttpResponse stalled;
    stalled.file = file();
    stalled.cutAfter = 64 * 1024;
    stalled.holdOpen = true;
    server.route("GET", "/package.zip", stalled);
    KorvaneUpdateDownload transfer(destination(),
                                   [this](int percentage) { percentages.push_back(percentage); });
    std::exception_ptr failure;
    auto run = [](KorvaneUpdateDownload& download, std::string url, std::exception_ptr& error) -> Task<void> {
        try {
            co_await download.run(std::move(url));
        } catch (...) {
            error = std::current_exception();
        }
    };
    auto handle = spawn(run(transfer, server.baseUrl() + "/package.zip", failure));
    // Under way: the first bytes have arrived and been reported.
    ASSERT_TRUE(scope.loop.runUntil([&] { return !percentages.empty(); }));
    ASSERT_FALSE(leftovers().empty());
    handle.cancel();
    ASSERT_TRUE(scope.loop.runUntil([&] { return handle.done(); }));
    EXPECT_THROW(std::rethrow_exception(failure), Cancelled);
    EXPECT_TRUE(scope.loop.runUntil([&] { return leftovers().empty(); }));
    EXPECT_EQ(readFile(destination()), "an earlier download");
}

TEST(DownloadPercentageTest, TruncatedWithinBounds) {
    struct Case {
        std::int64_t written, expected;
        int percentage;
    };
    const Case cases[] = {{1500, 2000, 75}, {1, 3, 33}, {0, 10, 0},  {3, 3, 100},
                          {4, 3, 100},      {5, 0, -1}, {5, -1, -1}, {-1, 10, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(downloadPercentage(c.written, c.expected), c.percentage) << c.written << "/" << c.expected;
}

TEST(Sha256Test, DigestsAcrossChunkBoundaries) {
    TempDir dir;
    auto oneShot = [](const std::string& bytes) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
        std::string hex;
        for (unsigned int i = 0; i < length; ++i) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", digest[i]);
            hex += pair;
        }
        return hex;
    };
    const std::pair<std::string, std::string> known[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    };
    for (const auto& [bytes, digest] : known) {
        writeFileAtomically(dir.path() / "f", bytes);
        EXPECT_EQ(sha256(dir.path() / "f"), digest);
    }
    for (std::size_t size : {std::size_t{1} << 20, (std::size_t{1} << 20) + 1, (std::size_t{3} << 20) - 1}) {
        const std::string bytes = package(size);
        writeFileAtomically(dir.path() / "f", bytes);
        EXPECT_EQ(sha256(dir.path() / "f"), oneShot(bytes)) << size;
    }
    fs::create_symlink(dir.path() / "f", dir.path() / "link");
    EXPECT_THROW(sha256(dir.path() / "link"), FileError);
    EXPECT_THROW(sha256(dir.path() / "missing"), FileError);
}

} // namespace
