// The connection's costs, each measured in this one run and set against its bound:
//
// 1. Connect overhead: the client's own orchestration, that is a connect's wall time minus the
//    core's start until /version answers, minus the two probes and minus the system-proxy
//    enable step, each read from the controller requests' own times. The stand-in core of the
//    bundle, a real SOCKS5 node, the deployment's loopback probes and the stand-in settings
//    tools. Median of 20 connects; bound 50 ms.
// 2. Node tests of 1,000 nodes whose delay requests answer after 50 ms of real time: wall time
//    against 125 slices of 50 ms; bound 1.15.
// 3. Idle cost while connected: the headless client's CPU over 60 s of health ticks (bound
//    0.1 %) and its resident memory with 10,000 nodes, next to the same for a client whose
//    subscription holds the single live node.
//
// It binds the local deployment's fixed ports (the probes, the core's 7897 and 9097), so nothing
// else that binds them may run at the same time. KORVANE_BENCH_IDLE_SECONDS shortens part 3.

#include "base/errors.h"
#include "base/event_loops.h"
#include "base/files.h"
#include "base/json.h"
#include "base/spawn.h"
#include "bench_report.h"
#include "core/mihomo_core.h"
#include "panel/http.h"
#include "panel/node_cache.h"
#include "panel/subscription_parser.h"
#include "platform/system_paths.h"
#include "subscription_generator.h"
#include "testing/fake_http_client.h"
#include "testing/headless_session.h"
#include "testing/https_server.h"
#include "testing/socks_node.h"
#include "testing/system_tools.h"
#include "testing/temp_dir.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace korvane;
using namespace korvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;

const fs::path kBundle = KORVANE_BENCH_BUNDLE;
const std::string kNode = "香港 01";

// Every request the core's controller gets, with when it began and ended.
class TimingHttpClient final : public HttpClient {
public:
    struct Exchange {
        std::string url;
        Clock::time_point start;
        Clock::time_point end;
        bool answered = false;
    };

    explicit TimingHttpClient(HttpClient& inner) : inner_(inner) {}

    Task<std::string> send(HttpRequest request) override {
        Exchange exchange{request.url, Clock::now(), {}, false};
        std::string body;
        try {
            body = co_await inner_.send(std::move(request));
            exchange.answered = true;
        } catch (...) {
            exchange.end = Clock::now();
            exchanges.push_back(exchange);
            throw;
        }
        exchange.end = Clock::now();
        exchanges.push_back(exchange);
        co_return body;
    }

    std::vector<Exchange> exchanges;

private:
    HttpClient& inner_;
};

// Runs work on a real-time loop installed as the main executor until it ends.
void runMain(Task<void> work) {
    PlainLoop loop;
    setMainExecutor(&loop);
    std::exception_ptr failure;
    auto wrapper = [](Task<void> inner, PlainLoop& l, std::exception_ptr& f) -> Task<void> {
        try {
            co_await std::move(inner);
        } catch (...) {
            f = std::current_exception();
        }
        l.quit();
    };
    auto handle = spawn(wrapper(std::move(work), loop, failure));
    loop.run();
    setMainExecutor(nullptr);
    if (failure) std::rethrow_exception(failure);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

void verdict(const char* what, double value, double bound, const char* unit) {
    std::printf("%-48s %10.3f %-3s bound %8.3f %-3s ratio %.3f %s\n", what, value, unit, bound, unit,
                value / bound, value <= bound ? "ok" : "OVER");
}

std::string socksSubscription(std::uint16_t port) {
    return "proxies:\n  - {name: \"" + kNode +
           "\", type: socks5, server: 127.0.0.1, port: " + std::to_string(port) + "}\n";
}

Json oneService() { return Json::array({standInService("Wi-Fi")}); }

// ---- 1. Connect overhead ----------------------------------------------------------------------

void connectOverhead() {
    constexpr int kConnects = 20;
    TempDir dir;
    SocksNode node(dir.path());
    HttpsServer probeA(HttpsServer::Options{18448, true});
    HttpsServer probeB(HttpsServer::Options{18449, true});
    for (auto* probe : {&probeA, &probeB})
        probe->route("HEAD", "/generate_204", HttpResponse::text(204, ""));
    SystemTools tools(dir.path() / "root");
    tools.setServices(oneService());
    setSystemRoot(tools.root());

    TimingHttpClient http(defaultHttpClient());
    MihomoCore core(dir.path() / "support", kBundle / "Contents" / "Resources", http);
    const std::string subscription = socksSubscription(node.port());
    const std::vector<Node> nodes = extractNodes(subscription);
    std::vector<double> totals, starts, probes, enables, overheads;

    auto run = [&]() -> Task<void> {
        for (int i = 0; i < kConnects; ++i) {
            http.exchanges.clear();
            const auto begin = Clock::now();
            co_await core.connect(subscription, nodes, kNode, "smart");
            const auto end = Clock::now();
            // The core's start runs from its first /version request (right after the launch) to
            // the answered one; the enable step from the last probe's answer to the end, which
            // also holds one connect to the local port (microseconds when it accepts at once).
            Milliseconds start{0}, probing{0};
            std::optional<Clock::time_point> firstVersion, lastProbe;
            for (const auto& exchange : http.exchanges) {
                if (exchange.url.ends_with("/version")) {
                    if (!firstVersion) firstVersion = exchange.start;
                    if (exchange.answered) start = exchange.end - *firstVersion;
                }
                if (exchange.url.find("/delay?") != std::string::npos) {
                    probing += exchange.end - exchange.start;
                    lastProbe = exchange.end;
                }
            }
            const Milliseconds total = end - begin;
            const Milliseconds enable = end - lastProbe.value_or(end);
            co_await core.disconnect();
            totals.push_back(total.count());
            starts.push_back(start.count());
            probes.push_back(probing.count());
            enables.push_back(enable.count());
            overheads.push_back((total - start - probing - enable).count());
        }
    };
    runMain(run());
    setSystemRoot({});
    std::printf("connect, median of %d: total %.1f ms = core start %.1f + probes %.1f + enable %.1f + own\n",
                kConnects, median(totals), median(starts), median(probes), median(enables));
    verdict("connect overhead (median)", median(overheads), 50, "ms");
    const double own = median(overheads);
    bench::printFigure({"connect (median of 20)", median(totals), median(totals) - own, "ms",
                        "floor: core start + probes + proxy switch of the same connects; own " +
                            bench::shortNumber(own) + " ms (bound 50 ms)",
                        std::nullopt});
}

// ---- 2. Node tests ----------------------------------------------------------------------------

void nodeTests() {
    constexpr int kNodes = 1000;
    constexpr auto kAnswer = 50ms;
    TempDir dir;
    const fs::path bin = dir.path() / "Resources" / "bin";
    fs::create_directories(bin);
    writeFileAtomically(bin / "geoip.dat", "ip", 0644);
    writeFileAtomically(bin / "geosite.dat", "site", 0644);
    writeFileAtomically(bin / "micore", "#!/bin/sh\nexec sleep 600\n", 0755);

    FakeHttpClient http;
    http.route("GET", std::string(MihomoCore::kControllerBase) + "/version", HttpResponse::json(200, "{}"));
    HttpResponse answer = HttpResponse::json(200, R"({"delay":50})");
    answer.delay = kAnswer;
    http.routePrefix("GET", std::string(MihomoCore::kControllerBase) + "/proxies/", answer);

    std::string subscription = "proxies:\n";
    std::vector<Node> nodes;
    for (int i = 0; i < kNodes; ++i) {
        const std::string name = "n" + std::to_string(i);
        subscription +=
            "  - {name: " + name + ", type: ss, server: h, port: 1, cipher: aes-128-gcm, password: p}\n";
        nodes.push_back(Node{name, "SS", "h", 1});
    }
    MihomoCore core(dir.path() / "support", dir.path() / "Resources", http);
    int results = 0;
    Milliseconds wall{0};
    auto run = [&]() -> Task<void> {
        const auto begin = Clock::now();
        // Named before the co_await, where GCC 12 would destroy a temporary lambda twice.
        std::function<void(const std::string&, bool)> count = [&](const std::string&, bool) { ++results; };
        co_await core.testNodes(subscription, nodes, "smart", std::move(count));
        wall = Clock::now() - begin;
    };
    runMain(run());
    const double ideal = (kNodes / 8) * std::chrono::duration<double>(kAnswer).count();
    std::printf("node tests: %d results in %.3f s, %d slices of %lld ms = %.3f s\n", results,
                wall.count() / 1000, kNodes / 8, static_cast<long long>(kAnswer.count()), ideal);
    verdict("node tests of 1,000 nodes / ideal", wall.count() / 1000 / ideal, 1.15, "x");
    bench::printFigure({"node tests of 1,000 nodes, answers after 50 ms", wall.count() / 1000, ideal, "s",
                        "floor: 125 slices of 8 nodes x 50 ms", 1.15});
}

// ---- 3. Idle cost -----------------------------------------------------------------------------

struct ProcessUse {
    double cpuSeconds = 0;
    long rssKiB = 0;
};

// CPU time from the scheduler's own accounting of every thread (nanoseconds; the clock-tick
// figures of /proc/<pid>/stat are too coarse for a few milliseconds a minute), and the resident
// set.
ProcessUse processUse(pid_t pid) {
    ProcessUse use;
    const fs::path proc = "/proc/" + std::to_string(pid);
    for (const auto& task : fs::directory_iterator(proc / "task")) {
        std::istringstream fields(readFile(task.path() / "schedstat").value_or("0"));
        unsigned long long nanoseconds = 0;
        fields >> nanoseconds;
        use.cpuSeconds += static_cast<double>(nanoseconds) / 1e9;
    }
    std::istringstream status(readFile(proc / "status").value_or(""));
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) use.rssKiB = std::stol(line.substr(6));
    }
    return use;
}

// A connected headless client whose cached subscription holds the live node and `extra` more.
class ConnectedClient {
public:
    ConnectedClient(const SocksNode& node, bool large) : tools_(home_.path() / "root") {
        tools_.setServices(oneService());
        std::string subscription = socksSubscription(node.port());
        if (large) {
            std::string generated = bench::generateSubscription(bench::kFlow);
            generated.insert(generated.find("proxies:\n") + 9, subscription.substr(9));
            subscription = std::move(generated);
        }
        const fs::path support = home_.path() / "Library" / "Application Support" / "Korvane";
        fs::create_directories(support);
        writeSubscriptionCache(support, subscription, extractNodes(subscription));
        HeadlessSession::Options options;
        options.executable = HeadlessSession::executableIn(kBundle);
        options.home = home_.path();
        options.root = tools_.root();
        session_.emplace(std::move(options));
        session_->waitFor("ready");
        session_->waitFor("state", 60s);
        session_->send({{"cmd", "message"},
                        {"body", {{"id", "c"}, {"action", "connect"}, {"arg", {{"nodeName", kNode}}}}}});
        const Json reply = session_->waitFor(
            "resolve", [](const Json& e) { return e["id"] == "c"; }, 60s);
        if (!reply["error"].is_null()) throw std::runtime_error("connect failed: " + reply.dump());
        nodes_ = reply["value"]["nodes"].size();
    }
    ~ConnectedClient() {
        session_->send({{"cmd", "terminate"}});
        session_->waitForExit(30s);
    }

    pid_t pid() const { return session_->pid(); }
    std::size_t nodes() const { return nodes_; }
    HeadlessSession& session() { return *session_; }

private:
    TempDir home_;
    SystemTools tools_;
    std::optional<HeadlessSession> session_;
    std::size_t nodes_ = 0;
};

void idleCost() {
    const char* override = std::getenv("KORVANE_BENCH_IDLE_SECONDS");
    const int seconds = override ? std::max(1, std::atoi(override)) : 60;
    TempDir dir;
    SocksNode node(dir.path());
    HttpsServer probeA(HttpsServer::Options{18448, true});
    HttpsServer probeB(HttpsServer::Options{18449, true});
    for (auto* probe : {&probeA, &probeB})
        probe->route("HEAD", "/generate_204", HttpResponse::text(204, ""));

    // The first tick after a connect pushes the state once (the local port is now ready); the
    // idle cost is what the ticks after it take. The client's own 8-second health timer fires
    // meanwhile; its output is read as it comes.
    struct Idle {
        double share = 0; // % of one core
        long rssKiB = 0;
        std::size_t nodes = 0;
    };
    auto idle = [&](bool large) {
        ConnectedClient client(node, large);
        client.session().send({{"cmd", "healthTick"}});
        client.session().waitFor("state", 60s);
        client.session().collectFor(1s);
        const ProcessUse before = processUse(client.pid());
        client.session().collectFor(std::chrono::seconds(seconds));
        const ProcessUse after = processUse(client.pid());
        return Idle{(after.cpuSeconds - before.cpuSeconds) / seconds * 100, after.rssKiB, client.nodes()};
    };
    const Idle small = idle(false);
    const Idle large = idle(true);
    const double share = large.share;
    std::printf("idle while connected: %.1f ms of CPU in %d s; %zu nodes: RSS %.1f MiB (one node: %.1f ms, "
                "%.1f MiB, %.2fx)\n",
                large.share * seconds * 10, seconds, large.nodes, large.rssKiB / 1024.0,
                small.share * seconds * 10, small.rssKiB / 1024.0,
                static_cast<double>(large.rssKiB) / static_cast<double>(small.rssKiB));
    const std::string window = " over " + std::to_string(seconds) + " s";
    bench::printFigure({"idle CPU while connected, 10,000 nodes" + window, large.share, small.share, "%",
                        "floor: the same for a single-node client; bound 0.1 % of one core", std::nullopt});
    bench::printFigure({"RSS while connected, 10,000 nodes", large.rssKiB / 1024.0, small.rssKiB / 1024.0,
                        "MiB", "floor: a connected single-node client", std::nullopt});
    verdict("idle CPU while connected", share, 0.1, "%");
}

} // namespace

int main() {
    try {
        connectOverhead();
        nodeTests();
        idleCost();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "connection_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
