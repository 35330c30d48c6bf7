// Describing one file: what mprobe is asked for (Settings), the probe, and
// its outcome as it will be reported: the text, or for JSON the context
// itself; the library's notes; on failure, the reason in mprobe's words.
#ifndef TOOLS_MPROBE_DESCRIBE_H
#define TOOLS_MPROBE_DESCRIBE_H

#include <memory>
#include <string>

#include "media_probe.h"
#include "mprobe_inputs.h"

// text: the default view; record: the library's original record fields.
// ffprobeJson: ffprobe's own document of each file, one a line.
enum class Format { text, record, longText, json, jsonLines, ffprobeJson };

inline bool isJson(Format format) {
    return format == Format::json || format == Format::jsonLines || format == Format::ffprobeJson;
}

struct Settings {
    Format format = Format::text;
    bool index = true;
    bool nameNotes = false;
    bool scan = false;

    // What the library is asked for: the index only where it is printed.
    unsigned probeFlags() const {
        const bool printed = index && (format == Format::json || format == Format::jsonLines);
        return (scan ? MEDIA_PROBE_SCAN : 0u) | (printed ? 0u : MEDIA_PROBE_NO_INDEX);
    }
};

struct ContextFree {
    void operator()(MediaContext *context) const { free_media_context(context); }
};
using ContextPtr = std::unique_ptr<MediaContext, ContextFree>;

// What one file produced: its text description, or for the JSON outputs
// the probed context itself (written out only when the file's turn comes);
// the library's notes and, on failure, why.
struct Outcome {
    bool described = false;
    std::string output;
    std::string notes;
    std::string error;
    int result = -2;
    ContextPtr context;         // JSON outputs, a described file
    bool hasErrorText = false;  // JSON outputs, a failure: the library's words
    std::string errorText;
};

// Probes one input with `context` (reused from file to file) and formats the
// result as it will be printed. For the JSON outputs a described file's
// context moves into the outcome and `context` is replaced by a new one.
Outcome describe(const Input &input, ContextPtr &context, const Settings &settings);

// The library's note handler (media_probe_set_note_handler): the notes of a
// probe that describe() makes go into its outcome, any other on standard
// error.
void collectNote(void *, const char *filename, const char *line);

#endif
