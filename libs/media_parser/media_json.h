// media_json: a description as JSON text. Internal to the library and the
// programs built with it (mprobe); media_probe_json (media_probe.h) is its
// public face.
//
// MediaJsonWriter lays JSON out as it goes, as nlohmann's dump lays it out
// (an indent of N spaces a level, or compact), and hands its text to an
// output in blocks: nothing is built in memory first, so a description with
// an index of millions of entries costs a block beyond its context. A
// document shape is a function that writes a context with a writer:
// media_json_describe writes the description, the object `mprobe --json`
// prints for a file, with the keys of the field table (media_fields.h).
//
// Compiled with exceptions, unlike the rest of the library: an allocation
// that fails throws std::bad_alloc, which media_probe_json turns into NULL.
#ifndef MEDIA_PARSER_MEDIA_JSON_H
#define MEDIA_PARSER_MEDIA_JSON_H

#include <stddef.h>
#include <stdint.h>

#include <charconv>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "media_probe.h"

// Takes `size` bytes of JSON text at `data`; false when it cannot, after
// which the writer hands it nothing more (MediaJsonWriter::failed).
typedef bool (*MediaJsonOutput)(void *opaque, const char *data, size_t size);

class MediaJsonWriter {
  public:
    // `indent`: spaces a level, below 0 for the compact layout. `depth`: the
    // level of the top value (1 for an element of an array its caller opens
    // and closes).
    MediaJsonWriter(MediaJsonOutput output, void *opaque, int indent, int depth);
    ~MediaJsonWriter() { flush(); }
    MediaJsonWriter(const MediaJsonWriter &) = delete;
    MediaJsonWriter &operator=(const MediaJsonWriter &) = delete;

    // `key` names a member of an object and is ignored in an array (NULL
    // there, or for the top value).
    void beginObject(const char *key) { open(key, '{'); }
    void beginArray(const char *key) { open(key, '['); }
    void end();
    template <typename Integer>
    void integer(const char *key, Integer value) {
        char text[24];
        const auto end = std::to_chars(text, text + sizeof text, value).ptr;
        raw(key, text, static_cast<size_t>(end - text));
    }
    // NaN and infinities have no JSON form; they become null.
    void real(const char *key, double value);
    void text(const char *key, const char *value, size_t length);
    void text(const char *key, const char *value);
    void text(const char *key, const std::string &value) { text(key, value.data(), value.size()); }
    // A text under a key already in its JSON form (from quoted).
    void textUnderQuotedKey(const std::string &quotedKey, const std::string &value);
    // `size` bytes as a text of lower-case hexadecimal digits.
    void bytes(const char *key, const uint8_t *bytes, size_t size);
    void null(const char *key) { raw(key, "null", 4); }

    // Hands what is buffered to the output.
    void flush();
    // Whether the output refused text: the document is incomplete.
    bool failed() const { return failed_; }

    // `text` as a JSON string. Texts need not be UTF-8; undecodable bytes are
    // replaced by U+FFFD, not fatal. Printable ASCII without quotes or
    // backslashes (every key of the field table) goes as it is.
    static std::string quoted(const char *text, size_t length);

  private:
    static constexpr size_t kBlock = 64 * 1024;
    struct Level {
        bool array;
        size_t count;
    };

    void raw(const char *key, const char *json, size_t length);
    void newline();
    void member(const char *key);
    void memberQuoted(const std::string &quotedKey);
    void open(const char *key, char bracket);

    MediaJsonOutput output_;
    void *opaque_;
    int indent_;
    int depth_;
    bool failed_ = false;
    std::string buffer_;
    std::vector<Level> levels_;
};

// The members of one object of tags, gathered before it is written: a key
// repeated in the metadata, or two keys that read the same once their bytes
// that are not UTF-8 are replaced, is written once, where it first came,
// with its last value. Linear in the number of tags.
class MediaJsonTags {
  public:
    void add(const char *key, const char *value);
    // Writes the members into the writer's open object and forgets them.
    void write(MediaJsonWriter &writer);

  private:
    std::vector<std::pair<std::string, std::string>> tags_;  // quoted key, value
    std::unordered_map<std::string, size_t> at_;             // quoted key: its place in tags_
};

// Writes the description `context` as one object: the keys and values of
// the field table (media_fields_describe), the byte arrays as hex, each
// index entry as {pos, timestamp, flags, size, min_distance}; without the
// `entries` and `keyframes` arrays unless `index`.
void media_json_describe(const MediaContext *context, MediaJsonWriter &writer, bool index);

// Writes `context` as the document ffprobe writes for the file with
// -print_format json -show_format -show_streams -show_chapters
// -show_programs (docs/description.md): `pretty`, in ffprobe's own layout,
// byte for byte, its final line end included; otherwise on one line without
// spaces or line end. A context with error_text set, or without a
// container, gives "{}" as ffprobe gives for a file it cannot read. False
// when the output refused text.
bool media_json_ffprobe(const MediaContext *context, MediaJsonOutput output, void *opaque,
                        bool pretty);

#endif
