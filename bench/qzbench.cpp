// qzbench: makes the corpus (in corpus/ under the current directory), runs
// the benchmarks and prints one line for each: our figure, the baseline's,
// their ratio, its target and whether it was met. bench/run builds and starts
// it; docs/performance.md says what is measured.
//
//   qzbench [--smoke] [--only NAME,...]
//
// --smoke runs every benchmark at a tiny size, to show that it still works,
// and judges nothing. Exit status 1 when a benchmark could not run, else 0.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <stdexcept>

#include "bench.h"
#include "media_probe.h"
#include "process.h"

extern "C" {
#include <libavutil/log.h>
}

namespace qzbench {

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string threeDigits(double value, const char *unit) {
    char text[64];
    snprintf(text, sizeof text, "%.*f%s", value >= 100 ? 0 : value >= 10 ? 1 : 2, value, unit);
    return text;
}

std::string formatSeconds(double s) {
    if (s >= 1) return threeDigits(s, " s");
    return s >= 1e-3 ? threeDigits(s * 1e3, " ms") : threeDigits(s * 1e6, " us");
}

Figure sideBySide(const std::string &what, size_t items, int rounds,
                  const std::function<double(size_t, bool)> &measure) {
    std::vector<double> ours, theirs, ratios;
    for (int r = -1; r < rounds; ++r) {
        double t[2] = {};  // ours, the baseline's
        for (size_t i = 0; i < items; ++i) {
            const bool oursFirst = (static_cast<size_t>(r + 1) + i) % 2 == 0;
            t[!oursFirst] += measure(i, oursFirst);
            t[oursFirst] += measure(i, !oursFirst);
        }
        if (r < 0) continue;
        ours.push_back(t[0] / items);
        theirs.push_back(t[1] / items);
        ratios.push_back(t[0] / t[1]);
    }
    return {what, formatSeconds(median(ours)), formatSeconds(median(theirs)), median(ratios)};
}

double timedRun(const Command &command) {
    const auto start = Clock::now();
    qztest::ProcessOptions options;
    options.output = "/dev/null";
    const qztest::ProcessResult run = qztest::runProcess(command, options);
    const double seconds = secondsSince(start);
    if (run.status != 0) {
        throw std::runtime_error(command[0] + " exited with status " + std::to_string(run.status) +
                                 ": " + run.err);
    }
    return seconds;
}

}  // namespace qzbench

namespace {

using namespace qzbench;

struct Benchmark {
    const char *name;
    Figure (*run)(bool smoke);
    bool atMost;  // the target is an upper bound of the ratio, else a lower one
    double limit;
};
// From read-mp4 on, the scan (MEDIA_PROBE_SCAN): its speed against a bare
// read, its speed-ups as a process, and its extra peak memory in MiB.
const Benchmark kBenchmarks[] = {
    {"probe", benchProbe, true, 1.03},
    {"index", benchIndex, true, 1.10},
    {"memory", benchMemory, true, 1.00},
    {"json-memory", benchJsonMemory, true, 1.00},
    {"json-tags", benchJsonTags, true, 1.10},
    {"ffprobe-json", benchFfprobeJson, true, 1.05},
    {"process", benchProcess, true, 0.60},
    {"batch", benchBatch, false, 1.70},
    {"worker", benchWorker, true, 1.20},
    {"worker-process", benchWorkerProcess, false, 20},
    {"scan", benchScan, false, 100},
    {"console", benchConsole, true, 1.50},
    {"read-mp4", benchReadMp4, false, 0.90},
    {"read-mkv", benchReadMkv, false, 0.90},
    {"read-ts", benchReadTs, false, 0.90},
    {"packets-mp4", benchPacketsMp4, false, 2.00},
    {"packets-mkv", benchPacketsMkv, false, 2.00},
    {"packets-ts", benchPacketsTs, false, 1.80},
    {"keyframes", benchKeyframes, false, 4.00},
    {"scan-memory", benchScanMemory, true, 4.00},
};
const char kUsage[] =
    "usage: qzbench [--smoke] [--only NAME,...]\n"
    "  NAME: probe, index, memory, json-memory, json-tags, ffprobe-json, process, batch,\n"
    "        worker, worker-process, scan, console, read-mp4, read-mkv, read-ts,\n"
    "        packets-mp4, packets-mkv, packets-ts, keyframes, scan-memory\n";
const char kLine[] = "%-82s  %-9s  %-9s  %-6s  %-7s  %s\n";

void ignoreNote(void *, const char *, const char *) {}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "--memory-probe") == 0) return memoryProbe(argv[2], argv[3]);
    if (argc >= 3 && strcmp(argv[1], "--peak-rss") == 0) return peakRss(argv + 2);
    if (argc == 4 && strcmp(argv[1], "--bare-console") == 0) return bareConsole(argv[2], argv[3]);
    bool smoke = false;
    std::set<std::string> only, known;
    for (const Benchmark &b : kBenchmarks) known.insert(b.name);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--smoke") {
            smoke = true;
        } else if (arg == "--only" && i + 1 < argc) {
            std::istringstream names(argv[++i]);
            for (std::string name; std::getline(names, name, ',');) {
                if (!known.count(name)) {
                    fprintf(stderr, "qzbench: no benchmark named %s\n%s", name.c_str(), kUsage);
                    return 2;
                }
                only.insert(name);
            }
        } else {
            fputs(kUsage, arg == "--help" ? stdout : stderr);
            return arg == "--help" ? 0 : 2;
        }
    }
    av_log_set_level(AV_LOG_QUIET);
    media_probe_set_note_handler(ignoreNote, nullptr);  // the notes on subtitle streams

    const auto start = Clock::now();
    int missed = 0, failed = 0;
    printf(kLine, "Benchmark", "Ours", "Baseline", "Ratio", "Target", "Met");
    for (const Benchmark &b : kBenchmarks) {
        if (!only.empty() && !only.count(b.name)) continue;
        try {
            const Figure f = b.run(smoke);
            const bool met = b.atMost ? f.ratio <= b.limit : f.ratio >= b.limit;
            missed += !smoke && !met;
            char ratio[32];
            snprintf(ratio, sizeof ratio, f.ratio >= 10 ? "%.0f" : "%.3f", f.ratio);
            const char *verdict = smoke ? "(smoke)" : (met ? "yes" : "NO");
            printf(kLine, f.what.c_str(), f.ours.c_str(), f.baseline.c_str(), ratio,
                   ((b.atMost ? "<= " : ">= ") + threeDigits(b.limit, "")).c_str(), verdict);
        } catch (const std::exception &e) {
            ++failed;
            printf("%-82s  FAILED: %s\n", b.name, e.what());
        }
        fflush(stdout);
    }
    printf("\n%s run in %.0f s; %d target(s) missed, %d benchmark(s) failed.\n",
           smoke ? "Smoke" : "Full", secondsSince(start), missed, failed);
    return failed > 0 ? 1 : 0;
}
