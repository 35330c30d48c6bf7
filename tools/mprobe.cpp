// mprobe: describes media files with the media_probe library.
//
//   mprobe PATH...                 one readable block per file on standard output
//   mprobe --json PATH...          a JSON array with one object per file
//   mprobe --json-lines PATH...    one JSON object per file and line
//
// A PATH that is a directory stands for the files in it, in name order
// (names starting with '.' are skipped); with -r also for those in its
// subdirectories, depth first. Files are probed by -j N threads (default: one
// per core), each with its own context, and reported in input order.
//
// Exit status 0 when every file was described, 1 when any failed (each
// failure is named on standard error as it comes, and a count by reason
// follows at the end), 2 on a usage error. The demuxer's own log messages are
// silenced; the library's notes about streams it does not describe go to
// standard error, just before the file's failure line if it has one, so that
// standard output holds only the descriptions. On a terminal, standard error
// shows how many files are done.
#include <dirent.h>
#include <getopt.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "media_probe.h"

namespace {

using Json = nlohmann::ordered_json;

const char kUsage[] = "usage: mprobe [--json | --json-lines] [-r] [-j N] PATH...\n";
const char kHelp[] =
    "  PATH              a media file, or a directory standing for its files\n"
    "  -r, --recursive   also the files in subdirectories of directories\n"
    "  -j, --jobs N      probe with N threads (default: one per core)\n"
    "      --json        every description in one JSON array\n"
    "      --json-lines  one JSON object per file and line\n";

enum class Format { text, json, jsonLines };

// One file to describe, or a directory that could not be listed.
struct Input {
    std::string path;
    std::string listingError;  // set when the directory cannot be read
};

// What one file produced: its formatted description, the library's notes
// and, on failure, why.
struct Outcome {
    bool described = false;
    std::string output;
    std::string notes;
    std::string error;
};

// ---- the library's notes -------------------------------------------------

// The library prints its notes on stdout. While mprobe runs, stdout is a
// stream whose writes land in the probing thread's note buffer, so that each
// file's notes stay with it whatever thread probes it; mprobe prints its own
// output through the stream that was stdout before.
thread_local std::string *threadNotes = nullptr;

ssize_t noteWrite(void *, const char *bytes, size_t size) {
    if (threadNotes) {
        threadNotes->append(bytes, size);
    } else if (write(STDERR_FILENO, bytes, size) < 0) {
        return -1;
    }
    return static_cast<ssize_t>(size);
}

FILE *captureLibraryNotes() {
    FILE *output = stdout;
    cookie_io_functions_t functions{};
    functions.write = noteWrite;
    FILE *notes = fopencookie(nullptr, "w", functions);
    if (notes) {
        setvbuf(notes, nullptr, _IONBF, 0);
        fflush(stdout);
        stdout = notes;
    }
    return output;
}

// ---- probing and formatting ------------------------------------------------

std::string failureReason(int result, int error, const MediaContext *context) {
    if (result == -2) {
        if (error == ENOENT) return "not found";
        return std::string("cannot open: ") + strerror(error);
    }
    if (result == -1) return "out of memory";
    if (!context->container_name) return "not a media file";
    return std::string("not a readable media file (") + context->container_name +
           " container; its streams cannot be read)";
}

std::string hex(const uint8_t *bytes, int32_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes && length > 0 ? 2 * static_cast<size_t>(length) : 0);
    for (int32_t i = 0; bytes && i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

Json index(const StreamEntry *entries, int64_t count) {
    Json array = Json::array();
    for (int64_t i = 0; entries && i < count; ++i) {
        const StreamEntry &e = entries[i];
        array.push_back({{"pos", e.pos},
                         {"timestamp", e.timestamp},
                         {"flags", static_cast<int>(e.flags)},
                         {"size", static_cast<int>(e.size)},
                         {"min_distance", e.min_distance}});
    }
    return array;
}

Json text(const char *value) {
    return value ? Json(value) : Json(nullptr);
}

// NaN and infinities have no JSON form; they become null.
Json number(double value) {
    return std::isfinite(value) ? Json(value) : Json(nullptr);
}

Json toJson(const char *path, int result, const std::string &error, const MediaContext *context) {
    if (result != 0) return {{"filename", path}, {"result", result}, {"error", error}};
    const MediaContext &c = *context;
    Json video = Json::array(), audio = Json::array(), subtitle = Json::array();
    for (const VideoStreamContext *v = c.video; v; v = v->next) {
        video.push_back({{"codec_name", text(v->codec_name)},
                         {"width", v->width},
                         {"height", v->height},
                         {"fps", number(v->fps)},
                         {"bit_rate", v->bit_rate},
                         {"duration", v->duration},
                         {"spspps_len", v->spspps_len},
                         {"spspps", hex(v->spspps, v->spspps_len)},
                         {"entry_count", v->entry_count},
                         {"entries", index(v->entries, v->entry_count)}});
    }
    for (const AudioStreamContext *a = c.audio; a; a = a->next) {
        audio.push_back({{"codec_name", text(a->codec_name)},
                         {"sample_rate", a->sample_rate},
                         {"channels", a->channels},
                         {"bit_rate", a->bit_rate},
                         {"duration", a->duration},
                         {"entry_count", a->entry_count},
                         {"entries", index(a->entries, a->entry_count)}});
    }
    for (const SubtitleStreamContext *s = c.subtitle; s; s = s->next) {
        subtitle.push_back({{"codec_name", text(s->codec_name)},
                            {"duration", s->duration},
                            {"entry_count", s->entry_count},
                            {"entries", index(s->entries, s->entry_count)}});
    }
    return {{"filename", text(c.filename)},
            {"result", result},
            {"file_size", c.file_size},
            {"container_name", text(c.container_name)},
            {"duration", c.duration},
            {"bit_rate", c.bit_rate},
            {"mime_type", static_cast<int>(c.mime_type)},
            {"mime_type_str", text(c.mime_type_str)},
            {"video", video},
            {"audio", audio},
            {"subtitle", subtitle}};
}

void appendf(std::string &out, const char *format, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string &out, const char *format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length < 0) return;
    if (static_cast<size_t>(length) < sizeof buffer) {
        out.append(buffer, static_cast<size_t>(length));
        return;
    }
    std::string large(static_cast<size_t>(length) + 1, '\0');
    va_start(args, format);
    vsnprintf(&large[0], large.size(), format, args);
    va_end(args);
    large.pop_back();
    out += large;
}

std::string framesPerSecond(double fps) {
    if (!std::isfinite(fps)) return "unknown";
    char text[32];
    snprintf(text, sizeof text, "%.6g", fps);
    return text;
}

// "unknown" for the 0 the library stores when a value is not known.
std::string orUnknown(long long value, const char *unit) {
    return value ? std::to_string(value) + unit : "unknown";
}

std::string textBlock(const MediaContext &c) {
    std::string out;
    appendf(out, "%s\n", c.filename);
    appendf(out, "  size       %lld bytes\n", static_cast<long long>(c.file_size));
    appendf(out, "  container  %s\n", c.container_name);
    appendf(out, "  type       %s\n", c.mime_type_str ? c.mime_type_str : "");
    appendf(out, "  duration   %s\n", orUnknown(c.duration, " ms").c_str());
    appendf(out, "  bit rate   %s\n", orUnknown(c.bit_rate, " bit/s").c_str());
    int n = 0;
    for (const VideoStreamContext *v = c.video; v; v = v->next) {
        appendf(out,
                "  video %d    %s %dx%d, %s fps, %s, duration %d, %d config bytes, %lld index "
                "entries\n",
                n++, v->codec_name ? v->codec_name : "(no decoder)", v->width, v->height,
                framesPerSecond(v->fps).c_str(), orUnknown(v->bit_rate, " bit/s").c_str(),
                v->duration, v->spspps_len, static_cast<long long>(v->entry_count));
    }
    n = 0;
    for (const AudioStreamContext *a = c.audio; a; a = a->next) {
        appendf(out, "  audio %d    %s %d Hz, %d channel%s, %s, duration %d, %lld index entries\n",
                n++, a->codec_name ? a->codec_name : "(no decoder)", a->sample_rate, a->channels,
                a->channels == 1 ? "" : "s", orUnknown(a->bit_rate, " bit/s").c_str(), a->duration,
                static_cast<long long>(a->entry_count));
    }
    return out;
}

// Paths need not be UTF-8; undecodable bytes are replaced, not fatal.
std::string dump(const Json &json, int indent) {
    return json.dump(indent, ' ', false, Json::error_handler_t::replace);
}

// Probes one input with `context` (reused from file to file) and formats the
// result as it will be printed.
Outcome describe(const Input &input, MediaContext *context, Format format) {
    Outcome outcome;
    int result = -2;
    if (!input.listingError.empty()) {
        outcome.error = input.listingError;
    } else {
        threadNotes = &outcome.notes;
        result = context ? build_media_info(context, input.path.c_str()) : -1;
        const int error = errno;
        threadNotes = nullptr;
        if (result != 0) outcome.error = failureReason(result, error, context);
    }
    outcome.described = result == 0;
    if (format == Format::text) {
        if (outcome.described) outcome.output = textBlock(*context);
        return outcome;
    }
    const Json json = toJson(input.path.c_str(), result, outcome.error, context);
    if (format == Format::jsonLines) {
        outcome.output = dump(json, -1) + "\n";
    } else {
        // An element of the array printed with an indent of 2: its own lines
        // shifted by two spaces.
        const std::string element = dump(json, 2);
        outcome.output.reserve(element.size() + element.size() / 8);
        outcome.output += "  ";
        for (char c : element) {
            outcome.output += c;
            if (c == '\n') outcome.output += "  ";
        }
    }
    return outcome;
}

// ---- the inputs ------------------------------------------------------------

// Appends the files of `dir` in name order, descending into subdirectories
// when `recursive`. Symbolic links to files count as files; links to
// directories are not followed.
void listDirectory(const std::string &dir, bool recursive, std::vector<Input> &inputs) {
    DIR *stream = opendir(dir.c_str());
    if (!stream) {
        inputs.push_back({dir, std::string("cannot read directory: ") + strerror(errno)});
        return;
    }
    std::vector<std::string> names;
    while (const dirent *entry = readdir(stream)) {
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(stream);
    std::sort(names.begin(), names.end());
    const std::string prefix = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    for (const std::string &name : names) {
        const std::string path = prefix + name;
        struct stat link, target;
        if (lstat(path.c_str(), &link) != 0) continue;
        if (S_ISDIR(link.st_mode)) {
            if (recursive) listDirectory(path, recursive, inputs);
        } else if (stat(path.c_str(), &target) == 0 && S_ISREG(target.st_mode)) {
            inputs.push_back({path, ""});
        }
    }
}

std::vector<Input> expand(char **paths, int count, bool recursive) {
    std::vector<Input> inputs;
    for (int i = 0; i < count; ++i) {
        struct stat info;
        if (stat(paths[i], &info) == 0 && S_ISDIR(info.st_mode)) {
            listDirectory(paths[i], recursive, inputs);
        } else {
            inputs.push_back({paths[i], ""});
        }
    }
    return inputs;
}

unsigned coreCount() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
        return static_cast<unsigned>(CPU_COUNT(&set));
    }
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

// ---- reporting -------------------------------------------------------------

// Prints the outcomes in input order as they become available, with the
// progress line on a terminal and the summary of failures at the end.
class Reporter {
  public:
    Reporter(FILE *out, Format format, size_t total)
        : out_(out),
          format_(format),
          total_(total),
          progress_(total > 1 && isatty(STDERR_FILENO)),
          sharesTerminal_(progress_ && isatty(fileno(out))) {}

    void begin() {
        if (format_ == Format::json) fputs(total_ ? "[\n" : "[]\n", out_);
    }

    void report(const Input &input, const Outcome &outcome) {
        if (sharesTerminal_ || !outcome.notes.empty() || !outcome.described) clearProgress();
        if (!outcome.notes.empty()) fputs(outcome.notes.c_str(), stderr);
        if (!outcome.described) {
            fprintf(stderr, "mprobe: %s: %s\n", input.path.c_str(), outcome.error.c_str());
            ++failures_;
            auto reason = std::find_if(reasons_.begin(), reasons_.end(),
                                       [&](const auto &r) { return r.first == outcome.error; });
            if (reason == reasons_.end()) {
                reasons_.emplace_back(outcome.error, 1);
            } else {
                ++reason->second;
            }
        }
        if (format_ == Format::json) {
            if (done_ > 0) fputs(",\n", out_);
            fwrite(outcome.output.data(), 1, outcome.output.size(), out_);
        } else if (format_ == Format::jsonLines || outcome.described) {
            if (format_ == Format::text && printed_) fputc('\n', out_);
            fwrite(outcome.output.data(), 1, outcome.output.size(), out_);
            printed_ = true;
        }
        ++done_;
        showProgress();
    }

    // Ends the output; returns the exit status.
    int end() {
        clearProgress();
        if (format_ == Format::json && total_) fputs("\n]\n", out_);
        fflush(out_);
        if (failures_ > 0 && total_ > 1) {
            fprintf(stderr, "mprobe: %zu of %zu files not described:", failures_, total_);
            for (size_t i = 0; i < reasons_.size(); ++i) {
                fprintf(stderr, "%s %zu %s", i ? "," : "", reasons_[i].second,
                        reasons_[i].first.c_str());
            }
            fputc('\n', stderr);
        }
        return failures_ > 0 ? 1 : 0;
    }

  private:
    // Redraws the progress line, at most ten times a second.
    void showProgress() {
        if (!progress_) return;
        const auto time = std::chrono::steady_clock::now();
        if (time - shown_ < std::chrono::milliseconds(100)) return;
        shown_ = time;
        fflush(out_);
        fprintf(stderr, "\rmprobe: %zu of %zu files\033[K", done_, total_);
        showing_ = true;
    }

    void clearProgress() {
        if (!showing_) return;
        fflush(out_);
        fputs("\r\033[K", stderr);
        showing_ = false;
    }

    FILE *out_;
    Format format_;
    size_t total_;
    bool progress_;
    bool sharesTerminal_;  // descriptions and progress on one terminal
    bool showing_ = false;
    bool printed_ = false;
    size_t done_ = 0, failures_ = 0;
    std::vector<std::pair<std::string, size_t>> reasons_;
    std::chrono::steady_clock::time_point shown_{};
};

// Probes `inputs` on `jobs` threads (this one included) and hands the
// outcomes to the reporter in input order. The thread that completes the
// outcome next in order reports it, with any after it that are ready, while
// the others go on probing: nobody waits just to print. Threads run at most
// `window` files ahead of the reports, which bounds the memory held by
// finished outcomes.
void probeInParallel(const std::vector<Input> &inputs, unsigned jobs, Format format,
                     Reporter &reporter) {
    const size_t total = inputs.size();
    const size_t window = 16 * static_cast<size_t>(jobs);
    std::vector<Outcome> outcomes(total);
    std::vector<char> ready(total, 0);
    std::mutex lock;
    std::condition_variable advanced;
    size_t next = 0, reported = 0;
    bool reporting = false;

    auto worker = [&] {
        MediaContext *context = create_media_context();
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            advanced.wait(guard, [&] { return next >= total || next < reported + window; });
            if (next >= total) break;
            const size_t i = next++;
            guard.unlock();
            Outcome outcome = describe(inputs[i], context, format);
            guard.lock();
            outcomes[i] = std::move(outcome);
            ready[i] = 1;
            if (reporting) continue;  // the reporting thread will come to it
            reporting = true;
            const size_t before = reported;
            while (reported < total && ready[reported]) {
                const size_t r = reported;
                Outcome taken = std::move(outcomes[r]);
                guard.unlock();
                reporter.report(inputs[r], taken);
                guard.lock();
                ++reported;
            }
            reporting = false;
            if (reported != before) advanced.notify_all();
        }
        guard.unlock();
        free_media_context(context);
    };
    std::vector<std::thread> threads;
    for (unsigned t = 1; t < jobs; ++t) threads.emplace_back(worker);
    worker();
    for (auto &thread : threads) thread.join();
}

int usageError(const char *format, const char *what) {
    fputs("mprobe: ", stderr);
    fprintf(stderr, format, what);
    fprintf(stderr, "\n%s", kUsage);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    Format format = Format::text;
    bool recursive = false;
    unsigned jobs = 0;
    enum { kJson = 256, kJsonLines, kVersion };
    static const option longOptions[] = {
        {"json", no_argument, nullptr, kJson},
        {"json-lines", no_argument, nullptr, kJsonLines},
        {"recursive", no_argument, nullptr, 'r'},
        {"jobs", required_argument, nullptr, 'j'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    for (int opt; (opt = getopt_long(argc, argv, "+rj:h", longOptions, nullptr)) != -1;) {
        switch (opt) {
            case kJson:
                format = Format::json;
                break;
            case kJsonLines:
                format = Format::jsonLines;
                break;
            case 'r':
                recursive = true;
                break;
            case 'j': {
                char *end = nullptr;
                errno = 0;
                long value = strtol(optarg, &end, 10);
                if (errno || end == optarg || *end || value < 1 || value > 1024) {
                    return usageError("-j needs a number of threads from 1 to 1024, not %s",
                                      optarg);
                }
                jobs = static_cast<unsigned>(value);
                break;
            }
            case 'h':
                printf("%s%s", kUsage, kHelp);
                return 0;
            case kVersion: {
                void printVersion();  // mprobe_version.cpp
                printVersion();
                return 0;
            }
            default: {
                if (optopt == 'j') return usageError("%s needs a number of threads", "-j");
                char shortOption[] = {'-', static_cast<char>(optopt), '\0'};
                return usageError("unknown option %s", optopt ? shortOption : argv[optind - 1]);
            }
        }
    }
    if (optind >= argc) {
        fputs(kUsage, stderr);
        return 2;
    }

    av_log_set_level(AV_LOG_QUIET);
    FILE *out = captureLibraryNotes();
    const std::vector<Input> inputs = expand(argv + optind, argc - optind, recursive);
    if (jobs == 0) jobs = coreCount();
    jobs = static_cast<unsigned>(std::min<size_t>(jobs, inputs.size()));

    Reporter reporter(out, format, inputs.size());
    reporter.begin();
    if (jobs <= 1) {
        // One thread: probe here, with no workers to start.
        MediaContext *context = create_media_context();
        for (const Input &input : inputs) reporter.report(input, describe(input, context, format));
        free_media_context(context);
    } else {
        probeInParallel(inputs, jobs, format, reporter);
    }
    return reporter.end();
}
