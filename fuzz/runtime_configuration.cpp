// The core's configuration over a fuzzed subscription, for a part of the node list taken from
// that same subscription: it loads back, keeps exactly the chosen nodes in document order, each
// entry as the subscription gave it (the first usable one of its name), and the group lists
// the chosen names as given.

#include "core/runtime_configuration.h"
#include "base/errors.h"
#include "base/yaml.h"
#include "fuzz_check.h"
#include "panel/subscription_parser.h"
#include "yaml_canonical.h"

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
    fuzz::Choices choices(text);
    std::vector<Node> chosen;
    for (const auto& node : nodes)
        if (choices.next() % 4 != 0) chosen.push_back(node);
    if (chosen.empty()) chosen.push_back(nodes.back());
    nodes = std::move(chosen);
    std::vector<std::string> names;
    for (const auto& node : nodes)
        names.push_back(node.name);
    const std::string_view mode = size % 2 ? kGlobalMode : "smart";
    const std::string written = runtimeConfiguration(text, names, mode);
    // Read as a subscription, the configuration offers exactly the chosen nodes.
    FUZZ_CHECK(extractNodes(written) == nodes);
    const YamlValue configuration = loadYaml(written);

    const YamlValue subscription = loadYaml(text);
    const auto& proxies = configuration.find("proxies")->asSequence();
    FUZZ_CHECK(proxies.size() == nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const YamlValue* first = nullptr;
        for (const auto& entry : subscription.find("proxies")->asSequence()) {
            if (auto node = nodeOfEntry(entry); node && node->name == nodes[i].name) {
                first = &entry;
                break;
            }
        }
        FUZZ_CHECK(first && fuzz::sameYaml(proxies[i], *first));
        FUZZ_CHECK(nodeOfEntry(proxies[i]) == nodes[i]);
    }
    const auto& group = configuration.find("proxy-groups")->asSequence().at(0);
    const auto& listed = group.find("proxies")->asSequence();
    FUZZ_CHECK(listed.size() == names.size());
    for (std::size_t i = 0; i < names.size(); ++i)
        FUZZ_CHECK(listed[i] == YamlValue(names[i]));
    return 0;
}
