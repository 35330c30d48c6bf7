// In-process probing: the library against the bare libavformat calls, on the
// mixed corpus and on one file with a very large index.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "benchmarks.h"
#include "media_probe.h"
#include "probe_calls.h"

namespace qzbench {

QuietStdout::QuietStdout() {
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
}

QuietStdout::~QuietStdout() {
    fflush(stdout);
    if (saved_ >= 0) {
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
}

double callgrindInstructions(const std::vector<std::string> &argv, const std::string &toggle,
                             const std::string &profile) {
    if (!*Programs::valgrind()) return 0;
    std::vector<std::string> command = {Programs::valgrind(), "--tool=callgrind",
                                        "--callgrind-out-file=" + profile,
                                        "--toggle-collect=" + toggle};
    command.insert(command.end(), argv.begin(), argv.end());
    // Where valgrind lacks RDTSCP, a library libavcodec loads dies of SIGILL
    // before main; the emulator supplies the instruction.
    std::vector<std::string> env;
    if (*Programs::rdtscpEmulator())
        env.push_back(std::string("LD_PRELOAD=") + Programs::rdtscpEmulator());
    ProcessRun run = runProcess(command, "/dev/null", profile + ".log", env);
    if (run.status != 0) {
        throw std::runtime_error("callgrind run failed (status " + std::to_string(run.status) +
                                 "), see " + profile + ".log");
    }
    return profileTotal(profile);
}

double profileTotal(const std::string &profile) {
    std::istringstream lines(readFile(profile));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("totals:", 0) == 0 || line.rfind("summary:", 0) == 0) {
            return strtod(line.c_str() + line.find(':') + 1, nullptr);
        }
    }
    throw std::runtime_error("no instruction total in " + profile);
}

std::vector<double> inclusiveInstructions(const std::string &profile,
                                          const std::vector<std::string> &functions) {
    std::vector<double> counts(functions.size(), 0);
    if (!*Programs::callgrindAnnotate()) return counts;
    const std::string text =
        runCapture({Programs::callgrindAnnotate(), "--inclusive=yes", "--threshold=100", profile});
    // Lines read "  1,234,567 (12.34%)  file:function [object]".
    static const std::regex line(R"(^\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+\S*?:(.*?)(\s+\[.*\])?$)");
    std::istringstream lines(text);
    std::string l;
    std::smatch m;
    while (std::getline(lines, l)) {
        if (!std::regex_match(l, m, line)) continue;
        for (size_t i = 0; i < functions.size(); ++i) {
            if (m[2] != functions[i] || counts[i] != 0) continue;
            std::string digits = m[1];
            digits.erase(std::remove(digits.begin(), digits.end(), ','), digits.end());
            counts[i] = strtod(digits.c_str(), nullptr);
        }
    }
    return counts;
}

namespace {

using Probe = int (*)(const char *, int64_t *);

double timed(Probe probe, const std::string &path) {
    const auto start = Clock::now();
    int result = probe(path.c_str(), nullptr);
    double seconds = secondsSince(start);
    if (result != 0) throw std::runtime_error("probing " + path + " failed");
    return seconds;
}

// Rounds of both probes over `files`, interleaved file by file in alternating
// order. Returns the per-round ratios library/bare and the per-probe medians.
struct Interleaved {
    std::vector<double> ratios, library, bare;
};

Interleaved interleave(const std::vector<std::string> &files, int rounds, int repeats) {
    Interleaved result;
    for (int r = 0; r < rounds; ++r) {
        double library = 0, bare = 0;
        for (size_t i = 0; i < files.size(); ++i) {
            for (int k = 0; k < repeats; ++k) {
                if ((r + i + k) % 2 == 0) {
                    library += timed(probeWithLibrary, files[i]);
                    bare += timed(probeBare, files[i]);
                } else {
                    bare += timed(probeBare, files[i]);
                    library += timed(probeWithLibrary, files[i]);
                }
            }
        }
        const double probes = static_cast<double>(files.size()) * repeats;
        result.ratios.push_back(library / bare);
        result.library.push_back(library / probes);
        result.bare.push_back(bare / probes);
    }
    return result;
}

std::string percent(double part, double whole) {
    return whole > 0 ? formatFixed(100.0 * part / whole, 1) + " %" : "-";
}

}  // namespace

void benchProbeInProcess(const Corpus &corpus, const Options &options, Table &table) {
    const std::vector<std::string> &files = corpus.mixed;
    const int rounds = options.smoke ? 2 : 21;
    const int repeats = options.smoke ? 1 : 2;
    note("probe in process: %zu files, %d rounds", files.size(), rounds);
    Interleaved m;
    {
        QuietStdout quiet;
        interleave(files, 1, 1);  // warm-up: page cache, first-use initialisation
        m = interleave(files, rounds, repeats);
    }
    const double ratio = median(m.ratios);
    table.target("Probe in process, per file (" + std::to_string(files.size()) +
                     " files): library vs bare libavformat calls",
                 formatSeconds(median(m.library)), formatSeconds(median(m.bare)),
                 formatFixed(ratio, 3), "<= 1.05", ratio <= 1.05);

    // The same work counted in instructions, which noise does not move.
    std::vector<std::string> args = {Programs::probeChild(), "instructions", "lib"};
    std::vector<std::string> counted = files;
    if (options.smoke) counted.resize(2);
    args.insert(args.end(), counted.begin(), counted.end());
    const std::string libProfile = options.workDir + "/callgrind.probe.lib";
    const double lib = callgrindInstructions(args, "measured_pass", libProfile);
    args[2] = "bare";
    const double bare =
        callgrindInstructions(args, "measured_pass", options.workDir + "/callgrind.probe.bare");
    if (lib > 0 && bare > 0) {
        const double n = static_cast<double>(counted.size());
        table.info("  instructions per file (callgrind)", formatCount(lib / n),
                   formatCount(bare / n), formatFixed(lib / bare, 3));
        const std::vector<std::string> names = {"avformat_open_input", "avformat_find_stream_info",
                                                "avformat_close_input"};
        std::vector<double> parts = inclusiveInstructions(libProfile, names);
        double libraryOwn = lib;
        for (double p : parts) libraryOwn -= p;
        table.info("  of a library probe: open / stream info / close / the rest",
                   percent(parts[0], lib) + " / " + percent(parts[1], lib) + " / " +
                       percent(parts[2], lib) + " / " + percent(libraryOwn, lib));
    }
}

void benchLargeIndex(const Corpus &corpus, const Options &options, Table &table) {
    const std::string &file = corpus.largeIndex;
    int64_t libEntries = 0, bareEntries = 0;
    {
        QuietStdout quiet;
        if (probeWithLibrary(file.c_str(), &libEntries) != 0 ||
            probeBare(file.c_str(), &bareEntries) != 0) {
            throw std::runtime_error("cannot probe " + file);
        }
    }
    if (libEntries != bareEntries || libEntries < corpus.largeIndexEntries) {
        throw std::runtime_error(file + ": " + std::to_string(libEntries) + " index entries, " +
                                 std::to_string(corpus.largeIndexEntries) + " expected");
    }
    const std::string what = "Large index (" + std::to_string(libEntries) + " entries): ";
    const int rounds = options.smoke ? 2 : 15;
    note("large index: %lld entries, %d rounds", static_cast<long long>(libEntries), rounds);
    Interleaved m;
    {
        QuietStdout quiet;
        m = interleave({file}, rounds, options.smoke ? 1 : 3);
    }
    const double ratio = median(m.ratios);
    table.target(what + "probe time vs bare calls", formatSeconds(median(m.library)),
                 formatSeconds(median(m.bare)), formatFixed(ratio, 3), "<= 1.10", ratio <= 1.10);

    const std::string profile = options.workDir + "/callgrind.index";
    const double lib = callgrindInstructions({Programs::probeChild(), "instructions", "lib", file},
                                             "measured_pass", profile + ".lib");
    const double bare = callgrindInstructions(
        {Programs::probeChild(), "instructions", "bare", file}, "measured_pass", profile + ".bare");
    if (lib > 0 && bare > 0) {
        table.info("  instructions per probe (callgrind)", formatCount(lib), formatCount(bare),
                   formatFixed(lib / bare, 3));
    }

    // Peak memory: each probe in a fresh process, the rise of its resident set.
    std::vector<double> extra, libPeak, barePeak;
    const int memoryRounds = options.smoke ? 1 : 5;
    for (int r = 0; r < memoryRounds; ++r) {
        double peak[2] = {};
        for (int k = 0; k < 2; ++k) {
            const bool library = (r + k) % 2 == 0;
            const std::string out = options.workDir + "/memory.txt";
            ProcessRun run =
                runProcess({Programs::probeChild(), "memory", library ? "lib" : "bare", file},
                           "/dev/null", out);
            const std::string text = readFile(out);
            if (run.status != 0 || text.find("peak_kib=") != 0) {
                throw std::runtime_error("memory probe failed: " + text);
            }
            peak[library ? 0 : 1] = 1024.0 * strtod(text.c_str() + 9, nullptr);
        }
        libPeak.push_back(peak[0]);
        barePeak.push_back(peak[1]);
        extra.push_back(peak[0] - peak[1]);
    }
    const double indexBytes = static_cast<double>(libEntries) * sizeof(StreamEntry);
    const double extraBytes = median(extra);
    table.info("  rise of the resident set during a probe", formatBytes(median(libPeak)),
               formatBytes(median(barePeak)), formatFixed(median(libPeak) / median(barePeak), 3));
    table.target(what + "extra memory / the index's size (" + formatBytes(indexBytes) + ")",
                 formatBytes(extraBytes), formatBytes(indexBytes),
                 formatFixed(extraBytes / indexBytes, 3), "<= 1.00", extraBytes <= indexBytes);
}

}  // namespace qzbench
