// What loading a large subscription costs: 10,000 proxies, about 3 MB, once with each proxy as a
// block mapping and once as a one-line flow mapping. BM_LibyamlEventLoop is the floor, libyaml's
// bare parser over the same bytes, which any loader on libyaml pays before building a thing.
//
// With KORVANE_YAML_BENCH_DIR set, the two documents are also written there
// (subscription-block.yaml, subscription-flow.yaml) for bench/yaml_pyyaml_bench.py to time the
// same bytes with PyYAML's C loader.

#include "base/yaml.h"
#include "bench_report.h"
#include "panel/subscription_parser.h"
#include "subscription_generator.h"

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
using namespace korvane::bench;

namespace {

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

int main(int argc, char** argv) {
    return runBenchmarks(argc, argv, [](const RecordingReporter& runs) {
        for (const char* style : {"block", "flow"}) {
            const std::string floor = std::string("BM_LibyamlEventLoop/") + style;
            printRatio(runs, std::string("YAML value tree, 10,000 proxies, ") + style + " style",
                       std::string("BM_LoadYaml/") + style, floor,
                       "floor: libyaml's event loop over the same bytes");
            printRatio(runs, std::string("node extraction, 10,000 proxies, ") + style + " style",
                       std::string("BM_ExtractNodes/") + style, floor,
                       "floor: libyaml's event loop over the same bytes");
        }
    });
}
