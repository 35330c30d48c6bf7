// The benchmarks qzbench runs. Each adds its rows to the table and throws
// std::runtime_error when it cannot measure (a program failed, a file is
// missing), so that a broken benchmark shows as FAILED instead of a figure.
#ifndef BENCH_BENCHMARKS_H
#define BENCH_BENCHMARKS_H

#include <string>
#include <vector>

#include "bench_util.h"
#include "corpus.h"

namespace qzbench {

struct Options {
    bool smoke = false;
    std::string corpusDir;
    std::string workDir;  // scratch files (outputs, callgrind profiles)
};

// The programs the benchmarks run, as built next to qzbench.
struct Programs {
    static const char *mprobe() { return QZ_MPROBE; }
    static const char *monitor() { return QZ_MONITOR; }
    static const char *bareProbe() { return QZ_BARE_PROBE; }
    static const char *probeChild() { return QZ_PROBE_CHILD; }
    static const char *bareConsole() { return QZ_BARE_CONSOLE; }
    static const char *ffprobe() { return QZ_FFPROBE; }
    static const char *valgrind() { return QZ_VALGRIND; }
    static const char *callgrindAnnotate() { return QZ_CALLGRIND_ANNOTATE; }
    static const char *rdtscpEmulator() { return QZ_RDTSCP_EMULATOR; }
};

void benchProbeInProcess(const Corpus &corpus, const Options &options, Table &table);
void benchLargeIndex(const Corpus &corpus, const Options &options, Table &table);
void benchProcess(const Corpus &corpus, const Options &options, Table &table);
void benchBatch(const Corpus &corpus, const Options &options, Table &table);
void benchConsole(const Options &options, Table &table);

// Callgrind's count of the instructions executed inside `toggle` (a function
// name) while running `argv`; 0 when valgrind is not available. The profile
// is kept in `profile` for annotate().
double callgrindInstructions(const std::vector<std::string> &argv, const std::string &toggle,
                             const std::string &profile);
// The instruction total of a finished callgrind profile.
double profileTotal(const std::string &profile);
// Inclusive instruction counts of the named functions in a callgrind profile.
std::vector<double> inclusiveInstructions(const std::string &profile,
                                          const std::vector<std::string> &functions);

// Standard output sent to /dev/null while the object lives (the library's
// notes on subtitle streams would otherwise land in the table).
class QuietStdout {
  public:
    QuietStdout();
    ~QuietStdout();
    QuietStdout(const QuietStdout &) = delete;
    QuietStdout &operator=(const QuietStdout &) = delete;

  private:
    int saved_ = -1;
};

}  // namespace qzbench

#endif
