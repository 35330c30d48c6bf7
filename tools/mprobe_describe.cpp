#include "mprobe_describe.h"

#include <cerrno>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/error.h>
}

#include "media_fields.h"
#include "mprobe_output.h"
#include "mprobe_views.h"

namespace {

// The library's note lines of the file being probed on this thread.
thread_local std::vector<std::string> *threadNotes = nullptr;

// The notes as they go to standard error: with --name-notes one line per
// stream naming the file and the stream, which the `other` node of the same
// position identifies; under --record the library's own lines, as that form
// always showed them; otherwise none, as every output describes those streams.
std::string formatNotes(const std::vector<std::string> &lines, const std::string &path,
                        const MediaContext *context, const Settings &settings) {
    std::string out;
    if (!settings.nameNotes) {
        if (settings.format != Format::record) return out;
        for (const std::string &line : lines) out += line + "\n";
        return out;
    }
    for (const std::string &stream : media_fields_note_streams(lines, context)) {
        out += "mprobe: " + escaped(path) + ": " + escaped(stream) + " not described\n";
    }
    return out;
}

// The demuxer's words for "no demuxer recognises these bytes", and for an
// allocation failure: the library's error_text says more than these when it
// knows more.
const std::string &errorWords(int error) {
    static const std::string invalid = [] {
        char words[AV_ERROR_MAX_STRING_SIZE] = "";
        av_strerror(AVERROR_INVALIDDATA, words, sizeof words);
        return std::string(words);
    }();
    static const std::string memory = [] {
        char words[AV_ERROR_MAX_STRING_SIZE] = "";
        av_strerror(AVERROR(ENOMEM), words, sizeof words);
        return std::string(words);
    }();
    return error == AVERROR_INVALIDDATA ? invalid : memory;
}

std::string failureReason(int result, int error, const MediaContext *context) {
    if (result == -2) {
        if (error == ENOENT) return "not found";
        return std::string("cannot open: ") + strerror(error);
    }
    if (result == -1) return "out of memory";
    const char *words = context->error_text;
    if (words && words == errorWords(AVERROR(ENOMEM))) return "out of memory";
    if (!context->container_name) {
        if (!words || words == errorWords(AVERROR_INVALIDDATA)) return "not a media file";
        return std::string("not a readable media file (") + words + ")";
    }
    std::string reason = std::string("not a readable media file (") + context->container_name +
                         " container; its streams cannot be read";
    if (words && *words) reason += std::string(": ") + words;  // a limit the probe reached, say
    return reason + ")";
}

}  // namespace

void collectNote(void *, const char *filename, const char *line) {
    if (threadNotes) {
        threadNotes->emplace_back(line);
    } else {
        put(stderr, "mprobe: " + escaped(filename) + ": " + escaped(line) + "\n");
    }
}

Outcome describe(const Input &input, ContextPtr &context, const Settings &settings) {
    Outcome outcome;
    int result = -2;
    if (!input.error.empty()) {
        outcome.error = input.error;
    } else {
        std::vector<std::string> notes;
        threadNotes = &notes;
        result = context
                     ? media_probe_file(context.get(), input.path.c_str(), settings.probeFlags())
                     : -1;
        const int error = errno;
        threadNotes = nullptr;
        if (result != 0) outcome.error = failureReason(result, error, context.get());
        outcome.notes =
            formatNotes(notes, input.path, result >= 0 ? context.get() : nullptr, settings);
    }
    outcome.described = result == 0;
    outcome.result = result;
    if (!isJson(settings.format)) {
        if (!outcome.described) return outcome;
        if (settings.format == Format::text) {
            outcome.output = viewText(*context);
        } else if (settings.format == Format::record) {
            outcome.output = recordText(*context);
        } else {
            outcome.output = longText(*context);
        }
        return outcome;
    }
    if (outcome.described) {
        outcome.context = std::move(context);
        context.reset(create_media_context());
    } else if (result == 1 && context->error_text) {
        outcome.hasErrorText = true;
        outcome.errorText = context->error_text;
    }
    return outcome;
}
