#include "panel/subscription_parser.h"

#include "base/errors.h"
#include "base/files.h"
#include "base/text.h"
#include "base/yaml.h"
#include "panel/node_presentation.h"

#include <charconv>
#include <unordered_set>

namespace korvane {

namespace {

constexpr const char* kNotASubscription = "订阅没有返回有效的 Mihomo 节点";

bool isMappingWithStringKeys(const YamlValue& value) {
    return value.isMapping() && value.asMapping().hasOnlyStringKeys();
}

std::optional<std::int64_t> portOf(const YamlValue& value) {
    if (value.isInteger()) return value.asInteger();
    if (value.isString()) return parseDecimalInteger(value.asString());
    // Floats, Booleans, dates: their text is never a plain decimal number.
    return std::nullopt;
}

// The protocol as the page shows it. Scalars of other kinds keep their text; an entry whose
// type is missing, null or a collection is shown as a generic proxy.
std::string typeOf(const YamlValue* value) {
    std::string text;
    if (!value) return "PROXY";
    switch (value->kind()) {
    case YamlValue::Kind::String:
        text = value->asString();
        break;
    case YamlValue::Kind::Timestamp:
        text = value->timestampText();
        break;
    case YamlValue::Kind::Integer:
        text = std::to_string(value->asInteger());
        break;
    case YamlValue::Kind::Boolean:
        text = value->asBoolean() ? "true" : "false";
        break;
    case YamlValue::Kind::Float: {
        char buffer[32];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, value->asFloat());
        text.assign(buffer, result.ptr);
        break;
    }
    default:
        return "PROXY";
    }
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

} // namespace

std::optional<Node> nodeOfEntry(const YamlValue& entry) {
    const YamlValue* name = entry.find("name");
    const YamlValue* server = entry.find("server");
    const YamlValue* port = entry.find("port");
    if (!name || !name->isString() || !server || !server->isString() || !port) return std::nullopt;
    if (!KorvaneNodePresentation::isServer(name->asString())) return std::nullopt;
    if (server->asString().empty()) return std::nullopt;
    const auto portNumber = portOf(*port);
    if (!portNumber || *portNumber < 1 || *portNumber > 65535) return std::nullopt;
    const YamlValue* type = entry.find("type");
    return Node{name->asString(), typeOf(type && !type->isNull() ? type : nullptr), server->asString(),
                *portNumber};
}

std::vector<Node> extractNodes(std::string_view text) {
    if (!isValidUtf8(text)) throw KorvaneError(kNotASubscription);
    const YamlValue document = loadYaml(text); // a syntax error keeps the parser's own text
    if (!isMappingWithStringKeys(document)) throw KorvaneError(kNotASubscription);
    const YamlValue* proxies = document.find("proxies");
    if (!proxies || !proxies->isSequence()) throw KorvaneError(kNotASubscription);
    for (const auto& entry : proxies->asSequence()) {
        if (!isMappingWithStringKeys(entry)) throw KorvaneError(kNotASubscription);
    }

    std::vector<Node> nodes;
    nodes.reserve(proxies->asSequence().size());
    std::unordered_set<std::string> taken;
    for (const auto& entry : proxies->asSequence()) {
        auto node = nodeOfEntry(entry);
        if (!node || !taken.insert(node->name).second) continue;
        nodes.push_back(std::move(*node));
    }
    if (nodes.empty()) throw KorvaneError("订阅中没有可用的节点");
    return nodes;
}

} // namespace korvane
