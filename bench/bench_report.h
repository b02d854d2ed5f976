#pragma once

// The machine-readable side of the benchmarks. Besides its own output, every program prints one
// line per figure of the benchmark report: "BENCH " followed by one JSON object,
//
//   {"name": ..., "ours": 12.5, "floor": 10.0, "unit": "ms", "note": ..., "bound": 1.2}
//
// where "floor" is what the same work costs at the least, measured in the same run, and the
// optional "bound" is the highest ratio ours / floor the figure is meant to stay within.
// bench/report.py collects the lines of every program into one Markdown table.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace korvane::bench {

struct Figure {
    std::string name;
    double ours = 0;
    double floor = 0;
    std::string unit;
    std::string note;
    std::optional<double> bound;
};

inline std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

inline std::string jsonNumber(double value, int digits = 6) {
    std::ostringstream out;
    out.precision(digits);
    out << value;
    return out.str();
}

// A figure for a note, in three significant digits.
inline std::string shortNumber(double value) { return jsonNumber(value, 3); }

inline void printFigure(const Figure& figure) {
    std::string line = "BENCH {\"name\":" + jsonString(figure.name) + ",\"ours\":" + jsonNumber(figure.ours) +
                       ",\"floor\":" + jsonNumber(figure.floor) + ",\"unit\":" + jsonString(figure.unit) +
                       ",\"note\":" + jsonString(figure.note);
    if (figure.bound) line += ",\"bound\":" + jsonNumber(*figure.bound);
    std::cout << line << "}\n" << std::flush;
}

// The console output as always, and every run's real time per iteration and counters kept for
// the figures printed after the runs.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    struct Result {
        double seconds = 0;
        std::map<std::string, double> counters;
    };

    // Colours only on a terminal, as the library's own console output: logs stay plain text.
    RecordingReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            Result result;
            result.seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            for (const auto& [name, counter] : run.counters)
                result.counters[name] = counter.value;
            results_[run.benchmark_name()] = std::move(result);
        }
    }

    // The run of the benchmark named `name`, whatever options its full name carries after it
    // ("/iterations:3", "/real_time"); none when it did not run or failed.
    const Result* find(std::string_view name) const {
        for (const auto& [full, result] : results_) {
            if (full == name || (full.starts_with(name) && full[name.size()] == '/')) return &result;
        }
        return nullptr;
    }

private:
    std::map<std::string, Result> results_;
};

// A figure of two Google Benchmark runs, in milliseconds per iteration; nothing when either
// did not run (a filtered run).
inline void printRatio(const RecordingReporter& reporter, const std::string& name, std::string_view ours,
                       std::string_view floor, const std::string& note, std::optional<double> bound = {},
                       double scale = 1000, const char* unit = "ms") {
    const auto* a = reporter.find(ours);
    const auto* b = reporter.find(floor);
    if (!a || !b) return;
    printFigure({name, a->seconds * scale, b->seconds * scale, unit, note, bound});
}

// BENCHMARK_MAIN with the recording reporter, then the program's figures.
inline int runBenchmarks(int argc, char** argv,
                         const std::function<void(const RecordingReporter&)>& figures) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    figures(reporter);
    return 0;
}

} // namespace korvane::bench
