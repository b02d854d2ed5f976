#include "core/runtime_configuration.h"

#include "base/errors.h"
#include "base/url.h"
#include "core/mihomo_core.h"
#include "panel/subscription_parser.h"
#include "platform/local_proxy.h"

#include <korvane_deployment.h>

#include <unordered_set>

namespace korvane {

namespace {

// The update manifest's host stays direct, so an update can be fetched whatever the proxy does.
std::string updateHost() {
    auto parsed = parseURL(deployment::kManifest);
    return parsed ? parsed->host : std::string();
}

std::string groupRule(std::string_view prefix) { return std::string(prefix) + std::string(kProxyGroupName); }

void appendCommonRules(std::vector<std::string>& rules) {
    rules.push_back("DOMAIN," + updateHost() + ",DIRECT");
    for (const char* rule : {
             "DOMAIN,localhost,DIRECT",
             "DOMAIN-SUFFIX,local,DIRECT",
             "DOMAIN-SUFFIX,lan,DIRECT",
             "DOMAIN-SUFFIX,home.arpa,DIRECT",
             "IP-CIDR,127.0.0.0/8,DIRECT,no-resolve",
             "IP-CIDR,10.0.0.0/8,DIRECT,no-resolve",
             "IP-CIDR,172.16.0.0/12,DIRECT,no-resolve",
             "IP-CIDR,192.168.0.0/16,DIRECT,no-resolve",
             "IP-CIDR,169.254.0.0/16,DIRECT,no-resolve",
             "IP-CIDR6,::1/128,DIRECT,no-resolve",
             "IP-CIDR6,fc00::/7,DIRECT,no-resolve",
             "IP-CIDR6,fe80::/10,DIRECT,no-resolve",
             "GEOSITE,private,DIRECT",
         })
        rules.emplace_back(rule);
}

YamlValue stringSequence(const std::vector<std::string>& items) {
    YamlSequence sequence;
    sequence.reserve(items.size());
    for (const auto& item : items)
        sequence.emplace_back(item);
    return sequence;
}

YamlValue entries(std::vector<YamlEntry> list) { return YamlMapping(std::move(list)); }

} // namespace

std::vector<std::string> KorvaneRoutingPolicy::rules(std::string_view mode) {
    std::vector<std::string> rules;
    if (mode == kGlobalMode) {
        appendCommonRules(rules);
        rules.push_back(groupRule("MATCH,"));
        return rules;
    }
    for (const char* domain : deployment::kVendorDirectDomains)
        rules.push_back(std::string("DOMAIN-SUFFIX,") + domain + ",DIRECT");
    appendCommonRules(rules);
    rules.emplace_back("GEOSITE,apple,DIRECT");
    rules.emplace_back("GEOSITE,CN,DIRECT");
    rules.push_back(groupRule("GEOSITE,geolocation-!cn,"));
    rules.emplace_back("GEOIP,CN,DIRECT");
    rules.push_back(groupRule("MATCH,"));
    return rules;
}

YamlMapping KorvaneDNSPolicy::settings(std::string_view proxyGroup) {
    std::vector<std::string> resolvers;
    for (const char* address : deployment::kDnsOverHttpsResolverAddresses)
        resolvers.push_back("https://" + std::string(address) + "/dns-query#" + std::string(proxyGroup));
    std::vector<YamlEntry> policy;
    policy.emplace_back(deployment::kVendorSafeBrowsingHost, stringSequence(resolvers));
    std::vector<YamlEntry> dns;
    dns.emplace_back("enable", true);
    dns.emplace_back("enhanced-mode", "redir-host");
    dns.emplace_back("ipv6", false);
    dns.emplace_back("nameserver", stringSequence({"system"}));
    dns.emplace_back("nameserver-policy", entries(std::move(policy)));
    dns.emplace_back("proxy-server-nameserver", stringSequence({"system"}));
    return YamlMapping(std::move(dns));
}

std::string runtimeConfiguration(std::string_view subscription, const std::vector<std::string>& allowedNames,
                                 std::string_view mode) {
    YamlValue root = loadYaml(subscription);
    static constexpr const char* kMalformed = "订阅格式错误";
    if (!root.isMapping() || !root.asMapping().hasOnlyStringKeys()) throw KorvaneError(kMalformed);
    YamlValue* proxies = root.find("proxies");
    if (!proxies || !proxies->isSequence()) throw KorvaneError(kMalformed);
    for (const auto& proxy : proxies->asSequence())
        if (!proxy.isMapping() || !proxy.asMapping().hasOnlyStringKeys()) throw KorvaneError(kMalformed);

    // The core refuses a configuration that defines a proxy name twice, and the node list the
    // user chose from holds the first usable entry of each name: that entry is the one kept.
    const std::unordered_set<std::string_view> allowed(allowedNames.begin(), allowedNames.end());
    std::unordered_set<std::string> taken;
    YamlSequence kept;
    for (auto& proxy : proxies->asSequence()) {
        const YamlValue* name = proxy.find("name");
        if (!name || !name->isString() || !allowed.contains(name->asString())) continue;
        if (!nodeOfEntry(proxy) || !taken.insert(name->asString()).second) continue;
        kept.push_back(std::move(proxy));
    }
    if (kept.empty()) throw KorvaneError("找不到有效的节点");

    std::vector<YamlEntry> group;
    group.emplace_back("name", std::string(kProxyGroupName));
    group.emplace_back("proxies", stringSequence(allowedNames));
    group.emplace_back("type", "select");
    YamlSequence groups;
    groups.push_back(entries(std::move(group)));

    YamlValue dns;
    if (mode == kGlobalMode) {
        std::vector<YamlEntry> off;
        off.emplace_back("enable", false);
        dns = entries(std::move(off));
    } else {
        dns = KorvaneDNSPolicy::settings(kProxyGroupName);
    }

    std::vector<YamlEntry> document;
    document.emplace_back("allow-lan", false);
    document.emplace_back("bind-address", "127.0.0.1");
    document.emplace_back("dns", std::move(dns));
    document.emplace_back("external-controller", std::string(MihomoCore::kControllerAddress));
    document.emplace_back("geo-auto-update", false);
    document.emplace_back("geodata-loader", "memconservative");
    document.emplace_back("geodata-mode", true);
    document.emplace_back("ipv6", false);
    document.emplace_back("log-level", "warning");
    document.emplace_back("mixed-port", kLocalProxyPort);
    document.emplace_back("mode", "rule");
    document.emplace_back("proxies", std::move(kept));
    document.emplace_back("proxy-groups", std::move(groups));
    document.emplace_back("rules", stringSequence(KorvaneRoutingPolicy::rules(mode)));
    return dumpYaml(entries(std::move(document)));
}

} // namespace korvane
