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
    record,    // a pointer to one record of `table`, or NULL; `pair`: the time base
               // of its ticks when it has none of its own
    records,   // an array of records of `table`, `pair` counting them
    texts,     // an array of texts, `pair` counting them
    integers,  // an array of int32_t, `pair` counting them
};

// When a value reads as unknown (and arrives through `null`).
enum class Unknown {
    never,
    no_value,   // MEDIA_PROBE_NO_VALUE
    zero,       // 0
    level,      // -99, FFmpeg's unknown level
    pair_zero,  // the first half (`pair`) is 0: both halves unknown
    minus_one,  // -1
    unstated    // the int32_t flag at `stated` is 0
};

struct Table;

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
    ptrdiff_t stated = kNone;      // Unknown::unstated: the flag that states the value
    const Table *table = nullptr;  // Kind::record and Kind::records: the record's fields
};

// The fields of a record that a field points at.
struct Table {
    const Row *rows;
    size_t count;
    size_t size;  // of one record, for an array of them
    // The title of element `n` of an array (the text output's heading).
    std::string (*title)(const void *record, int n);
};

template <size_t N>
constexpr Table table(const Row (&rows)[N], size_t size,
                      std::string (*title)(const void *, int) = nullptr) {
    return {rows, N, size, title};
}

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

// The HDR records. A mastering display's primaries and white point are null
// unless has_primaries, its luminances unless has_luminance.
using MD = MediaMasteringDisplay;
constexpr ptrdiff_t kPrimaries = MF_AT(MD, has_primaries);
constexpr ptrdiff_t kLuminance = MF_AT(MD, has_luminance);
const Row kMasteringDisplay[] = {
    {"red_x", Kind::f64, MF_AT(MD, red_x), nullptr, MEDIA_UNIT_NONE, Unknown::unstated, kNone,
     false, kPrimaries},
    {"red_y", Kind::f64, MF_AT(MD, red_y), "red", MEDIA_UNIT_XY, Unknown::unstated,
     MF_AT(MD, red_x), false, kPrimaries},
    {"green_x", Kind::f64, MF_AT(MD, green_x), nullptr, MEDIA_UNIT_NONE, Unknown::unstated, kNone,
     false, kPrimaries},
    {"green_y", Kind::f64, MF_AT(MD, green_y), "green", MEDIA_UNIT_XY, Unknown::unstated,
     MF_AT(MD, green_x), false, kPrimaries},
    {"blue_x", Kind::f64, MF_AT(MD, blue_x), nullptr, MEDIA_UNIT_NONE, Unknown::unstated, kNone,
     false, kPrimaries},
    {"blue_y", Kind::f64, MF_AT(MD, blue_y), "blue", MEDIA_UNIT_XY, Unknown::unstated,
     MF_AT(MD, blue_x), false, kPrimaries},
    {"white_x", Kind::f64, MF_AT(MD, white_x), nullptr, MEDIA_UNIT_NONE, Unknown::unstated, kNone,
     false, kPrimaries},
    {"white_y", Kind::f64, MF_AT(MD, white_y), "white point", MEDIA_UNIT_XY, Unknown::unstated,
     MF_AT(MD, white_x), false, kPrimaries},
    {"min_luminance", Kind::f64, MF_AT(MD, min_luminance), nullptr, MEDIA_UNIT_NONE,
     Unknown::unstated, kNone, false, kLuminance},
    {"max_luminance", Kind::f64, MF_AT(MD, max_luminance), "luminance", MEDIA_UNIT_LUMINANCE,
     Unknown::unstated, MF_AT(MD, min_luminance), false, kLuminance},
    {"has_primaries", Kind::i32, MF_AT(MD, has_primaries), nullptr},
    {"has_luminance", Kind::i32, MF_AT(MD, has_luminance), nullptr},
    {"source", Kind::text, MF_AT(MD, source), "source"},
};
constexpr Table kMasteringDisplayTable = table(kMasteringDisplay, sizeof(MD));

using CL = MediaContentLight;
const Row kContentLight[] = {
    {"max_cll", Kind::i32, MF_AT(CL, max_cll), "MaxCLL", MEDIA_UNIT_NITS},
    {"max_fall", Kind::i32, MF_AT(CL, max_fall), "MaxFALL", MEDIA_UNIT_NITS},
    {"source", Kind::text, MF_AT(CL, source), "source"},
};
constexpr Table kContentLightTable = table(kContentLight, sizeof(CL));

using DV = MediaDoviConfig;
const Row kDovi[] = {
    {"version_major", Kind::i32, MF_AT(DV, version_major), nullptr},
    {"version_minor", Kind::i32, MF_AT(DV, version_minor), "version", MEDIA_UNIT_VERSION,
     Unknown::never, MF_AT(DV, version_major)},
    {"profile", Kind::i32, MF_AT(DV, profile), nullptr},
    {"level", Kind::i32, MF_AT(DV, level), "profile.level", MEDIA_UNIT_VERSION, Unknown::never,
     MF_AT(DV, profile)},
    {"rpu_present", Kind::i32, MF_AT(DV, rpu_present), "RPU present", MEDIA_UNIT_FLAG},
    {"el_present", Kind::i32, MF_AT(DV, el_present), "EL present", MEDIA_UNIT_FLAG},
    {"bl_present", Kind::i32, MF_AT(DV, bl_present), "BL present", MEDIA_UNIT_FLAG},
    {"bl_compatibility_id", Kind::i32, MF_AT(DV, bl_compatibility_id), "BL compatibility"},
};
constexpr Table kDoviTable = table(kDovi, sizeof(DV));

// A list element's title: its kind and number, and a name when it has one.
std::string titled(const char *kind, int64_t number, const MediaTag *tags, int32_t count,
                   const char *key) {
    std::string title = std::string(kind) + " " + std::to_string(number);
    for (int32_t i = 0; tags && i < count; ++i) {
        if (tags[i].key && tags[i].value && strcmp(tags[i].key, key) == 0) {
            return title + "  " + tags[i].value;
        }
    }
    return title;
}

using CH = MediaChapter;
const Row kChapter[] = {
    {"id", Kind::i64, MF_AT(CH, id), "id"},
    {"time_base_num", Kind::i32, MF_AT(CH, time_base_num), nullptr},
    {"time_base_den", Kind::i32, MF_AT(CH, time_base_den), "time base", MEDIA_UNIT_TIME_BASE,
     Unknown::never, MF_AT(CH, time_base_num)},
    {"start", Kind::i64, MF_AT(CH, start), "start", MEDIA_UNIT_TICKS, Unknown::never,
     MF_AT(CH, time_base_num)},
    {"end", Kind::i64, MF_AT(CH, end), "end", MEDIA_UNIT_TICKS, Unknown::never,
     MF_AT(CH, time_base_num)},
    {"title", Kind::text, MF_AT(CH, title), "title", MEDIA_UNIT_NONE, Unknown::never, kNone, true},
    {"tag_count", Kind::i32, MF_AT(CH, tag_count), nullptr},
    {"tags", Kind::tags, MF_AT(CH, tags), "tags", MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(CH, tag_count)},
};
constexpr Table kChapterTable = table(kChapter, sizeof(CH), [](const void *record, int n) {
    const auto *chapter = static_cast<const CH *>(record);
    return titled("chapter", n, chapter->tags, chapter->tag_count, "title");
});

using PG = MediaProgram;
const Row kProgram[] = {
    {"program_id", Kind::i32, MF_AT(PG, program_id), "program id"},
    {"program_num", Kind::i32, MF_AT(PG, program_num), "program number"},
    {"pmt_pid", Kind::i32, MF_AT(PG, pmt_pid), "PMT PID", MEDIA_UNIT_ID},
    {"pcr_pid", Kind::i32, MF_AT(PG, pcr_pid), "PCR PID", MEDIA_UNIT_ID},
    {"stream_count", Kind::i32, MF_AT(PG, stream_count), nullptr},
    {"stream_indexes", Kind::integers, MF_AT(PG, stream_indexes), "stream", MEDIA_UNIT_NONE,
     Unknown::never, MF_AT(PG, stream_count)},
    {"tag_count", Kind::i32, MF_AT(PG, tag_count), nullptr},
    {"tags", Kind::tags, MF_AT(PG, tags), "tags", MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(PG, tag_count)},
};
constexpr Table kProgramTable = table(kProgram, sizeof(PG), [](const void *record, int) {
    const auto *program = static_cast<const PG *>(record);
    return titled("program", program->program_num, program->tags, program->tag_count,
                  "service_name");
});

// A stream's scan, an object in its node. Its times are ticks of the node's
// time base, which the node's row names (`pair`) for the scan's rows.
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
constexpr Table kScanTable = table(kScan, sizeof(MS));

// One raw side data entry: its FFmpeg type number and bytes.
using SD = MediaSideData;
const Row kSideData[] = {
    {"type", Kind::i32, MF_AT(SD, type), nullptr},
    {"size", Kind::i32, MF_AT(SD, size), nullptr},
    {"data", Kind::bytes, MF_AT(SD, data), nullptr, MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(SD, size)},
};
constexpr Table kSideDataTable = table(kSideData, sizeof(SD));

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
    {"stream_id", Kind::i32, MF_AT(V, stream_id), "stream id", MEDIA_UNIT_ID, Unknown::minus_one,
     kNone, true},
    {"side_data_count", Kind::i32, MF_AT(V, side_data_count), nullptr},
    {"side_data_types", Kind::texts, MF_AT(V, side_data_types), "side data", MEDIA_UNIT_NONE,
     Unknown::never, MF_AT(V, side_data_count)},
    {"mastering_display", Kind::record, MF_AT(V, mastering_display), "mastering display",
     MEDIA_UNIT_NONE, Unknown::never, kNone, true, kNone, &kMasteringDisplayTable},
    {"content_light", Kind::record, MF_AT(V, content_light), "content light", MEDIA_UNIT_NONE,
     Unknown::never, kNone, true, kNone, &kContentLightTable},
    {"dovi", Kind::record, MF_AT(V, dovi), "Dolby Vision", MEDIA_UNIT_NONE, Unknown::never, kNone,
     true, kNone, &kDoviTable},
    {"hdr10plus", Kind::i32, MF_AT(V, hdr10plus), "HDR10+ metadata", MEDIA_UNIT_FLAG,
     Unknown::never, kNone, true},
    {"hdr_format", Kind::text, MF_AT(V, hdr_format), "HDR format", MEDIA_UNIT_NONE, Unknown::never,
     kNone, true},
    {"scan", Kind::record, MF_AT(V, scan), "scan", MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(V, time_base_num), true, kNone, &kScanTable},
    {"has_b_frames", Kind::i32, MF_AT(V, has_b_frames), "reorder delay", MEDIA_UNIT_NONE,
     Unknown::never, kNone, true},
    {"chroma_location", Kind::text, MF_AT(V, chroma_location), "chroma location"},
    {"bit_rate_full", Kind::i64, MF_AT(V, bit_rate_full), nullptr, MEDIA_UNIT_NONE, Unknown::zero},
    {"raw_side_data_count", Kind::i32, MF_AT(V, raw_side_data_count), nullptr},
    {"raw_side_data", Kind::records, MF_AT(V, raw_side_data), nullptr, MEDIA_UNIT_NONE,
     Unknown::never, MF_AT(V, raw_side_data_count), false, kNone, &kSideDataTable},
    {"coded_width", Kind::i32, MF_AT(V, coded_width), nullptr},
    {"coded_height", Kind::i32, MF_AT(V, coded_height), "coded size", MEDIA_UNIT_SIZE,
     Unknown::never, MF_AT(V, coded_width)},
    {"is_avc", Kind::i32, MF_AT(V, is_avc), nullptr, MEDIA_UNIT_NONE, Unknown::minus_one},
    {"nal_length_size", Kind::i32, MF_AT(V, nal_length_size), nullptr},
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
    {"stream_id", Kind::i32, MF_AT(A, stream_id), "stream id", MEDIA_UNIT_ID, Unknown::minus_one,
     kNone, true},
    {"side_data_count", Kind::i32, MF_AT(A, side_data_count), nullptr},
    {"side_data_types", Kind::texts, MF_AT(A, side_data_types), "side data", MEDIA_UNIT_NONE,
     Unknown::never, MF_AT(A, side_data_count)},
    {"scan", Kind::record, MF_AT(A, scan), "scan", MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(A, time_base_num), true, kNone, &kScanTable},
    {"bit_rate_full", Kind::i64, MF_AT(A, bit_rate_full), nullptr, MEDIA_UNIT_NONE, Unknown::zero},
    {"extradata_size", Kind::i32, MF_AT(A, extradata_size), "config bytes", MEDIA_UNIT_BYTES,
     Unknown::never, kNone, true},
    {"r_frame_rate_num", Kind::i32, MF_AT(A, r_frame_rate_num), nullptr, MEDIA_UNIT_NONE,
     Unknown::zero},
    {"r_frame_rate_den", Kind::i32, MF_AT(A, r_frame_rate_den), nullptr, MEDIA_UNIT_NONE,
     Unknown::pair_zero, MF_AT(A, r_frame_rate_num)},
    {"avg_frame_rate_num", Kind::i32, MF_AT(A, avg_frame_rate_num), nullptr, MEDIA_UNIT_NONE,
     Unknown::zero},
    {"avg_frame_rate_den", Kind::i32, MF_AT(A, avg_frame_rate_den), nullptr, MEDIA_UNIT_NONE,
     Unknown::pair_zero, MF_AT(A, avg_frame_rate_num)},
    {"raw_side_data_count", Kind::i32, MF_AT(A, raw_side_data_count), nullptr},
    {"raw_side_data", Kind::records, MF_AT(A, raw_side_data), nullptr, MEDIA_UNIT_NONE,
     Unknown::never, MF_AT(A, raw_side_data_count), false, kNone, &kSideDataTable},
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
    {"stream_id", Kind::i32, MF_AT(O, stream_id), "stream id", MEDIA_UNIT_ID, Unknown::minus_one,
     kNone, true},
    {"side_data_count", Kind::i32, MF_AT(O, side_data_count), nullptr},
    {"side_data_types", Kind::texts, MF_AT(O, side_data_types), "side data", MEDIA_UNIT_NONE,
     Unknown::never, MF_AT(O, side_data_count)},
    {"scan", Kind::record, MF_AT(O, scan), "scan", MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(O, time_base_num), true, kNone, &kScanTable},
    {"bit_rate_full", Kind::i64, MF_AT(O, bit_rate_full), "bit rate", MEDIA_UNIT_BPS,
     Unknown::zero},
    {"extradata_size", Kind::i32, MF_AT(O, extradata_size), "config bytes", MEDIA_UNIT_BYTES,
     Unknown::never, kNone, true},
    {"r_frame_rate_num", Kind::i32, MF_AT(O, r_frame_rate_num), nullptr, MEDIA_UNIT_NONE,
     Unknown::zero},
    {"r_frame_rate_den", Kind::i32, MF_AT(O, r_frame_rate_den), nullptr, MEDIA_UNIT_NONE,
     Unknown::pair_zero, MF_AT(O, r_frame_rate_num)},
    {"avg_frame_rate_num", Kind::i32, MF_AT(O, avg_frame_rate_num), nullptr, MEDIA_UNIT_NONE,
     Unknown::zero},
    {"avg_frame_rate_den", Kind::i32, MF_AT(O, avg_frame_rate_den), nullptr, MEDIA_UNIT_NONE,
     Unknown::pair_zero, MF_AT(O, avg_frame_rate_num)},
    {"raw_side_data_count", Kind::i32, MF_AT(O, raw_side_data_count), nullptr},
    {"raw_side_data", Kind::records, MF_AT(O, raw_side_data), nullptr, MEDIA_UNIT_NONE,
     Unknown::never, MF_AT(O, raw_side_data_count), false, kNone, &kSideDataTable},
    {"profile", Kind::text, MF_AT(O, profile), "profile"},
    {"frame_count", Kind::i64, MF_AT(O, frame_count), "frames", MEDIA_UNIT_COUNT, Unknown::zero},
    {"bits_per_raw_sample", Kind::i32, MF_AT(O, bits_per_raw_sample), "bits per sample",
     MEDIA_UNIT_NONE, Unknown::zero},
    {"width", Kind::i32, MF_AT(O, width), nullptr, MEDIA_UNIT_NONE, Unknown::zero},
    {"height", Kind::i32, MF_AT(O, height), nullptr, MEDIA_UNIT_NONE, Unknown::zero},
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
    {"chapters", Kind::records, MF_AT(M, chapters), nullptr, MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(M, chapter_count), false, kNone, &kChapterTable},
    {"program_count", Kind::i32, MF_AT(M, program_count), "programs", MEDIA_UNIT_COUNT,
     Unknown::never, kNone, true},
    {"programs", Kind::records, MF_AT(M, programs), nullptr, MEDIA_UNIT_NONE, Unknown::never,
     MF_AT(M, program_count), false, kNone, &kProgramTable},
    {"duration_estimate", Kind::text, MF_AT(M, duration_estimate), "duration from", MEDIA_UNIT_NONE,
     Unknown::never, kNone, true},
    {"scan_duration_us", Kind::i64, MF_AT(M, scan_duration_us), "scanned duration",
     MEDIA_UNIT_MICROSECONDS, Unknown::no_value, kNone, true},
    {"probe_score", Kind::i32, MF_AT(M, probe_score), "probe score", MEDIA_UNIT_NONE,
     Unknown::zero},
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
        case Unknown::minus_one:
            return value == -1;
        case Unknown::unstated:
            return read<int32_t>(record, static_cast<size_t>(row.stated)) == 0;
    }
    return false;
}

// A time base, for ticks in a record that has none of its own (a scan's
// ticks are those of the node that holds it).
struct TimeBase {
    int32_t num = 0;
    int32_t den = 0;
};

TimeBase time_base_at(const void *record, ptrdiff_t offset) {
    return {read<int32_t>(record, static_cast<size_t>(offset)),
            read<int32_t>(record, static_cast<size_t>(offset) + sizeof(int32_t))};
}

template <typename Node>
void walk(const Row *rows, size_t count, const Node *node, const MediaFieldSink *sink,
          const MediaFieldOptions *options, TimeBase outer = {});

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

// The array of `count` elements of T at `row`'s offset, each handed to `put`.
template <typename T, typename Put>
void walk_values(const Row &row, const void *record, const MediaFieldSink *sink, Put put) {
    const auto *values = read<const T *>(record, row.offset);
    const int32_t count = read<int32_t>(record, static_cast<size_t>(row.pair));
    sink->begin_array(sink->opaque, row.key);
    for (int32_t i = 0; values && i < count; ++i) put(values[i]);
    sink->end_array(sink->opaque);
}

// `outer`: the time base of ticks whose row names none (`pair` kNone).
void emit(const Row &row, const void *record, const MediaFieldSink *sink,
          const MediaFieldOptions *options, TimeBase outer = {}) {
    MediaFieldHint hint{row.label, row.unit, row.hide_zero, 0, 0, 0, 0};
    if (row.pair != kNone && row.kind == Kind::f64) {
        hint.real_pair = read<double>(record, static_cast<size_t>(row.pair));
    } else if (row.pair != kNone && row.unit != MEDIA_UNIT_TICKS && row.kind != Kind::record) {
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
            if (unknown(row, record, 0)) {
                sink->null(opaque, row.key, &hint);
            } else {
                sink->real(opaque, row.key, read<double>(record, row.offset), &hint);
            }
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
                MediaFieldHint tag{tags[i].key, MEDIA_UNIT_NONE, false, 0, 0, 0, 0};
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
        case Kind::record: {
            const void *target = read<const void *>(record, row.offset);
            if (!target) {
                sink->null(opaque, row.key, &hint);
                break;
            }
            // A record without a time base of its own takes the one its
            // row names in the record that holds it.
            const TimeBase base = row.pair != kNone ? time_base_at(record, row.pair) : outer;
            sink->begin_object(opaque, row.key, row.label);
            walk(row.table->rows, row.table->count, target, sink, options, base);
            sink->end_object(opaque);
            break;
        }
        case Kind::records: {
            const Table &table = *row.table;
            const auto *first = read<const char *>(record, row.offset);
            const int32_t count = read<int32_t>(record, static_cast<size_t>(row.pair));
            sink->begin_array(opaque, row.key);
            for (int32_t i = 0; first && i < count; ++i) {
                const void *element = first + static_cast<size_t>(i) * table.size;
                const std::string title = table.title ? table.title(element, i) : "";
                sink->begin_object(opaque, nullptr, title.c_str());
                walk(table.rows, table.count, element, sink, options);
                sink->end_object(opaque);
            }
            sink->end_array(opaque);
            break;
        }
        case Kind::texts:
            walk_values<char *>(row, record, sink, [&](const char *text) {
                if (text) {
                    sink->text(opaque, nullptr, text, &hint);
                } else {
                    sink->null(opaque, nullptr, &hint);
                }
            });
            break;
        case Kind::integers:
            walk_values<int32_t>(row, record, sink, [&](int32_t value) {
                sink->integer(opaque, nullptr, value, &hint);
            });
            break;
    }
}

template <typename Node>
void walk(const Row *rows, size_t count, const Node *node, const MediaFieldSink *sink,
          const MediaFieldOptions *options, TimeBase outer) {
    for (size_t i = 0; i < count; ++i) emit(rows[i], node, sink, options, outer);
}

}  // namespace

void media_fields_describe(const MediaContext *context, const MediaFieldSink *sink,
                           const MediaFieldOptions *options) {
    sink->begin_object(sink->opaque, nullptr, context->filename);
    const size_t count = sizeof kContext / sizeof *kContext;
    emit(kContext[0], context, sink, options);  // filename, then the result
    const MediaFieldHint plain{nullptr, MEDIA_UNIT_NONE, false, 0, 0, 0, 0};
    const char *name = context->filename;
    if (name && !media_fields_is_utf8(name, strlen(name))) {
        sink->bytes(sink->opaque, "filename_bytes", reinterpret_cast<const uint8_t *>(name),
                    strlen(name), &plain);
    }
    sink->integer(sink->opaque, "result", context->error_text ? 1 : 0, &plain);
    for (size_t i = 1; i < count; ++i) emit(kContext[i], context, sink, options);
    sink->end_object(sink->opaque);
}

bool media_fields_is_utf8(const char *text, size_t length) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    for (size_t i = 0; i < length;) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // The continuation bytes a lead byte takes, and the range of the
        // first of them (narrower after E0, ED, F0 and F4).
        size_t more = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            more = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            more = 2;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            more = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (length - i <= more || bytes[i + 1] < low || bytes[i + 1] > high) return false;
        for (size_t k = 2; k <= more; ++k) {
            if (bytes[i + k] < 0x80 || bytes[i + k] > 0xBF) return false;
        }
        i += more + 1;
    }
    return true;
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

namespace {

size_t entryBytes(const StreamEntry *entries, int64_t count) {
    return entries && count > 0 ? static_cast<size_t>(count) * sizeof(StreamEntry) : 0;
}

size_t scanBytes(const MediaScan *scan) {
    return scan ? sizeof *scan + entryBytes(scan->keyframes, scan->keyframe_count) : 0;
}

}  // namespace

size_t media_fields_held_bytes(const MediaContext *c) {
    if (!c) return 0;
    size_t bytes = sizeof *c;
    for (const VideoStreamContext *v = c->video; v; v = v->next) {
        bytes += sizeof *v + entryBytes(v->entries, v->entry_count) + scanBytes(v->scan);
    }
    for (const AudioStreamContext *a = c->audio; a; a = a->next) {
        bytes += sizeof *a + entryBytes(a->entries, a->entry_count) + scanBytes(a->scan);
    }
    for (const OtherStreamContext *o = c->other; o; o = o->next) {
        bytes += sizeof *o + scanBytes(o->scan);
    }
    for (const SubtitleStreamContext *t = c->subtitle; t; t = t->next) {
        bytes += sizeof *t + entryBytes(t->entries, t->entry_count);
    }
    return bytes;
}
