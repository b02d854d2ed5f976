// What writing the core's configuration costs for a 10,000-node subscription: load it, keep the
// proxies of the node list, emit the document with sorted keys. BM_LibyamlParseEmit is the
// floor: libyaml parsing the same subscription and handing every event straight to its emitter,
// with the same emitter settings, so no value tree, no filtering and no sorting.
//
// With KORVANE_CORE_BENCH_DIR set, the subscription and its node names are written there
// (subscription.yaml, names.txt) for bench/core_pyyaml_bench.py to do the same with PyYAML's C
// loader and dumper.

#include "base/yaml.h"
#include "bench_report.h"
#include "core/runtime_configuration.h"
#include "panel/subscription_parser.h"
#include "subscription_generator.h"

#include <benchmark/benchmark.h>
#include <yaml.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace korvane;
using namespace korvane::bench;

namespace {

struct Input {
    std::string text;
    std::vector<std::string> names;
};

const Input& input() {
    static const Input generated = [] {
        Input in{generateSubscription(kBlock), {}};
        for (const auto& node : extractNodes(in.text))
            in.names.push_back(node.name);
        if (const char* dir = std::getenv("KORVANE_CORE_BENCH_DIR")) {
            std::filesystem::create_directories(dir);
            std::ofstream(std::filesystem::path(dir) / "subscription.yaml", std::ios::binary) << in.text;
            std::ofstream names(std::filesystem::path(dir) / "names.txt", std::ios::binary);
            for (const auto& name : in.names)
                names << name << "\n";
        }
        return in;
    }();
    return generated;
}

[[maybe_unused]] const Input& kGenerated = input();

int appendOutput(void* data, unsigned char* buffer, size_t size) {
    static_cast<std::string*>(data)->append(reinterpret_cast<const char*>(buffer), size);
    return 1;
}

void BM_LibyamlParseEmit(benchmark::State& state) {
    const std::string& text = input().text;
    std::size_t written = 0;
    for (auto _ : state) {
        std::string output;
        yaml_parser_t parser;
        yaml_emitter_t emitter;
        yaml_parser_initialize(&parser);
        yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()),
                                     text.size());
        yaml_emitter_initialize(&emitter);
        yaml_emitter_set_output(&emitter, appendOutput, &output);
        yaml_emitter_set_unicode(&emitter, 0);
        yaml_emitter_set_indent(&emitter, 2);
        yaml_emitter_set_width(&emitter, 80);
        for (bool done = false; !done;) {
            yaml_event_t event;
            if (!yaml_parser_parse(&parser, &event)) {
                state.SkipWithError(parser.problem);
                break;
            }
            done = event.type == YAML_STREAM_END_EVENT;
            if (!yaml_emitter_emit(&emitter, &event)) {
                state.SkipWithError(emitter.problem);
                break;
            }
        }
        yaml_emitter_delete(&emitter);
        yaml_parser_delete(&parser);
        written = output.size();
        benchmark::DoNotOptimize(output);
    }
    state.counters["outMB"] = static_cast<double>(written) / 1e6;
}

void BM_RuntimeConfiguration(benchmark::State& state) {
    const Input& in = input();
    std::size_t written = 0;
    for (auto _ : state) {
        std::string document = runtimeConfiguration(in.text, in.names, "smart");
        written = document.size();
        benchmark::DoNotOptimize(document);
    }
    state.counters["nodes"] = static_cast<double>(in.names.size());
    state.counters["outMB"] = static_cast<double>(written) / 1e6;
}

BENCHMARK(BM_LibyamlParseEmit)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RuntimeConfiguration)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return runBenchmarks(argc, argv, [](const RecordingReporter& runs) {
        printRatio(runs, "runtime configuration, 10,000 nodes", "BM_RuntimeConfiguration",
                   "BM_LibyamlParseEmit",
                   "floor: libyaml parsing the subscription straight into its emitter");
    });
}
