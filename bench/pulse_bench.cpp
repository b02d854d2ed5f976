// The pulse's costs: classifying a 64 KiB chunked answer as it arrives in 8 KiB reads, next to
// classifying it at once (and to parsing everything received anew after every read, which is
// what an answer costs without an incremental parser); and whole pulses against a loopback
// panel, with the share the route check takes.

#include "base/event_loops.h"
#include "panel/http.h"
#include "platform/system_paths.h"
#include "pulse/korvane_physical_pulse.h"
#include "pulse/pulse_response_parser.h"
#include "testing/async_test.h"
#include "testing/https_server.h"
#include "testing/test_certificates.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

using namespace korvane;
using namespace korvane::testing;

namespace {

constexpr std::size_t kRead = 8192;

// An accepted answer of nearly 64 KiB: a JSON body padded with blanks, in 1 KiB chunks.
std::string chunkedAnswer() {
    std::string body = R"({"status":"success","data":{"accepted":true}})";
    std::string answer =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
    body.resize(63 * 1024, ' ');
    char size[16];
    for (std::size_t at = 0; at < body.size(); at += 1024) {
        const std::string chunk = body.substr(at, 1024);
        std::snprintf(size, sizeof size, "%zx", chunk.size());
        answer += size + std::string("\r\n") + chunk + "\r\n";
    }
    return answer + "0\r\n\r\n";
}

void BM_ParseChunkedAtOnce(benchmark::State& state) {
    const std::string answer = chunkedAnswer();
    for (auto _ : state) {
        PulseResponseParser parser;
        benchmark::DoNotOptimize(parser.feed(answer, false));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * answer.size()));
    state.counters["answer_bytes"] = static_cast<double>(answer.size());
}

void BM_ParseChunkedInReads(benchmark::State& state) {
    const std::string answer = chunkedAnswer();
    for (auto _ : state) {
        PulseResponseParser parser;
        std::optional<KorvanePulseResult> result;
        for (std::size_t at = 0; at < answer.size() && !result; at += kRead)
            result = parser.feed(std::string_view(answer).substr(at, kRead), false);
        if (result != KorvanePulseResult::Accepted) state.SkipWithError("not accepted");
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * answer.size()));
}

// For scale only: what the reads would cost if each one parsed everything received so far.
void BM_ParseChunkedReparsedEachRead(benchmark::State& state) {
    const std::string answer = chunkedAnswer();
    for (auto _ : state) {
        std::optional<KorvanePulseResult> result;
        for (std::size_t end = kRead; !result; end += kRead)
            result =
                parsePulseResponse(std::string_view(answer).substr(0, std::min(end, answer.size())), false);
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * answer.size()));
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

Task<KorvanePulseResult> postOnce(KorvanePulseEndpoint endpoint) {
    co_return co_await KorvanePhysicalPulse::post(std::move(endpoint), "Bearer bench", "1.0.0",
                                                  std::chrono::seconds(3));
}

// A whole pulse as the coordinator makes it: the route check (the kernel's answer for the
// loopback panel), then the TLS exchange. The loopback route is allowed here so that the
// check runs to its end as it would for a physical interface.
void BM_LoopbackPulse(benchmark::State& state) {
    setSystemRoot({});
    trustAdditionalCertificateAuthority(testCaFile());
    ManualLoopScope scope;
    HttpsServer panel;
    HttpResponse accepted;
    const std::string body = R"({"status":"success","data":{"accepted":true}})";
    accepted.raw = {"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body};
    panel.route("POST", std::string(KorvanePhysicalPulse::kPulsePath), accepted);
    const auto endpoint = *KorvanePhysicalPulse::endpoint(panel.baseUrl());

    std::vector<double> totals;
    std::vector<double> routes;
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
        const auto start = Clock::now();
        const bool physical = KorvanePhysicalPulse::routeIsPhysical(endpoint.host, {"lo"});
        const auto checked = Clock::now();
        const auto result = runTask(scope.loop, postOnce(endpoint));
        const auto end = Clock::now();
        if (!physical || result != KorvanePulseResult::Accepted) state.SkipWithError("pulse not accepted");
        totals.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        routes.push_back(std::chrono::duration<double, std::milli>(checked - start).count());
    }
    state.counters["median_ms"] = median(totals);
    state.counters["route_median_ms"] = median(routes);
    state.counters["route_share"] = median(routes) / median(totals);
}

} // namespace

BENCHMARK(BM_ParseChunkedAtOnce);
BENCHMARK(BM_ParseChunkedInReads);
BENCHMARK(BM_ParseChunkedReparsedEachRead);
BENCHMARK(BM_LoopbackPulse)->Iterations(50)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
