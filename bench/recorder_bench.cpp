// What one event log line costs, next to the bare open/append/close it cannot do without.

#include "bench_report.h"
#include "diag/korvane_recorder.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

using namespace korvane;
namespace fs = std::filesystem;

namespace {

// Files are reset well before the 3,000,000-byte cap, after which lines would be dropped
// and the figures would measure a refusal.
constexpr std::uintmax_t kResetSize = 2'000'000;

class TemporaryDirectory {
public:
    TemporaryDirectory() {
        char pattern[] = "/tmp/korvane-recorder-bench-XXXXXX";
        if (::mkdtemp(pattern)) path_ = pattern;
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void recordOnce(KorvaneRecorder& recorder) { recorder.write("tunnel_up", "handshake", "ok", 42, 100); }

// The length of the line recordOnce appends.
std::uintmax_t recordedLineLength() {
    TemporaryDirectory support;
    KorvaneRecorder recorder({[&] { return std::optional(support.path()); }, "1.0.0", 100, nullptr});
    recordOnce(recorder);
    const auto logs = support.path() / "Korvane" / "logs";
    for (const auto& entry : fs::directory_iterator(logs))
        return entry.file_size();
    return 0;
}

void BM_Record(benchmark::State& state) {
    TemporaryDirectory support;
    KorvaneRecorder recorder({[&] { return std::optional(support.path()); }, "1.0.0", 100, nullptr});
    const auto lineLength = recordedLineLength();
    // The first line of a file also creates the directories and, once a day, prunes; both stay
    // out of the timed region.
    recordOnce(recorder);
    std::uintmax_t written = lineLength;
    for (auto _ : state) {
        recordOnce(recorder);
        written += lineLength;
        if (written > kResetSize) {
            state.PauseTiming();
            fs::remove_all(support.path() / "Korvane");
            recordOnce(recorder);
            written = lineLength;
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_Record);

void BM_BareAppend(benchmark::State& state) {
    TemporaryDirectory directory;
    const auto path = directory.path() / "client-bare.jsonl";
    const std::string line = std::string(recordedLineLength() - 1, 'x') + "\n";
    std::uintmax_t written = 0;
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
        ::close(fd);
        written += line.size();
        if (written > kResetSize) {
            state.PauseTiming();
            fs::remove(path);
            written = 0;
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_BareAppend);

} // namespace

int main(int argc, char** argv) {
    return korvane::bench::runBenchmarks(argc, argv, [](const korvane::bench::RecordingReporter& runs) {
        korvane::bench::printRatio(runs, "event log line", "BM_Record", "BM_BareAppend",
                                   "floor: open, append the same length, close", std::nullopt, 1e6, "us");
    });
}
