// The field table: one row per record field, in record order, read through
// its offset, so that every output walks the same list.
#include "media_fields.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

enum class Kind {
    i32,
    i64,
    u32,
    f64,
    text,
    bytes,
    entries,
    tags,
    video,
    audio,
    subtitle,
    other,
    scan  // a MediaScan or NULL; `pair` is the node's time base
};

// When a value reads as unknown (and arrives through `null`).
enum class Unknown {
    never,
    no_value,  // MEDIA_PROBE_NO_VALUE
    zero,      // 0
    level,     // -99, FFmpeg's unknown level
    pair_zero  // the first half (`pair`) is 0: both halves unknown
};

constexpr ptrdiff_t kNone = -1;

struct Row {
    const char *key;
    Kind kind;
    size_t offset;
    const char *label;  // text label; nullptr: JSON only
    MediaFieldUnit unit = MEDIA_UNIT_NONE;
    Unknown unknown = Unknown::never;
    // The other field a value needs: the first half of a pair, the length of
    // bytes, the count of entries or tags, the time base of ticks.
    ptrdiff_t pair = kNone;
    bool hide_zero = false;
};

#define MF_AT(Record, field) offsetof(Record, field)

// The time base's two halves are read as one pair of adjacent fields.
static_assert(offsetof(VideoStreamContext, time_base_den) ==
                  offsetof(VideoStreamContext, time_base_num) + sizeof(int32_t),
              "video time base halves adjacent");
static_assert(offsetof(AudioStreamContext, time_base_den) ==
                  offsetof(AudioStreamContext, time_base_num) + sizeof(int32_t),
              "audio time base halves adjacent");
static_assert(offsetof(OtherStreamContext, time_base_den) ==
                  offsetof(OtherStreamContext, time_base_num) + sizeof(int32_t),
              "other time base halves adjacent");

// A stream's scan: an object in its node, its times in the node's time base.
using MS = MediaScan;
const Row kScan[] = {
    {"packets", Kind::i64, MF_AT(MS, packets), "packets", MEDIA_UNIT_COUNT},
    {"key_packets", Kind::i64, MF_AT(MS, key_packets), "key packets", MEDIA_UNIT_COUNT},
    {"bytes", Kind::i64, MF_AT(MS, bytes), "bytes", MEDIA_UNIT_BYTES},
    {"start", Kind::i64, MF_AT(MS, start), "start", MEDIA_UNIT_TICKS, Unknown::no_value},
    {"duration_ts", Kind::i64, MF_AT(MS, duration_ts), "duration", MEDIA_UNIT_TICKS},
    {"bit_rate", Kind::i64, MF_AT(MS, bit_rate), "bit rate", MEDIA_UNIT_BPS, Unknown::zero},
    {"keyframe_count", Kind::i64, MF_AT(MS, keyframe_count), "keyframes", MEDIA_UNIT_COUNT,
     Unknown::never, kNone, true},
    {"keyframes", Kind::entries, MF_AT(MS, keyframes), nullptr, MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(MS, keyframe_count)},
    {"frame_rate_min", Kind::f64, MF_AT(MS, frame_rate_min), "frame rate min", MEDIA_UNIT_FPS,
     Unknown::never, kNone, true},
    {"frame_rate_max", Kind::f64, MF_AT(MS, frame_rate_max), "frame rate max", MEDIA_UNIT_FPS,
     Unknown::never, kNone, true},
    {"vfr", Kind::i32, MF_AT(MS, vfr), "variable rate", MEDIA_UNIT_NONE, Unknown::never, kNone,
     true},
    {"gop_max", Kind::i32, MF_AT(MS, gop_max), "longest GOP", MEDIA_UNIT_COUNT, Unknown::never,
     kNone, true},
};

using V = VideoStreamContext;
const Row kVideo[] = {
    {"codec_name", Kind::text, MF_AT(V, codec_name), "decoder"},
    {"width", Kind::i32, MF_AT(V, width), nullptr},
    {"height", Kind::i32, MF_AT(V, height), "size", MEDIA_UNIT_SIZE, Unknown::never,
     MF_AT(V, width)},
    {"fps", Kind::f64, MF_AT(V, fps), "fps (original)", MEDIA_UNIT_FPS},
    {"bit_rate", Kind::i32, MF_AT(V, bit_rate), "bit rate", MEDIA_UNIT_BPS_OR_ZERO},
    {"duration", Kind::i32, MF_AT(V, duration), nullptr},
    {"spspps_len", Kind::i32, MF_AT(V, spspps_len), "config bytes", MEDIA_UNIT_BYTES},
    {"spspps", Kind::bytes, MF_AT(V, spspps), nullptr, MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(V, spspps_len)},
    {"entry_count", Kind::i64, MF_AT(V, entry_count), "index entries", MEDIA_UNIT_COUNT},
    {"entries", Kind::entries, MF_AT(V, entries), nullptr, MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(V, entry_count)},
    {"stream_index", Kind::i32, MF_AT(V, stream_index), "stream"},
    {"codec_id_name", Kind::text, MF_AT(V, codec_id_name), "codec"},
    {"codec_tag", Kind::u32, MF_AT(V, codec_tag), "codec tag", MEDIA_UNIT_FOURCC},
    {"profile", Kind::text, MF_AT(V, profile), "profile"},
    {"level", Kind::i32, MF_AT(V, level), "level", MEDIA_UNIT_NONE, Unknown::level},
    {"pix_fmt", Kind::text, MF_AT(V, pix_fmt), "pixel format"},
    {"bits_per_raw_sample", Kind::i32, MF_AT(V, bits_per_raw_sample), "bits per sample",
     MEDIA_UNIT_NONE, Unknown::zero},
    {"time_base_num", Kind::i32, MF_AT(V, time_base_num), nullptr},
    {"time_base_den", Kind::i32, MF_AT(V, time_base_den), "time base", MEDIA_UNIT_TIME_BASE,
     Unknown::never, MF_AT(V, time_base_num)},
    {"start_time", Kind::i64, MF_AT(V, start_time), "start", MEDIA_UNIT_TICKS, Unknown::no_value,
     MF_AT(V, time_base_num)},
    {"duration_ts", Kind::i64, MF_AT(V, duration_ts), "duration", MEDIA_UNIT_TICKS,
     Unknown::no_value, MF_AT(V, time_base_num)},
    {"frame_count", Kind::i64, MF_AT(V, frame_count), "frames", MEDIA_UNIT_COUNT, Unknown::zero},
    {"avg_frame_rate_num", Kind::i32, MF_AT(V, avg_frame_rate_num), nullptr, MEDIA_UNIT_NONE,
     Unknown::zero},
    {"avg_frame_rate_den", Kind::i32, MF_AT(V, avg_frame_rate_den), "frame rate", MEDIA_UNIT_RATE,
     Unknown::pair_zero, MF_AT(V, avg_frame_rate_num)},
    {"r_frame_rate_num", Kind::i32, MF_AT(V, r_frame_rate_num), nullptr, MEDIA_UNIT_NONE,
     Unknown::zero},
    {"r_frame_rate_den", Kind::i32, MF_AT(V, r_frame_rate_den), "base frame rate", MEDIA_UNIT_RATE,
     Unknown::pair_zero, MF_AT(V, r_frame_rate_num)},
    {"sar_num", Kind::i32, MF_AT(V, sar_num), nullptr, MEDIA_UNIT_NONE, Unknown::zero},
    {"sar_den", Kind::i32, MF_AT(V, sar_den), "sample aspect", MEDIA_UNIT_ASPECT,
     Unknown::pair_zero, MF_AT(V, sar_num)},
    {"dar_num", Kind::i32, MF_AT(V, dar_num), nullptr, MEDIA_UNIT_NONE, Unknown::zero},
    {"dar_den", Kind::i32, MF_AT(V, dar_den), "display aspect", MEDIA_UNIT_ASPECT,
     Unknown::pair_zero, MF_AT(V, dar_num)},
    {"field_order", Kind::text, MF_AT(V, field_order), "field order"},
    {"color_range", Kind::text, MF_AT(V, color_range), "colour range"},
    {"color_space", Kind::text, MF_AT(V, color_space), "colour space"},
    {"color_transfer", Kind::text, MF_AT(V, color_transfer), "colour transfer"},
    {"color_primaries", Kind::text, MF_AT(V, color_primaries), "colour primaries"},
    {"rotation", Kind::f64, MF_AT(V, rotation), "rotation", MEDIA_UNIT_DEGREES, Unknown::never,
     kNone, true},
    {"disposition", Kind::i32, MF_AT(V, disposition), "disposition", MEDIA_UNIT_DISPOSITION},
    {"tag_count", Kind::i32, MF_AT(V, tag_count), nullptr},
    {"tags", Kind::tags, MF_AT(V, tags), "tags", MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(V, tag_count)},
    {"scan", Kind::scan, MF_AT(V, scan), nullptr, MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(V, time_base_num)},
};

using A = AudioStreamContext;
const Row kAudio[] = {
    {"codec_name", Kind::text, MF_AT(A, codec_name), "decoder"},
    {"sample_rate", Kind::i32, MF_AT(A, sample_rate), "sample rate", MEDIA_UNIT_HZ},
    {"channels", Kind::i32, MF_AT(A, channels), "channels", MEDIA_UNIT_CHANNELS},
    {"bit_rate", Kind::i32, MF_AT(A, bit_rate), "bit rate", MEDIA_UNIT_BPS_OR_ZERO},
    {"duration", Kind::i32, MF_AT(A, duration), nullptr},
    {"entry_count", Kind::i64, MF_AT(A, entry_count), "index entries", MEDIA_UNIT_COUNT},
    {"entries", Kind::entries, MF_AT(A, entries), nullptr, MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(A, entry_count)},
    {"stream_index", Kind::i32, MF_AT(A, stream_index), "stream"},
    {"codec_id_name", Kind::text, MF_AT(A, codec_id_name), "codec"},
    {"codec_tag", Kind::u32, MF_AT(A, codec_tag), "codec tag", MEDIA_UNIT_FOURCC},
    {"profile", Kind::text, MF_AT(A, profile), "profile"},
    {"sample_fmt", Kind::text, MF_AT(A, sample_fmt), "sample format"},
    {"channel_layout", Kind::text, MF_AT(A, channel_layout), "channel layout"},
    {"bits_per_sample", Kind::i32, MF_AT(A, bits_per_sample), "coded bits", MEDIA_UNIT_NONE,
     Unknown::never, kNone, true},
    {"bits_per_raw_sample", Kind::i32, MF_AT(A, bits_per_raw_sample), "bits per sample",
     MEDIA_UNIT_NONE, Unknown::zero},
    {"time_base_num", Kind::i32, MF_AT(A, time_base_num), nullptr},
    {"time_base_den", Kind::i32, MF_AT(A, time_base_den), "time base", MEDIA_UNIT_TIME_BASE,
     Unknown::never, MF_AT(A, time_base_num)},
    {"start_time", Kind::i64, MF_AT(A, start_time), "start", MEDIA_UNIT_TICKS, Unknown::no_value,
     MF_AT(A, time_base_num)},
    {"duration_ts", Kind::i64, MF_AT(A, duration_ts), "duration", MEDIA_UNIT_TICKS,
     Unknown::no_value, MF_AT(A, time_base_num)},
    {"frame_count", Kind::i64, MF_AT(A, frame_count), "frames", MEDIA_UNIT_COUNT, Unknown::zero},
    {"disposition", Kind::i32, MF_AT(A, disposition), "disposition", MEDIA_UNIT_DISPOSITION},
    {"tag_count", Kind::i32, MF_AT(A, tag_count), nullptr},
    {"tags", Kind::tags, MF_AT(A, tags), "tags", MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(A, tag_count)},
    {"scan", Kind::scan, MF_AT(A, scan), nullptr, MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(A, time_base_num)},
};

using S = SubtitleStreamContext;
const Row kSubtitle[] = {
    {"codec_name", Kind::text, MF_AT(S, codec_name), "decoder"},
    {"duration", Kind::i32, MF_AT(S, duration), "duration (ticks)"},
    {"entry_count", Kind::i64, MF_AT(S, entry_count), "index entries", MEDIA_UNIT_COUNT},
    {"entries", Kind::entries, MF_AT(S, entries), nullptr, MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(S, entry_count)},
};

using O = OtherStreamContext;
const Row kOther[] = {
    {"kind", Kind::text, MF_AT(O, kind), nullptr},
    {"stream_index", Kind::i32, MF_AT(O, stream_index), nullptr},
    {"codec_id_name", Kind::text, MF_AT(O, codec_id_name), nullptr},
    {"codec_tag", Kind::u32, MF_AT(O, codec_tag), "codec tag", MEDIA_UNIT_FOURCC},
    {"time_base_num", Kind::i32, MF_AT(O, time_base_num), nullptr},
    {"time_base_den", Kind::i32, MF_AT(O, time_base_den), "time base", MEDIA_UNIT_TIME_BASE,
     Unknown::never, MF_AT(O, time_base_num)},
    {"start_time", Kind::i64, MF_AT(O, start_time), "start", MEDIA_UNIT_TICKS, Unknown::no_value,
     MF_AT(O, time_base_num)},
    {"duration_ts", Kind::i64, MF_AT(O, duration_ts), "duration", MEDIA_UNIT_TICKS,
     Unknown::no_value, MF_AT(O, time_base_num)},
    {"disposition", Kind::i32, MF_AT(O, disposition), "disposition", MEDIA_UNIT_DISPOSITION},
    {"tag_count", Kind::i32, MF_AT(O, tag_count), nullptr},
    {"tags", Kind::tags, MF_AT(O, tags), "tags", MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(O, tag_count)},
    {"scan", Kind::scan, MF_AT(O, scan), nullptr, MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(O, time_base_num)},
};

using M = MediaContext;
const Row kContext[] = {
    {"filename", Kind::text, MF_AT(M, filename), nullptr},
    {"file_size", Kind::i64, MF_AT(M, file_size), "size", MEDIA_UNIT_BYTES},
    {"container_name", Kind::text, MF_AT(M, container_name), "container"},
    {"duration", Kind::i32, MF_AT(M, duration), nullptr},
    {"bit_rate", Kind::i32, MF_AT(M, bit_rate), nullptr},
    {"mime_type", Kind::i32, MF_AT(M, mime_type), nullptr},
    {"mime_type_str", Kind::text, MF_AT(M, mime_type_str), "type"},
    {"video", Kind::video, MF_AT(M, video), nullptr},
    {"audio", Kind::audio, MF_AT(M, audio), nullptr},
    {"subtitle", Kind::subtitle, MF_AT(M, subtitle), nullptr},
    {"format_long_name", Kind::text, MF_AT(M, format_long_name), "format"},
    {"stream_count", Kind::i32, MF_AT(M, stream_count), "streams", MEDIA_UNIT_COUNT},
    {"duration_us", Kind::i64, MF_AT(M, duration_us), "duration", MEDIA_UNIT_MICROSECONDS,
     Unknown::no_value},
    {"start_time_us", Kind::i64, MF_AT(M, start_time_us), "start", MEDIA_UNIT_MICROSECONDS,
     Unknown::no_value, kNone, true},
    {"total_bit_rate", Kind::i64, MF_AT(M, total_bit_rate), "bit rate", MEDIA_UNIT_BPS,
     Unknown::zero},
    {"chapter_count", Kind::i32, MF_AT(M, chapter_count), "chapters", MEDIA_UNIT_COUNT,
     Unknown::never, kNone, true},
    {"tag_count", Kind::i32, MF_AT(M, tag_count), nullptr},
    {"tags", Kind::tags, MF_AT(M, tags), "tags", MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(M, tag_count)},
    {"other", Kind::other, MF_AT(M, other), nullptr},
    {"error_text", Kind::text, MF_AT(M, error_text), nullptr},
    {"scan_duration_us", Kind::i64, MF_AT(M, scan_duration_us), "scanned duration",
     MEDIA_UNIT_MICROSECONDS, Unknown::no_value, kNone, true},
};

template <typename T>
T read(const void *record, size_t offset) {
    T value;
    memcpy(&value, static_cast<const char *>(record) + offset, sizeof value);
    return value;
}

int64_t read_integer(const Row &row, const void *record) {
    switch (row.kind) {
        case Kind::i32:
            return read<int32_t>(record, row.offset);
        case Kind::i64:
            return read<int64_t>(record, row.offset);
        case Kind::u32:
            return read<uint32_t>(record, row.offset);
        default:
            return 0;
    }
}

bool unknown(const Row &row, const void *record, int64_t value) {
    switch (row.unknown) {
        case Unknown::never:
            return false;
        case Unknown::no_value:
            return value == MEDIA_PROBE_NO_VALUE;
        case Unknown::zero:
            return value == 0;
        case Unknown::level:
            return value == -99;
        case Unknown::pair_zero:
            return read<int32_t>(record, static_cast<size_t>(row.pair)) == 0;
    }
    return false;
}

template <typename Node>
void walk(const Row *rows, size_t count, const Node *node, const MediaFieldSink *sink,
          const MediaFieldOptions *options);

// The list's nodes as an array of objects; `title` names each element.
template <typename Node, typename Title>
void walk_list(const char *key, const Row *rows, size_t count, const Node *head,
               const MediaFieldSink *sink, const MediaFieldOptions *options, Title title) {
    sink->begin_array(sink->opaque, key);
    int n = 0;
    for (const Node *node = head; node; node = node->next, ++n) {
        const std::string name = title(node, n);
        sink->begin_object(sink->opaque, nullptr, name.c_str());
        walk(rows, count, node, sink, options);
        sink->end_object(sink->opaque);
    }
    sink->end_array(sink->opaque);
}

// "subtitle 2  subrip, language eng, title Forced".
std::string other_title(const OtherStreamContext *node) {
    std::string title = std::string(node->kind ? node->kind : "unknown") + " " +
                        std::to_string(node->stream_index) + "  " +
                        (node->codec_id_name ? node->codec_id_name : "unknown codec");
    for (int32_t i = 0; node->tags && i < node->tag_count; ++i) {
        const MediaTag &tag = node->tags[i];
        if (tag.key && tag.value &&
            (strcmp(tag.key, "language") == 0 || strcmp(tag.key, "title") == 0)) {
            title += std::string(", ") + tag.key + " " + tag.value;
        }
    }
    return title;
}

// A time base read from a node, for the ticks of a record inside it.
struct TimeBase {
    int32_t num, den;
};

TimeBase time_base_at(const void *record, ptrdiff_t offset) {
    return {read<int32_t>(record, static_cast<size_t>(offset)),
            read<int32_t>(record, static_cast<size_t>(offset) + sizeof(int32_t))};
}

// `outer`: the time base of ticks in a record that has none of its own (a scan).
void emit(const Row &row, const void *record, const MediaFieldSink *sink,
          const MediaFieldOptions *options, TimeBase outer = {0, 0}) {
    MediaFieldHint hint{row.label, row.unit, row.hide_zero, 0, 0, 0};
    if (row.pair != kNone && row.unit != MEDIA_UNIT_TICKS && row.kind != Kind::scan) {
        hint.pair = read<int32_t>(record, static_cast<size_t>(row.pair));
    }
    if (row.unit == MEDIA_UNIT_TICKS) {
        const TimeBase base = row.pair != kNone ? time_base_at(record, row.pair) : outer;
        hint.time_base_num = base.num;
        hint.time_base_den = base.den;
    }
    void *opaque = sink->opaque;
    switch (row.kind) {
        case Kind::i32:
        case Kind::i64: {
            const int64_t value = read_integer(row, record);
            if (unknown(row, record, value)) {
                sink->null(opaque, row.key, &hint);
            } else {
                sink->integer(opaque, row.key, value, &hint);
            }
            break;
        }
        case Kind::u32:
            sink->unsigned_integer(opaque, row.key, read<uint32_t>(record, row.offset), &hint);
            break;
        case Kind::f64:
            sink->real(opaque, row.key, read<double>(record, row.offset), &hint);
            break;
        case Kind::text: {
            const char *text = read<const char *>(record, row.offset);
            if (text) {
                sink->text(opaque, row.key, text, &hint);
            } else {
                sink->null(opaque, row.key, &hint);
            }
            break;
        }
        case Kind::bytes: {
            const auto *bytes = read<const uint8_t *>(record, row.offset);
            const int32_t size = read<int32_t>(record, static_cast<size_t>(row.pair));
            sink->bytes(opaque, row.key, bytes, bytes && size > 0 ? static_cast<size_t>(size) : 0,
                        &hint);
            break;
        }
        case Kind::entries: {
            if (!options->index) break;
            const auto *entries = read<const StreamEntry *>(record, row.offset);
            const int64_t count = read<int64_t>(record, static_cast<size_t>(row.pair));
            sink->begin_array(opaque, row.key);
            for (int64_t i = 0; entries && i < count; ++i) sink->index_entry(opaque, &entries[i]);
            sink->end_array(opaque);
            break;
        }
        case Kind::tags: {
            const auto *tags = read<const MediaTag *>(record, row.offset);
            const int32_t count = read<int32_t>(record, static_cast<size_t>(row.pair));
            sink->begin_object(opaque, row.key, nullptr);
            for (int32_t i = 0; tags && i < count; ++i) {
                if (!tags[i].key || !tags[i].value) continue;
                MediaFieldHint tag{tags[i].key, MEDIA_UNIT_NONE, false, 0, 0, 0};
                sink->text(opaque, tags[i].key, tags[i].value, &tag);
            }
            sink->end_object(opaque);
            break;
        }
        case Kind::video:
            walk_list(
                row.key, kVideo, sizeof kVideo / sizeof *kVideo,
                read<const VideoStreamContext *>(record, row.offset), sink, options,
                [](const VideoStreamContext *, int n) { return "video " + std::to_string(n); });
            break;
        case Kind::audio:
            walk_list(
                row.key, kAudio, sizeof kAudio / sizeof *kAudio,
                read<const AudioStreamContext *>(record, row.offset), sink, options,
                [](const AudioStreamContext *, int n) { return "audio " + std::to_string(n); });
            break;
        case Kind::subtitle:
            walk_list(row.key, kSubtitle, sizeof kSubtitle / sizeof *kSubtitle,
                      read<const SubtitleStreamContext *>(record, row.offset), sink, options,
                      [](const SubtitleStreamContext *, int n) {
                          return "subtitle node " + std::to_string(n);
                      });
            break;
        case Kind::other:
            walk_list(row.key, kOther, sizeof kOther / sizeof *kOther,
                      read<const OtherStreamContext *>(record, row.offset), sink, options,
                      [](const OtherStreamContext *node, int) { return other_title(node); });
            break;
        case Kind::scan: {
            const auto *scan = read<const MediaScan *>(record, row.offset);
            if (!scan) {
                sink->null(opaque, row.key, &hint);
                break;
            }
            const TimeBase base = time_base_at(record, row.pair);
            sink->begin_object(opaque, row.key, nullptr);
            for (const Row &field : kScan) emit(field, scan, sink, options, base);
            sink->end_object(opaque);
            break;
        }
    }
}

template <typename Node>
void walk(const Row *rows, size_t count, const Node *node, const MediaFieldSink *sink,
          const MediaFieldOptions *options) {
    for (size_t i = 0; i < count; ++i) emit(rows[i], node, sink, options);
}

}  // namespace

void media_fields_describe(const MediaContext *context, const MediaFieldSink *sink,
                           const MediaFieldOptions *options) {
    sink->begin_object(sink->opaque, nullptr, context->filename);
    const size_t count = sizeof kContext / sizeof *kContext;
    emit(kContext[0], context, sink, options);  // filename, then the result
    const MediaFieldHint result{nullptr, MEDIA_UNIT_NONE, false, 0, 0, 0};
    sink->integer(sink->opaque, "result", 0, &result);
    for (size_t i = 1; i < count; ++i) emit(kContext[i], context, sink, options);
    sink->end_object(sink->opaque);
}

void media_fields_disposition_text(int32_t disposition, char *out, size_t size) {
    if (size == 0) return;
    std::string names;
    for (int bit = 0; bit < 32; ++bit) {
        const int flag = static_cast<int>(1u << bit);
        if (!(disposition & flag)) continue;
        const char *name = av_disposition_to_string(flag);
        if (!names.empty()) names += ", ";
        names += name ? name : "bit " + std::to_string(bit);
    }
    snprintf(out, size, "%s", names.empty() ? "none" : names.c_str());
}

std::vector<std::string> media_fields_note_streams(const std::vector<std::string> &lines,
                                                   const MediaContext *context) {
    static const std::string kindPrefix = "codec type ";
    std::vector<std::string> streams;
    const OtherStreamContext *other = context ? context->other : nullptr;
    for (const std::string &line : lines) {
        if (line.compare(0, kindPrefix.size(), kindPrefix) != 0) continue;
        if (other) {
            streams.push_back(std::string(other->kind ? other->kind : "unknown") + " stream " +
                              std::to_string(other->stream_index));
            other = other->next;
        } else {  // the node was not allocated
            std::string kind = line.substr(kindPrefix.size());
            while (!kind.empty() && kind.back() == ' ') kind.pop_back();
            streams.push_back("a " + kind + " stream");
        }
    }
    return streams;
}
