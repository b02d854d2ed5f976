#pragma once

// The configuration the proxy core is started with: the subscription's proxies for the current
// node list, everything else (ports, controller, DNS, the one proxy group, rules) our own.

#include "base/yaml.h"

#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// The only proxy group of the core: rules and DNS resolvers send proxied traffic to it, and a
// connection selects the user's node in it through the controller.
inline constexpr std::string_view kProxyGroupName = "Korvane 手动节点";

// The routing mode that sends everything not local through the proxy group; any other text
// (normally "smart") routes by domain and region.
inline constexpr std::string_view kGlobalMode = "global";

struct KorvaneRoutingPolicy {
    // 15 rules for "global" (exact spelling), 28 for any other mode.
    static std::vector<std::string> rules(std::string_view mode);
};

struct KorvaneDNSPolicy {
    // The DNS section of the smart mode, its resolvers reached through proxyGroup.
    static YamlMapping settings(std::string_view proxyGroup);
};

// The YAML text of the core's configuration. Of the subscription's proxies, the entry the node
// list took for each name in allowedNames (the first usable one) is kept whole, its scalars
// re-typed and its keys sorted; the group lists allowedNames as given. Throws the loader's YamlError for a
// syntax error, KorvaneError "订阅格式错误" for a document of the wrong shape and "找不到有效的节点" when no
// proxy is kept.
std::string runtimeConfiguration(std::string_view subscription, const std::vector<std::string>& allowedNames,
                                 std::string_view mode);

} // namespace korvane
