// qzbench: makes the corpus, runs the benchmarks and prints the table of
// figures with each target and whether it was met. bench/run builds and
// starts it; see bench/README-performance.md.
//
//   qzbench [--smoke] [--corpus DIR] [--work DIR] [--only NAME,...]
//
// NAME is one of probe, index, process, batch, console. --smoke runs every
// benchmark at a tiny size, to show that it still works; its figures are not
// judged. Exit status 1 when a benchmark could not run, 0 otherwise (a
// missed target is reported in the table, not in the status).
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>

#include "benchmarks.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

const char kUsage[] =
    "usage: qzbench [--smoke] [--corpus DIR] [--work DIR] [--only NAME,...]\n"
    "  NAME: probe, index, process, batch, console\n";

}  // namespace

int main(int argc, char **argv) {
    using namespace qzbench;
    Options options;
    options.corpusDir = "corpus";
    options.workDir = "bench-work";
    std::set<std::string> only;
    static const option longOptions[] = {
        {"smoke", no_argument, nullptr, 's'},      {"corpus", required_argument, nullptr, 'c'},
        {"work", required_argument, nullptr, 'w'}, {"only", required_argument, nullptr, 'o'},
        {"help", no_argument, nullptr, 'h'},       {nullptr, 0, nullptr, 0},
    };
    for (int opt; (opt = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1;) {
        switch (opt) {
            case 's':
                options.smoke = true;
                break;
            case 'c':
                options.corpusDir = optarg;
                break;
            case 'w':
                options.workDir = optarg;
                break;
            case 'o': {
                std::istringstream names(optarg);
                for (std::string name; std::getline(names, name, ',');) only.insert(name);
                break;
            }
            case 'h':
                fputs(kUsage, stdout);
                return 0;
            default:
                fputs(kUsage, stderr);
                return 2;
        }
    }
    const std::set<std::string> known = {"probe", "index", "process", "batch", "console"};
    for (const auto &name : only) {
        if (!known.count(name)) {
            fprintf(stderr, "qzbench: no benchmark named %s\n%s", name.c_str(), kUsage);
            return 2;
        }
    }
    auto wanted = [&](const char *name) { return only.empty() || only.count(name) > 0; };

    av_log_set_level(AV_LOG_QUIET);
    // Absolute: the programs under test run in directories of their own.
    std::filesystem::create_directories(options.workDir);
    options.workDir = std::filesystem::absolute(options.workDir).string();
    options.corpusDir = std::filesystem::absolute(options.corpusDir).string();
    Table table;
    table.setSmoke(options.smoke);
    const auto start = Clock::now();
    const double busyAtStart = machineBusySeconds(), ownAtStart = ownCpuSeconds();

    Corpus corpus;
    bool haveCorpus = false;
    auto guarded = [&](const char *name, const std::function<void()> &body) {
        try {
            body();
        } catch (const std::exception &e) {
            note("%s failed: %s", name, e.what());
            table.failed(name, e.what());
        }
    };
    if (wanted("probe") || wanted("index") || wanted("process") || wanted("batch")) {
        guarded("corpus", [&] {
            corpus = makeCorpus(options.corpusDir, options.smoke);
            haveCorpus = true;
        });
    }
    if (haveCorpus) {
        if (wanted("probe")) guarded("probe", [&] { benchProbeInProcess(corpus, options, table); });
        if (wanted("index")) guarded("index", [&] { benchLargeIndex(corpus, options, table); });
        if (wanted("process")) guarded("process", [&] { benchProcess(corpus, options, table); });
        if (wanted("batch")) guarded("batch", [&] { benchBatch(corpus, options, table); });
    }
    if (wanted("console")) guarded("console", [&] { benchConsole(options, table); });

    const double wall = secondsSince(start);
    const double others = (machineBusySeconds() - busyAtStart) - (ownCpuSeconds() - ownAtStart);
    printf("\n");
    table.print(stdout);
    printf("\n%s run in %.0f s; %d target(s) missed, %d benchmark(s) failed.\n",
           options.smoke ? "Smoke" : "Full", wall, table.targetsMissed(), table.failures());
    // Programs still running when the run ends (valgrind's children included)
    // are counted as other work; the figure is a guide to how shared the
    // machine was, not an exact account.
    printf("Other work kept %.2f of the machine's %ld cores busy on average meanwhile.\n",
           others > 0 ? others / wall : 0.0, sysconf(_SC_NPROCESSORS_ONLN));
    return table.failures() > 0 ? 1 : 0;
}
