#include "base/yaml.h"
#include "testing/stand_in_panel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

using namespace korvane;

namespace {

YamlValue roundTrip(const YamlValue& value) { return loadYaml(dumpYaml(value)); }

// Equal trees, mappings compared as sets of entries: the dumper sorts keys.
bool sameTree(const YamlValue& a, const YamlValue& b) {
    if (a.isSequence() && b.isSequence()) {
        const auto &x = a.asSequence(), &y = b.asSequence();
        if (x.size() != y.size()) return false;
        for (std::size_t i = 0; i < x.size(); ++i)
            if (!sameTree(x[i], y[i])) return false;
        return true;
    }
    if (a.isMapping() && b.isMapping()) {
        if (a.asMapping().size() != b.asMapping().size()) return false;
        for (const auto& entry : a.asMapping()) {
            const YamlValue* other = b.asMapping().findKey(entry.key);
            if (!other || !sameTree(entry.value, *other)) return false;
        }
        return true;
    }
    return a == b;
}

std::vector<YamlEntry> entriesOf(std::vector<std::pair<YamlValue, YamlValue>> pairs) {
    std::vector<YamlEntry> out;
    for (auto& [key, value] : pairs)
        out.emplace_back(std::move(key), std::move(value));
    return out;
}

TEST(YamlDump, StringsThatReadAsOtherTypesStayStrings) {
    // Each of these, written plain, would come back as null, a boolean, a number, a timestamp
    // or a merge key; as values and as keys they must come back as the same strings.
    const std::vector<std::string> texts = {
        "",
        "~",
        "null",
        "Null",
        "NULL",
        "true",
        "False",
        "YES",
        "on",
        "Off",
        "y",
        "n",
        "Y",
        "N",
        "123",
        "-17",
        "0x1F",
        "0o17",
        "017",
        "0b101",
        "1_000",
        "190:20:30",
        "1.5",
        ".5",
        "1e3",
        ".inf",
        "-.Inf",
        ".NaN",
        "2002-12-14",
        "2001-12-14 21:59:43.10 -5",
        "<<",
        "123456",
        " leading",
        "trailing ",
        "a: b",
        "- item",
        "#comment",
        "key: [x]",
        "'quoted'",
        "\"double\"",
        "multi\nline\n",
        "tab\there",
        "@at",
        "`tick",
        "%percent",
        "!bang",
        "&anchor",
        "*alias",
        "|",
        ">",
        "?",
        ":",
        "-",
        "a #b",
        "香港 01",
        "Korvane 手动节点",
        "emoji 🚀",
        "\x7f control",
        "yes please",
        "1.2.3.4",
        "0x_",
    };
    for (const auto& text : texts) {
        std::vector<YamlEntry> entries;
        entries.emplace_back("value", text);
        entries.emplace_back(text, 1);
        const YamlValue value = YamlMapping(std::move(entries));
        EXPECT_TRUE(sameTree(roundTrip(value), value)) << "text [" << text << "] dumped as\n"
                                                       << dumpYaml(value);
    }
}

TEST(YamlDump, TypedScalarsKeepTheirTypes) {
    const YamlSequence scalars = {
        nullptr,
        true,
        false,
        0,
        -1,
        std::numeric_limits<std::int64_t>::max(),
        std::numeric_limits<std::int64_t>::min(),
        0.0,
        -0.0,
        1.0,
        0.1,
        1e20,
        1.5e-7,
        -2.5e300,
        std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::denorm_min(),
        YamlValue::timestamp("2001-12-14t21:59:43.10-05:00"),
        YamlValue::timestamp("2002-12-14"),
    };
    const YamlValue value = scalars;
    const YamlValue back = roundTrip(value);
    EXPECT_EQ(back, value) << dumpYaml(value);
    // -0.0 == 0.0 for doubles, so check the sign survives separately.
    EXPECT_TRUE(std::signbit(back.asSequence()[8].asFloat()));
}

TEST(YamlDump, KeysOfAnyKindAndDepth) {
    YamlSequence listKey = {1, "a"};
    const YamlValue value = YamlMapping(entriesOf({
        {1, "integer key"},
        {true, "boolean key"},
        {nullptr, "null key"},
        {2.5, "float key"},
        {listKey, "sequence key"},
        {YamlMapping(entriesOf({{"k", "v"}})), "mapping key"},
        {"nested",
         YamlMapping(entriesOf({{"z", YamlSequence{YamlSequence{}, YamlMapping()}}, {"a", YamlMapping()}}))},
    }));
    const YamlValue back = roundTrip(value);
    EXPECT_TRUE(sameTree(back, value)) << dumpYaml(value);
    EXPECT_EQ(back.find("nested")->asMapping().entries().front().key, YamlValue("a"));
}

TEST(YamlDump, LayoutOfTheEmitter) {
    const YamlValue value = YamlMapping(entriesOf({
        {"proxy-groups", YamlSequence{YamlMapping(entriesOf({{"type", "select"}, {"name", "组 é 🚀"}}))}},
        {"proxies", YamlSequence{"a", 123}},
        {"geodata-loader", "memconservative"},
        {"geo-auto-update", false},
        {"password", "123456"},
        {"long", std::string(100, 'x') + " " + std::string(10, 'y')},
    }));
    EXPECT_EQ(dumpYaml(value), "geo-auto-update: false\n"
                               "geodata-loader: memconservative\n"
                               "long: " +
                                   std::string(100, 'x') + "\n  " + std::string(10, 'y') +
                                   "\n"
                                   "password: '123456'\n"
                                   "proxies:\n"
                                   "- a\n"
                                   "- 123\n"
                                   "proxy-groups:\n"
                                   "- name: \"\\u7EC4 \\xE9 \\U0001F680\"\n"
                                   "  type: select\n");
    EXPECT_EQ(roundTrip(value).find("long")->asString(), value.find("long")->asString());
}

TEST(YamlDump, InvalidUtf8IsAnErrorNotACrash) {
    EXPECT_THROW(dumpYaml(YamlValue(std::string("bad \xff byte"))), YamlError);
    EXPECT_THROW(dumpYaml(YamlMapping(entriesOf({{std::string("\xc3"), 1}}))), YamlError);
}

// Whatever the loader made of a document, the dumper writes so that it loads the same again.
TEST(YamlDump, DocumentsLoadTheSameAfterADump) {
    const std::vector<std::string> documents = {
        korvane::testing::StandInPanel::demoSubscription(),
        "proxies:\n"
        "  - {name: 香港 01, type: ss, server: hk.example, port: 443, password: 123456, udp: yes}\n"
        "  - {name: \"日本 02\", type: vmess, server: 10.0.0.1, port: '8443', uuid: ~, alterId: 0x10,\n"
        "     ws-opts: {path: \"/ws?ed=2048\", headers: {Host: a.example}}, tls: on}\n"
        "base: &b {x: 1, y: [1, 2]}\n"
        "derived: {<<: *b, y: 3}\n"
        "times: [2002-12-14, 2001-12-14 21:59:43.10 -5]\n"
        "floats: [1.5, -.inf, .NaN, 1e3, 190:20:30.15, 6.8523015e+5]\n"
        "ints: [0b1010, 017, 0o17, 190:20:30, -0x1F, 1_000]\n"
        "folded: >\n  one\n  two\n\n  three\n"
        "literal: |\n  keep\n    indent\n"
        "quoted: [\"\\t\\u00e9\\U0001F600\", 'it''s', '']\n"
        "? [complex, key]\n: value\n"
        "1: integer key\n",
        "",
        "- a\n- - b\n  - c\n- {}\n- []\n",
        "plain scalar at the root\n",
    };
    for (const auto& document : documents) {
        const YamlValue loaded = loadYaml(document);
        const std::string dumped = dumpYaml(loaded);
        EXPECT_TRUE(sameTree(loadYaml(dumped), loaded)) << document << "\n----\n" << dumped;
        EXPECT_EQ(dumpYaml(loadYaml(dumped)), dumped);
    }
}

} // namespace
