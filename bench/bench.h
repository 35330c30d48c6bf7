// What qzbench's benchmarks share: the figure each reports, and how they
// time things side by side.
#ifndef BENCH_BENCH_H
#define BENCH_BENCH_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qzbench {

using Clock = std::chrono::steady_clock;
using Command = std::vector<std::string>;

// What was compared, our figure and the baseline's, and the ratio the
// benchmark's target judges.
struct Figure {
    std::string what, ours, baseline;
    double ratio = 0;
};

// The benchmarks; `smoke` asks for tiny sizes. Each throws std::runtime_error
// when it cannot measure, so that a broken benchmark shows as FAILED.
Figure benchProbe(bool smoke);
Figure benchIndex(bool smoke);
Figure benchMemory(bool smoke);
Figure benchJsonMemory(bool smoke);
Figure benchJsonTags(bool smoke);
Figure benchFfprobeJson(bool smoke);
Figure benchProcess(bool smoke);
Figure benchBatch(bool smoke);
Figure benchWorker(bool smoke);
Figure benchWorkerProcess(bool smoke);
Figure benchScan(bool smoke);
Figure benchConsole(bool smoke);
Figure benchReadMp4(bool smoke);
Figure benchReadMkv(bool smoke);
Figure benchReadTs(bool smoke);
Figure benchPacketsMp4(bool smoke);
Figure benchPacketsMkv(bool smoke);
Figure benchPacketsTs(bool smoke);
Figure benchKeyframes(bool smoke);
Figure benchScanMemory(bool smoke);

// media_probe_file with MEDIA_PROBE_SCAN: the packets of all streams, or -1.
int64_t scanLibrary(const char *path);

// Helper programs run as `qzbench --memory-probe lib|bare|scan FILE`,
// `qzbench --peak-rss PROGRAM ARG...` and
// `qzbench --bare-console HOST_RXPORT TXPORT`; see their definitions.
int memoryProbe(const char *variant, const char *file);
int peakRss(char **argv);
int bareConsole(const char *hostPort, const char *txPort);

// `rounds` rounds, after one that warms up (page cache, first-use lookups),
// in which `measure(item, ours)` times items 0 .. items-1 for us and for the
// baseline, the two taking turns at going first. Returns the medians over
// the rounds of each side's time per item and of the ratio ours / baseline.
Figure sideBySide(const std::string &what, size_t items, int rounds,
                  const std::function<double(size_t item, bool ours)> &measure);
// Runs `command`, its standard output to /dev/null, and returns its wall
// time; throws unless it exits with status 0.
double timedRun(const Command &command);
double secondsSince(Clock::time_point start);
double median(std::vector<double> values);
std::string threeDigits(double value, const char *unit);  // (1.2345, " MiB"): "1.23 MiB"
std::string formatSeconds(double seconds);                // "12.3 ms"

}  // namespace qzbench

#endif
