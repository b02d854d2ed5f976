#include "panel/subscription_parser.h"

#include "base/errors.h"

namespace korvane {

std::vector<Node> extractNodes(std::string_view) { throw KorvaneError("订阅没有返回有效的 Mihomo 节点"); }

} // namespace korvane
