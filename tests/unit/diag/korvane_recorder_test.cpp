#include "diag/korvane_recorder.h"

#include "base/files.h"
#include "base/json.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace korvane;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr WallTime kLastSecondOfJanuary{std::chrono::seconds{1'738'367'999}}; // 2025-01-31 23:59:59 UTC
constexpr auto kDay = std::chrono::hours{24};

void plant(const fs::path& path, WallTime modified, const std::string& content = "{}\n") {
    std::ofstream(path) << content;
    const timespec time{std::chrono::duration_cast<std::chrono::seconds>(modified.time_since_epoch()).count(),
                        0};
    const timespec times[2] = {time, time};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/korvane-recorder-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        support_ = root_ / "Application Support";
        fs::create_directory(support_);
        clock_.set(kLastSecondOfJanuary);
    }
    void TearDown() override {
        KorvaneRecorder::install(nullptr);
        fs::remove_all(root_);
    }

    RecorderEnvironment environment() {
        return {[this] { return std::optional(support_); }, "1.2.3", 456, &clock_};
    }
    fs::path logs() const { return support_ / "Korvane" / "logs"; }
    fs::path file(const std::string& date) const { return logs() / ("client-" + date + ".jsonl"); }
    std::vector<Json> entries(const std::string& date) const {
        std::vector<Json> result;
        std::istringstream in(readFile(file(date)).value_or(""));
        for (std::string line; std::getline(in, line);)
            result.push_back(Json::parse(line));
        return result;
    }

    fs::path root_, support_;
    ManualClock clock_;
};

TEST_F(RecorderTest, WritesSortedCompactLinesIntoTheUtcDayFile) {
    KorvaneRecorder recorder(environment());
    clock_.advance(999ms); // seconds are truncated, not rounded into the next day
    recorder.write("connect", "dial", "timeout", 1234, 789);
    recorder.write("launch");
    EXPECT_EQ(readFile(file("2025-01-31")),
              R"({"build":456,"duration_ms":1234,"event":"connect","platform":"macos","reason":"timeout",)"
              R"("stage":"dial","target_build":789,"time":1738367999,"version":"1.2.3"})"
              "\n"
              R"({"build":456,"event":"launch","platform":"macos","reason":"","stage":"","time":1738367999,)"
              R"("version":"1.2.3"})"
              "\n");
}

TEST_F(RecorderTest, ReplacesAnythingButShortCodesAndClampsNumbers) {
    EXPECT_EQ(KorvaneRecorder::safeCode("two words"), "invalid_code");
    EXPECT_EQ(KorvaneRecorder::safeCode("café"), "invalid_code");
    EXPECT_EQ(KorvaneRecorder::safeCode(std::string(48, 'a')), std::string(48, 'a'));
    EXPECT_EQ(KorvaneRecorder::safeCode(std::string(49, 'a')), "invalid_code");
    EXPECT_EQ(KorvaneRecorder::safeCode("Tunnel_2.up-A"), "Tunnel_2.up-A");
    EXPECT_EQ(KorvaneRecorder::safeCode(""), "");

    KorvaneRecorder recorder(environment());
    recorder.write("two words", "ü", std::string(49, 'r'), -5, 200'000'000);
    recorder.write("ok", {}, {}, 900'000, -1);
    const auto lines = entries("2025-01-31");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["event"], "invalid_code");
    EXPECT_EQ(lines[0]["stage"], "invalid_code");
    EXPECT_EQ(lines[0]["reason"], "invalid_code");
    EXPECT_EQ(lines[0]["duration_ms"], 0);
    EXPECT_EQ(lines[0]["target_build"], 100'000'000);
    EXPECT_EQ(lines[1]["duration_ms"], 600'000);
    EXPECT_EQ(lines[1]["target_build"], 0);
}

TEST_F(RecorderTest, NeverGrowsAFileBeyondThreeMillionBytes) {
    KorvaneRecorder recorder(environment());
    recorder.write("launch");
    const auto path = file("2025-01-31");
    const auto lineLength = fs::file_size(path);

    fs::resize_file(path, 3'000'000 - lineLength);
    recorder.write("launch");
    EXPECT_EQ(fs::file_size(path), 3'000'000u);

    fs::resize_file(path, 3'000'000 - lineLength + 1);
    recorder.write("launch");
    EXPECT_EQ(fs::file_size(path), 3'000'000 - lineLength + 1);

    fs::resize_file(path, 3'000'000);
    recorder.write("a");
    EXPECT_EQ(fs::file_size(path), 3'000'000u);
}

TEST_F(RecorderTest, WritesNeitherThroughLinksNorIntoPipes) {
    KorvaneRecorder recorder(environment());
    fs::create_directories(logs());
    const auto target = root_ / "target";
    std::ofstream(target) << "keep";
    fs::create_symlink(target, file("2025-01-31"));
    recorder.write("launch");
    EXPECT_EQ(readFile(target), "keep");

    fs::remove(file("2025-01-31"));
    ASSERT_EQ(::mkfifo(file("2025-01-31").c_str(), 0600), 0);
    recorder.write("launch"); // must return rather than wait for a reader

    fs::remove_all(logs());
    const auto elsewhere = root_ / "elsewhere";
    fs::create_directory(elsewhere);
    fs::create_directory_symlink(elsewhere, logs());
    recorder.write("launch");
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_EQ(recorder.logDirectory(), std::nullopt);
}

TEST_F(RecorderTest, LeavesDirectoriesAndFilesOfOtherUsersAlone) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
    KorvaneRecorder recorder(environment());
    fs::create_directories(logs());
    ASSERT_EQ(::chown(logs().c_str(), 65534, 65534), 0);
    recorder.write("launch");
    EXPECT_TRUE(fs::is_empty(logs()));

    ASSERT_EQ(::chown(logs().c_str(), 0, 0), 0);
    std::ofstream(file("2025-01-31")) << "theirs";
    ASSERT_EQ(::chown(file("2025-01-31").c_str(), 65534, 65534), 0);
    recorder.write("launch");
    EXPECT_EQ(readFile(file("2025-01-31")), "theirs");
}

TEST_F(RecorderTest, RollsOverAtUtcMidnightAndPrunesOncePerDayAndInstance) {
    KorvaneRecorder recorder(environment());
    recorder.write("first");
    const WallTime afterMidnight = kLastSecondOfJanuary + 2s;
    const auto old = logs() / "client-2025-01-17.jsonl";
    plant(old, afterMidnight - 15 * kDay); // already past the cutoff of 31 January
    recorder.write("same_day");
    EXPECT_TRUE(fs::exists(old));

    clock_.set(afterMidnight);
    recorder.write("next_day");
    EXPECT_FALSE(fs::exists(old));
    EXPECT_EQ(entries("2025-01-31").size(), 2u);
    ASSERT_EQ(entries("2025-02-01").size(), 1u);
    EXPECT_EQ(entries("2025-02-01")[0]["event"], "next_day");
}

TEST_F(RecorderTest, PrunesOnlyClientLogsOlderThanTwoWeeks) {
    fs::create_directories(logs());
    const WallTime now = clock_.now();
    plant(logs() / "client-2024-01-01.jsonl", now - 15 * kDay);
    plant(logs() / "client-2024-01-02.jsonl", now - 14 * kDay);
    plant(logs() / "client-2024-01-03.jsonl", now - 13 * kDay);
    plant(logs() / "client-notes.txt", now - 15 * kDay);
    plant(logs() / "server-2024-01-01.jsonl", now - 15 * kDay);
    plant(logs() / ".client-x.jsonl", now - 15 * kDay);

    KorvaneRecorder(environment()).write("launch");
    EXPECT_FALSE(fs::exists(logs() / "client-2024-01-01.jsonl"));
    for (const char* kept : {"client-2024-01-02.jsonl", "client-2024-01-03.jsonl", "client-notes.txt",
                             "server-2024-01-01.jsonl", ".client-x.jsonl", "client-2025-01-31.jsonl"})
        EXPECT_TRUE(fs::exists(logs() / kept)) << kept;
}

TEST_F(RecorderTest, KeepsTheLogPrivateToTheUser) {
    KorvaneRecorder recorder(environment());
    recorder.write("launch");
    EXPECT_EQ(modeOf(logs()), 0700u);
    EXPECT_EQ(modeOf(file("2025-01-31")), 0600u);

    fs::permissions(logs(), fs::perms(0755));
    fs::permissions(file("2025-01-31"), fs::perms(0644));
    recorder.write("launch");
    EXPECT_EQ(modeOf(logs()), 0700u);
    EXPECT_EQ(modeOf(file("2025-01-31")), 0600u);
}

TEST_F(RecorderTest, DoesNothingWithoutAUsableApplicationSupportDirectory) {
    auto none = environment();
    none.applicationSupport = [] { return std::optional<fs::path>(); };
    auto missing = environment();
    missing.applicationSupport = nullptr;
    auto failing = environment();
    failing.applicationSupport = []() -> std::optional<fs::path> { throw std::runtime_error("no home"); };
    auto notADirectory = environment();
    std::ofstream(root_ / "plain") << "x";
    notADirectory.applicationSupport = [this] { return std::optional(root_ / "plain"); };

    for (auto* env : {&none, &missing, &failing, &notADirectory})
        EXPECT_NO_THROW(KorvaneRecorder(*env).write("launch"));
    EXPECT_EQ(KorvaneRecorder(none).logDirectory(), std::nullopt);
    EXPECT_FALSE(fs::exists(support_ / "Korvane"));
}

TEST_F(RecorderTest, ConcurrentWritersNeverInterleaveLines) {
    KorvaneRecorder recorder(environment());
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&recorder, t] {
            for (int i = 0; i < 500; ++i)
                recorder.write("thread_" + std::to_string(t), "line", std::to_string(i), i);
        });
    for (auto& writer : writers)
        writer.join();
    EXPECT_EQ(entries("2025-01-31").size(), 2000u); // parsing throws on a broken line
}

TEST_F(RecorderTest, RecordGoesToTheInstalledRecorderOnly) {
    KorvaneRecorder::record("before");
    EXPECT_FALSE(fs::exists(support_ / "Korvane"));

    KorvaneRecorder::install(std::make_shared<KorvaneRecorder>(environment()));
    KorvaneRecorder::record("installed", "s", "r", 5, 6);
    KorvaneRecorder::install(nullptr);
    KorvaneRecorder::record("after");

    const auto lines = entries("2025-01-31");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["event"], "installed");
    EXPECT_EQ(lines[0]["duration_ms"], 5);
}

} // namespace
