#pragma once

// A large subscription as panels serve them, for the benchmarks: 10,000 proxies (about 3 MB),
// each either a block mapping or a one-line flow mapping, three informational entries, two
// groups listing the proxies, and 500 rules.

#include <array>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace korvane::bench {

inline constexpr int kProxies = 10'000;
inline constexpr int kRules = 500;

enum Style { kBlock, kFlow };

inline constexpr std::array kRegions = {"香港", "日本", "新加坡", "美国", "台湾", "韩国"};
inline constexpr std::array kRegionCodes = {"hk", "jp", "sg", "us", "tw", "kr"};
inline constexpr std::array kRates = {"×1", "×1.5", "×2", "×0.8"};

inline std::string proxyName(int i) {
    char number[16];
    std::snprintf(number, sizeof number, "%02d", i / 6 % 100 + 1);
    std::string name = kRegions[i % 6];
    name.append(" ").append(number).append(i % 4 == 0 ? " | IPLC 专线 " : " | 中转 ").append(kRates[i % 4]);
    return name.append(" #").append(std::to_string(i));
}

// The fields of proxy i as key/value texts, values already written as YAML scalars (nested
// mappings as flow). Ports alternate between integers and quoted strings, as panels emit both.
inline std::vector<std::pair<std::string, std::string>> proxyFields(int i) {
    const std::string host = std::string(kRegionCodes[i % 6]) + std::to_string(i) + ".edge.example.net";
    const std::string port = i % 3 == 0 ? "\"" + std::to_string(20000 + i) + "\"" : std::to_string(20000 + i);
    char secret[40];
    std::snprintf(secret, sizeof secret, "%08x-5c1e-4a8b-9d2e-%012x", i * 2654435761u, i * 40503u);
    std::vector<std::pair<std::string, std::string>> fields = {
        {"name", "\"" + proxyName(i) + "\""}, {"server", host}, {"port", port}};
    switch (i % 3) {
    case 0:
        fields.insert(fields.begin() + 1, {"type", "ss"});
        fields.push_back({"cipher", "chacha20-ietf-poly1305"});
        fields.push_back({"password", secret});
        fields.push_back({"udp", "true"});
        break;
    case 1:
        fields.insert(fields.begin() + 1, {"type", "vmess"});
        fields.push_back({"uuid", secret});
        fields.push_back({"alterId", "0"});
        fields.push_back({"tls", "true"});
        fields.push_back({"network", "ws"});
        fields.push_back({"ws-opts", "{path: /stream, headers: {Host: " + host + "}}"});
        break;
    default:
        fields.insert(fields.begin() + 1, {"type", "trojan"});
        fields.push_back({"password", secret});
        fields.push_back({"sni", host});
        fields.push_back({"skip-cert-verify", "false"});
        break;
    }
    return fields;
}

inline std::string generateSubscription(Style style) {
    std::string out;
    out.reserve(4'000'000);
    out += "mixed-port: 7890\n"
           "allow-lan: false\n"
           "mode: rule\n"
           "log-level: info\n"
           "external-controller: 127.0.0.1:9090\n"
           "dns:\n"
           "  enable: true\n"
           "  ipv6: false\n"
           "  nameserver: [223.5.5.5, 119.29.29.29]\n"
           "  fallback:\n"
           "    - https://1.1.1.1/dns-query\n"
           "proxies:\n";
    for (const char* info : {"剩余流量：120.5 GB", "距离下次重置剩余：12 天", "套餐到期：2025-12-31"})
        out.append("  - {name: \"")
            .append(info)
            .append("\", type: ss, server: 127.0.0.1, port: 1, "
                    "cipher: aes-128-gcm, password: info}\n");
    for (int i = 0; i < kProxies; ++i) {
        const auto fields = proxyFields(i);
        if (style == kFlow) {
            out += "  - {";
            for (std::size_t f = 0; f < fields.size(); ++f)
                out.append(f ? ", " : "").append(fields[f].first).append(": ").append(fields[f].second);
            out += "}\n";
        } else {
            for (std::size_t f = 0; f < fields.size(); ++f) {
                out.append(f ? "    " : "  - ").append(fields[f].first).append(":");
                if (fields[f].first == "ws-opts")
                    out.append("\n      path: /stream\n      headers:\n        Host: ")
                        .append(fields[2].second)
                        .append("\n");
                else
                    out.append(" ").append(fields[f].second).append("\n");
            }
        }
    }
    out += "proxy-groups:\n"
           "  - name: 节点选择\n"
           "    type: select\n"
           "    proxies:\n"
           "      - 自动选择\n"
           "      - DIRECT\n";
    for (int i = 0; i < kProxies; ++i)
        out.append("      - \"").append(proxyName(i)).append("\"\n");
    out += "  - name: 自动选择\n"
           "    type: url-test\n"
           "    url: http://www.gstatic.com/generate_204\n"
           "    interval: 300\n"
           "    tolerance: 50\n"
           "    proxies:\n";
    for (int i = 0; i < kProxies; i += 4)
        out.append("      - \"").append(proxyName(i)).append("\"\n");
    out += "  - {name: 漏网之鱼, type: select, proxies: [节点选择, DIRECT]}\n"
           "rules:\n";
    for (int i = 0; i < kRules - 1; ++i) {
        const std::string n = std::to_string(i);
        switch (i % 4) {
        case 0:
            out += "  - DOMAIN-SUFFIX,site" + n + ".example.com,节点选择\n";
            break;
        case 1:
            out += "  - DOMAIN-KEYWORD,keyword" + n + ",DIRECT\n";
            break;
        case 2:
            out += "  - IP-CIDR,10." + std::to_string(i % 256) + ".0.0/16,DIRECT,no-resolve\n";
            break;
        default:
            out += "  - GEOIP,CN,DIRECT\n";
            break;
        }
    }
    out += "  - MATCH,漏网之鱼\n";
    return out;
}

} // namespace korvane::bench
