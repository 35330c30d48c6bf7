// Probing as processes: mprobe against ffprobe and against the bare C
// program, one process per file; where a process's time goes; and batch
// probing of a whole library with one mprobe.
#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>

#include "benchmarks.h"

namespace qzbench {
namespace {

using Command = std::vector<std::string>;

Command mprobeJson(const std::string &file) {
    return {Programs::mprobe(), "--json", file};
}
Command ffprobeJson(const std::string &file) {
    return {Programs::ffprobe(), "-v",  "quiet", "-show_format",
            "-show_streams",     "-of", "json",  file};
}
Command bareProbe(const std::string &file) {
    return {Programs::bareProbe(), file};
}
// Start-up alone: the same programs given no file to probe.
Command mprobeHelp(const std::string &) {
    return {Programs::mprobe(), "--help"};
}
Command bareNoFile(const std::string &) {
    return {Programs::bareProbe()};
}

double run(const Command &command, const std::string &out = "/dev/null") {
    ProcessRun result = runProcess(command, out);
    if (result.status != 0) {
        std::string line;
        for (const auto &word : command) line += word + " ";
        throw std::runtime_error("exit status " + std::to_string(result.status) + ": " + line);
    }
    return result.seconds;
}

// Each round runs every command on every file, rotating which goes first.
// Returns per-command, per-round mean seconds per file.
std::vector<std::vector<double>> rotate(const std::vector<Command (*)(const std::string &)> &makers,
                                        const std::vector<std::string> &files, int rounds) {
    std::vector<std::vector<double>> perRound(makers.size());
    for (int r = 0; r < rounds; ++r) {
        std::vector<double> sums(makers.size(), 0);
        for (size_t i = 0; i < files.size(); ++i) {
            for (size_t k = 0; k < makers.size(); ++k) {
                const size_t m = (r + i + k) % makers.size();
                sums[m] += run(makers[m](files[i]));
            }
        }
        for (size_t m = 0; m < makers.size(); ++m) perRound[m].push_back(sums[m] / files.size());
    }
    return perRound;
}

std::vector<double> ratios(const std::vector<double> &a, const std::vector<double> &b) {
    std::vector<double> r;
    for (size_t i = 0; i < a.size(); ++i) r.push_back(a[i] / b[i]);
    return r;
}

// What the dynamic loader reports about a program's start-up.
struct LoaderFigures {
    double objects = 0;      // shared objects loaded
    double relocations = 0;  // symbol relocations (lookups), not relative ones
};

double numberAfter(const std::string &text, const std::string &label) {
    size_t at = text.find(label);
    return at == std::string::npos ? 0 : strtod(text.c_str() + at + label.size(), nullptr);
}

LoaderFigures loaderFigures(const Command &command) {
    LoaderFigures figures;
    const std::string stats = runCapture(command, {"LD_DEBUG=statistics"});
    figures.relocations = numberAfter(stats, "final number of relocations:");
    std::istringstream lines(runCapture({command[0]}, {"LD_TRACE_LOADED_OBJECTS=1"}));
    std::string line;
    while (std::getline(lines, line)) figures.objects += line.find("=>") != std::string::npos;
    return figures;
}

}  // namespace

void benchProcess(const Corpus &corpus, const Options &options, Table &table) {
    std::vector<std::string> files = corpus.mixed;
    if (options.smoke) files.resize(3);
    const int rounds = options.smoke ? 1 : 5;
    note("probe as a process: %zu files, %d rounds", files.size(), rounds);
    const std::vector<Command (*)(const std::string &)> makers = {
        mprobeJson, ffprobeJson, bareProbe, mprobeHelp, bareNoFile};
    rotate(makers, files, 1);  // warm-up and check
    const auto t = rotate(makers, files, rounds);
    const double ratio = median(ratios(t[0], t[1]));
    table.target("Probe as a process, per file: mprobe --json vs ffprobe",
                 formatSeconds(median(t[0])), formatSeconds(median(t[1])), formatFixed(ratio, 3),
                 "<= 0.60", ratio <= 0.60);
    table.info("  bare C program (libavformat calls only) vs ffprobe", formatSeconds(median(t[2])),
               formatSeconds(median(t[1])), formatFixed(median(ratios(t[2], t[1])), 3));
    table.info("  mprobe --json vs the bare C program", formatSeconds(median(t[0])),
               formatSeconds(median(t[2])), formatFixed(median(ratios(t[0], t[2])), 3));
    table.info("  start-up alone: mprobe --help vs bare program without a file",
               formatSeconds(median(t[3])), formatSeconds(median(t[4])),
               formatFixed(median(ratios(t[3], t[4])), 3));
    table.info("  start-up's share of a process probe (mprobe, bare program)",
               formatFixed(100 * median(ratios(t[3], t[0])), 0) + " %",
               formatFixed(100 * median(ratios(t[4], t[2])), 0) + " %");

    const LoaderFigures ours = loaderFigures(mprobeJson(files[0]));
    const LoaderFigures bare = loaderFigures(bareProbe(files[0]));
    const LoaderFigures theirs = loaderFigures(ffprobeJson(files[0]));
    table.info("  shared objects loaded (mprobe, bare program; ffprobe)",
               formatFixed(ours.objects, 0),
               formatFixed(bare.objects, 0) + "; " + formatFixed(theirs.objects, 0));
    table.info("  symbol relocations at start-up (mprobe, bare; ffprobe)",
               formatCount(ours.relocations),
               formatCount(bare.relocations) + "; " + formatCount(theirs.relocations));
}

void benchBatch(const Corpus &corpus, const Options &options, Table &table) {
    const std::string &library = corpus.library;
    const size_t files = corpus.libraryPaths.size();
    auto batch = [&](const char *jobs, int copies) {
        Command command = {Programs::mprobe(), "-r", "-j", jobs, "--json-lines"};
        for (int i = 0; i < copies; ++i) command.push_back(library);
        return command;
    };

    // Enough copies of the library that -j 1 takes 2 seconds or more.
    const double once = run(batch("1", 1));
    const int copies = options.smoke ? 1 : std::max(1, static_cast<int>(std::ceil(2.2 / once)));
    const int rounds = options.smoke ? 1 : 5;
    note("batch: %d x %zu files, %d rounds", copies, files, rounds);
    const std::string out1 = options.workDir + "/batch-j1.jsonl";
    const std::string out2 = options.workDir + "/batch-j2.jsonl";
    // The machine's own ceiling: two single-threaded mprobe processes at
    // once, each on half of the library's shelves.
    std::vector<std::string> shelves;
    for (const auto &path : corpus.libraryPaths) {
        std::string shelf = path.substr(0, path.rfind('/'));
        if (shelves.empty() || shelves.back() != shelf) shelves.push_back(shelf);
    }
    Command halves[2] = {{Programs::mprobe(), "-r", "-j", "1", "--json-lines"},
                         {Programs::mprobe(), "-r", "-j", "1", "--json-lines"}};
    for (int i = 0; i < copies; ++i) {
        for (size_t s = 0; s < shelves.size(); ++s) {
            halves[s < shelves.size() / 2 ? 0 : 1].push_back(shelves[s]);
        }
    }
    std::vector<double> one, two, speedups, cpu1, cpu2, othersDuringTwo, ceilings;
    auto timed = [&](const char *jobs, const std::string &out, std::vector<double> &cpu) {
        const double busy = machineBusySeconds();
        ProcessRun result = runProcess(batch(jobs, copies), out);
        if (result.status != 0)
            throw std::runtime_error("mprobe -j " + std::string(jobs) + " failed");
        cpu.push_back(result.cpuSeconds);
        if (&cpu == &cpu2) {
            othersDuringTwo.push_back((machineBusySeconds() - busy - result.cpuSeconds) /
                                      result.seconds);
        }
        return result.seconds;
    };
    for (int r = 0; r < rounds; ++r) {
        double t1, t2;
        if (r % 2 == 0) {
            t1 = timed("1", out1, cpu1);
            t2 = timed("2", out2, cpu2);
        } else {
            t2 = timed("2", out2, cpu2);
            t1 = timed("1", out1, cpu1);
        }
        one.push_back(t1);
        two.push_back(t2);
        speedups.push_back(t1 / t2);
        if (shelves.size() >= 2) {
            const auto pair = runTogether({halves[0], halves[1]});
            if (pair[0].status > 1 || pair[1].status > 1) throw std::runtime_error("mprobe failed");
            ceilings.push_back(t1 / pair[0].seconds);
        }
    }
    // Two workers must not change what is printed, nor its order.
    const std::string text = readFile(out1);
    if (text != readFile(out2))
        throw std::runtime_error("mprobe -j 2 printed other results than -j 1");
    const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    if (lines != files * copies) {
        throw std::runtime_error("mprobe printed " + std::to_string(lines) + " lines for " +
                                 std::to_string(files * copies) + " files");
    }
    const double speedup = median(speedups);
    table.target("Batch: mprobe -j 2 vs -j 1 (" + std::to_string(files * copies) + " files, " +
                     formatSeconds(median(one)) + " with -j 1)",
                 formatSeconds(median(two)), formatSeconds(median(one)),
                 formatFixed(speedup, 2) + "x", ">= 1.70x", speedup >= 1.70);
    // What the threads cost in processor time, which other work does not
    // move, and how much of the machine other work took meanwhile.
    if (!ceilings.empty()) {
        table.info("  two mprobe -j 1 at once, each on half the files, vs -j 1", "", "",
                   formatFixed(median(ceilings), 2) + "x");
    }
    table.info("  processor time, -j 2 vs -j 1", formatSeconds(median(cpu2)),
               formatSeconds(median(cpu1)), formatFixed(median(cpu2) / median(cpu1), 3));
    table.info("  cores kept busy by other work during the -j 2 runs",
               formatFixed(std::max(0.0, median(othersDuringTwo)), 2));

    // One mprobe over the library against one ffprobe per file. The ffprobe
    // runs are split into chunks, with an mprobe run before and after each.
    const Command whole = {Programs::mprobe(), "-r", "--json-lines", library};
    const size_t chunks = options.smoke ? 2 : 5;
    std::vector<double> ours;
    double theirs = 0;
    note("batch: one ffprobe per file over %zu files", files);
    for (size_t c = 0; c <= chunks; ++c) {
        ours.push_back(run(whole));
        if (c == chunks) break;
        for (size_t i = c * files / chunks; i < (c + 1) * files / chunks; ++i) {
            theirs += run(ffprobeJson(corpus.libraryPaths[i]));
        }
    }
    const double factor = theirs / median(ours);
    table.target("One mprobe -r over " + std::to_string(files) + " files vs ffprobe per file",
                 formatSeconds(median(ours)), formatSeconds(theirs), formatFixed(factor, 0) + "x",
                 ">= 100x", factor >= 100);
}

}  // namespace qzbench
