// mprobe's runner: files probed on several threads, their outcomes reported
// in input order (the descriptions on standard output, failures on standard
// error), a progress line on a terminal and a count of failures at the end.
#ifndef TOOLS_MPROBE_RUNNER_H
#define TOOLS_MPROBE_RUNNER_H

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "mprobe_describe.h"
#include "mprobe_inputs.h"

// Prints the outcomes in input order as they become available, with the
// progress line on a terminal and the summary of failures at the end.
// `total` is 0 when the number of files is not known in advance (a list).
// With `flushEach` every outcome is flushed as soon as it is printed, so
// that a program that writes a path into mprobe's list reads its answer
// before it writes the next.
class Reporter {
  public:
    Reporter(FILE *out, const Settings &settings, bool sized, size_t total, bool flushEach);

    void report(const Input &input, const Outcome &outcome);
    // Ends the output; returns the exit status.
    int end();

  private:
    void showProgress();
    void clearProgress();

    FILE *out_;
    const Settings &settings_;
    Format format_;
    bool sized_;
    size_t total_;
    bool flushEach_;
    bool progress_;
    bool sharesTerminal_;  // descriptions and progress on one terminal
    bool showing_ = false;
    bool printed_ = false;
    size_t done_ = 0, failures_ = 0;
    std::vector<std::pair<std::string, size_t>> reasons_;
    std::chrono::steady_clock::time_point shown_{};
};

// Probes the inputs of `source` on `jobs` threads (this one included) and
// hands each outcome to `reporter` in input order, as soon as it and every
// one before it are done.
void probeAll(InputSource &source, unsigned jobs, const Settings &settings, Reporter &reporter);

// The cores this process may run on.
unsigned coreCount();

#endif
