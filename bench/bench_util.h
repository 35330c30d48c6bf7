// Helpers shared by the benchmark programs: clocks and statistics, running
// child processes, and the table of figures qzbench prints.
#ifndef BENCH_BENCH_UTIL_H
#define BENCH_BENCH_UTIL_H

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace qzbench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Median and nearest-rank percentile (p in 0..100) of `values`; 0 when empty.
double median(std::vector<double> values);
double percentile(std::vector<double> values, double p);

// A child process's result: exit status (128 + signal when killed, -1 when it
// could not be started) and wall time from start to reaping.
struct ProcessRun {
    int status = -1;
    double seconds = 0;
    double cpuSeconds = 0;  // user and system time of the child
};

// Runs argv[0] (a path, or a name looked up in PATH) with `argv`, standard
// input from /dev/null, standard output to `outPath` and standard error to
// `errPath` (both truncated; the same path makes them share one file). `env` entries "NAME=VALUE"
// are added to the environment.
ProcessRun runProcess(const std::vector<std::string> &argv,
                      const std::string &outPath = "/dev/null",
                      const std::string &errPath = "/dev/null",
                      const std::vector<std::string> &env = {});

// Runs the commands at the same time, output to /dev/null; `seconds` of each
// result is the wall time until the last of them ended.
std::vector<ProcessRun> runTogether(const std::vector<std::vector<std::string>> &commands);

// Runs the command and returns what it printed on standard output and error.
std::string runCapture(const std::vector<std::string> &argv,
                       const std::vector<std::string> &env = {}, int *status = nullptr);

std::string readFile(const std::string &path);

// "12.3 ms", "456 us": a duration in seconds with a unit that keeps 3 digits.
std::string formatSeconds(double seconds);
std::string formatBytes(double bytes);
std::string formatCount(double count);  // "1.23 M", "45.6 k"
std::string formatFixed(double value, int decimals);

// One line of the table: what was measured, our figure, the baseline's, their
// ratio and the target. `met` is "yes", "no" or "" (a figure with no target).
struct Row {
    std::string name;
    std::string ours;
    std::string baseline;
    std::string ratio;
    std::string target;
    std::string met;
};

class Table {
  public:
    void add(Row row) { rows_.push_back(std::move(row)); }
    // A target row: judged by `met` unless the run is a smoke run.
    void target(const std::string &name, const std::string &ours, const std::string &baseline,
                const std::string &ratio, const std::string &target, bool met);
    void info(const std::string &name, const std::string &ours, const std::string &baseline = "",
              const std::string &ratio = "");
    void failed(const std::string &name, const std::string &why);
    void setSmoke(bool smoke) { smoke_ = smoke; }
    void print(FILE *out) const;
    int targetsMissed() const;
    int failures() const { return failures_; }

  private:
    std::vector<Row> rows_;
    bool smoke_ = false;
    int failures_ = 0;
};

// Processor time the whole machine spent busy (all processes, all cores)
// since boot, from /proc/stat; and this process's own plus its reaped
// children's. Their difference over an interval is what other work took.
double machineBusySeconds();
double ownCpuSeconds();

// Progress on standard error.
void note(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qzbench

#endif
