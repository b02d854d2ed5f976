// SystemProxy on the GNOME desktop's settings, in this process's in-memory settings store:
// every key of the proxy schemas, the user's values and the defaults alike, must come back
// exactly as it was.

#include "base/files.h"
#include "diag/korvane_recorder.h"
#include "sysproxy/proxy_backup.h"
#include "sysproxy/system_proxy.h"
#include "testing/async_test.h"
#include "testing/temp_dir.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sys/stat.h>

using namespace korvane;
using korvane::testing::errorOf;
using korvane::testing::ManualLoopScope;
using korvane::testing::runTask;
using korvane::testing::TempDir;
namespace fs = std::filesystem;

namespace {

// Before anything in this process opens a settings store: no test may reach the user's own.
const bool kInMemory = [] { return ::setenv("GSETTINGS_BACKEND", "memory", 1) == 0; }();

constexpr const char* kSchemas[] = {"org.gnome.system.proxy", "org.gnome.system.proxy.http",
                                    "org.gnome.system.proxy.https", "org.gnome.system.proxy.ftp",
                                    "org.gnome.system.proxy.socks"};

// A key's value: its text, and whether the user set it or it follows the default.
struct Value {
    std::string text;
    bool user;
    friend bool operator==(const Value&, const Value&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Value& v) {
        return out << v.text << (v.user ? " (user)" : " (default)");
    }
};
using Keys = std::map<std::string, Value>;

class GnomeProxyTest : public ::testing::Test {
protected:
    GnomeProxyTest() {
        EXPECT_TRUE(kInMemory);
        fs::create_directories(support_);
        forEachKey([](GSettings* settings, const char* key) { g_settings_reset(settings, key); });
    }

    template <class F> static void forEachKey(F visit) {
        for (const char* schema : kSchemas) {
            GSettings* settings = g_settings_new(schema);
            GSettingsSchema* info = nullptr;
            g_object_get(settings, "settings-schema", &info, nullptr);
            gchar** keys = g_settings_schema_list_keys(info);
            for (gchar** key = keys; *key; ++key)
                visit(settings, *key);
            g_strfreev(keys);
            g_settings_schema_unref(info);
            g_object_unref(settings);
        }
    }

    // Every key of the proxy schemas, including those switching never touches.
    static Keys keys() {
        Keys result;
        forEachKey([&](GSettings* settings, const char* key) {
            gchar* schema = nullptr;
            g_object_get(settings, "schema-id", &schema, nullptr);
            GVariant* value = g_settings_get_value(settings, key);
            GVariant* user = g_settings_get_user_value(settings, key);
            gchar* text = g_variant_print(value, FALSE);
            result[std::string(schema) + " " + key] = {text, user != nullptr};
            g_free(text);
            g_free(schema);
            g_variant_unref(value);
            if (user) g_variant_unref(user);
        });
        return result;
    }

    // Sets `key` of the schema to a value in GVariant text, e.g. "'manual'" or "3128".
    static void set(const char* schema, const char* key, const char* text) {
        GSettings* settings = g_settings_new(schema);
        GVariant* value = g_variant_parse(nullptr, text, nullptr, nullptr, nullptr);
        ASSERT_NE(value, nullptr) << text;
        EXPECT_TRUE(g_settings_set_value(settings, key, value)) << key;
        g_object_unref(settings);
    }

    void expectSwitched() const {
        const Keys now = keys();
        EXPECT_EQ(now.at("org.gnome.system.proxy mode").text, "'manual'");
        for (const char* child : {"http", "https", "socks"}) {
            const std::string schema = std::string("org.gnome.system.proxy.") + child;
            EXPECT_EQ(now.at(schema + " host").text, "'127.0.0.1'") << child;
            EXPECT_EQ(now.at(schema + " port").text, "7897") << child;
        }
        EXPECT_EQ(now.at("org.gnome.system.proxy ignore-hosts").text,
                  "['localhost', '127.0.0.1', '*.local']");
        EXPECT_TRUE(proxy_.stillRoutingThroughKorvane());
    }

    fs::path backup() const { return support_ / "proxy-backup.json"; }

    TempDir dir_;
    fs::path support_ = dir_.path() / "support";
    ManualLoopScope scope_;
    SystemProxy proxy_{backup(), support_, gnomeProxySettings()};
};

TEST_F(GnomeProxyTest, EveryKindOfUserSettingsComesBackKeyByKey) {
    struct Case {
        const char* name;
        std::vector<std::array<const char*, 3>> settings;
    } cases[] = {
        {"manual with a corporate proxy",
         {{"org.gnome.system.proxy", "mode", "'manual'"},
          {"org.gnome.system.proxy.http", "host", "'proxy.corp.example'"},
          {"org.gnome.system.proxy.http", "port", "3128"},
          {"org.gnome.system.proxy.http", "use-authentication", "true"},
          {"org.gnome.system.proxy.https", "host", "'proxy.corp.example'"},
          {"org.gnome.system.proxy.https", "port", "3129"},
          {"org.gnome.system.proxy.ftp", "host", "'ftp.corp.example'"},
          {"org.gnome.system.proxy", "ignore-hosts", "['localhost', '*.corp.example', '10.0.0.0/8']"}}},
        {"automatic with a PAC URL",
         {{"org.gnome.system.proxy", "mode", "'auto'"},
          {"org.gnome.system.proxy", "autoconfig-url", "'http://wpad.corp.example/proxy.pac'"},
          {"org.gnome.system.proxy.socks", "host", "'socks.example'"},
          {"org.gnome.system.proxy.socks", "port", "1080"},
          {"org.gnome.system.proxy", "ignore-hosts", "@as []"}}},
        {"none, every key at its default", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        forEachKey([](GSettings* settings, const char* key) { g_settings_reset(settings, key); });
        for (const auto& [schema, key, value] : c.settings)
            set(schema, key, value);
        const Keys before = keys();
        EXPECT_FALSE(proxy_.stillRoutingThroughKorvane());

        runTask(scope_.loop, proxy_.enable());
        expectSwitched();
        struct stat info {};
        ASSERT_EQ(::stat(backup().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);

        runTask(scope_.loop, proxy_.restore());
        EXPECT_EQ(keys(), before);
        EXPECT_FALSE(fs::exists(backup()));
        EXPECT_FALSE(proxy_.stillRoutingThroughKorvane());
    }
}

// Settings left pointing at the local port by a run whose record is gone are not the user's;
// a second enable keeps the first record; a change made while switched is undone and noted.
TEST_F(GnomeProxyTest, LeftoversRepeatedEnablesAndChangesWhileSwitched) {
    set("org.gnome.system.proxy", "mode", "'manual'");
    for (const char* child :
         {"org.gnome.system.proxy.http", "org.gnome.system.proxy.https", "org.gnome.system.proxy.socks"}) {
        set(child, "host", "'127.0.0.1'");
        set(child, "port", "7897");
    }
    runTask(scope_.loop, proxy_.enable());
    EXPECT_EQ(readProxyBackup(backup()).gnome, GnomeProxySettings{});
    runTask(scope_.loop, proxy_.restore());
    EXPECT_FALSE(proxy_.stillRoutingThroughKorvane());
    for (const auto& [key, value] : keys())
        EXPECT_FALSE(value.user) << key;

    TempDir logs;
    RecorderEnvironment environment;
    environment.applicationSupport = [path = logs.path()] { return std::optional<fs::path>(path); };
    KorvaneRecorder::install(std::make_shared<KorvaneRecorder>(environment));
    set("org.gnome.system.proxy", "mode", "'manual'");
    set("org.gnome.system.proxy.http", "host", "'proxy.corp.example'");
    set("org.gnome.system.proxy.http", "port", "3128");
    const Keys before = keys();
    runTask(scope_.loop, proxy_.enable());
    const auto record = readFile(backup());
    runTask(scope_.loop, proxy_.enable());
    EXPECT_EQ(readFile(backup()), record);
    runTask(scope_.loop, proxy_.restore());
    EXPECT_EQ(keys(), before);

    runTask(scope_.loop, proxy_.enable());
    set("org.gnome.system.proxy.http", "port", "8080");
    runTask(scope_.loop, proxy_.restore());
    EXPECT_EQ(keys(), before);
    KorvaneRecorder::install(nullptr);
    std::string log;
    for (const auto& file : fs::directory_iterator(logs.path() / "Korvane" / "logs"))
        log += readFile(file.path()).value_or("");
    EXPECT_NE(
        log.find(R"("event":"proxy_settings_changed_under_client","platform":"macos","reason":"http.port",)"
                 R"("stage":"gnome")"),
        std::string::npos)
        << log;
    EXPECT_EQ(log.find("changed_under_client", log.find("changed_under_client") + 1), std::string::npos)
        << "noted once, for the one change";
}

// A record of the network services' settings cannot be put back here, and a proxy without a
// backend cannot be switched: both fail and leave the record and the settings as they are.
TEST_F(GnomeProxyTest, OtherRecordsAndNoBackendChangeNothing) {
    set("org.gnome.system.proxy", "mode", "'auto'");
    const Keys before = keys();
    writeProxyBackup(backup(), {{{"Wi-Fi", {true, "proxy.example", 8080}, {}, {}, {}}}});
    const auto record = readFile(backup());
    const std::string refused = kOtherSettingsRecord;
    EXPECT_EQ(errorOf(scope_.loop, proxy_.enable()), refused);
    EXPECT_EQ(errorOf(scope_.loop, proxy_.restore()), refused);
    EXPECT_EQ(readFile(backup()), record);
    EXPECT_EQ(keys(), before);

    SystemProxy none{backup(), support_, nullptr};
    const std::string unavailable =
        "无法修改系统代理设置：未找到 GNOME 代理设置（org.gnome.system.proxy）或桌面会话总线";
    EXPECT_EQ(errorOf(scope_.loop, none.enable()), unavailable);
    EXPECT_EQ(errorOf(scope_.loop, none.restore()), unavailable);
    EXPECT_TRUE(none.mayNeedRestore());
    fs::remove(backup());
    runTask(scope_.loop, none.restore());
    EXPECT_FALSE(none.mayNeedRestore());
    EXPECT_FALSE(none.stillRoutingThroughKorvane());
    EXPECT_EQ(keys(), before);
}

} // namespace
