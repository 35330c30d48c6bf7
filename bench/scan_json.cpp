// qzscan: scans each FILE (media_probe_file with MEDIA_PROBE_SCAN) and writes
// its description as JSON through the library's field table, as mprobe's
// --json writes it: indented by 2, the seek index and every keyframe
// included. The benchmarks' stand-in for a scanning mprobe, one process per
// file (docs/performance.md).
//   qzscan [--no-index] FILE...
// Exit status 0 when every file was scanned, 1 otherwise.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "media_fields.h"
#include "media_probe.h"

namespace {

// JSON as the walk goes, in 64 KiB blocks.
struct Writer {
    std::string out;
    std::vector<bool> first;  // per open container: no member yet

    void flush() {
        fwrite(out.data(), 1, out.size(), stdout);
        out.clear();
    }
    void newline() {
        out += '\n';
        out.append(2 * first.size(), ' ');
        if (out.size() >= 65536) flush();
    }
    void quote(const char *text) {
        out += '"';
        for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); *c; ++c) {
            if (*c == '"' || *c == '\\') {
                out += '\\';
                out += static_cast<char>(*c);
            } else if (*c < 0x20) {
                char escaped[8];
                snprintf(escaped, sizeof escaped, "\\u%04x", *c);
                out += escaped;
            } else {
                out += static_cast<char>(*c);
            }
        }
        out += '"';
    }
    void member(const char *key) {
        if (first.empty()) return;
        if (!first.back()) out += ',';
        first.back() = false;
        newline();
        if (key) {
            quote(key);
            out += ": ";
        }
    }
    void open(const char *key, char bracket) {
        member(key);
        out += bracket;
        first.push_back(true);
    }
    void close(char bracket) {
        const bool empty = first.back();
        first.pop_back();
        if (!empty) newline();
        out += bracket;
    }
    template <typename Number>
    void number(const char *key, Number value) {
        member(key);
        char text[32];
        out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
    }
};

Writer &writer(void *opaque) {
    return *static_cast<Writer *>(opaque);
}

MediaFieldSink jsonSink(Writer *w) {
    MediaFieldSink sink{};
    sink.opaque = w;
    sink.begin_object = [](void *o, const char *key, const char *) { writer(o).open(key, '{'); };
    sink.end_object = [](void *o) { writer(o).close('}'); };
    sink.begin_array = [](void *o, const char *key) { writer(o).open(key, '['); };
    sink.end_array = [](void *o) { writer(o).close(']'); };
    sink.integer = [](void *o, const char *key, int64_t value, const MediaFieldHint *) {
        writer(o).number(key, value);
    };
    sink.unsigned_integer = [](void *o, const char *key, uint64_t value, const MediaFieldHint *) {
        writer(o).number(key, value);
    };
    sink.real = [](void *o, const char *key, double value, const MediaFieldHint *) {
        if (std::isfinite(value)) {
            writer(o).number(key, value);
        } else {
            writer(o).member(key);
            writer(o).out += "null";
        }
    };
    sink.text = [](void *o, const char *key, const char *value, const MediaFieldHint *) {
        writer(o).member(key);
        writer(o).quote(value);
    };
    sink.null = [](void *o, const char *key, const MediaFieldHint *) {
        writer(o).member(key);
        writer(o).out += "null";
    };
    sink.bytes = [](void *o, const char *key, const uint8_t *bytes, size_t size,
                    const MediaFieldHint *) {
        static const char digits[] = "0123456789abcdef";
        Writer &w = writer(o);
        w.member(key);
        w.out += '"';
        for (size_t i = 0; i < size; ++i) {
            w.out += digits[bytes[i] >> 4];
            w.out += digits[bytes[i] & 0xF];
        }
        w.out += '"';
    };
    sink.index_entry = [](void *o, const StreamEntry *e) {
        Writer &w = writer(o);
        w.open(nullptr, '{');
        w.number("pos", e->pos);
        w.number("timestamp", e->timestamp);
        w.number("flags", static_cast<int>(e->flags));
        w.number("size", static_cast<int>(e->size));
        w.number("min_distance", e->min_distance);
        w.close('}');
    };
    return sink;
}

}  // namespace

int main(int argc, char **argv) {
    bool index = true;
    int status = 0;
    Writer w;
    const MediaFieldSink sink = jsonSink(&w);
    w.open(nullptr, '[');
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--no-index") == 0) {
            index = false;
            continue;
        }
        MediaContext *context = create_media_context();
        const unsigned flags = MEDIA_PROBE_SCAN | (index ? 0 : MEDIA_PROBE_NO_INDEX);
        if (!context || media_probe_file(context, argv[i], flags) != 0) {
            fprintf(stderr, "qzscan: %s: %s\n", argv[i],
                    context && context->error_text ? context->error_text : "not scanned");
            status = 1;
        } else {
            const MediaFieldOptions options{index};
            media_fields_describe(context, &sink, &options);
        }
        free_media_context(context);
    }
    w.close(']');
    w.out += '\n';
    w.flush();
    return status;
}
