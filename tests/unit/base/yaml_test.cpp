#include "base/yaml.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

using namespace korvane;

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

YamlValue valueOf(const std::string& yaml) {
    const YamlValue root = loadYaml("v: " + yaml + "\n");
    const YamlValue* value = root.find("v");
    if (!value) throw std::logic_error("no v in " + yaml);
    return *value;
}

std::string describe(const YamlValue& value) {
    switch (value.kind()) {
    case YamlValue::Kind::Boolean:
        return value.asBoolean() ? "true" : "false";
    case YamlValue::Kind::Integer:
        return "integer " + std::to_string(value.asInteger());
    case YamlValue::Kind::Float:
        return "float " + std::to_string(value.asFloat());
    case YamlValue::Kind::String:
        return "string \"" + value.asString() + "\"";
    case YamlValue::Kind::Timestamp:
        return "timestamp " + value.timestampText();
    default:
        return std::string(yamlKindName(value.kind()));
    }
}

struct ScalarCase {
    std::string yaml; // as written after "v: "
    YamlValue expected;
};

// Each scalar is loaded plain, then single- and double-quoted: typing may only ever change the
// plain form, so the quoted loads must give back the exact text as a string.
const std::vector<ScalarCase>& scalarCorpus() {
    static const std::vector<ScalarCase> corpus = {
        {"'123'", "123"},
        {"\"1.5\"", "1.5"},
        {"123", 123},
        {"+12", 12},
        {"-0", 0},
        {"1_000", 1000},
        {"1__0", 10}, // [1-9][0-9_]*: any run of separators
        {"0b101", 5},
        {"012", 10}, // YAML 1.1 octal: a leading 0
        {"0o17", 15},
        {"0x_1F", 31}, // 0x[0-9a-fA-F_]+ allows "_" first, as YAML 1.1's own example 0x_0A_74_AE
        {"-0x1F", -31},
        {"1:30", 90},
        {"190:20:30", 685230},
        {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        // Too large for int64: rounding it to a float would change the number, so the text stays.
        {"9223372036854775808", "9223372036854775808"},
        {"0xFFFFFFFFFFFFFFFF", "0xFFFFFFFFFFFFFFFF"},
        // Not octal (8 is no octal digit), not decimal (a decimal does not start with 0), and
        // without a point or exponent not a float: a string, as the patterns read literally.
        {"08", "08"},
        // The prefixed patterns match "0x" + "_" but there is no digit to read: a string.
        {"0x", "0x"},
        {"0b_", "0b_"},
        {"_1", "_1"}, // no pattern starts with "_"
        // ":[0-5]?[0-9]" parts: 60 is no base-60 digit, and without a point no base-60 float.
        {"1:60", "1:60"},
        {"1:30.5", 90.5},
        {"190:20:30.15", 685230.15},
        {"1.5", 1.5},
        {"1.", 1.0},
        {".5", 0.5},
        {"1_000.5_5", 1000.55},
        {"1.5e-3", 1.5e-3},
        {"6.8523015e+5", 685230.15},
        // YAML 1.1 wants "." and a signed exponent; the client also reads floats written with a
        // bare exponent, which every other reader of these files (the proxy core included) does.
        {"1e3", 1000.0},
        {".5e3", 500.0},
        {"1e999", kInfinity}, // beyond double: infinity, as strtod reads it
        // YAML 1.1's pattern allows [0-9.]* after the point, which would make every IPv4 address
        // in a subscription a float that no number can hold. One point only: a string.
        {"1.2.3.4", "1.2.3.4"},
        {".", "."}, // no digit at all
        {"1e", "1e"},
        {"+.INF", kInfinity},
        {"-.inf", -kInfinity},
        {".NaN", std::numeric_limits<double>::quiet_NaN()},
        {"-.nan", "-.nan"}, // NaN has no sign in the pattern
        {"Yes", true},
        {"yes", true},
        {"YES", true},
        {"yEs", "yEs"}, // three spellings per word, mixed case is not one of them
        {"True", true},
        {"on", true},
        {"OFF", false},
        {"No", false},
        // YAML 1.1 reads y and n as booleans; the client's rule does not (a node named "y").
        {"y", "y"},
        {"N", "N"},
        {"~", YamlValue()},
        {"null", YamlValue()},
        {"NULL", YamlValue()},
        {"nUll", "nUll"},
        {"", YamlValue()},
        {"2002-12-14", YamlValue::timestamp("2002-12-14")},
        {"2001-12-14t21:59:43.10-05:00", YamlValue::timestamp("2001-12-14t21:59:43.10-05:00")},
        {"2001-12-14T21:59:43Z", YamlValue::timestamp("2001-12-14T21:59:43Z")},
        // YAML 1.1's own "space separated" example; its pattern allows blanks only before "Z".
        // The example shows the intent, and the text is kept either way.
        {"2001-12-14 21:59:43.10 -5", YamlValue::timestamp("2001-12-14 21:59:43.10 -5")},
        {"2002-1-14", "2002-1-14"}, // one-digit month only with a time
        {"123abc", "123abc"},
        {"12 34", "12 34"},
        {"<<", "<<"}, // merges only as a key
    };
    return corpus;
}

TEST(YamlScalarTest, PlainScalarsAreTypedAndQuotedOnesStayText) {
    for (const auto& [yaml, expected] : scalarCorpus()) {
        SCOPED_TRACE("v: " + yaml);
        const YamlValue loaded = valueOf(yaml);
        EXPECT_EQ(loaded, expected) << describe(loaded) << " instead of " << describe(expected);
        if (yaml.empty() || yaml[0] == '\'' || yaml[0] == '"') continue;
        EXPECT_EQ(resolvePlainScalar(yaml), expected);
        EXPECT_EQ(valueOf("'" + yaml + "'"), YamlValue(yaml));
        EXPECT_EQ(valueOf("\"" + yaml + "\""), YamlValue(yaml));
    }
    EXPECT_EQ(valueOf("''"), YamlValue(""));
    EXPECT_EQ(valueOf("|-\n  123"), YamlValue("123"));
    EXPECT_EQ(valueOf(">\n  true\n  1.5"), YamlValue("true 1.5\n"));
    // Negative zero and NaN survive as themselves, not as an equal-looking 0.
    EXPECT_TRUE(std::signbit(valueOf("-0.0").asFloat()));
    EXPECT_TRUE(std::isnan(valueOf(".nan").asFloat()));
}

TEST(YamlScalarTest, TagsForceOrConvertAndRejectWhatDoesNotMatch) {
    EXPECT_EQ(valueOf("!!str 123"), YamlValue("123"));
    EXPECT_EQ(valueOf("!!str"), YamlValue(""));
    EXPECT_EQ(valueOf("!!int 0x1F"), YamlValue(31));
    EXPECT_EQ(valueOf("!!int '12'"), YamlValue(12)); // a tag outranks quoting
    EXPECT_EQ(valueOf("!!float 1"), YamlValue(1.0)); // an integer is a valid float
    EXPECT_EQ(valueOf("!!bool \"on\""), YamlValue(true));
    EXPECT_EQ(valueOf("!!null ''"), YamlValue());
    EXPECT_EQ(valueOf("!!timestamp 2002-12-14"), YamlValue::timestamp("2002-12-14"));
    EXPECT_EQ(valueOf("! 12"), YamlValue("12"));
    EXPECT_EQ(valueOf("!custom 12"), YamlValue(12));
    EXPECT_EQ(valueOf("!custom '12'"), YamlValue("12"));
    EXPECT_EQ(valueOf("!<tag:yaml.org,2002:int> 7"), YamlValue(7));

    for (const char* yaml :
         {"!!int abc", "!!int 1.5", "!!int 9223372036854775808", "!!bool y", "!!null 0", "!!float 0x10",
          "!!timestamp yesterday", "!!seq abc", "!!str [1]", "!!map [1]"}) {
        SCOPED_TRACE(yaml);
        EXPECT_THROW(valueOf(yaml), YamlError);
    }
    try {
        loadYaml("a: 1\nb: !!int abc\n");
        FAIL() << "expected YamlError";
    } catch (const YamlError& error) {
        EXPECT_STREQ(error.what(), "the value does not match its tag !!int");
        EXPECT_EQ(error.line(), 2u);
    }
}

TEST(YamlLoadTest, ReadsASubscriptionInBlockAndFlowStyle) {
    const YamlValue root =
        loadYaml("\xEF\xBB\xBF" // a byte-order mark, as some panels send
                 "port: 7890\r\n"
                 "allow-lan: false\r\n"
                 "proxies:\n"
                 "  - name: \"剩余流量：120.5 GB\"\n"
                 "    type: ss\n"
                 "    port: '8388'\n"
                 "    plugin-opts: {mode: websocket, tls: true}\n"
                 "  - {name: \"HK 1\", type: ss, server: 1.2.3.4, port: 443}\n"
                 "  - {name: 香港 01 | IPLC 专线 ×1.5, server: hk.example.net, port: 8443, udp: on}\n"
                 "香港: {名称: 专线}\n"
                 "rules:\n"
                 "  - DOMAIN-SUFFIX,example.com,DIRECT\n"
                 "  - MATCH,节点选择\n");
    ASSERT_TRUE(root.isMapping());
    EXPECT_TRUE(root.asMapping().hasOnlyStringKeys());
    std::vector<std::string> keys;
    for (const auto& entry : root.asMapping())
        keys.push_back(entry.key.asString());
    EXPECT_EQ(keys, (std::vector<std::string>{"port", "allow-lan", "proxies", "香港", "rules"}));
    EXPECT_EQ(root.find("port")->asInteger(), 7890);
    EXPECT_FALSE(root.find("allow-lan")->asBoolean());

    const YamlSequence& proxies = root.find("proxies")->asSequence();
    ASSERT_EQ(proxies.size(), 3u);
    EXPECT_EQ(proxies[0].find("name")->asString(), "剩余流量：120.5 GB");
    EXPECT_EQ(*proxies[0].find("port"), YamlValue("8388"));
    EXPECT_TRUE(proxies[0].find("plugin-opts")->find("tls")->asBoolean());
    EXPECT_EQ(*proxies[1].find("server"), YamlValue("1.2.3.4"));
    EXPECT_EQ(*proxies[1].find("port"), YamlValue(443));
    EXPECT_EQ(proxies[2].find("name")->asString(), "香港 01 | IPLC 专线 ×1.5");
    EXPECT_EQ(*proxies[2].find("udp"), YamlValue(true));
    EXPECT_EQ(root.find("香港")->find("名称")->asString(), "专线");
    EXPECT_EQ(root.find("rules")->asSequence().back(), YamlValue("MATCH,节点选择"));
    EXPECT_EQ(root.find("missing"), nullptr);
    EXPECT_EQ(proxies[0].find("name")->find("x"), nullptr); // find on a scalar
}

TEST(YamlLoadTest, AliasesCopyAndMergeKeysFillInWhatTheMappingLacks) {
    const YamlValue root = loadYaml("base: &base {type: ss, cipher: aes-128-gcm, udp: true}\n"
                                    "fast: &fast {udp: false, tfo: true}\n"
                                    "proxies:\n"
                                    "  - name: HK\n"
                                    "    <<: *base\n"
                                    "    cipher: chacha20\n"   // explicit keys win, wherever they stand
                                    "  - <<: [*fast, *base]\n" // the earlier mapping wins: udp false
                                    "    name: JP\n"
                                    "  - {<<: {a: 1, z: 1}, <<: {a: 2, b: 2}}\n" // a later key wins
                                    "  - {\"<<\": *base}\n"                      // not plain: an ordinary key
                                    "  - {! <<: x}\n"
                                    "names: [&n 香港, *n]\n");
    const YamlSequence& proxies = root.find("proxies")->asSequence();
    const auto keysOf = [](const YamlValue& mapping) {
        std::string keys;
        for (const auto& entry : mapping.asMapping())
            keys += entry.key.asString() + " ";
        return keys;
    };
    EXPECT_EQ(keysOf(proxies[0]), "type udp name cipher ");
    EXPECT_EQ(proxies[0].find("cipher")->asString(), "chacha20");
    EXPECT_EQ(keysOf(proxies[1]), "udp tfo type cipher name ");
    EXPECT_FALSE(proxies[1].find("udp")->asBoolean());
    EXPECT_EQ(proxies[2], loadYaml("{a: 2, b: 2, z: 1}"));
    EXPECT_EQ(keysOf(proxies[3]), "<< ");
    EXPECT_TRUE(proxies[3].find("<<")->isMapping());
    EXPECT_EQ(*proxies[4].find("<<"), YamlValue("x"));
    EXPECT_EQ(root.find("names")->asSequence()[1].asString(), "香港");

    // Copies, not shared nodes: filtering one proxy leaves the anchor's other uses alone.
    YamlValue edited = root;
    edited.find("proxies")->asSequence()[0].asMapping().insertOrAssign("type", "vmess");
    EXPECT_EQ(edited.find("proxies")->asSequence()[1].find("type")->asString(), "ss");
    EXPECT_EQ(root.find("proxies")->asSequence()[0].find("type")->asString(), "ss");

    for (const char* bad : {"a: *missing", "a: &x [*x]", "a: {<<: 1}", "a: {<<: [{b: 1}, 2]}"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(loadYaml(bad), YamlError);
    }
}

TEST(YamlLoadTest, KeysOfAnyKindAndALaterDuplicateReplacesTheValueInPlace) {
    const YamlValue root =
        loadYaml("{a: 1, 1: one, 0x1: hex, true: t, ~: n, [x, y]: s, 2002-12-14: d, a: 3}");
    const YamlMapping& mapping = root.asMapping();
    EXPECT_FALSE(mapping.hasOnlyStringKeys());
    ASSERT_EQ(mapping.size(), 6u);
    EXPECT_EQ(mapping.entries()[0].key, YamlValue("a"));
    EXPECT_EQ(*mapping.find("a"), YamlValue(3));
    EXPECT_EQ(*mapping.findKey(YamlValue(1)), YamlValue("hex")); // 1 and 0x1 are the same integer
    EXPECT_EQ(mapping.find("1"), nullptr);
    EXPECT_EQ(*mapping.findKey(YamlValue(true)), YamlValue("t"));
    EXPECT_EQ(*mapping.findKey(YamlValue()), YamlValue("n"));
    EXPECT_EQ(*mapping.findKey(YamlValue(YamlSequence{"x", "y"})), YamlValue("s"));
    EXPECT_EQ(*mapping.findKey(YamlValue::timestamp("2002-12-14")), YamlValue("d"));

    // Past a few dozen keys duplicates are found by hashing; same rule.
    std::string large = "{";
    for (int i = 0; i < 200; ++i)
        large += "k" + std::to_string(i) + ": " + std::to_string(i) + ", ";
    large += "k7: seven, 5: five, 5.0: float, .nan: a, .NaN: b}";
    const YamlMapping big = loadYaml(large).asMapping();
    EXPECT_EQ(big.size(), 203u);
    EXPECT_EQ(big.entries()[7].value, YamlValue("seven"));
    EXPECT_EQ(*big.findKey(YamlValue(5)), YamlValue("five"));
    EXPECT_EQ(*big.findKey(YamlValue(5.0)), YamlValue("float"));
    EXPECT_EQ(big.entries().back(), (YamlEntry{std::numeric_limits<double>::quiet_NaN(), "b"}));
}

TEST(YamlLoadTest, AliasExpansionAndNestingAreBounded) {
    std::string bomb = "a: &a [lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
    for (char level = 'b'; level <= 'i'; ++level) {
        const std::string previous(1, static_cast<char>(level - 1));
        bomb += std::string(1, level) + ": &" + level + " [";
        for (int i = 0; i < 9; ++i)
            bomb += (i ? ", *" : "*") + previous;
        bomb += "]\n";
    }
    try {
        loadYaml(bomb, YamlLoadLimits{.aliasValues = 100'000});
        FAIL() << "expected YamlError";
    } catch (const YamlError& error) {
        EXPECT_STREQ(error.what(), "document too large");
    }
    // Under the limit the same aliases load, fully expanded: 9 ^ 3 strings at level c.
    const YamlValue small = loadYaml(bomb.substr(0, bomb.find("d:")), YamlLoadLimits{.aliasValues = 1000});
    EXPECT_EQ(small.find("c")->asSequence()[8].asSequence()[8].asSequence()[8], YamlValue("lol"));

    const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_NO_THROW(loadYaml(nested(256)));
    EXPECT_THROW(loadYaml(nested(257)), YamlError);
}

TEST(YamlLoadTest, FaultsCarryLibyamlsOwnWords) {
    const auto messageOf = [](std::string_view text) -> std::string {
        try {
            loadYaml(text);
        } catch (const YamlError& error) {
            return error.what();
        }
        return "(loaded)";
    };
    EXPECT_EQ(messageOf("name: a\n- b\n"), "did not find expected key while parsing a block mapping");
    EXPECT_NE(messageOf("proxies: [a, b\n").find("did not find expected"), std::string::npos);
    EXPECT_EQ(messageOf("a: \"\xE9t\xE9\"\n"), "invalid trailing UTF-8 octet");
    EXPECT_EQ(messageOf("a: 1\n---\nb: 2\n"),
              "expected a single document in the stream but found another document");
    try {
        loadYaml("a: 1\nb: [1, 2\n");
    } catch (const YamlError& error) {
        EXPECT_EQ(error.line(), 3u); // where libyaml noticed: the end of the text
    }
}

TEST(YamlLoadTest, AnEmptyStreamOrDocumentIsNull) {
    for (const char* text : {"", "# only a comment\n", "---\n", "--- ~\n...\n", "\n\n"}) {
        SCOPED_TRACE(text);
        EXPECT_TRUE(loadYaml(text).isNull());
    }
}

TEST(YamlValueTest, KindsAccessorsAndEditing) {
    YamlValue value = YamlMapping{};
    YamlMapping& mapping = value.asMapping();
    mapping.insertOrAssign("name", "HK");
    mapping.insertOrAssign("port", 443);
    mapping.insertOrAssign("name", "JP"); // in place
    EXPECT_EQ(mapping.entries()[0].value, YamlValue("JP"));
    EXPECT_TRUE(mapping.erase("port"));
    EXPECT_FALSE(mapping.erase("port"));
    EXPECT_EQ(mapping.size(), 1u);

    try {
        YamlValue(443).asString();
        FAIL() << "expected YamlError";
    } catch (const YamlError& error) {
        EXPECT_STREQ(error.what(), "expected a string, found an integer");
    }
    EXPECT_THROW(YamlValue::timestamp("2002-12-14").asString(), YamlError);
    EXPECT_NE(YamlValue("2002-12-14"), YamlValue::timestamp("2002-12-14"));
    EXPECT_NE(YamlValue(1), YamlValue(1.0));
    EXPECT_TRUE(YamlValue("text").isString()); // a literal is a string, not a bool

    // Replacing a value by one of its own children (moving down a tree).
    YamlValue tree = loadYaml("outer: {inner: [a, {deep: value with a long enough text}]}");
    tree = std::move(*tree.find("outer"));
    tree = std::move(tree.find("inner")->asSequence()[1]);
    EXPECT_EQ(tree, loadYaml("{deep: value with a long enough text}"));
    YamlValue copy = tree;
    copy = copy.asMapping().entries()[0].value;
    EXPECT_EQ(copy, YamlValue("value with a long enough text"));
}

} // namespace
