// Node extraction: every node is a usable, distinctly named server, the same document written
// back by the YAML layer gives the same nodes, and the list survives its cache.

#include "base/errors.h"
#include "base/yaml.h"
#include "fuzz_check.h"
#include "panel/node_cache.h"
#include "panel/node_presentation.h"
#include "panel/subscription_parser.h"

#include <set>

using namespace korvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::text(data, size);
    std::vector<Node> nodes;
    try {
        nodes = extractNodes(text);
    } catch (const YamlError&) {
        return 0;
    } catch (const KorvaneError&) {
        return 0;
    }
    FUZZ_CHECK(!nodes.empty());
    std::set<std::string> names;
    for (const auto& node : nodes) {
        FUZZ_CHECK(names.insert(node.name).second);
        FUZZ_CHECK(KorvaneNodePresentation::isServer(node.name));
        FUZZ_CHECK(!node.host.empty());
        FUZZ_CHECK(node.port >= 1 && node.port <= 65535);
        FUZZ_CHECK(!node.type.empty());
        for (char c : node.type)
            FUZZ_CHECK(c < 'a' || c > 'z');
    }
    FUZZ_CHECK(extractNodes(dumpYaml(loadYaml(text))) == nodes);
    // The list cached as nodes.json reads back whole.
    FUZZ_CHECK(decodeNodeCache(encodeNodeCache(nodes)) == nodes);
    return 0;
}
