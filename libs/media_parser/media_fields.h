// media_fields: the one list of a description's fields, for every output.
// Internal to the library and the programs built with it (mprobe, the Python
// module): not installed.
//
// media_fields_describe walks a MediaContext field by field, in record
// order, and hands each value to a plain record of callbacks: the library's
// JSON writer (media_json.h) builds its objects from it, mprobe's long text
// its lines, and a binding can build its own objects with the same keys and
// values. A field added to the table below appears in every output at once.
//
// Keys are the record field names. Values that the library marks as unknown
// (NULL texts and records, MEDIA_PROBE_NO_VALUE times, the zeros, -1 and -99
// documented as "unknown" in media_probe.h) arrive through `null`; the
// original fields keep their raw values, as they always did. Inside an array
// the key is NULL. A record a field points at (an HDR record) is an object
// titled by its label; an array of records (chapters, programs) an array of
// objects; an array of texts or integers an array of values, each with the
// field's hint.
#ifndef MEDIA_PARSER_MEDIA_FIELDS_H
#define MEDIA_PARSER_MEDIA_FIELDS_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "media_probe.h"

// How the text output shows a value; the other outputs can ignore it.
enum MediaFieldUnit {
    MEDIA_UNIT_NONE,
    MEDIA_UNIT_BYTES,
    MEDIA_UNIT_MS_OR_ZERO,   // milliseconds, 0 meaning unknown (original fields)
    MEDIA_UNIT_BPS_OR_ZERO,  // bits per second, 0 meaning unknown (original fields)
    MEDIA_UNIT_BPS,
    MEDIA_UNIT_HZ,
    MEDIA_UNIT_MICROSECONDS,  // shown in seconds
    MEDIA_UNIT_TICKS,         // shown in seconds and in ticks of the time base
    MEDIA_UNIT_FPS,           // a frame rate in double
    MEDIA_UNIT_RATE,          // num/den, `pair` holding num: "30000/1001 (29.97)"
    MEDIA_UNIT_ASPECT,        // num:den, `pair` holding num
    MEDIA_UNIT_TIME_BASE,     // num/den, `pair` holding num
    MEDIA_UNIT_SIZE,          // width x height, `pair` holding the width
    MEDIA_UNIT_DEGREES,
    MEDIA_UNIT_FOURCC,
    MEDIA_UNIT_DISPOSITION,  // AV_DISPOSITION_* bits
    MEDIA_UNIT_CHANNELS,
    MEDIA_UNIT_COUNT,
    MEDIA_UNIT_ID,         // an id or PID, shown in decimal and hex: "257 (0x101)"
    MEDIA_UNIT_XY,         // CIE 1931 x, y: `real_pair` holding x
    MEDIA_UNIT_LUMINANCE,  // a range in cd/m2: `real_pair` holding the minimum
    MEDIA_UNIT_NITS,       // cd/m2
    MEDIA_UNIT_VERSION,    // major.minor, `pair` holding major
    MEDIA_UNIT_FLAG        // 0 or 1, shown as "no" or "yes"
};

// What the text output needs beyond the value.
struct MediaFieldHint {
    const char *label;  // the text line's label; NULL: not shown on its own line
    MediaFieldUnit unit;
    bool hide_zero;         // the text output leaves the line out when the value is 0
    int64_t pair;           // the first half of a two-field value (see the units)
    int32_t time_base_num;  // MEDIA_UNIT_TICKS: the node's time base
    int32_t time_base_den;
    double real_pair;  // the first half of a two-field real value (see the units)
};

// The output callbacks. Every pointer must be set; `opaque` is passed through.
// Objects and arrays nest; `title` names a list element for the text output
// ("video 0", "subtitle 2  subrip, language eng"), NULL otherwise.
struct MediaFieldSink {
    void *opaque;
    void (*begin_object)(void *opaque, const char *key, const char *title);
    void (*end_object)(void *opaque);
    void (*begin_array)(void *opaque, const char *key);
    void (*end_array)(void *opaque);
    void (*integer)(void *opaque, const char *key, int64_t value, const MediaFieldHint *hint);
    void (*unsigned_integer)(void *opaque, const char *key, uint64_t value,
                             const MediaFieldHint *hint);
    void (*real)(void *opaque, const char *key, double value, const MediaFieldHint *hint);
    void (*text)(void *opaque, const char *key, const char *value, const MediaFieldHint *hint);
    void (*null)(void *opaque, const char *key, const MediaFieldHint *hint);
    void (*bytes)(void *opaque, const char *key, const uint8_t *bytes, size_t size,
                  const MediaFieldHint *hint);
    // One element of an `entries` array.
    void (*index_entry)(void *opaque, const StreamEntry *entry);
};

struct MediaFieldOptions {
    bool index;  // false: the `entries` arrays are left out (their counts stay)
};

// Walks the description `context` as one object: "filename", then
// "filename_bytes" (through `bytes`: the name's bytes) when the name is not
// valid UTF-8, "result", then every other field in record order, the stream
// lists as arrays of objects and `tags` as an object of texts (a key
// repeated in the metadata arrives once per entry). "result" is 1 when
// error_text is set (a probe that returned 1: the fields as far as they were
// set), else 0.
void media_fields_describe(const MediaContext *context, const MediaFieldSink *sink,
                           const MediaFieldOptions *options);

// Whether the `length` bytes at `text` are valid UTF-8 (no overlong forms,
// no surrogates, nothing above U+10FFFF): what a JSON or Python text shows
// without replacing any byte.
bool media_fields_is_utf8(const char *text, size_t length);

// The streams the library's note lines `lines` (of one probe, in order) are
// about, one per stream, as "subtitle stream 3": each "codec type ..." line
// is paired with the `other` node of the same position in `context` (NULL
// when the probe failed), or named by its kind alone when that node is
// missing ("a subtitle stream").
std::vector<std::string> media_fields_note_streams(const std::vector<std::string> &lines,
                                                   const MediaContext *context);

// The names of the AV_DISPOSITION_* bits set in `disposition`, comma
// separated ("default, forced"), into `out` (`size` bytes, always
// terminated); "none" when no bit is set.
void media_fields_disposition_text(int32_t disposition, char *out, size_t size);

// About the memory `context` (may be NULL) holds until it is freed: its
// records and the index entries it copied (seek indexes and scans'
// keyframes), which dwarf the rest. What a caller holding many finished
// descriptions bounds its memory by.
size_t media_fields_held_bytes(const MediaContext *context);

#endif
