#include "panel/node_cache.h"

#include "base/files.h"
#include "base/json.h"
#include "panel/node_presentation.h"

namespace korvane {

std::vector<Node> readNodeCache(const std::filesystem::path& file) {
    auto text = readPrivateFile(file, kMaximumCacheSize).bytes;
    if (!text) return {};
    return decodeNodeCache(*text);
}

std::vector<Node> decodeNodeCache(std::string_view text) {
    Json parsed = Json::parse(text, nullptr, false);
    if (!parsed.is_array()) return {};
    for (const auto& entry : parsed) {
        if (!entry.is_object()) return {};
    }
    std::vector<Node> nodes;
    for (const auto& entry : parsed) {
        auto name = entry.find("name");
        auto host = entry.find("host");
        auto type = entry.find("type");
        auto port = entry.find("port");
        if (name == entry.end() || !name->is_string() || host == entry.end() || !host->is_string() ||
            type == entry.end() || !type->is_string() || port == entry.end() || !port->is_number_integer()) {
            continue;
        }
        // Integers beyond 63 bits parse as unsigned; none of them is a port.
        const std::int64_t portNumber =
            port->is_number_unsigned() && port->get<std::uint64_t>() > 65535 ? 0 : port->get<std::int64_t>();
        auto nameText = name->get<std::string>();
        auto hostText = host->get<std::string>();
        if (!KorvaneNodePresentation::isServer(nameText) || portNumber < 1 || portNumber > 65535 ||
            hostText.empty()) {
            continue;
        }
        nodes.push_back(Node{std::move(nameText), type->get<std::string>(), std::move(hostText), portNumber});
    }
    return nodes;
}

void writeSubscriptionCache(const std::filesystem::path& directory, std::string_view subscriptionText,
                            const std::vector<Node>& nodes) {
    writeFileAtomically(directory / "subscription.yaml", subscriptionText, 0600);
    writeFileAtomically(directory / "nodes.json", encodeNodeCache(nodes), 0600);
}

std::string encodeNodeCache(const std::vector<Node>& nodes) {
    Json list = Json::array();
    for (const auto& node : nodes) {
        list.push_back({{"name", node.name}, {"type", node.type}, {"host", node.host}, {"port", node.port}});
    }
    return encodeJson(list);
}

} // namespace korvane
