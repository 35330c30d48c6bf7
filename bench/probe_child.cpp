// bench_probe_child: one probing job in a process of its own, for the figures
// that need a fresh process or a tool wrapped around it.
//
//   bench_probe_child instructions lib|bare FILE...
//       probes every file once to warm up, then once more inside
//       measured_pass(), the function callgrind is told to count
//       (--toggle-collect=measured_pass).
//   bench_probe_child memory lib|bare FILE
//       probes FILE once and prints "peak_kib=N entries=M": how far the
//       resident set rose above where it stood just before the probe.
//
// The library's notes on subtitle streams go to standard output, which the
// benchmark discards; the figures of "memory" go to standard error.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "probe_calls.h"

namespace {

using Probe = int (*)(const char *, int64_t *);

// Kept out of line so that callgrind can count exactly this call.
extern "C" __attribute__((noinline)) int measured_pass(Probe probe,
                                                       const std::vector<const char *> &files) {
    int failures = 0;
    for (const char *file : files) failures += probe(file, nullptr) != 0;
    return failures;
}

long statusKib(const char *field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line[length] == ':') {
            return strtol(line.c_str() + length + 1, nullptr, 10);
        }
    }
    return -1;
}

int usage() {
    fputs("usage: bench_probe_child instructions|memory lib|bare FILE...\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) return usage();
    const std::string mode = argv[1], variant = argv[2];
    if (variant != "lib" && variant != "bare") return usage();
    Probe probe = variant == "lib" ? qzbench::probeWithLibrary : qzbench::probeBare;
    av_log_set_level(AV_LOG_QUIET);
    std::vector<const char *> files(argv + 3, argv + argc);

    if (mode == "instructions") {
        measured_pass(probe, files);  // warm-up: first-use initialisation is not counted
        return measured_pass(probe, files) == 0 ? 0 : 1;
    }
    if (mode == "memory" && files.size() == 1) {
        // Every large block gets its own mapping, returned when freed, so the
        // resident set follows the live heap instead of the allocator's cache.
        mallopt(M_MMAP_THRESHOLD, 64 * 1024);
        mallopt(M_TRIM_THRESHOLD, 64 * 1024);
        const long before = statusKib("VmRSS");
        FILE *reset = fopen("/proc/self/clear_refs", "w");
        if (!reset || fputs("5", reset) < 0 || fclose(reset) != 0) {
            fputs("bench_probe_child: cannot reset the peak resident set\n", stderr);
            return 1;
        }
        int64_t entries = 0;
        int result = probe(files[0], &entries);
        const long peak = statusKib("VmHWM");
        fprintf(stderr, "peak_kib=%ld entries=%lld\n", peak - before,
                static_cast<long long>(entries));
        return result == 0 ? 0 : 1;
    }
    return usage();
}
