// What loading a large subscription costs: 10,000 proxies, about 3 MB, once with each proxy as a
// block mapping and once as a one-line flow mapping. BM_LibyamlEventLoop is the floor, libyaml's
// bare parser over the same bytes, which any loader on libyaml pays before building a thing.
//
// With KORVANE_YAML_BENCH_DIR set, the two documents are also written there
// (subscription-block.yaml, subscription-flow.yaml) for bench/yaml_pyyaml_bench.py to time the
// same bytes with PyYAML's C loader.

#include "base/yaml.h"
#include "panel/subscription_parser.h"

#include <benchmark/benchmark.h>
#include <yaml.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

using namespace korvane;

namespace {

constexpr int kProxies = 10'000;
constexpr int kRules = 500;

enum Style { kBlock, kFlow };

constexpr std::array kRegions = {"香港", "日本", "新加坡", "美国", "台湾", "韩国"};
constexpr std::array kRegionCodes = {"hk", "jp", "sg", "us", "tw", "kr"};
constexpr std::array kRates = {"×1", "×1.5", "×2", "×0.8"};

std::string proxyName(int i) {
    char number[16];
    std::snprintf(number, sizeof number, "%02d", i / 6 % 100 + 1);
    std::string name = kRegions[i % 6];
    name.append(" ").append(number).append(i % 4 == 0 ? " | IPLC 专线 " : " | 中转 ").append(kRates[i % 4]);
    return name.append(" #").append(std::to_string(i));
}

// The fields of proxy i as key/value texts, values already written as YAML scalars (nested
// mappings as flow). Ports alternate between integers and quoted strings, as panels emit both.
std::vector<std::pair<std::string, std::string>> proxyFields(int i) {
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

std::string generateSubscription(Style style) {
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

const std::string& subscription(Style style) {
    static const std::array<std::string, 2> texts = [] {
        std::array<std::string, 2> generated = {generateSubscription(kBlock), generateSubscription(kFlow)};
        if (const char* dir = std::getenv("KORVANE_YAML_BENCH_DIR")) {
            std::filesystem::create_directories(dir);
            std::ofstream(std::filesystem::path(dir) / "subscription-block.yaml", std::ios::binary)
                << generated[0];
            std::ofstream(std::filesystem::path(dir) / "subscription-flow.yaml", std::ios::binary)
                << generated[1];
        }
        return generated;
    }();
    return texts[style];
}

// Generated (and written out) before any benchmark is chosen, so the files exist for the PyYAML
// script even when only one benchmark runs or none (--benchmark_list_tests).
[[maybe_unused]] const std::string& kGenerated = subscription(kBlock);

void BM_LibyamlEventLoop(benchmark::State& state, Style style) {
    const std::string& text = subscription(style);
    for (auto _ : state) {
        yaml_parser_t parser;
        yaml_parser_initialize(&parser);
        yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()),
                                     text.size());
        std::size_t touched = 0;
        for (bool done = false; !done;) {
            yaml_event_t event;
            if (!yaml_parser_parse(&parser, &event)) {
                state.SkipWithError(parser.problem);
                break;
            }
            touched += event.type;
            if (event.type == YAML_SCALAR_EVENT)
                touched += event.data.scalar.length + event.data.scalar.value[0];
            done = event.type == YAML_STREAM_END_EVENT;
            yaml_event_delete(&event);
        }
        yaml_parser_delete(&parser);
        benchmark::DoNotOptimize(touched);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// Includes freeing the tree, which the client pays as well.
void BM_LoadYaml(benchmark::State& state, Style style) {
    const std::string& text = subscription(style);
    for (auto _ : state) {
        YamlValue root = loadYaml(text);
        benchmark::DoNotOptimize(root);
    }
    const YamlValue root = loadYaml(text);
    state.counters["proxies"] = static_cast<double>(root.find("proxies")->asSequence().size());
    state.counters["MB"] = static_cast<double>(text.size()) / 1e6;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// What the client does with a downloaded subscription: load it and keep the usable servers.
void BM_ExtractNodes(benchmark::State& state, Style style) {
    const std::string& text = subscription(style);
    std::size_t count = 0;
    for (auto _ : state) {
        auto nodes = extractNodes(text);
        count = nodes.size();
        benchmark::DoNotOptimize(nodes);
    }
    state.counters["nodes"] = static_cast<double>(count);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

BENCHMARK_CAPTURE(BM_LibyamlEventLoop, block, kBlock)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LibyamlEventLoop, flow, kFlow)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LoadYaml, block, kBlock)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LoadYaml, flow, kFlow)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExtractNodes, block, kBlock)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExtractNodes, flow, kFlow)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
