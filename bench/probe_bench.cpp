// The media benchmarks and their corpus: the library against the bare
// libavformat calls it has to make, in process; mprobe against ffprobe as
// processes; mprobe on two threads against one; one mprobe over a library;
// one mprobe kept running as a worker.
#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "bench.h"
#include "media_fixtures.h"
#include "media_probe.h"
#include "process.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace qzbench {
namespace {

namespace fs = std::filesystem;

// Container and codecs of the variants; a kind without video gets two shapes.
const char *const kKinds[][2] = {
    {"mp4", "-c:v libx264 -preset ultrafast -c:a aac"},
    {"mov", "-c:v mpeg4 -c:a aac"},
    {"mkv", "-c:v libx264 -preset ultrafast -c:a aac"},
    {"webm", "-c:v libvpx -deadline realtime -cpu-used 8 -c:a libopus"},
    {"flv", "-c:v flv -c:a aac"},
    {"wmv", "-c:v wmv2 -c:a wmav2"},
    {"ts", "-c:v mpeg2video -c:a mp2"},
    {"avi", "-c:v mpeg4 -c:a libmp3lame"},
    {"mp3", "-c:a libmp3lame"},
    {"ogg", "-c:a libvorbis"},
    {"m4a", "-c:a aac"}};
// Picture size, frame rate and seconds.
const char *const kShapes[][3] = {{"96x72", "15", "0.5"},
                                  {"160x120", "25", "1"},
                                  {"320x240", "25", "2"},
                                  {"176x144", "30", "1.5"}};

// Made under corpus/ by the first run (in some seconds), reused by later ones.
struct Corpus {
    // The media fixtures and, but for a smoke run, variants of every
    // container class in other sizes, lengths and codecs (the probe
    // benchmark's line says how many files in all).
    std::vector<std::string> mixed;
    std::string largeIndex;  // a 1000 fps 16x16 H.264 MP4, an index entry per frame
    int64_t largeIndexEntries = 0;
    std::string library;                    // copies of `mixed` on shelves of 100
    std::vector<std::string> libraryPaths;  // in the order mprobe -r lists them
    std::string manyTags;  // a 1 s Matroska file with tens of thousands of global tags
    int manyTagCount = 0;
};

Command words(const std::string &text) {
    std::istringstream in(text);
    return Command(std::istream_iterator<std::string>(in), {});
}

const Corpus &corpusFor(bool smoke) {
    static Corpus made;
    if (!made.mixed.empty()) return made;
    Corpus corpus;
    const std::string dir = fs::absolute("corpus").string();
    for (const auto &[name, path] : media_fixtures::generateFixtures(dir + "/fixtures")) {
        // Only files that describe: the others fail a benchmark probe.
        if (name != "random" && name != "empty" && name != "mp4_truncated") {
            corpus.mixed.push_back(path);
        }
    }
    fs::create_directories(dir + "/variants");
    for (const auto &kind : kKinds) {
        const bool video = strstr(kind[1], "-c:v") != nullptr;
        for (size_t s = 0; !smoke && s < (video ? std::size(kShapes) : 2); ++s) {
            const std::string seconds = kShapes[s][2];
            const std::string picture = std::string("-f lavfi -i testsrc=size=") + kShapes[s][0] +
                                        ":rate=" + kShapes[s][1] + ":duration=" + seconds + " ";
            const std::string args =
                (video ? picture : "") +
                "-f lavfi -i sine=frequency=330:sample_rate=" + (s % 2 ? "48000" : "44100") +
                ":duration=" + seconds + " " + kind[1];
            corpus.mixed.push_back(media_fixtures::makeWithFfmpeg(
                dir + "/variants", words(args), "variant-" + std::to_string(s) + "." + kind[0]));
        }
    }
    const int64_t entries = corpus.largeIndexEntries = smoke ? 2000 : 100000;
    corpus.largeIndex = media_fixtures::makeWithFfmpeg(
        dir,
        words("-f lavfi -i color=c=blue:size=16x16:rate=1000:duration=" +
              std::to_string(entries / 1000) + " -c:v libx264 -preset ultrafast"),
        "large-index-" + std::to_string(entries) + ".mp4");
    // Keys that differ in their first characters: FFmpeg's metadata
    // dictionary compares each new key with every one before it.
    const int tags = corpus.manyTagCount = smoke ? 2000 : 14000;
    const std::string list = "tags-" + std::to_string(tags) + ".txt";
    std::string metadata = ";FFMETADATA1\n";
    for (int i = 0; i < tags; ++i) {
        std::string digits = std::to_string(100000 + i).substr(1);
        std::reverse(digits.begin(), digits.end());
        metadata += digits + "=" + std::to_string(i) + "\n";
    }
    if (!qztest::writeFile(dir + "/" + list, metadata))
        throw std::runtime_error("cannot write " + dir + "/" + list);
    corpus.manyTags = media_fixtures::makeWithFfmpeg(
        dir,
        words("-f lavfi -i color=c=blue:size=16x16:rate=25:duration=1 -i " + list +
              " -map 0 -map_metadata 1 -c:v libx264 -preset ultrafast"),
        "tags-" + std::to_string(tags) + ".mkv");
    const size_t files = smoke ? 40 : 1000;
    corpus.library = dir + "/library-" + std::to_string(files);
    for (size_t i = 0; i < files; ++i) {
        char name[64];
        snprintf(name, sizeof name, "/shelf-%02zu/%04zu-", i / 100, i);
        const fs::path source = corpus.mixed[i % corpus.mixed.size()];
        const fs::path copy = corpus.library + name + source.filename().string();
        fs::create_directories(copy.parent_path());
        fs::copy_file(source, copy, fs::copy_options::skip_existing);
        corpus.libraryPaths.push_back(copy.string());
    }
    std::sort(corpus.libraryPaths.begin(), corpus.libraryPaths.end());
    return made = std::move(corpus);
}

// Both return 0 on success and add the index entries of all streams to *entries.
int probeLibrary(const char *path, int64_t *entries) {
    MediaContext *context = create_media_context();
    if (!context) return -1;
    const int result = build_media_info(context, path);
    for (const VideoStreamContext *v = context->video; v; v = v->next) *entries += v->entry_count;
    for (const AudioStreamContext *a = context->audio; a; a = a->next) *entries += a->entry_count;
    free_media_context(context);
    return result;
}

int probeBare(const char *path, int64_t *entries) {
    AVFormatContext *format = nullptr;
    int result = avformat_open_input(&format, path, nullptr, nullptr);
    if (result < 0) return result;
    result = avformat_find_stream_info(format, nullptr);
    for (unsigned i = 0; i < format->nb_streams; ++i)
        *entries += avformat_index_get_entries_count(format->streams[i]);
    avformat_close_input(&format);
    return result < 0 ? result : 0;
}

double timedProbe(bool library, const std::string &path) {
    int64_t entries = 0;
    const auto start = Clock::now();
    const int result = (library ? probeLibrary : probeBare)(path.c_str(), &entries);
    const double seconds = secondsSince(start);
    if (result != 0) throw std::runtime_error("probing " + path + " failed");
    return seconds;
}

// The large index's entries; throws unless both probes count all of them.
std::string indexEntries(const Corpus &corpus) {
    int64_t library = 0, bare = 0;
    if (probeLibrary(corpus.largeIndex.c_str(), &library) != 0 ||
        probeBare(corpus.largeIndex.c_str(), &bare) != 0 || library != bare ||
        library < corpus.largeIndexEntries)
        throw std::runtime_error(corpus.largeIndex + ": " + std::to_string(library) + " entries");
    return std::to_string(library);
}

Command ffprobeJson(const std::string &file) {
    return {QZ_FFPROBE, "-v", "quiet", "-show_format", "-show_streams", "-of", "json", file};
}

}  // namespace

Figure benchProbe(bool smoke) {
    const std::vector<std::string> &files = corpusFor(smoke).mixed;
    const int repeats = smoke ? 1 : 2;
    return sideBySide("Probe in process, per file (" + std::to_string(files.size()) +
                          " files): library vs bare libavformat calls",
                      files.size() * repeats, smoke ? 2 : 21,
                      [&](size_t i, bool ours) { return timedProbe(ours, files[i / repeats]); });
}

Figure benchIndex(bool smoke) {
    const Corpus &corpus = corpusFor(smoke);
    return sideBySide(
        "Large index (" + indexEntries(corpus) + " entries): probe time vs bare calls",
        smoke ? 1 : 3, smoke ? 2 : 15,
        [&](size_t, bool ours) { return timedProbe(ours, corpus.largeIndex); });
}

// Each probe in a fresh process, library and bare calls taking turns; the
// processes differ only in the probe, so their peaks differ by what it needed.
Figure benchMemory(bool smoke) {
    const Corpus &corpus = corpusFor(smoke);
    const std::string entries = indexEntries(corpus);
    std::vector<double> extra;
    for (int r = 0; r < (smoke ? 1 : 5); ++r) {
        double peak[2] = {};  // library, bare
        for (int k = 0; k < 2; ++k) {
            const int v = (r + k) % 2;
            const auto run = qztest::runProcess(
                {"/proc/self/exe", "--memory-probe", v == 0 ? "lib" : "bare", corpus.largeIndex});
            if (run.status != 0 || run.out.empty())
                throw std::runtime_error("memory probe failed: " + run.err);
            peak[v] = 1024 * std::stod(run.out);
        }
        extra.push_back(peak[0] - peak[1]);
    }
    const double index = std::stod(entries) * sizeof(StreamEntry), mib = 1 << 20;
    return {"Large index (" + entries + " entries): extra memory / the index's size",
            threeDigits(median(extra) / mib, " MiB"), threeDigits(index / mib, " MiB"),
            median(extra) / index};
}

// Probes FILE once (`scan`: scans it), then prints the peak of the resident
// set in KiB.
int memoryProbe(const char *variant, const char *file) {
    // Every large block gets its own mapping, returned when freed, so that
    // the resident set follows the live heap, not the allocator's cache.
    mallopt(M_MMAP_THRESHOLD, 64 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024);
    av_log_set_level(AV_LOG_QUIET);
    int64_t entries = 0;
    if (strcmp(variant, "scan") == 0) {
        if (scanLibrary(file) < 0) return 1;
    } else if ((strcmp(variant, "lib") == 0 ? probeLibrary : probeBare)(file, &entries) != 0) {
        return 1;
    }
    // Not getrusage: its peak includes the process this one was started from.
    const long peak = qztest::statusKiB(getpid(), "VmHWM");
    if (peak < 0) return 1;
    printf("%ld\n", peak);
    return 0;
}

// mprobe --json on the large index against the same without the index, each
// in a fresh process: what writing the entries out adds to the peak.
Figure benchJsonMemory(bool smoke) {
    const Corpus &corpus = corpusFor(smoke);
    const std::string entries = indexEntries(corpus);
    const double index = std::stod(entries) * sizeof(StreamEntry), mib = 1 << 20;
    std::vector<double> extra;
    for (int r = 0; r < (smoke ? 1 : 5); ++r) {
        double peak[2] = {};  // with the index, without
        for (int k = 0; k < 2; ++k) {
            const int v = (r + k) % 2;
            Command command = {"/proc/self/exe", "--peak-rss", QZ_MPROBE, "--json"};
            if (v == 1) command.push_back("--no-index");
            command.push_back(corpus.largeIndex);
            const auto run = qztest::runProcess(command);
            if (run.status != 0 || run.out.empty())
                throw std::runtime_error("mprobe --json failed: " + run.err);
            peak[v] = 1024 * std::stod(run.out);
        }
        // --no-index does not copy the index at all, so the difference holds
        // the copy (what `memory` measures) and what writing it out costs:
        // the latter is the figure. Below zero is the peaks' own spread of a
        // few pages: nothing extra.
        extra.push_back(std::max(0.0, peak[0] - peak[1] - index));
    }
    return {"mprobe --json, large index: writing's extra peak memory / the index's size",
            threeDigits(median(extra) / mib, " MiB"), threeDigits(index / mib, " MiB"),
            median(extra) / index};
}

// Runs `command` as timedRun does and returns the processor time it took,
// which other work on the machine moves less than the wall time.
double processorTime(const Command &command) {
    auto seconds = [] {
        rusage usage{};
        getrusage(RUSAGE_CHILDREN, &usage);
        return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };
    const double before = seconds();
    timedRun(command);
    return seconds() - before;
}

// mprobe --json on the file with many tags against mprobe --record's block of
// it, which probes the same and prints no tag: what writing the tags costs beyond
// the probe (repeated keys are found through a hash map), in processor time.
Figure benchJsonTags(bool smoke) {
    const Corpus &corpus = corpusFor(smoke);
    return sideBySide(
        "mprobe --json vs --record, " + std::to_string(corpus.manyTagCount) +
            " tags: processor time (the probe is most of both)",
        1, smoke ? 1 : 2, [&](size_t, bool json) {
            return processorTime(json ? Command{QZ_MPROBE, "--json", corpus.manyTags}
                                      : Command{QZ_MPROBE, "--record", corpus.manyTags});
        });
}

// Runs argv, its output to /dev/null, and prints the peak of its resident
// set in KiB. The child starts as a copy of this small process, whose pages
// count in its peak the same for every program measured.
int peakRss(char **argv) {
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, STDOUT_FILENO) < 0) _exit(126);
        execv(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child) return 1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    printf("%ld\n", usage.ru_maxrss);
    return 0;
}

Figure benchProcess(bool smoke) {
    const std::vector<std::string> &files = corpusFor(smoke).mixed;
    return sideBySide(
        "Probe as a process, per file: mprobe --json vs ffprobe", smoke ? 3 : files.size(),
        smoke ? 1 : 5, [&](size_t i, bool ours) {
            return timedRun(ours ? Command{QZ_MPROBE, "--json", files[i]} : ffprobeJson(files[i]));
        });
}

// mprobe --ffprobe-json against mprobe --json over the library, one thread
// each: what writing ffprobe's document costs beyond the description.
Figure benchFfprobeJson(bool smoke) {
    const Corpus &corpus = corpusFor(smoke);
    return sideBySide("mprobe -r -j 1 over " + std::to_string(corpus.libraryPaths.size()) +
                          " files: --ffprobe-json vs --json-lines",
                      1, smoke ? 1 : 5, [&](size_t, bool ffprobe) {
                          return timedRun({QZ_MPROBE, "-r", "-j", "1",
                                           ffprobe ? "--ffprobe-json" : "--json-lines",
                                           corpus.library});
                      });
}

// mprobe -r over the library, named as often as needed for -j 1 to take 2 s.
Figure benchBatch(bool smoke) {
    const Corpus &corpus = corpusFor(smoke);
    auto batch = [&](bool two, int copies) {
        Command command = {QZ_MPROBE, "-r", "-j", two ? "2" : "1", "--json-lines"};
        command.insert(command.end(), copies, corpus.library);
        return command;
    };
    const double once = timedRun(batch(false, 1));
    const int copies = smoke ? 1 : std::max(1, static_cast<int>(std::ceil(2.2 / once)));
    Figure f = sideBySide("Batch: mprobe -r -j 2 vs -j 1 (" +
                              std::to_string(corpus.libraryPaths.size() * copies) + " files)",
                          1, smoke ? 1 : 5,
                          [&](size_t, bool two) { return timedRun(batch(two, copies)); });
    f.ratio = 1 / f.ratio;  // the speed-up
    return f;
}

// One mprobe kept running as a worker (mprobe(1), WORKER), asked about each
// of `paths` in turn: a path written, its line read, then the next. Returns
// the wall time, the worker's start and end included; throws when an answer
// does not come or is no description.
double askOneByOne(const std::vector<std::string> &paths) {
    const auto start = Clock::now();
    qztest::Coprocess worker =
        qztest::startCoprocess({QZ_MPROBE, "-j", "1", "--files-from", "-", "--json-lines"});
    if (worker.pid < 0) throw std::runtime_error("cannot start mprobe");
    std::string line;
    for (const std::string &path : paths) {
        if (!qztest::writeTo(worker, path + "\n") || !qztest::readLine(worker, line, 60000)) {
            qztest::finishCoprocess(worker);
            throw std::runtime_error("no answer from the worker for " + path);
        }
        if (line.find("\"result\":0,") == std::string::npos) {
            qztest::finishCoprocess(worker);
            throw std::runtime_error("not described: " + line.substr(0, 200));
        }
    }
    const qztest::ProcessResult ended = qztest::finishCoprocess(worker);
    if (ended.status != 0) throw std::runtime_error("the worker ended with " + ended.err);
    return secondsSince(start);
}

// This process, and the programs it starts, kept on the one core it runs on
// until the end of the scope: a program and the worker it waits for then
// hand over to each other without an idle core to wake, which on a virtual
// machine costs far more than the hand-over itself (docs/performance.md).
class OneCore {
  public:
    OneCore() {
        sched_getaffinity(0, sizeof saved_, &saved_);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(std::max(sched_getcpu(), 0), &one);
        sched_setaffinity(0, sizeof one, &one);
    }
    ~OneCore() { sched_setaffinity(0, sizeof saved_, &saved_); }
    OneCore(const OneCore &) = delete;
    OneCore &operator=(const OneCore &) = delete;

  private:
    cpu_set_t saved_;
};

// The library's 1,000 paths asked one at a time through one running mprobe
// against one mprobe given them all at once as a list, both on one thread
// and on one core with this program: what answering path by path costs (a
// write, a read and a flush a file, and the hand-overs).
Figure benchWorker(bool smoke) {
    const Corpus &corpus = corpusFor(smoke);
    const std::vector<std::string> &paths = corpus.libraryPaths;
    std::string list;
    for (const std::string &path : paths) list += path + "\n";
    const std::string listFile = corpus.library + ".list";
    if (!qztest::writeFile(listFile, list)) throw std::runtime_error("cannot write " + listFile);
    const double files = static_cast<double>(paths.size());
    const OneCore oneCore;
    return sideBySide(
        "Worker, per file (" + std::to_string(paths.size()) +
            " paths, one core): one at a time vs all at once (-j 1)",
        1, smoke ? 1 : 7, [&](size_t, bool ours) {
            if (ours) return askOneByOne(paths) / files;
            return timedRun({QZ_MPROBE, "-j", "1", "--json-lines", "--files-from", listFile}) /
                   files;
        });
}

// The same worker against one mprobe process per path, run on every tenth
// path (every fourth in a smoke run): the start-up a worker saves.
Figure benchWorkerProcess(bool smoke) {
    const std::vector<std::string> &paths = corpusFor(smoke).libraryPaths;
    const size_t step = smoke ? 4 : 10;
    std::vector<std::string> sampled;
    for (size_t i = 0; i < paths.size(); i += step) sampled.push_back(paths[i]);
    auto perFile = [&](size_t, bool worker) {
        if (worker) return askOneByOne(paths) / static_cast<double>(paths.size());
        double total = 0;
        for (const std::string &path : sampled) {
            total += timedRun({QZ_MPROBE, "--json-lines", path});
        }
        return total / static_cast<double>(sampled.size());
    };
    Figure f = sideBySide("Worker, per file: one at a time vs a process per path (" +
                              std::to_string(sampled.size()) + " run)",
                          1, smoke ? 1 : 5, perFile);
    f.ratio = 1 / f.ratio;  // the speed-up
    return f;
}

// One mprobe -r over the library against one ffprobe per file, run on every
// tenth file (every file in a smoke run) and scaled to the whole library.
// The ffprobe runs go in chunks, with an mprobe run before and after each.
Figure benchScan(bool smoke) {
    const Corpus &corpus = corpusFor(smoke);
    const std::vector<std::string> &files = corpus.libraryPaths;
    const size_t step = smoke ? 1 : 10, chunks = smoke ? 2 : 5;
    std::vector<double> ours;
    double theirs = 0;
    size_t sampled = 0;
    for (size_t c = 0; c <= chunks; ++c) {
        ours.push_back(timedRun({QZ_MPROBE, "-r", "--json-lines", corpus.library}));
        for (size_t i = c * step; c < chunks && i < files.size(); i += chunks * step, ++sampled)
            theirs += timedRun(ffprobeJson(files[i]));
    }
    theirs *= static_cast<double>(files.size()) / sampled;
    return {"One mprobe -r over " + std::to_string(files.size()) + " files vs ffprobe per file (" +
                std::to_string(sampled) + " run, scaled)",
            formatSeconds(median(ours)), formatSeconds(theirs), theirs / median(ours)};
}

}  // namespace qzbench
