#pragma once

#include "panel/node.h"

#include <optional>
#include <string_view>
#include <vector>

namespace korvane {

class YamlValue;

// The node one entry of a subscription's proxies (a mapping with string keys) stands for, or
// nothing when the entry is not a usable server. Whether its name is still free is the caller's
// to decide: the node list and the core's configuration both keep the first usable entry of a
// name, so an unusable one does not reserve it.
std::optional<Node> nodeOfEntry(const YamlValue& entry);

// The servers a subscription offers, in document order: entries with a string name that is
// a real server (not an informational entry), a non-empty string server and a port from 1
// to 65535; the first entry of a name wins. Throws "订阅没有返回有效的 Mihomo 节点" when the
// text is not a proxy configuration, "订阅中没有可用的节点" when no entry is usable, and the
// YAML parser's own error for a syntax error.
std::vector<Node> extractNodes(std::string_view text);

} // namespace korvane
