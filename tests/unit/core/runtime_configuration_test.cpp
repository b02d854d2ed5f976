#include "base/errors.h"
#include "base/json.h"
#include "base/yaml.h"
#include "core/runtime_configuration.h"
#include "panel/subscription_parser.h"
#include "testing/temp_dir.h"

#include <korvane_deployment.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using namespace korvane;
using korvane::testing::TempDir;

namespace {

const std::string kSubscription = R"(mixed-port: 7890
external-controller: 0.0.0.0:9090
dns: {enable: true, nameserver: [223.5.5.5]}
proxies:
  - {name: 香港 01, type: ss, server: hk.example, port: 443, cipher: aes-128-gcm, password: 123456, udp: yes}
  - {name: 7, type: ss, server: int.example, port: 1}
  - {server: nameless.example, port: 1}
  - {}
  - {name: "日本 02", type: socks5, server: jp.example, port: "1080"}
  - {name: 香港 01, type: http, server: dup.example, port: 8080}
  - {name: 美国 03, type: trojan, server: us.example, port: 443, password: "123456"}
proxy-groups:
  - {name: 节点选择, type: select, proxies: [香港 01, 日本 02]}
rules:
  - MATCH,节点选择
)";

std::vector<std::string> keysOf(const YamlValue& value) {
    std::vector<std::string> keys;
    for (const auto& entry : value.asMapping())
        keys.push_back(entry.key.asString());
    return keys;
}

std::string failure(std::string_view subscription, const std::vector<std::string>& names) {
    try {
        runtimeConfiguration(subscription, names, "smart");
    } catch (const KorvaneError& error) {
        return error.what();
    }
    return "";
}

TEST(RuntimeConfiguration, DocumentForEachMode) {
    const std::string group(kProxyGroupName);
    struct Case {
        std::string mode;
        bool global;
    };
    for (const Case& c :
         {Case{"smart", false}, Case{"global", true}, Case{"", false}, Case{"Global", false}}) {
        SCOPED_TRACE("mode [" + c.mode + "]");
        const std::string text = runtimeConfiguration(kSubscription, {"香港 01", "日本 02"}, c.mode);
        const YamlValue document = loadYaml(text);
        EXPECT_EQ(keysOf(document),
                  (std::vector<std::string>{"allow-lan", "bind-address", "dns", "external-controller",
                                            "geo-auto-update", "geodata-loader", "geodata-mode", "ipv6",
                                            "log-level", "mixed-port", "mode", "proxies", "proxy-groups",
                                            "rules"}));
        EXPECT_EQ(*document.find("allow-lan"), YamlValue(false));
        EXPECT_EQ(*document.find("bind-address"), YamlValue("127.0.0.1"));
        EXPECT_EQ(*document.find("external-controller"), YamlValue("127.0.0.1:9097"));
        EXPECT_EQ(*document.find("geo-auto-update"), YamlValue(false));
        EXPECT_EQ(*document.find("geodata-loader"), YamlValue("memconservative"));
        EXPECT_EQ(*document.find("geodata-mode"), YamlValue(true));
        EXPECT_EQ(*document.find("ipv6"), YamlValue(false));
        EXPECT_EQ(*document.find("log-level"), YamlValue("warning"));
        EXPECT_EQ(*document.find("mixed-port"), YamlValue(7897));
        EXPECT_EQ(*document.find("mode"), YamlValue("rule"));

        const YamlValue& dns = *document.find("dns");
        if (c.global) {
            EXPECT_EQ(dns, YamlValue(YamlMapping({YamlEntry("enable", false)})));
        } else {
            EXPECT_EQ(keysOf(dns),
                      (std::vector<std::string>{"enable", "enhanced-mode", "ipv6", "nameserver",
                                                "nameserver-policy", "proxy-server-nameserver"}));
            EXPECT_EQ(*dns.find("enhanced-mode"), YamlValue("redir-host"));
            EXPECT_EQ(*dns.find("nameserver"), YamlValue(YamlSequence{"system"}));
            EXPECT_EQ(*dns.find("proxy-server-nameserver"), YamlValue(YamlSequence{"system"}));
            const YamlValue* resolvers =
                dns.find("nameserver-policy")->find(deployment::kVendorSafeBrowsingHost);
            ASSERT_NE(resolvers, nullptr);
            EXPECT_EQ(*resolvers,
                      YamlValue(YamlSequence{
                          "https://" + std::string(deployment::kDnsOverHttpsResolverAddresses[0]) +
                              "/dns-query#" + group,
                          "https://" + std::string(deployment::kDnsOverHttpsResolverAddresses[1]) +
                              "/dns-query#" + group,
                      }));
        }

        const auto& rules = document.find("rules")->asSequence();
        ASSERT_EQ(rules.size(), c.global ? 15u : 28u);
        EXPECT_EQ(rules.back(), YamlValue("MATCH," + group));
        EXPECT_EQ(rules[c.global ? 0 : 9], YamlValue("DOMAIN,127.0.0.1,DIRECT")); // the manifest's host
        EXPECT_EQ(rules[c.global ? 13 : 22], YamlValue("GEOSITE,private,DIRECT"));
        if (!c.global) {
            EXPECT_EQ(rules[0], YamlValue("DOMAIN-SUFFIX," +
                                          std::string(deployment::kVendorDirectDomains[0]) + ",DIRECT"));
            EXPECT_EQ(rules[25], YamlValue("GEOSITE,geolocation-!cn," + group));
            EXPECT_EQ(rules[26], YamlValue("GEOIP,CN,DIRECT"));
        }
        EXPECT_EQ(KorvaneRoutingPolicy::rules(c.mode).size(), rules.size());

        // The group name and every rule or resolver carrying it are escaped, never raw UTF-8.
        EXPECT_NE(text.find("- name: \"Korvane \\u624B\\u52A8\\u8282\\u70B9\""), std::string::npos) << text;
        EXPECT_NE(text.find("- \"MATCH,Korvane \\u624B\\u52A8\\u8282\\u70B9\""), std::string::npos);
        for (unsigned char byte : text)
            EXPECT_LT(byte, 0x80);
    }
}

TEST(RuntimeConfiguration, KeepsAllowedProxiesWholeAndRetyped) {
    const std::vector<std::string> names = {"美国 03", "香港 01", "不存在"};
    const std::string text = runtimeConfiguration(kSubscription, names, "smart");
    const YamlValue document = loadYaml(text);
    const auto& proxies = document.find("proxies")->asSequence();
    ASSERT_EQ(proxies.size(), 2u);
    // Subscription order, keys sorted, scalars typed as the subscription wrote them.
    EXPECT_EQ(keysOf(proxies[0]),
              (std::vector<std::string>{"cipher", "name", "password", "port", "server", "type", "udp"}));
    EXPECT_EQ(*proxies[0].find("server"), YamlValue("hk.example"));
    EXPECT_EQ(*proxies[0].find("password"), YamlValue(123456));
    EXPECT_EQ(*proxies[0].find("udp"), YamlValue(true));
    EXPECT_EQ(*proxies[1].find("name"), YamlValue("美国 03"));
    EXPECT_EQ(*proxies[1].find("password"), YamlValue("123456"));
    EXPECT_NE(text.find("password: '123456'"), std::string::npos);
    EXPECT_NE(text.find("password: 123456\n"), std::string::npos);

    // The group lists the names as given, also one the subscription lacks.
    const YamlValue& group = document.find("proxy-groups")->asSequence().at(0);
    EXPECT_EQ(keysOf(group), (std::vector<std::string>{"name", "proxies", "type"}));
    EXPECT_EQ(*group.find("proxies"), YamlValue(YamlSequence{"美国 03", "香港 01", "不存在"}));
    EXPECT_EQ(*group.find("type"), YamlValue("select"));
    EXPECT_EQ(document.find("proxy-groups")->asSequence().size(), 1u);
}

// The core refuses a configuration that defines a name twice; of several entries of a name the
// one kept is the one the node list shows, the first usable one.
TEST(RuntimeConfiguration, KeepsTheEntryTheNodeListTook) {
    const std::string subscription = R"(proxies:
  - {name: HK, type: ss, server: zero-port.example, port: 0}
  - {name: HK, type: ss, server: hk.example, port: 443}
  - {name: HK, type: ss, server: later.example, port: 444}
  - {name: JP, type: ss, server: jp.example, port: 8443}
  - {name: JP, type: ss, server: jp2.example, port: 8443}
  - {name: US, type: ss, server: "", port: 1}
  - {name: US, type: ss, server: us.example, port: "+80"}
  - {name: SG, type: ss, server: sg.example}
)";
    std::vector<std::string> names;
    for (const auto& node : extractNodes(subscription))
        names.push_back(node.name);
    ASSERT_EQ(names, (std::vector<std::string>{"HK", "JP", "US"}));
    names.emplace_back("SG"); // an allowed name with no usable entry is still not defined

    const YamlValue document = loadYaml(runtimeConfiguration(subscription, names, "smart"));
    std::vector<std::string> kept;
    for (const auto& proxy : document.find("proxies")->asSequence())
        kept.push_back(proxy.find("name")->asString() + "@" + proxy.find("server")->asString());
    EXPECT_EQ(kept, (std::vector<std::string>{"HK@hk.example", "JP@jp.example", "US@us.example"}));
}

// Each text, were it written plain, some reader would take for a number, a boolean, null, a date
// or a key of its own: ours (YAML 1.1), other 1.1 readers, or the core's (YAML 1.2 core schema).
// Passwords and ids must reach the core as the strings the subscription gave.
TEST(RuntimeConfiguration, StringsStayStringsForReadersOfBothSchemas) {
    const std::vector<std::string> texts = {
        "0123456789",
        "09",
        "-09",
        "+0099",
        "0_9",
        "08.50",
        "0o17",
        "0O17",
        "0x1F",
        "0X1F",
        "-0x1F",
        "0b101",
        "0B101",
        ".5",
        "1e3",
        "1E+3",
        "+12",
        "-.inf",
        ".NaN",
        "1_000",
        "190:20:30",
        "1:30",
        "y",
        "n",
        "Y",
        "yes",
        "No",
        "ON",
        "off",
        "True",
        "FALSE",
        "~",
        "null",
        "NULL",
        "",
        "2002-12-14",
        "2001-12-14 21:59:43.10 -5",
        "=",
        "<<",
        "123456",
        "1.2.3.4",
        "0x_",
        "1e",
        "abc09",
    };
    std::string subscription = "proxies:\n";
    std::vector<std::string> names;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        names.push_back("节点 " + std::to_string(i));
        subscription += "  - {name: \"" + names.back() +
                        "\", type: ss, server: s.example, port: 1, "
                        "password: \"" +
                        texts[i] + "\", short-id: '" + texts[i] + "'}\n";
    }
    const std::string text = runtimeConfiguration(subscription, names, "global");

    const auto passwordsOf = [&](const Json& proxies) {
        std::vector<Json> passwords;
        for (const auto& proxy : proxies) {
            passwords.push_back(proxy.at("password"));
            EXPECT_EQ(proxy.at("short-id"), proxy.at("password"));
        }
        return passwords;
    };
    const std::vector<Json> expected(texts.begin(), texts.end());
    const auto tagged = [](const YamlValue& value) {
        return value.isString() ? Json(value.asString()) : Json{{"type", yamlKindName(value.kind())}};
    };
    const YamlValue document = loadYaml(text);
    Json ours = Json::array();
    for (const auto& proxy : document.find("proxies")->asSequence())
        ours.push_back(
            {{"password", tagged(*proxy.find("password"))}, {"short-id", tagged(*proxy.find("short-id"))}});
    EXPECT_EQ(passwordsOf(ours), expected) << text;

    // Independent readers: PyYAML for YAML 1.1, ruamel.yaml for the 1.2 core schema.
    TempDir dir;
    const auto file = dir.path() / "config.yaml";
    std::ofstream(file) << text;
    const std::string command =
        std::string(KORVANE_SYSTEM_PYTHON) + " " + KORVANE_YAML_READERS + " " + file.string();
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            output.append(buffer, n);
        EXPECT_EQ(::pclose(pipe), 0) << output;
    }
    const Json trees = Json::parse(output, nullptr, false);
    ASSERT_TRUE(trees.is_object()) << output;
    for (const char* version : {"1.1", "1.2"}) {
        SCOPED_TRACE(std::string("YAML ") + version);
        const Json& tree = trees.at(version);
        ASSERT_TRUE(tree.contains("proxies")) << tree.dump();
        EXPECT_EQ(passwordsOf(tree.at("proxies")), expected);
    }
}

TEST(RuntimeConfiguration, Failures) {
    struct Case {
        std::string subscription;
        std::vector<std::string> names;
        std::string expected;
    };
    const Case cases[] = {
        {"", {"a"}, "订阅格式错误"},
        {"- a\n", {"a"}, "订阅格式错误"},
        {"proxy: []\n", {"a"}, "订阅格式错误"},
        {"proxies: {name: a}\n", {"a"}, "订阅格式错误"},
        {"proxies: [a]\n", {"a"}, "订阅格式错误"},
        {"proxies: [{name: a}, {1: x}]\n", {"a"}, "订阅格式错误"},
        {"1: x\nproxies: [{name: a}]\n", {"a"}, "订阅格式错误"},
        {"proxies: [{name: a}]\n", {}, "找不到有效的节点"},
        {"proxies: []\n", {"a"}, "找不到有效的节点"},
        {"proxies: [{name: 1}, {name: null}, {}]\n", {"1", "null", ""}, "找不到有效的节点"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(failure(c.subscription, c.names), c.expected) << c.subscription;
    // A syntax error is the loader's own.
    EXPECT_THROW(runtimeConfiguration("proxies: [unclosed\n", {"a"}, "smart"), YamlError);
}

} // namespace
