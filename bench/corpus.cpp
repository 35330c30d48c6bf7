#include "corpus.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "bench_util.h"
#include "media_fixtures.h"

namespace qzbench {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

struct Job {
    std::string file;
    Args args;
};

// Picture and sound of one variant.
struct Shape {
    const char *size;
    int rate;
    const char *seconds;
};
const Shape kShapes[] = {
    {"96x72", 15, "0.5"},
    {"160x120", 25, "1"},
    {"320x240", 25, "2"},
    {"176x144", 30, "1.5"},
};

// One container with its codecs; audio-only kinds have no picture.
struct Kind {
    const char *extension;
    Args codecs;
    bool audioOnly;
};

std::vector<Kind> kinds() {
    const Args x264 = {"-c:v", "libx264", "-preset", "ultrafast"};
    auto plus = [](Args a, const Args &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    return {
        {"mp4", plus(x264, {"-c:a", "aac"}), false},
        {"mov", {"-c:v", "mpeg4", "-c:a", "aac"}, false},
        {"mkv", plus(x264, {"-c:a", "aac"}), false},
        {"webm",
         {"-c:v", "libvpx", "-deadline", "realtime", "-cpu-used", "8", "-c:a", "libopus"},
         false},
        {"flv", {"-c:v", "flv", "-c:a", "aac"}, false},
        {"wmv", {"-c:v", "wmv2", "-c:a", "wmav2"}, false},
        {"ts", {"-c:v", "mpeg2video", "-c:a", "mp2"}, false},
        {"avi", {"-c:v", "mpeg4", "-c:a", "libmp3lame"}, false},
        {"mp3", {"-c:a", "libmp3lame"}, true},
        {"ogg", {"-c:a", "libvorbis"}, true},
        {"m4a", {"-c:a", "aac"}, true},
    };
}

std::vector<Job> variantJobs() {
    std::vector<Job> jobs;
    for (const Kind &kind : kinds()) {
        const size_t shapes = kind.audioOnly ? 2 : std::size(kShapes);
        for (size_t s = 0; s < shapes; ++s) {
            const Shape &shape = kShapes[s];
            Args args;
            if (!kind.audioOnly) {
                args = {"-f", "lavfi", "-i",
                        std::string("testsrc=size=") + shape.size +
                            ":rate=" + std::to_string(shape.rate) + ":duration=" + shape.seconds};
            }
            const char *rate = s % 2 ? "48000" : "44100";
            Args tone = {"-f", "lavfi", "-i",
                         std::string("sine=frequency=330:sample_rate=") + rate +
                             ":duration=" + shape.seconds};
            args.insert(args.end(), tone.begin(), tone.end());
            args.insert(args.end(), kind.codecs.begin(), kind.codecs.end());
            jobs.push_back({"variant-" + std::to_string(s) + "." + kind.extension, args});
        }
    }
    return jobs;
}

// Runs the jobs on two threads (ffmpeg itself is told to use one).
std::vector<std::string> runJobs(const std::string &dir, const std::vector<Job> &jobs) {
    std::vector<std::string> paths(jobs.size());
    std::atomic<size_t> next{0};
    std::mutex failureLock;
    std::string failure;
    auto worker = [&] {
        for (size_t i; (i = next++) < jobs.size();) {
            try {
                paths[i] = media_fixtures::makeWithFfmpeg(dir, jobs[i].args, jobs[i].file);
            } catch (const std::exception &e) {
                std::lock_guard<std::mutex> lock(failureLock);
                failure = e.what();
            }
        }
    };
    std::thread other(worker);
    worker();
    other.join();
    if (!failure.empty()) throw std::runtime_error(failure);
    return paths;
}

// Copies of `sources` named NNNN-name in subdirectories shelf-SS of 100.
std::vector<std::string> makeLibrary(const std::string &dir,
                                     const std::vector<std::string> &sources, size_t count) {
    std::vector<std::string> paths;
    for (size_t i = 0; i < count; ++i) {
        char shelf[32], name[32];
        snprintf(shelf, sizeof shelf, "shelf-%02zu", i / 100);
        snprintf(name, sizeof name, "%04zu-", i);
        const fs::path source = sources[i % sources.size()];
        const fs::path target = fs::path(dir) / shelf / (name + source.filename().string());
        fs::create_directories(target.parent_path());
        fs::copy_file(source, target, fs::copy_options::skip_existing);
        paths.push_back(target.string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

}  // namespace

Corpus makeCorpus(const std::string &dir, bool smoke) {
    Corpus corpus;
    const auto start = Clock::now();
    fs::create_directories(dir);
    const auto fixtures = media_fixtures::generateFixtures(dir + "/fixtures");
    for (const auto &[name, path] : fixtures) {
        // Only files that describe: the others fail a benchmark probe.
        if (name != "random" && name != "empty" && name != "mp4_truncated") {
            corpus.mixed.push_back(path);
        }
    }
    if (!smoke) {
        const std::string variants = dir + "/variants";
        fs::create_directories(variants);
        for (const auto &path : runJobs(variants, variantJobs())) corpus.mixed.push_back(path);
    }

    // One H.264 frame of 16x16 every millisecond: an MP4 index entry per frame.
    const int64_t entries = smoke ? 2000 : 100000;
    const std::string seconds = std::to_string(entries / 1000);
    const std::string file = "large-index-" + std::to_string(entries) + ".mp4";
    corpus.largeIndex = media_fixtures::makeWithFfmpeg(
        dir,
        {"-f", "lavfi", "-i", "color=c=blue:size=16x16:rate=1000:duration=" + seconds, "-c:v",
         "libx264", "-preset", "ultrafast"},
        file);
    corpus.largeIndexEntries = entries;

    const size_t libraryFiles = smoke ? 40 : 1000;
    corpus.library = dir + "/library-" + std::to_string(libraryFiles);
    corpus.libraryPaths = makeLibrary(corpus.library, corpus.mixed, libraryFiles);
    note("corpus: %zu mixed files, a %lld-frame video, a library of %zu files (%.1f s)",
         corpus.mixed.size(), static_cast<long long>(entries), libraryFiles, secondsSince(start));
    return corpus;
}

}  // namespace qzbench
