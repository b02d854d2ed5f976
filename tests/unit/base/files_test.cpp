#include "base/errors.h"
#include "base/files.h"
#include "base/json.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

using namespace korvane;
using korvane::testing::TempDir;
namespace fs = std::filesystem;

namespace {

TEST(AtomicWriteTest, ReplacesContentWithPrivateModeAndLeavesNoTemporaryFile) {
    TempDir dir;
    const auto file = dir.path() / "nodes.json";
    writeFileAtomically(file, "old");
    ::chmod(file.c_str(), 0644);
    writeFileAtomically(file, "[1,2]");
    EXPECT_EQ(readFile(file), "[1,2]");
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    int entries = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(AtomicWriteTest, FailureThrowsFileErrorWithoutThePath) {
    TempDir dir;
    try {
        writeFileAtomically(dir.path() / "missing" / "x.json", "{}");
        FAIL() << "expected FileError";
    } catch (const FileError& error) {
        EXPECT_EQ(std::string(error.what()).find(dir.path().string()), std::string::npos);
    }
}

TEST(Utf8Test, AcceptsValidAndRejectsMalformedSequences) {
    EXPECT_TRUE(isValidUtf8("香港 01 ✓ 😀"));
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));         // overlong "/"
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));     // surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80")); // above U+10FFFF
    EXPECT_FALSE(isValidUtf8("abc\xE6\xB8"));      // cut short
    EXPECT_EQ(countScalars("a香😀"), 3u);
}

TEST(JsonEncodingTest, SortsKeysEscapesScriptCloseAndFallsBackToNull) {
    Json value = {{"zeta", 1}, {"alpha", "</script>"}, {"mid", Json::array({true, nullptr})}};
    EXPECT_EQ(encodeJson(value), R"({"alpha":"</script>","mid":[true,null],"zeta":1})");
    EXPECT_EQ(encodeJsonForScript(value), R"({"alpha":"<\/script>","mid":[true,null],"zeta":1})");
    EXPECT_EQ(encodeJson(Json("bad \xC3")), "null");
}

} // namespace
