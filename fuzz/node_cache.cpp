// nodes.json: every node read is one the client would offer, and the list written back reads
// as the same list.

#include "panel/node_cache.h"
#include "fuzz_check.h"
#include "panel/node_presentation.h"

using namespace korvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<Node> nodes = decodeNodeCache(fuzz::text(data, size));
    for (const auto& node : nodes) {
        FUZZ_CHECK(KorvaneNodePresentation::isServer(node.name));
        FUZZ_CHECK(!node.host.empty());
        FUZZ_CHECK(node.port >= 1 && node.port <= 65535);
    }
    const std::string encoded = encodeNodeCache(nodes);
    FUZZ_CHECK(decodeNodeCache(encoded) == nodes);
    FUZZ_CHECK(encodeNodeCache(decodeNodeCache(encoded)) == encoded);
    return 0;
}
