// The backup file: its exact text, the older member names and every structural fault.

#include "base/errors.h"
#include "sysproxy/proxy_backup.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace korvane;

namespace {

ServiceSnapshot sample() {
    return {"Wi-Fi/2",
            {true, "proxy.example", 8080},
            {false, "", 0},
            {true, "10.0.0.1", 1080},
            {"*.local", "a/b"}};
}

TEST(ProxyBackup, IsCompactWithEscapedSlashesAndReadsBackEqual) {
    const std::string text = encodeProxyBackup({{sample()}});
    EXPECT_EQ(text, R"([{"bypass":["*.local","a\/b"],"name":"Wi-Fi\/2",)"
                    R"("secure":{"enabled":false,"port":0,"server":""},)"
                    R"("socks":{"enabled":true,"port":1080,"server":"10.0.0.1"},)"
                    R"("web":{"enabled":true,"port":8080,"server":"proxy.example"}}])");
    EXPECT_EQ(decodeProxyBackup(text).services, std::vector<ServiceSnapshot>{sample()});
    EXPECT_EQ(encodeProxyBackup({}), "[]");
}

TEST(ProxyBackup, FileIsPrivateAndRoundTrips) {
    korvane::testing::TempDir dir;
    const auto file = dir.path() / "proxy-backup.json";
    const ServiceSnapshot unicode{"有线 网络", {}, {}, {}, {}};
    writeProxyBackup(file, {{sample(), unicode}});
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(readProxyBackup(file).services, (std::vector<ServiceSnapshot>{sample(), unicode}));
    EXPECT_THROW(readProxyBackup(dir.path() / "missing.json"), FileError);
}

// The desktop's entry follows the services; a value the user never set is null.
TEST(ProxyBackup, DesktopEntryIsOneObjectOfItsOwnKind) {
    GnomeProxySettings desktop;
    desktop.mode = "manual";
    desktop.http = {"proxy.corp.example", 3128};
    desktop.socks = {std::nullopt, 1080};
    desktop.ignoreHosts = std::vector<std::string>{"10.0.0.0/8"};
    const ProxyBackup both{{sample()}, desktop};
    const std::string text = encodeProxyBackup({{}, desktop});
    EXPECT_EQ(text, R"([{"http":{"host":"proxy.corp.example","port":3128},"https":{"host":null,"port":null},)"
                    R"("ignore-hosts":["10.0.0.0\/8"],"kind":"gnome","mode":"manual",)"
                    R"("socks":{"host":null,"port":1080}}])");
    EXPECT_EQ(decodeProxyBackup(text), (ProxyBackup{{}, desktop}));
    EXPECT_EQ(decodeProxyBackup(encodeProxyBackup(both)), both);
    EXPECT_EQ(decodeProxyBackup(encodeProxyBackup({{}, GnomeProxySettings{}})).gnome, GnomeProxySettings{});
}

constexpr const char* kEntry = R"({"enabled":true,"server":"h","port":3128})";

std::string object(const std::string& members) {
    return std::string("[{") + members + R"(,"web":)" + kEntry + R"(,"secure":)" + kEntry + R"(,"socks":)" +
           kEntry + "}]";
}

TEST(ProxyBackup, OlderMemberNamesAreAccepted) {
    struct Case {
        std::string members;
        std::string name;
        std::vector<std::string> bypass;
    } cases[] = {
        {R"("service":"Wi-Fi","bypassDomains":["x.test"])", "Wi-Fi", {"x.test"}},
        {R"("name":null,"service":"Old")", "Old", {}},
        {R"("name":"New","service":"Old")", "New", {}},
        {R"("name":"A","bypass":[],"bypassDomains":["ignored"])", "A", {}},
        {R"("name":"A","bypass":["kept"],"bypassDomains":["ignored"])", "A", {"kept"}},
    };
    for (const auto& c : cases) {
        const auto services = decodeProxyBackup(object(c.members)).services;
        ASSERT_EQ(services.size(), 1u) << c.members;
        EXPECT_EQ(services[0].name, c.name) << c.members;
        EXPECT_EQ(services[0].bypass, c.bypass) << c.members;
        EXPECT_EQ(services[0].socks, (ProxyEntry{true, "h", 3128})) << c.members;
    }
}

TEST(ProxyBackup, StructuralFaultsAreErrors) {
    const std::string noPort = R"([{"name":"A","web":{"enabled":true,"server":"h"},"secure":)" +
                               std::string(kEntry) + R"(,"socks":)" + kEntry + "}]";
    const std::string noSocks =
        R"([{"name":"A","web":)" + std::string(kEntry) + R"(,"secure":)" + kEntry + "}]";
    const std::string stringPort =
        R"([{"name":"A","web":{"enabled":true,"server":"h","port":"80"},"secure":)" + std::string(kEntry) +
        R"(,"socks":)" + kEntry + "}]";
    const std::string numberEnabled = R"([{"name":"A","web":{"enabled":1,"server":"h","port":80},"secure":)" +
                                      std::string(kEntry) + R"(,"socks":)" + kEntry + "}]";
    const std::string cases[] = {
        "",
        "{}",
        "[1]",
        "[{]",
        noPort,
        noSocks,
        stringPort,
        numberEnabled,
        object(R"("other":"A")"),
        object(R"("name":null)"),
        object(R"("name":7)"),
        object(R"("name":"A","bypass":"x")"),
        object(R"("name":"A","bypass":[1])"),
        object(R"("kind":"kde")"),
    };
    for (const auto& text : cases)
        EXPECT_THROW(decodeProxyBackup(text), KorvaneError) << text;

    // Desktop entries: every member present, of its type, within the settings' own range.
    const std::string valid = R"("http":{"host":null,"port":null},"https":{"host":null,"port":null},)"
                              R"("socks":{"host":null,"port":null},"ignore-hosts":null)";
    ASSERT_NO_THROW(decodeProxyBackup(R"([{"kind":"gnome","mode":null,)" + valid + "}]"));
    const std::string desktopCases[] = {
        R"("mode":"proxy",)" + valid,
        R"("mode":1,)" + valid,
        valid,
        R"("mode":null,"http":{"host":"h","port":65536},)" + valid.substr(valid.find(R"("https")")),
        R"("mode":null,"http":{"host":"h","port":-1},)" + valid.substr(valid.find(R"("https")")),
        R"("mode":null,"http":{"host":7,"port":1},)" + valid.substr(valid.find(R"("https")")),
        R"("mode":null,"http":{"host":"h"},)" + valid.substr(valid.find(R"("https")")),
        R"("mode":null,"ignore-hosts":"x",)" + valid.substr(0, valid.find(R"(,"ignore-hosts")")),
    };
    for (const auto& members : desktopCases) {
        const std::string text = R"([{"kind":"gnome",)" + members + "}]";
        EXPECT_THROW(decodeProxyBackup(text), KorvaneError) << text;
    }
    const std::string twice = R"({"kind":"gnome","mode":null,)" + valid + "}";
    EXPECT_THROW(decodeProxyBackup("[" + twice + "," + twice + "]"), KorvaneError);
}

} // namespace
