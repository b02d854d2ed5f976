// The update's costs next to their floors: the digest of a 256 MiB package next to
// `openssl dgst -sha256` on the same file; its download from a loopback server next to `curl -o`
// of the same address, with how far the client's resident memory rises meanwhile; and the
// preparation of a 2,000-entry full package, with each of its tools timed on its own.
//
// The server runs in a child process, so that its memory is not counted as the client's.

#include "base/event_loops.h"
#include "bench_report.h"
#include "panel/http.h"
#include "platform/system_paths.h"
#include "testing/async_test.h"
#include "testing/https_server.h"
#include "testing/temp_dir.h"
#include "testing/test_certificates.h"
#include "testing/update_packages.h"
#include "update/korvane_update_download.h"
#include "update/korvane_update_installer.h"

#include <benchmark/benchmark.h>

#include <korvane_deployment.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace korvane;
using namespace korvane::testing;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kPackageSize = std::size_t{256} << 20;
using Clock = std::chrono::steady_clock;

struct Setup {
    TempDir dir;
    fs::path big;
    std::string url;
};
Setup* setup = nullptr;
std::map<std::string, double> best; // seconds, the best run of each measurement
double rssGrowthMiB = 0;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }
void note(const std::string& name, double seconds) {
    auto [it, inserted] = best.emplace(name, seconds);
    if (!inserted) it->second = std::min(it->second, seconds);
}

// Runs a program with its output on the null device; its exit code.
int runProgram(const std::vector<std::string>& argv) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A /proc/self/status value in KiB.
long statusKiB(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(key)) return std::stol(line.substr(std::string(key).size()));
    }
    return 0;
}

void BM_Sha256(benchmark::State& state) {
    for (auto _ : state) {
        const auto start = Clock::now();
        benchmark::DoNotOptimize(sha256(setup->big));
        note("sha256", since(start));
    }
}

void BM_OpensslDgst(benchmark::State& state) {
    for (auto _ : state) {
        const auto start = Clock::now();
        if (runProgram({"/usr/bin/openssl", "dgst", "-sha256", setup->big.string()}) != 0)
            state.SkipWithError("openssl failed");
        note("openssl dgst", since(start));
    }
}

void BM_Download(benchmark::State& state) {
    ManualLoopScope scope;
    const fs::path destination = setup->dir.path() / "downloaded.zip";
    for (auto _ : state) {
        fs::remove(destination);
        // Resets the peak so that it covers this download alone.
        std::ofstream("/proc/self/clear_refs") << "5";
        const long baseline = statusKiB("VmRSS:");
        const auto start = Clock::now();
        KorvaneUpdateDownload download(destination, [](int) {});
        runTask(scope.loop, download.run(setup->url), std::chrono::minutes(5));
        note("download", since(start));
        rssGrowthMiB = std::max(rssGrowthMiB, (statusKiB("VmHWM:") - baseline) / 1024.0);
        if (fs::file_size(destination) != kPackageSize) state.SkipWithError("short download");
    }
}

void BM_CurlDownload(benchmark::State& state) {
    const fs::path destination = setup->dir.path() / "curl.zip";
    for (auto _ : state) {
        fs::remove(destination);
        const auto start = Clock::now();
        if (runProgram({"/usr/bin/curl", "-s", "-o", destination.string(), "--cacert", testCaFile().string(),
                        setup->url}) != 0)
            state.SkipWithError("curl failed");
        note("curl -o", since(start));
    }
}

void BM_Prepare2000Entries(benchmark::State& state) {
    const fs::path root = setup->dir.path() / "root";
    UpdateTools tools(root);
    setSystemRoot(root);
    SigningKey team(deployment::kSigningTeam);
    tools.trust(team);
    const fs::path installed = root / "Applications/Korvane.app";
    TestBundle bundleContents;
    bundleContents.resources["update-install.zsh"] = "#!/bin/zsh\nexit 0\n";
    writeTestBundle(installed, bundleContents);
    signBundle(installed, team);
    bundleContents.build = 101;
    for (int i = 0; i < 1989; ++i)
        bundleContents.resources["r/" + std::to_string(i)] =
            std::string(512, static_cast<char>('a' + i % 26));
    const fs::path target = setup->dir.path() / "target.app";
    writeTestBundle(target, bundleContents);
    signBundle(target, team);
    ZipWriter zip;
    zip.addDirectory("Korvane.app/");
    zip.addTree(target, "Korvane.app/");
    if (zip.size() != 2000) state.SkipWithError("not 2,000 entries");
    const fs::path package = setup->dir.path() / "Korvane-101-x64.zip";
    zip.write(package);
    const fs::path support = setup->dir.path() / "support";

    for (auto _ : state) {
        const auto start = Clock::now();
        const auto prepared =
            KorvaneUpdateInstaller::prepare(package, false, 101, 100, "x64", support, installed);
        note("prepare", since(start));
        fs::remove_all(prepared.transaction);
    }

    // Each tool of the preparation on its own, on the same inputs.
    const fs::path scratch = setup->dir.path() / "scratch";
    auto tool = [&](const std::string& name, const char* path, std::vector<std::string> args) {
        const auto start = Clock::now();
        KorvaneUpdateInstaller::run(systemPath(path).string(), args);
        note("  " + name, since(start));
    };
    for (int round = 0; round < 3; ++round) {
        fs::remove_all(scratch);
        fs::create_directories(scratch / "extracted");
        tool("list (zipinfo -s)", "/usr/bin/zipinfo", {"-s", package.string()});
        tool("unpack (ditto -x -k)", "/usr/bin/ditto",
             {"-x", "-k", package.string(), (scratch / "extracted").string()});
        tool("copy the bundle (ditto)", "/usr/bin/ditto",
             {(scratch / "extracted/Korvane.app").string(), (scratch / "ready.app").string()});
        tool("architectures (lipo -archs)", "/usr/bin/lipo",
             {"-archs", (scratch / "ready.app/Contents/MacOS/Korvane").string()});
        tool("signature (codesign --verify)", "/usr/bin/codesign",
             {"--verify", "--deep", "--strict", (scratch / "ready.app").string()});
        tool("script syntax (zsh -n)", "/bin/zsh",
             {"-n", (installed / "Contents/Resources/update-install.zsh").string()});
    }
    setSystemRoot({});
}

BENCHMARK(BM_Sha256)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslDgst)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Download)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlDownload)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Prepare2000Entries)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// Serves the package until killed; runs in a child forked before any thread exists.
[[noreturn]] void serve(const fs::path& package, int portPipe) {
    HttpsServer server;
    HttpResponse answer;
    answer.file = package;
    server.route("GET", "/package.zip", answer);
    const std::uint16_t port = server.port();
    if (::write(portPipe, &port, sizeof port) != sizeof port) ::_exit(1);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    int received = 0;
    sigwait(&signals, &received);
    ::_exit(0);
}

} // namespace

int main(int argc, char** argv) {
    Setup prepared;
    setup = &prepared;
    prepared.big = prepared.dir.path() / "package.zip";
    {
        std::ofstream out(prepared.big, std::ios::binary);
        std::string chunk(1 << 20, '\0');
        for (std::size_t written = 0; written < kPackageSize; written += chunk.size()) {
            for (std::size_t i = 0; i < chunk.size(); ++i)
                chunk[i] = static_cast<char>(((written + i) * 2654435761u) >> 13);
            out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        }
    }
    int ends[2];
    if (::pipe(ends) != 0) return 1;
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const pid_t server = ::fork();
    if (server == 0) serve(prepared.big, ends[1]);
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    std::uint16_t port = 0;
    if (::read(ends[0], &port, sizeof port) != sizeof port) return 1;
    prepared.url = "https://127.0.0.1:" + std::to_string(port) + "/package.zip";
    trustAdditionalCertificateAuthority(testCaFile());

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);

    std::printf("\nBest of three, seconds:\n");
    for (const auto& [name, seconds] : best)
        std::printf("  %-34s %8.3f\n", name.c_str(), seconds);
    auto ratio = [](const char* a, const char* b) {
        return best.count(a) && best.count(b) ? best[a] / best[b] : 0.0;
    };
    std::printf("sha256 / openssl dgst -sha256: %.3f (bound 1.05)\n", ratio("sha256", "openssl dgst"));
    std::printf("download / curl -o:            %.3f (bound 1.2)\n", ratio("download", "curl -o"));
    std::printf("peak RSS growth during the download: %.1f MiB (bound 16)\n", rssGrowthMiB);
    std::string slowest;
    double slowestTime = 0;
    for (const auto& [name, seconds] : best) {
        if (name.starts_with("  ") && seconds > slowestTime) {
            slowest = name.substr(2);
            slowestTime = seconds;
        }
    }
    std::printf("prepare of 2,000 entries: %.3f s; slowest step: %s (%.3f s)\n",
                best.count("prepare") ? best["prepare"] : 0.0, slowest.c_str(), slowestTime);
    std::fflush(stdout);

    auto figure = [](const char* ours, const char* floor, std::string name, std::string note,
                     std::optional<double> bound) {
        if (best.count(ours) && best.count(floor))
            bench::printFigure({std::move(name), best[ours], best[floor], "s", std::move(note), bound});
    };
    figure("sha256", "openssl dgst", "SHA-256 of a 256 MiB package (best of 3)",
           "floor: openssl dgst -sha256 of the same file", 1.05);
    figure("download", "curl -o", "download of 256 MiB from a loopback server (best of 3)",
           "floor: curl -o of the same address; peak RSS growth " + bench::shortNumber(rssGrowthMiB) +
               " MiB (bound 16)",
           1.2);
    double tools = 0;
    for (const auto& [name, seconds] : best) {
        if (name.starts_with("  ")) tools += seconds;
    }
    if (best.count("prepare") && tools > 0) {
        bench::printFigure({"preparation of a 2,000-entry package (best of 3)", best["prepare"], tools, "s",
                            "floor: its six tools run on their own; slowest " + slowest, std::nullopt});
    }
    return 0;
}
