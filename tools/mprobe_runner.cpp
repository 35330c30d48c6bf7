#include "mprobe_runner.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

#include "media_fields.h"
#include "media_json.h"
#include "mprobe_output.h"
#include "mprobe_views.h"

namespace {

// The memory an outcome holds until it is reported, roughly: its texts and
// its context.
size_t heldBytes(const Outcome &outcome) {
    return sizeof outcome + outcome.output.size() + outcome.notes.size() +
           media_fields_held_bytes(outcome.context.get());
}

// Writes the JSON object of one outcome to `out`: the library's description
// of a described file, mprobe's own object of a failure.
void writeJson(FILE *out, const Input &input, const Outcome &outcome, const Settings &settings) {
    if (settings.format == Format::ffprobeJson) {
        // A file that is not described has ffprobe's empty document.
        if (outcome.described) {
            media_json_ffprobe(outcome.context.get(), putJson, out, false);
        } else {
            putJson(out, "{}", 2);
        }
        return;
    }
    const bool array = settings.format == Format::json;
    MediaJsonWriter writer(putJson, out, array ? 2 : -1, array ? 1 : 0);
    if (outcome.described) {
        media_json_describe(outcome.context.get(), writer, settings.index);
        return;
    }
    writer.beginObject(nullptr);
    writer.text("filename", input.path);
    if (!media_fields_is_utf8(input.path.data(), input.path.size())) {
        writer.bytes("filename_bytes", reinterpret_cast<const uint8_t *>(input.path.data()),
                     input.path.size());
    }
    writer.integer("result", outcome.result);
    writer.text("error", outcome.error);
    if (outcome.hasErrorText) {
        writer.text("error_text", outcome.errorText);
    } else {
        writer.null("error_text");
    }
    writer.end();
}

}  // namespace

Reporter::Reporter(FILE *out, const Settings &settings, bool sized, size_t total, bool flushEach)
    : out_(out),
      settings_(settings),
      format_(settings.format),
      sized_(sized),
      total_(total),
      flushEach_(flushEach),
      progress_((!sized || total > 1) && isatty(STDERR_FILENO)),
      sharesTerminal_(progress_ && isatty(fileno(out))) {}

void Reporter::report(const Input &input, const Outcome &outcome) {
    if (sharesTerminal_ || !outcome.notes.empty() || !outcome.described) clearProgress();
    put(stderr, outcome.notes);
    if (!outcome.described) {
        put(stderr, "mprobe: " + escaped(input.path) + ": " + escaped(outcome.error) + "\n");
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
        put(out_, done_ > 0 ? ",\n" : "[\n");
        writeJson(out_, input, outcome, settings_);
    } else if (format_ == Format::jsonLines || format_ == Format::ffprobeJson) {
        writeJson(out_, input, outcome, settings_);
        put(out_, "\n");
    } else if (outcome.described) {
        if (printed_) put(out_, "\n");
        put(out_, outcome.output);
        printed_ = true;
    }
    if (flushEach_) flushOrFail(out_);
    ++done_;
    showProgress();
}

int Reporter::end() {
    clearProgress();
    if (format_ == Format::json) put(out_, done_ ? "\n]\n" : "[]\n");
    flushOrFail(out_);
    if (failures_ > 0 && done_ > 1) {
        std::string line;
        appendf(line, "mprobe: %zu of %zu files not described:", failures_, done_);
        for (size_t i = 0; i < reasons_.size(); ++i) {
            appendf(line, "%s %zu %s", i ? "," : "", reasons_[i].second,
                    escaped(reasons_[i].first).c_str());
        }
        put(stderr, line + "\n");
    }
    return failures_ > 0 ? 1 : 0;
}

// Redraws the progress line, at most ten times a second.
void Reporter::showProgress() {
    if (!progress_) return;
    const auto time = std::chrono::steady_clock::now();
    if (time - shown_ < std::chrono::milliseconds(100)) return;
    shown_ = time;
    flushOrFail(out_);
    if (sized_) {
        fprintf(stderr, "\rmprobe: %zu of %zu files\033[K", done_, total_);
    } else {
        fprintf(stderr, "\rmprobe: %zu files\033[K", done_);
    }
    showing_ = true;
}

void Reporter::clearProgress() {
    if (!showing_) return;
    flushOrFail(out_);
    fputs("\r\033[K", stderr);
    showing_ = false;
}

namespace {

// Probes the inputs of `source` on `jobs` threads (this one included) and
// hands the outcomes to the reporter in input order. The thread that
// completes the outcome next in order reports it, with any after it that are
// ready, while the others go on probing: nobody waits just to print. Threads
// run at most `window` files ahead of the reports, and take no new file while
// the finished outcomes waiting for their turn hold more than kHeldLimit
// (a JSON outcome holds its context, index and all), which bounds the memory
// they hold to about kHeldLimit plus one file a thread. Inputs are taken from
// the source under a lock of their own, so that a list being read slowly (a
// program writing one path and waiting for its answer) holds up no report.
void probeInParallel(InputSource &source, unsigned jobs, const Settings &settings,
                     Reporter &reporter) {
    const size_t window = 16 * static_cast<size_t>(jobs);
    constexpr size_t kHeldLimit = size_t{256} << 20;
    size_t held = 0;
    // Each finished outcome with its input and the bytes it holds.
    struct Finished {
        Input input;
        Outcome outcome;
        size_t bytes;
    };
    std::map<size_t, Finished> finished;
    std::mutex lock, inputLock;
    std::condition_variable advanced;
    size_t claimed = 0, reported = 0, numbered = 0;
    bool exhausted = false, reporting = false;

    auto worker = [&] {
        ContextPtr context(create_media_context());
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            advanced.wait(guard, [&] {
                return exhausted || (claimed < reported + window && held <= kHeldLimit);
            });
            if (exhausted) break;
            ++claimed;
            guard.unlock();
            Input input;
            size_t i = 0;
            bool got;
            {
                std::lock_guard<std::mutex> taking(inputLock);
                got = source.next(input);
                if (got) i = numbered++;
            }
            guard.lock();
            if (!got) {
                exhausted = true;
                advanced.notify_all();
                break;
            }
            guard.unlock();
            Outcome outcome = describe(input, context, settings);
            const size_t bytes = heldBytes(outcome);
            guard.lock();
            held += bytes;
            finished.emplace(i, Finished{std::move(input), std::move(outcome), bytes});
            if (reporting) continue;  // the reporting thread will come to it
            reporting = true;
            const size_t before = reported;
            for (auto next = finished.find(reported); next != finished.end();
                 next = finished.find(reported)) {
                Finished taken = std::move(next->second);
                finished.erase(next);
                held -= taken.bytes;
                guard.unlock();
                reporter.report(taken.input, taken.outcome);
                guard.lock();
                ++reported;
            }
            reporting = false;
            if (reported != before) advanced.notify_all();
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 1; t < jobs; ++t) threads.emplace_back(worker);
    worker();
    for (auto &thread : threads) thread.join();
}

}  // namespace

void probeAll(InputSource &source, unsigned jobs, const Settings &settings, Reporter &reporter) {
    if (jobs > 1) return probeInParallel(source, jobs, settings, reporter);
    // One thread: probe here, with no workers to start.
    ContextPtr context(create_media_context());
    for (Input input; source.next(input);) {
        reporter.report(input, describe(input, context, settings));
    }
}

unsigned coreCount() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
        return static_cast<unsigned>(CPU_COUNT(&set));
    }
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}
