// The pulse's costs: classifying a 64 KiB chunked answer as it arrives in 8 KiB reads, next to
// classifying it at once (and to parsing everything received anew after every read, which is
// what an answer costs without an incremental parser); and whole pulses against a loopback
// panel, with the share the route check takes, next to the bare exchange: the same request
// bytes over a new TLS connection of a ready OpenSSL context, blocking, nothing else.

#include "base/event_loops.h"
#include "bench_report.h"
#include "panel/http.h"
#include "platform/system_paths.h"
#include "pulse/korvane_physical_pulse.h"
#include "pulse/pulse_response_parser.h"
#include "testing/async_test.h"
#include "testing/https_server.h"
#include "testing/test_certificates.h"

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

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
const std::string kAcceptedAnswer = [] {
    const std::string body = R"({"status":"success","data":{"accepted":true}})";
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}();

void routeAccepted(HttpsServer& panel) {
    HttpResponse accepted;
    accepted.raw = {kAcceptedAnswer};
    panel.route("POST", std::string(KorvanePhysicalPulse::kPulsePath), accepted);
}

void BM_LoopbackPulse(benchmark::State& state) {
    setSystemRoot({});
    trustAdditionalCertificateAuthority(testCaFile());
    ManualLoopScope scope;
    HttpsServer panel;
    routeAccepted(panel);
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

// One exchange as plainly as it can be made: connect, handshake (peer and name verified),
// write the request, read the whole answer.
bool bareExchange(SSL_CTX* context, std::uint16_t port, const std::string& request, std::size_t answerSize) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool complete = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        SSL* ssl = SSL_new(context);
        SSL_set_fd(ssl, fd);
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1");
        if (SSL_connect(ssl) == 1 && SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0) {
            std::size_t received = 0;
            char buffer[4096];
            for (int n; received < answerSize && (n = SSL_read(ssl, buffer, sizeof buffer)) > 0;)
                received += static_cast<std::size_t>(n);
            complete = received == answerSize;
        }
        SSL_free(ssl);
    }
    ::close(fd);
    return complete;
}

void BM_BareTlsExchange(benchmark::State& state) {
    HttpsServer panel;
    routeAccepted(panel);
    const auto endpoint = *KorvanePhysicalPulse::endpoint(panel.baseUrl());
    const std::string request = *KorvanePhysicalPulse::request(endpoint, "Bearer bench", "1.0.0");
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_load_verify_file(context, testCaFile().c_str());
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    std::vector<double> totals;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (!bareExchange(context, panel.port(), request, kAcceptedAnswer.size()))
            state.SkipWithError("bare exchange failed");
        totals.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    SSL_CTX_free(context);
    state.counters["median_ms"] = median(totals);
}

} // namespace

BENCHMARK(BM_ParseChunkedAtOnce);
BENCHMARK(BM_ParseChunkedInReads);
BENCHMARK(BM_ParseChunkedReparsedEachRead);
BENCHMARK(BM_LoopbackPulse)->Iterations(50)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareTlsExchange)->Iterations(50)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    return bench::runBenchmarks(argc, argv, [](const bench::RecordingReporter& runs) {
        bench::printRatio(runs, "pulse answer, 64 KiB chunked, fed in 8 KiB reads", "BM_ParseChunkedInReads",
                          "BM_ParseChunkedAtOnce", "floor: the same answer classified at once", std::nullopt,
                          1e6, "us");
        const auto* pulse = runs.find("BM_LoopbackPulse");
        const auto* bare = runs.find("BM_BareTlsExchange");
        if (pulse && bare) {
            bench::printFigure({"pulse against a loopback panel (median of 50)",
                                pulse->counters.at("median_ms"), bare->counters.at("median_ms"), "ms",
                                "floor: the same bytes over a bare TLS connection; route check " +
                                    bench::shortNumber(pulse->counters.at("route_median_ms")) + " ms of it",
                                std::nullopt});
        }
    });
}
