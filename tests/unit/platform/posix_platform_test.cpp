#include "platform/posix_platform.h"

#include "base/files.h"
#include "base/json.h"
#include "platform/system_paths.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <sys/stat.h>

using namespace korvane;
using korvane::testing::TempDir;
namespace fs = std::filesystem;

namespace {

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

void plant(const fs::path& file, const std::string& content) {
    fs::create_directories(file.parent_path());
    writeFileAtomically(file, content, 0644);
}

// Sets (or with nullopt removes) one environment variable for the scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// ---- JsonFileDefaults ------------------------------------------------------------------

TEST(JsonFileDefaultsTest, ValuesSurviveANewInstanceInAPrivateFile) {
    TempDir home;
    const auto file = home.path() / "Library" / "Preferences" / "art.korvane.mac.native.json";
    {
        JsonFileDefaults defaults(file);
        defaults.remove("email"); // nothing to remove: no file is written for it
        EXPECT_FALSE(fs::exists(file));
        defaults.setString("email", "a@b.c");
        defaults.setString("mode", "global");
        defaults.setBool("remember", false);
        defaults.remove("mode");
    }
    JsonFileDefaults again(file);
    EXPECT_EQ(again.getString("email"), "a@b.c");
    EXPECT_EQ(again.getBool("remember"), false);
    EXPECT_FALSE(again.contains("mode"));
    EXPECT_EQ(Json::parse(readFile(file).value()), (Json{{"email", "a@b.c"}, {"remember", false}}));
    EXPECT_EQ(modeOf(file), 0600u);
    // The directories it had to create hold nothing but the user's settings.
    EXPECT_EQ(modeOf(file.parent_path()), 0700u);
    EXPECT_EQ(modeOf(file.parent_path().parent_path()), 0700u);
}

TEST(JsonFileDefaultsTest, TypedReadsAnswerNoneForOtherTypes) {
    TempDir dir;
    const auto file = dir.path() / "settings.json";
    plant(file, R"({"text":"on","flag":true,"number":1,"nothing":null,"list":[true],"object":{}})");
    JsonFileDefaults defaults(file);
    struct Row {
        const char* key;
        std::optional<std::string> string;
        std::optional<bool> boolean;
    };
    const Row rows[] = {
        {"text", "on", std::nullopt},           {"flag", std::nullopt, true},
        {"number", std::nullopt, std::nullopt}, {"nothing", std::nullopt, std::nullopt},
        {"list", std::nullopt, std::nullopt},   {"object", std::nullopt, std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key);
        EXPECT_TRUE(defaults.contains(row.key));
        EXPECT_EQ(defaults.getString(row.key), row.string);
        EXPECT_EQ(defaults.getBool(row.key), row.boolean);
    }
    EXPECT_FALSE(defaults.contains("missing"));
    EXPECT_EQ(defaults.getString("missing"), std::nullopt);
}

TEST(JsonFileDefaultsTest, AFileThatIsNotAnObjectStartsEmptyAndIsReplacedOnTheNextWrite) {
    for (const char* content :
         {"", "not json", R"({"email":"a@b.c")", R"(["email"])", R"("email")", "null"}) {
        SCOPED_TRACE(content);
        TempDir dir;
        const auto file = dir.path() / "settings.json";
        plant(file, content);
        JsonFileDefaults defaults(file);
        EXPECT_FALSE(defaults.contains("email"));
        defaults.setBool("remember", true);
        EXPECT_EQ(readFile(file), R"({"remember":true})");
        EXPECT_EQ(modeOf(file), 0600u);
    }
}

// ---- PlistBundle -----------------------------------------------------------------------

constexpr const char* kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
    <key>CFBundleIdentifier</key>
    <string>art.korvane.mac.native</string>
    <key>CFBundleShortVersionString</key>
    <string>2.4.1</string>
    <key>CFBundleName</key>
    <string>Korvane 香港</string>
    <key>Empty</key>
    <string></string>
    <key>CFBundleVersion</key>
    <integer>100</integer>
    <key>NSHighResolutionCapable</key>
    <true/>
    <key>List</key>
    <array><string>a</string></array>
</dict>
</plist>
)";

TEST(PlistBundleTest, ReadsTheStringValuesOfInfoPlist) {
    TempDir bundle;
    plant(bundle.path() / "Contents" / "Info.plist", kInfoPlist);
    PlistBundle info(bundle.path());
    EXPECT_EQ(info.infoString("CFBundleIdentifier"), "art.korvane.mac.native");
    EXPECT_EQ(info.infoString("CFBundleShortVersionString"), "2.4.1");
    EXPECT_EQ(info.infoString("CFBundleName"), "Korvane 香港");
    EXPECT_EQ(info.infoString("Empty"), "");
    for (const char* key : {"CFBundleVersion", "NSHighResolutionCapable", "List", "Missing"}) {
        EXPECT_EQ(info.infoString(key), std::nullopt) << key;
    }
}

TEST(PlistBundleTest, AMissingOrUnreadableInfoPlistReadsAsEmpty) {
    const std::optional<std::string> contents[] = {
        std::nullopt,
        "",
        "garbage",
        R"(<?xml version="1.0"?><plist version="1.0"><dict><key>CFBundleName</key><string>Korvane)",
        R"(<?xml version="1.0"?><plist version="1.0"><array><string>Korvane</string></array></plist>)",
    };
    for (const auto& content : contents) {
        SCOPED_TRACE(content.value_or("(no file)"));
        TempDir bundle;
        if (content) plant(bundle.path() / "Contents" / "Info.plist", *content);
        PlistBundle info(bundle.path());
        for (const char* key : {"CFBundleName", "CFBundleIdentifier", "CFBundleShortVersionString"}) {
            EXPECT_EQ(info.infoString(key), std::nullopt) << key;
        }
    }
}

TEST(PlistBundleTest, ResourceFindsExistingFilesOnly) {
    TempDir bundle;
    plant(bundle.path() / "Contents" / "Resources" / "UI" / "index.html", "<html></html>");
    PlistBundle info(bundle.path());
    EXPECT_EQ(info.location(), bundle.path());
    EXPECT_EQ(info.resourcesDirectory(), bundle.path() / "Contents" / "Resources");
    EXPECT_EQ(info.resource("UI/index.html"), bundle.path() / "Contents" / "Resources" / "UI" / "index.html");
    EXPECT_EQ(info.resource("UI/bridge.js"), std::nullopt);
    EXPECT_EQ(info.resource("Korvane.icns"), std::nullopt);
}

TEST(PlistBundleTest, LocateTakesKorvaneBundleElseTheExecutablesBundle) {
    // This test program stands where the executable of a bundle would: <bundle>/Contents/MacOS.
    const auto fromExecutable = fs::read_symlink("/proc/self/exe").parent_path().parent_path().parent_path();
    {
        ScopedEnv bundle("KORVANE_BUNDLE", "/opt/Korvane.app");
        EXPECT_EQ(PlistBundle::locate(), "/opt/Korvane.app");
    }
    {
        ScopedEnv bundle("KORVANE_BUNDLE", "");
        EXPECT_EQ(PlistBundle::locate(), fromExecutable);
    }
    ScopedEnv bundle("KORVANE_BUNDLE", std::nullopt);
    EXPECT_EQ(PlistBundle::locate(), fromExecutable);
}

// ---- HomeDirectories and system paths ----------------------------------------------------

TEST(HomeDirectoriesTest, FoldersBelowTheHomeDirectory) {
    HomeDirectories given("/Users/ada");
    EXPECT_EQ(given.applicationSupport(), fs::path("/Users/ada/Library/Application Support"));
    EXPECT_EQ(given.downloads(), fs::path("/Users/ada/Downloads"));
    {
        ScopedEnv home("HOME", "/home/ada");
        EXPECT_EQ(HomeDirectories().applicationSupport(), fs::path("/home/ada/Library/Application Support"));
    }
    for (const auto& value : {std::optional<std::string>(""), std::optional<std::string>()}) {
        ScopedEnv home("HOME", value);
        HomeDirectories none;
        EXPECT_EQ(none.applicationSupport(), std::nullopt);
        EXPECT_EQ(none.downloads(), std::nullopt);
    }
}

TEST(SystemPathTest, KorvaneRootPrefixesEveryPathUntilOverridden) {
    // One test, because the override cannot be taken back within the process.
    {
        ScopedEnv root("KORVANE_ROOT", std::nullopt);
        EXPECT_EQ(systemPath("/Applications"), "/Applications");
    }
    {
        ScopedEnv root("KORVANE_ROOT", "");
        EXPECT_EQ(systemPath("/Applications"), "/Applications");
    }
    ScopedEnv root("KORVANE_ROOT", "/tmp/root");
    EXPECT_EQ(systemPath("/Library/LaunchDaemons/x.plist"), "/tmp/root/Library/LaunchDaemons/x.plist");
    EXPECT_EQ(HomeDirectories("/Users/ada").applications(), "/tmp/root/Applications");

    setSystemRoot("/elsewhere");
    EXPECT_EQ(systemPath("/Applications"), "/elsewhere/Applications");
    setSystemRoot("");
    EXPECT_EQ(systemPath("/Applications"), "/Applications");
}

} // namespace
