#include "panel/node_cache.h"

#include "base/files.h"
#include "base/json.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>

using namespace korvane;
using korvane::testing::TempDir;
namespace fs = std::filesystem;

namespace {

Json entry(const std::string& name, const std::string& type = "VMESS",
           const std::string& host = "hk.example.net", Json port = 443) {
    return {{"name", name}, {"type", type}, {"host", host}, {"port", std::move(port)}};
}

std::vector<Node> readText(const std::string& text) {
    TempDir dir;
    writeFileAtomically(dir.path() / "nodes.json", text);
    return readNodeCache(dir.path() / "nodes.json");
}

TEST(NodeCacheTest, KeepsUsableEntriesAsWrittenAndInFileOrder) {
    const Json file = Json::array({
        entry("日本 02", "TROJAN", "jp.example.net", 1),
        entry("  香港 01 ", "VMESS", "hk.example.net", 65535),
        entry("美国 </script> 03", "SS", "10.0.0.3", 8388),
    });
    EXPECT_EQ(readText(file.dump()), (std::vector<Node>{
                                         {"日本 02", "TROJAN", "jp.example.net", 1},
                                         {"  香港 01 ", "VMESS", "hk.example.net", 65535},
                                         {"美国 </script> 03", "SS", "10.0.0.3", 8388},
                                     }));
}

TEST(NodeCacheTest, LeavesOutEntriesThatWouldNotBeOffered) {
    struct Row {
        const char* why;
        std::function<void(Json&)> spoil;
    };
    const Row rows[] = {
        {"no name", [](Json& e) { e.erase("name"); }},
        {"name not a string", [](Json& e) { e["name"] = 1; }},
        {"informational name", [](Json& e) { e["name"] = "剩余流量：12 GB"; }},
        {"address as name", [](Json& e) { e["name"] = "https://korvane.art"; }},
        {"blank name", [](Json& e) { e["name"] = " \u3000"; }},
        {"no host", [](Json& e) { e.erase("host"); }},
        {"empty host", [](Json& e) { e["host"] = ""; }},
        {"host not a string", [](Json& e) { e["host"] = Json::array(); }},
        {"no type", [](Json& e) { e.erase("type"); }},
        {"type not a string", [](Json& e) { e["type"] = nullptr; }},
        {"no port", [](Json& e) { e.erase("port"); }},
        {"port as text", [](Json& e) { e["port"] = "443"; }},
        {"port with a fraction", [](Json& e) { e["port"] = 443.5; }},
        {"port as boolean", [](Json& e) { e["port"] = true; }},
        {"port 0", [](Json& e) { e["port"] = 0; }},
        {"port 65536", [](Json& e) { e["port"] = 65536; }},
        {"negative port", [](Json& e) { e["port"] = -443; }},
        {"port beyond 64 bits signed", [](Json& e) { e["port"] = 18446744073709551615u; }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        Json spoilt = entry("spoilt");
        row.spoil(spoilt);
        const auto nodes = readText(Json::array({entry("first"), spoilt, entry("last")}).dump());
        ASSERT_EQ(nodes.size(), 2u);
        EXPECT_EQ(nodes[0].name, "first");
        EXPECT_EQ(nodes[1].name, "last");
    }
}

TEST(NodeCacheTest, AnUnusableFileGivesNoNodesAtAll) {
    const std::string good = entry("香港 01").dump();
    const std::string texts[] = {"",
                                 "not json",
                                 "{}",
                                 good,
                                 "[" + good + ",5]",
                                 "[" + good + ",null]",
                                 "[" + good + ",[" + good + "]]",
                                 "[" + good,
                                 "[{\"name\":\"\xC0\xAF\",\"type\":\"SS\",\"host\":\"h\",\"port\":1}]"};
    for (const auto& text : texts) {
        EXPECT_TRUE(readText(text).empty()) << text;
    }
    TempDir dir;
    EXPECT_TRUE(readNodeCache(dir.path() / "missing.json").empty());
    EXPECT_TRUE(readNodeCache(dir.path()).empty()); // a directory
}

} // namespace
