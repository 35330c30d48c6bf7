// The JSON writer, the description document, and media_probe_json.
#include "media_json.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "media_fields.h"

MediaJsonWriter::MediaJsonWriter(MediaJsonOutput output, void *opaque, int indent, int depth)
    : output_(output), opaque_(opaque), indent_(indent), depth_(depth) {
    buffer_.reserve(kBlock + 256);
    if (indent_ > 0) buffer_.append(static_cast<size_t>(indent_ * depth_), ' ');
}

void MediaJsonWriter::end() {
    const Level level = levels_.back();
    levels_.pop_back();
    --depth_;
    if (level.count > 0) newline();
    buffer_ += level.array ? ']' : '}';
    if (buffer_.size() >= kBlock) flush();
}

void MediaJsonWriter::real(const char *key, double value) {
    if (!std::isfinite(value)) return null(key);
    const std::string text = nlohmann::json(value).dump();
    raw(key, text.data(), text.size());
}

void MediaJsonWriter::text(const char *key, const char *value, size_t length) {
    member(key);
    buffer_ += quoted(value, length);
}

void MediaJsonWriter::text(const char *key, const char *value) {
    text(key, value, strlen(value));
}

void MediaJsonWriter::textUnderQuotedKey(const std::string &quotedKey, const std::string &value) {
    memberQuoted(quotedKey);
    buffer_ += quoted(value.data(), value.size());
}

void MediaJsonWriter::bytes(const char *key, const uint8_t *bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    member(key);
    buffer_ += '"';
    for (size_t i = 0; bytes && i < size; ++i) {
        buffer_ += digits[bytes[i] >> 4];
        buffer_ += digits[bytes[i] & 0xF];
        if (buffer_.size() >= kBlock) flush();
    }
    buffer_ += '"';
}

void MediaJsonWriter::flush() {
    if (!failed_ && !buffer_.empty() && !output_(opaque_, buffer_.data(), buffer_.size())) {
        failed_ = true;
    }
    buffer_.clear();
}

std::string MediaJsonWriter::quoted(const char *text, size_t length) {
    const bool plain = std::all_of(
        text, text + length, [](char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; });
    if (plain) {
        std::string out;
        out.reserve(length + 2);
        out += '"';
        out.append(text, length);
        out += '"';
        return out;
    }
    return nlohmann::json(std::string(text, length))
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void MediaJsonWriter::raw(const char *key, const char *json, size_t length) {
    member(key);
    buffer_.append(json, length);
}

void MediaJsonWriter::newline() {
    if (indent_ < 0) return;
    buffer_ += '\n';
    buffer_.append(static_cast<size_t>(indent_ * depth_), ' ');
}

// Starts a member of the innermost container: its separator, its
// indentation and, in an object, its key.
void MediaJsonWriter::member(const char *key) {
    if (!levels_.empty() && !levels_.back().array) {
        memberQuoted(quoted(key ? key : "", key ? strlen(key) : 0));
    } else {
        memberQuoted(std::string());
    }
}

void MediaJsonWriter::memberQuoted(const std::string &quotedKey) {
    if (levels_.empty()) return;
    Level &level = levels_.back();
    if (level.count++ > 0) buffer_ += ',';
    newline();
    if (!level.array) {
        buffer_ += quotedKey;
        buffer_ += indent_ < 0 ? ":" : ": ";
    }
}

void MediaJsonWriter::open(const char *key, char bracket) {
    member(key);
    buffer_ += bracket;
    levels_.push_back({bracket == '[', 0});
    ++depth_;
}

void MediaJsonTags::add(const char *key, const char *value) {
    std::string quotedKey = MediaJsonWriter::quoted(key, strlen(key));
    const auto [at, first] = at_.emplace(quotedKey, tags_.size());
    if (first) {
        tags_.emplace_back(std::move(quotedKey), value);
    } else {
        tags_[at->second].second = value;
    }
}

void MediaJsonTags::write(MediaJsonWriter &writer) {
    for (const auto &[key, value] : tags_) writer.textUnderQuotedKey(key, value);
    tags_.clear();
    at_.clear();
}

namespace {

// The field table's walk as JSON. The texts of a `tags` object are gathered
// and written when it ends (MediaJsonTags).
struct JsonSink {
    explicit JsonSink(MediaJsonWriter *to) : writer(to) {}
    MediaJsonWriter *writer;
    size_t depth = 0;
    size_t tagsDepth = 0;  // the depth of the open `tags` object, 0 for none
    MediaJsonTags tags;
};

MediaFieldSink jsonSink(JsonSink *json) {
    MediaFieldSink sink{};
    sink.opaque = json;
    sink.begin_object = [](void *opaque, const char *key, const char *) {
        auto *j = static_cast<JsonSink *>(opaque);
        j->writer->beginObject(key);
        ++j->depth;
        if (key && strcmp(key, "tags") == 0 && !j->tagsDepth) j->tagsDepth = j->depth;
    };
    sink.begin_array = [](void *opaque, const char *key) {
        auto *j = static_cast<JsonSink *>(opaque);
        j->writer->beginArray(key);
        ++j->depth;
    };
    sink.end_object = sink.end_array = [](void *opaque) {
        auto *j = static_cast<JsonSink *>(opaque);
        if (j->depth == j->tagsDepth) {
            j->tags.write(*j->writer);
            j->tagsDepth = 0;
        }
        --j->depth;
        j->writer->end();
    };
    sink.integer = [](void *opaque, const char *key, int64_t value, const MediaFieldHint *) {
        static_cast<JsonSink *>(opaque)->writer->integer(key, value);
    };
    sink.unsigned_integer = [](void *opaque, const char *key, uint64_t value,
                               const MediaFieldHint *) {
        static_cast<JsonSink *>(opaque)->writer->integer(key, value);
    };
    sink.real = [](void *opaque, const char *key, double value, const MediaFieldHint *) {
        static_cast<JsonSink *>(opaque)->writer->real(key, value);
    };
    sink.text = [](void *opaque, const char *key, const char *value, const MediaFieldHint *) {
        auto *j = static_cast<JsonSink *>(opaque);
        if (j->depth != j->tagsDepth) return j->writer->text(key, value);
        j->tags.add(key, value);
    };
    sink.null = [](void *opaque, const char *key, const MediaFieldHint *) {
        static_cast<JsonSink *>(opaque)->writer->null(key);
    };
    sink.bytes = [](void *opaque, const char *key, const uint8_t *bytes, size_t size,
                    const MediaFieldHint *) {
        static_cast<JsonSink *>(opaque)->writer->bytes(key, bytes, size);
    };
    sink.index_entry = [](void *opaque, const StreamEntry *e) {
        MediaJsonWriter &w = *static_cast<JsonSink *>(opaque)->writer;
        w.beginObject(nullptr);
        w.integer("pos", e->pos);
        w.integer("timestamp", e->timestamp);
        w.integer("flags", e->flags);
        w.integer("size", e->size);
        w.integer("min_distance", e->min_distance);
        w.end();
    };
    return sink;
}

// ---- media_probe_json ----------------------------------------------------------

constexpr unsigned kJsonFlags =
    MEDIA_PROBE_JSON_NO_INDEX | MEDIA_PROBE_JSON_PRETTY | MEDIA_PROBE_JSON_FFPROBE;

// A document shape: writes the whole document of `context`.
using Document = void (*)(const MediaContext *context, MediaJsonWriter &writer, unsigned flags);

void descriptionDocument(const MediaContext *context, MediaJsonWriter &writer, unsigned flags) {
    media_json_describe(context, writer, !(flags & MEDIA_PROBE_JSON_NO_INDEX));
}

// The shape `flags` (known ones only) ask for.
Document documentFor(unsigned) {
    return descriptionDocument;
}

// The text being made, in memory from malloc so that the caller frees it
// with free (media_probe_free_json); `size` bytes so far.
struct Text {
    char *data = nullptr;
    size_t size = 0;
    size_t capacity = 0;
};

// Appends to a Text, doubling its capacity as it fills; false when memory
// runs out.
bool append(void *opaque, const char *data, size_t size) {
    Text &text = *static_cast<Text *>(opaque);
    if (size > text.capacity - text.size) {
        size_t capacity = std::max<size_t>(text.capacity, 4096);
        while (capacity - text.size < size) {
            if (capacity > SIZE_MAX / 2) return false;
            capacity *= 2;
        }
        char *grown = static_cast<char *>(realloc(text.data, capacity));
        if (!grown) return false;
        text.data = grown;
        text.capacity = capacity;
    }
    memcpy(text.data + text.size, data, size);
    text.size += size;
    return true;
}

}  // namespace

void media_json_describe(const MediaContext *context, MediaJsonWriter &writer, bool index) {
    JsonSink json(&writer);
    const MediaFieldSink sink = jsonSink(&json);
    const MediaFieldOptions options{index};
    media_fields_describe(context, &sink, &options);
}

extern "C" char *media_probe_json(const MediaContext *context, unsigned flags) {
    if (!context || (flags & ~kJsonFlags) != 0) return nullptr;
    Text text;
    bool written = false;
    try {
        if (flags & MEDIA_PROBE_JSON_FFPROBE) {
            written = media_json_ffprobe(context, append, &text, flags & MEDIA_PROBE_JSON_PRETTY);
        } else {
            MediaJsonWriter writer(append, &text, flags & MEDIA_PROBE_JSON_PRETTY ? 2 : -1, 0);
            documentFor(flags)(context, writer, flags);
            writer.flush();
            written = !writer.failed();
        }
        written = written && append(&text, "", 1);  // the terminating NUL
    } catch (...) {  // std::bad_alloc, or a length past what a string holds
        written = false;
    }
    if (!written) {
        free(text.data);
        return nullptr;
    }
    return text.data;
}

extern "C" void media_probe_free_json(char *json) {
    free(json);
}
