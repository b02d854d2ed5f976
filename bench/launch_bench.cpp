// How long a user with a large cached subscription waits for the first complete picture:
// from the controller's construction to the first state pushed to the page. The node list is
// the one part of launch that grows with the user's data, so it is measured at 1,000 and 10,000
// nodes, next to an empty cache for what launch costs without it. The floor of each is
// BM_CacheFloor: reading the same nodes.json, parsing it and encoding the nodes for the page
// once, which no launch that shows them can avoid.
//
// The launch task fetches the remote configuration before it pushes the state; the harness's
// fake client answers nothing for the sources, so both fail at once and the figure is the
// controller's own work, without a network round trip.

#include "app/korvane_application.h"
#include "base/files.h"
#include "base/json.h"
#include "bench_report.h"
#include "testing/fake_platform.h"

#include <benchmark/benchmark.h>

#include <string>

using namespace korvane;
using korvane::testing::ControllerHarness;

namespace {

constexpr int kNodes = 1000;
constexpr int kManyNodes = 10000;

void plantCache(testing::FakePlatform& fake, int count) {
    if (count == 0) return;
    Json nodes = Json::array();
    for (int i = 0; i < count; ++i) {
        nodes.push_back({{"name", "香港 HK-" + std::to_string(i) + " | IPLC"},
                         {"type", i % 2 ? "VMESS" : "SS"},
                         {"host", "hk" + std::to_string(i) + ".edge.example.net"},
                         {"port", 10000 + i}});
    }
    std::string subscription = "proxies:\n";
    for (int i = 0; i < count; ++i)
        subscription += "  - {name: node" + std::to_string(i) + ", type: ss, server: h, port: 1}\n";
    fake.plantNodeCache(nodes, subscription);
}

void BM_LaunchToFirstStatePush(benchmark::State& state) {
    ControllerHarness harness;
    plantCache(harness.fake, static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto& app = harness.launch();
        harness.settle();
        if (harness.window().countScripts("window.__korvaneState(") != 1 || !app.startupReady()) {
            state.SkipWithError("launch did not push exactly one state");
            break;
        }
        state.PauseTiming();
        harness.destroyController();
        state.ResumeTiming();
    }
    if (auto states = harness.window().states(); !states.empty())
        state.counters["nodes"] = static_cast<double>(states.back()["nodes"].size());
}
BENCHMARK(BM_LaunchToFirstStatePush)->Arg(kManyNodes)->Arg(kNodes)->Arg(0)->Unit(benchmark::kMicrosecond);

// The least a launch that shows the cached nodes does with them: the file read, parsed and the
// nodes encoded for the page's script.
void BM_CacheFloor(benchmark::State& state) {
    testing::FakePlatform fake;
    plantCache(fake, static_cast<int>(state.range(0)));
    const auto file = fake.supportDir() / "nodes.json";
    std::size_t bytes = 0;
    for (auto _ : state) {
        const Json nodes = Json::parse(readFile(file).value_or("[]"));
        std::string script = encodeJsonForScript(Json{{"nodes", nodes}});
        bytes = script.size();
        benchmark::DoNotOptimize(script.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_CacheFloor)->Arg(kManyNodes)->Arg(kNodes)->Unit(benchmark::kMicrosecond);

void BM_StateDocument(benchmark::State& state) {
    ControllerHarness harness;
    plantCache(harness.fake, kNodes);
    auto& app = harness.launchAndSettle();
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string script = encodeJsonForScript(app.state());
        bytes = script.size();
        benchmark::DoNotOptimize(script.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_StateDocument)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    return bench::runBenchmarks(argc, argv, [](const bench::RecordingReporter& runs) {
        const auto* empty = runs.find("BM_LaunchToFirstStatePush/0");
        const std::string note =
            empty ? "floor: read, parse and encode the same nodes.json; an empty cache launches in " +
                        bench::shortNumber(empty->seconds * 1000) + " ms"
                  : "floor: read, parse and encode the same nodes.json";
        for (const int nodes : {kManyNodes, kNodes}) {
            const std::string count = nodes == kManyNodes ? "10,000" : "1,000";
            bench::printRatio(runs, "launch to first state push, " + count + " cached nodes",
                              "BM_LaunchToFirstStatePush/" + std::to_string(nodes),
                              "BM_CacheFloor/" + std::to_string(nodes), note);
        }
    });
}
