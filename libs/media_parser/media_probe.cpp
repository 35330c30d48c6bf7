// The records and the probe. The demuxer is read through the per-stream codec
// parameters and the index accessors; every value is narrowed to the width of
// the record field it lands in.
#include "media_probe.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/display.h>
#include <libavutil/dovi_meta.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/version.h>
}

#include "media_scan.h"
#include "probe_io.h"
#include "sei_reader.h"

// The index is copied in one block when libavformat's entries are contiguous,
// so the two layouts must match.
static_assert(sizeof(StreamEntry) == sizeof(AVIndexEntry), "StreamEntry mirrors AVIndexEntry");
static_assert(offsetof(StreamEntry, pos) == offsetof(AVIndexEntry, pos), "pos");
static_assert(offsetof(StreamEntry, timestamp) == offsetof(AVIndexEntry, timestamp), "timestamp");
static_assert(offsetof(StreamEntry, min_distance) == offsetof(AVIndexEntry, min_distance),
              "min_distance");

const char *mime_type_unknown = "application/octet-stream";
const char *mime_type_mp4 = "video/mp4";
const char *mime_type_quicktime = "video/quicktime";
const char *mime_type_matroska = "video/x-matroska";
const char *mime_type_wmv = "video/x-ms-wmv";
const char *mime_type_mpegts = "video/mp2t";
const char *mime_type_flv = "video/x-flv";

namespace {

// How filling a stream node ended; the public operations fold all but ok
// into -1, the probe tells them apart.
enum class Fill { ok, no_decoder, no_memory, too_large };

// Zero-filled copy of `text`, or NULL when out of memory.
char *copy_text(const char *text) {
    size_t length = strlen(text);
    char *copy = static_cast<char *>(calloc(length + 1, 1));
    if (copy) memcpy(copy, text, length);
    return copy;
}

// Sets *to to a copy of `text`, or to NULL when `text` is NULL (FFmpeg has no
// value); false only when the copy cannot be allocated.
bool copy_optional(char **to, const char *text) {
    *to = text ? copy_text(text) : nullptr;
    return !text || *to;
}

// The metadata as an array of owned key/value copies in the demuxer's order;
// *tags stays NULL and *count 0 when there is none. On an allocation failure
// the entries copied so far stay, counted, and false is returned.
bool copy_tags(MediaTag **tags, int32_t *count, const AVDictionary *metadata) {
    const int total = av_dict_count(metadata);
    if (total <= 0) return true;
    auto *array = static_cast<MediaTag *>(calloc(static_cast<size_t>(total), sizeof(MediaTag)));
    if (!array) return false;
    *tags = array;
    const AVDictionaryEntry *entry = nullptr;
    while (*count < total && (entry = av_dict_get(metadata, "", entry, AV_DICT_IGNORE_SUFFIX))) {
        MediaTag &tag = array[*count];
        tag.key = copy_text(entry->key);
        tag.value = tag.key ? copy_text(entry->value) : nullptr;
        if (!tag.value) {
            free(tag.key);
            tag.key = nullptr;
            if (*count == 0) {  // keep "no tags" as NULL and 0
                free(array);
                *tags = nullptr;
            }
            return false;
        }
        ++*count;
    }
    return true;
}

int64_t time_or_none(int64_t value) {
    return value == AV_NOPTS_VALUE ? MEDIA_PROBE_NO_VALUE : value;
}

// Low 32 bits of `value`, read as signed: wraps, never saturates.
int32_t low32(int64_t value) {
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

int channel_count(const AVCodecParameters *par) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 24, 100)
    return par->ch_layout.nb_channels;
#else
    return par->channels;
#endif
}

// Copies the stream's index into a new array; entries stay NULL and the count
// 0 when there is no index. libavformat keeps the index as one array of
// entries laid out like StreamEntry: when the first and the last entry show
// that, the array is copied in one go (entry by entry through the accessor it
// took about 90 instructions each, a sixth of the time of probing a file with
// 100,000 index entries). Otherwise each entry is copied as soon as it is
// read, since the accessor's pointer is only valid until the next call on the
// stream. An index longer than the limit (media_probe_set_limits) is not
// copied; a probe stops before it comes to that. Without `copy` only the
// count is taken (MEDIA_PROBE_NO_INDEX).
template <typename Node>
Fill copy_index(Node *node, AVStream *stream, bool copy) {
    int count = avformat_index_get_entries_count(stream);
    if (count <= 0) return Fill::ok;
    if (count > probe_index_limit()) return Fill::too_large;
    if (!copy) {
        node->entry_count = count;
        return Fill::ok;
    }
    // Not zero-filled first: a large index is written twice otherwise.
    // realloc(NULL, n) is malloc, through the allocator the tests fail at will.
    const size_t bytes = static_cast<size_t>(count) * sizeof(StreamEntry);
    auto *entries = static_cast<StreamEntry *>(realloc(nullptr, bytes));
    if (!entries) return Fill::no_memory;
    const AVIndexEntry *last = avformat_index_get_entry(stream, count - 1);
    const AVIndexEntry *first = avformat_index_get_entry(stream, 0);
    if (first && last == first + (count - 1)) {
        memcpy(entries, first, bytes);
    } else {
        memset(entries, 0, bytes);
        for (int i = 0; i < count; ++i) {
            const AVIndexEntry *from = avformat_index_get_entry(stream, i);
            if (!from) break;
            entries[i].pos = from->pos;
            entries[i].timestamp = from->timestamp;
            entries[i].flags = from->flags;
            entries[i].size = from->size;
            entries[i].min_distance = from->min_distance;
        }
    }
    node->entries = entries;
    node->entry_count = count;
    return Fill::ok;
}

// avcodec_find_decoder walks FFmpeg's whole codec list on every call, some
// 45,000 instructions, twice per probe of a file with sound and picture. Its
// answer for an id never changes within a process, so the answers for the
// first ids asked about are kept.
const AVCodec *find_decoder(AVCodecID id) {
    struct Known {
        AVCodecID id;
        const AVCodec *decoder;
    };
    static Known known[64];
    static int count = 0;
    // A plain POSIX lock: std::mutex would make C programs that link the
    // static library need the C++ runtime.
    static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_lock(&lock);
    const AVCodec *decoder = nullptr;
    int i = 0;
    while (i < count && known[i].id != id) ++i;
    if (i < count) {
        decoder = known[i].decoder;
    } else {
        decoder = avcodec_find_decoder(id);
        if (count < 64) known[count++] = {id, decoder};
    }
    pthread_mutex_unlock(&lock);
    return decoder;
}

// Codec name and index, shared by both kinds of node.
template <typename Node>
Fill fill_codec_and_index(Node *node, AVStream *stream, bool copy_entries) {
    const AVCodec *decoder = find_decoder(stream->codecpar->codec_id);
    if (!decoder) return Fill::no_decoder;
    node->codec_name = copy_text(decoder->name);
    if (!node->codec_name) return Fill::no_memory;
    Fill result = copy_index(node, stream, copy_entries);
    if (result == Fill::ok) node->next = nullptr;
    return result;
}

double frame_rate(const AVStream *stream) {
    double fps = static_cast<double>(stream->nb_frames) *
                 (static_cast<double>(stream->time_base.den) / stream->time_base.num) /
                 static_cast<double>(stream->duration);
    if (fps == 0.0) {
        AVRational real = stream->r_frame_rate;
        // Integer division, as the rate was always taken: 30000/1001 is 29.
        fps = real.den != 0 ? static_cast<double>(int64_t{real.num} / real.den) : 0.0;
    }
    return fps;
}

// The codec's own name ("h264"), whatever decoder there is; NULL for an id
// FFmpeg has no descriptor for.
const char *codec_id_name(AVCodecID id) {
    const AVCodecDescriptor *descriptor = avcodec_descriptor_get(id);
    return descriptor ? descriptor->name : nullptr;
}

// The profile's name, or its number when the codec names none; false on an
// allocation failure. NULL when the profile is unknown.
bool copy_profile(char **to, const AVCodecParameters *par) {
    const char *name = avcodec_profile_name(par->codec_id, par->profile);
    if (name || par->profile == FF_PROFILE_UNKNOWN) return copy_optional(to, name);
    char number[16];
    snprintf(number, sizeof number, "%d", par->profile);
    return copy_optional(to, number);
}

// A codec parameter's enumerated value as a plain int. Some demuxers store a
// number read from the file in such a field unchecked (the primaries of a
// Matroska Colour element, for one), and in C++ reading an enum outside its
// enumeration's range is undefined, so the field's bytes are read instead.
template <typename Field>
int enum_value(const Field &field) {
    static_assert(sizeof(Field) == sizeof(int), "an enum field the size of an int");
    int value;
    memcpy(&value, &field, sizeof value);
    return value;
}

// FFmpeg's name for `value`, NULL for the unspecified value and for one the
// enumeration (up to `count`, as these headers know it) does not have; only a
// value inside the enumeration is converted back to it.
template <typename Enum>
const char *enum_name(int value, Enum count, const char *(*name)(Enum), int unspecified) {
    if (value < 0 || value >= count || value == unspecified) return nullptr;
    return name(static_cast<Enum>(value));
}

const char *field_order_name(int order) {
    switch (order) {
        case AV_FIELD_PROGRESSIVE:
            return "progressive";
        case AV_FIELD_TT:
            return "tt";
        case AV_FIELD_BB:
            return "bb";
        case AV_FIELD_TB:
            return "tb";
        case AV_FIELD_BT:
            return "bt";
        default:
            return nullptr;
    }
}

// The rotation the display matrix gives, in whole degrees truncated toward
// zero (the integer ffprobe shows); 0 without a matrix or for one that gives
// no angle.
double display_rotation(const AVStream *stream) {
    size_t size = 0;
    const uint8_t *matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!matrix || size < 9 * sizeof(int32_t)) return 0;
    const double degrees = av_display_rotation_get(reinterpret_cast<const int32_t *>(matrix));
    // The conversion truncates (|degrees| <= 180) and gives no -0; it also
    // keeps libm out of what a C program linking the library needs.
    return std::isfinite(degrees) ? static_cast<double>(static_cast<int>(degrees)) : 0;
}

// The type name of each entry of the stream's side data, as ffprobe names
// them ("unknown" for a type FFmpeg has no name for). On an allocation
// failure the names copied so far stay, counted, and false is returned.
template <typename Node>
bool copy_side_data_types(Node *node, const AVStream *stream) {
    const int total = stream->nb_side_data;
    if (total <= 0 || !stream->side_data) return true;
    auto *names = static_cast<char **>(calloc(static_cast<size_t>(total), sizeof(char *)));
    if (!names) return false;
    node->side_data_types = names;
    for (int i = 0; i < total; ++i) {
        const char *name = av_packet_side_data_name(stream->side_data[i].type);
        names[i] = copy_text(name ? name : "unknown");
        if (!names[i]) {
            if (i == 0) {  // keep "none" as NULL and 0
                free(names);
                node->side_data_types = nullptr;
            }
            return false;
        }
        node->side_data_count = i + 1;
    }
    return true;
}

// The stream side data of `type` when it holds at least a `Record`; NULL
// otherwise.
template <typename Record>
const Record *side_data_record(const AVStream *stream, AVPacketSideDataType type) {
    size_t size = 0;
    const uint8_t *data = av_stream_get_side_data(stream, type, &size);
    return data && size >= sizeof(Record) ? reinterpret_cast<const Record *>(data) : nullptr;
}

// What one source states about a video stream's HDR signalling; NULL or
// false for what it does not state.
struct HdrFacts {
    const AVMasteringDisplayMetadata *mastering_display = nullptr;
    const AVContentLightMetadata *content_light = nullptr;
    const AVDOVIDecoderConfigurationRecord *dovi = nullptr;
    bool hdr10plus = false;  // SMPTE ST 2094-40 metadata
    bool hlg = false;        // the HLG transfer (arib-std-b67)
};

// What the container states: the stream's side data and its transfer.
HdrFacts container_hdr(const AVStream *stream) {
    HdrFacts facts;
    facts.mastering_display = side_data_record<AVMasteringDisplayMetadata>(
        stream, AV_PKT_DATA_MASTERING_DISPLAY_METADATA);
    facts.content_light =
        side_data_record<AVContentLightMetadata>(stream, AV_PKT_DATA_CONTENT_LIGHT_LEVEL);
    facts.dovi = side_data_record<AVDOVIDecoderConfigurationRecord>(stream, AV_PKT_DATA_DOVI_CONF);
    facts.hlg = enum_value(stream->codecpar->color_trc) == AVCOL_TRC_ARIB_STD_B67;
    return facts;
}

// A zero-filled record with its `source` set to a copy of `source`; NULL when
// either cannot be allocated.
template <typename Record>
Record *new_hdr_record(const char *source) {
    auto *record = static_cast<Record *>(calloc(1, sizeof(Record)));
    if (!record) return nullptr;
    record->source = copy_text(source);
    if (!record->source) {
        free(record);
        return nullptr;
    }
    return record;
}

// Gives `video` what `facts` state and it does not have yet, marked as
// coming from `source`: a record the video already holds is kept. False when
// a record cannot be allocated (it stays NULL).
bool merge_hdr(VideoStreamContext *video, const HdrFacts &facts, const char *source) {
    bool whole = true;
    if (facts.mastering_display && !video->mastering_display) {
        const AVMasteringDisplayMetadata &from = *facts.mastering_display;
        MediaMasteringDisplay *to = new_hdr_record<MediaMasteringDisplay>(source);
        if (to && from.has_primaries) {
            to->has_primaries = 1;
            to->red_x = av_q2d(from.display_primaries[0][0]);
            to->red_y = av_q2d(from.display_primaries[0][1]);
            to->green_x = av_q2d(from.display_primaries[1][0]);
            to->green_y = av_q2d(from.display_primaries[1][1]);
            to->blue_x = av_q2d(from.display_primaries[2][0]);
            to->blue_y = av_q2d(from.display_primaries[2][1]);
            to->white_x = av_q2d(from.white_point[0]);
            to->white_y = av_q2d(from.white_point[1]);
        }
        if (to && from.has_luminance) {
            to->has_luminance = 1;
            to->min_luminance = av_q2d(from.min_luminance);
            to->max_luminance = av_q2d(from.max_luminance);
        }
        video->mastering_display = to;
        whole = whole && to;
    }
    if (facts.content_light && !video->content_light) {
        MediaContentLight *to = new_hdr_record<MediaContentLight>(source);
        if (to) {
            to->max_cll = low32(facts.content_light->MaxCLL);
            to->max_fall = low32(facts.content_light->MaxFALL);
        }
        video->content_light = to;
        whole = whole && to;
    }
    if (facts.dovi && !video->dovi) {
        const AVDOVIDecoderConfigurationRecord &from = *facts.dovi;
        auto *to = static_cast<MediaDoviConfig *>(calloc(1, sizeof(MediaDoviConfig)));
        if (to) {
            to->version_major = from.dv_version_major;
            to->version_minor = from.dv_version_minor;
            to->profile = from.dv_profile;
            to->level = from.dv_level;
            to->rpu_present = from.rpu_present_flag;
            to->el_present = from.el_present_flag;
            to->bl_present = from.bl_present_flag;
            to->bl_compatibility_id = from.dv_bl_signal_compatibility_id;
        }
        video->dovi = to;
        whole = whole && to;
    }
    if (facts.hdr10plus) video->hdr10plus = 1;
    return whole;
}

// The name of the HDR format `video` is in (the first rule that applies,
// docs/description.md), written into `name`; NULL for SDR. `transfer` is the
// stream's transfer characteristic, `hlg` whether any source states HLG.
const char *hdr_format_name(const VideoStreamContext *video, int transfer, bool hlg,
                            char (&name)[64]) {
    if (const MediaDoviConfig *dovi = video->dovi) {
        const int compatibility = dovi->bl_compatibility_id;
        const char *compatible = "";
        if (compatibility == 1 || compatibility == 6) {
            compatible = " (HDR10 compatible)";
        } else if (compatibility == 2) {
            compatible = " (SDR compatible)";
        } else if (compatibility == 4) {
            compatible = " (HLG compatible)";
        }
        if (compatibility != 0) {
            snprintf(name, sizeof name, "Dolby Vision %d.%d%s", dovi->profile, compatibility,
                     compatible);
        } else {
            snprintf(name, sizeof name, "Dolby Vision %d", dovi->profile);
        }
        return name;
    }
    const bool pq = transfer == AVCOL_TRC_SMPTE2084;
    if (pq && video->hdr10plus) return "HDR10+";
    if (pq && (video->mastering_display || video->content_light)) return "HDR10";
    if (pq) return "PQ";
    if (hlg) return "HLG";
    return nullptr;
}

// Sets hdr_format from everything `video` holds now; `hlg`: a source states
// the HLG transfer. False when the text cannot be allocated.
bool name_hdr_format(VideoStreamContext *video, const AVStream *stream, bool hlg) {
    free(video->hdr_format);
    video->hdr_format = nullptr;
    char name[64];
    const char *format = hdr_format_name(video, enum_value(stream->codecpar->color_trc), hlg, name);
    return copy_optional(&video->hdr_format, format);
}

// Fills the HDR fields of `video` from what the container states, then
// hdr_format. What the first pictures state joins later (merge_pictures_hdr).
// False when a copy cannot be allocated (what was filled stays).
bool describe_hdr(VideoStreamContext *video, const AVStream *stream) {
    const HdrFacts container = container_hdr(stream);
    if (!merge_hdr(video, container, "container")) {
        return false;  // a format from half the facts could be wrong
    }
    return name_hdr_format(video, stream, container.hlg);
}

// A coded value over its unit as a fraction; a 32-bit luminance beyond what
// an int holds is reduced to one that fits.
AVRational coded_ratio(uint32_t value, int unit) {
    AVRational ratio;
    av_reduce(&ratio.num, &ratio.den, value, unit, INT_MAX);
    return ratio;
}

// What the SEI messages of the first pictures state, as the decoder would
// make FFmpeg's records of them (the coded values over 50000 and 10000).
// The records live in `mastering` and `light`, which must outlive the facts.
HdrFacts pictures_hdr(const SeiFacts &sei, AVMasteringDisplayMetadata *mastering,
                      AVContentLightMetadata *light) {
    HdrFacts facts;
    if (sei.mastering_display_found) {
        const SeiMasteringDisplay &from = sei.mastering_display;
        *mastering = {};
        for (int c = 0; c < 3; ++c) {
            mastering->display_primaries[c][0] = coded_ratio(from.primaries[c][0], 50000);
            mastering->display_primaries[c][1] = coded_ratio(from.primaries[c][1], 50000);
        }
        mastering->white_point[0] = coded_ratio(from.white_point[0], 50000);
        mastering->white_point[1] = coded_ratio(from.white_point[1], 50000);
        mastering->min_luminance = coded_ratio(from.min_luminance, 10000);
        mastering->max_luminance = coded_ratio(from.max_luminance, 10000);
        mastering->has_primaries = 1;
        mastering->has_luminance = 1;
        facts.mastering_display = mastering;
    }
    if (sei.content_light_found) {
        light->MaxCLL = sei.content_light.max_content_light_level;
        light->MaxFALL = sei.content_light.max_pic_average_light_level;
        facts.content_light = light;
    }
    facts.hdr10plus = sei.hdr10plus_found;
    facts.hlg = sei.transfer_found &&
                sei.preferred_transfer_characteristics == AVCOL_TRC_ARIB_STD_B67;
    return facts;
}

// Merges what the first pictures state into `video`, after what its
// container states (which wins), and names its HDR format again. False
// when a copy cannot be allocated.
bool merge_pictures_hdr(VideoStreamContext *video, const AVStream *stream, const SeiFacts &sei) {
    AVMasteringDisplayMetadata mastering;
    AVContentLightMetadata light;
    const HdrFacts facts = pictures_hdr(sei, &mastering, &light);
    if (!merge_hdr(video, facts, "bitstream")) {
        free(video->hdr_format);
        video->hdr_format = nullptr;
        return false;
    }
    return name_hdr_format(video, stream, container_hdr(stream).hlg || facts.hlg);
}

// A copy of every entry of the stream's side data, in order. On an
// allocation failure the entries copied so far stay, counted, and false is
// returned.
template <typename Node>
bool copy_raw_side_data(Node *node, const AVStream *stream) {
    const int total = stream->nb_side_data;
    if (total <= 0 || !stream->side_data) return true;
    auto *entries =
        static_cast<MediaSideData *>(calloc(static_cast<size_t>(total), sizeof(MediaSideData)));
    if (!entries) return false;
    node->raw_side_data = entries;
    for (int i = 0; i < total; ++i) {
        const AVPacketSideData &from = stream->side_data[i];
        const size_t size = from.data && from.size > 0 && from.size <= INT32_MAX ? from.size : 0;
        // One spare byte: calloc(0) may return NULL.
        auto *data = static_cast<uint8_t *>(calloc(size + 1, 1));
        if (!data) {
            if (i == 0) {  // keep "none" as NULL and 0
                free(entries);
                node->raw_side_data = nullptr;
            }
            return false;
        }
        if (size > 0) memcpy(data, from.data, size);
        entries[i] = {static_cast<int32_t>(from.type), static_cast<int32_t>(size), data};
        node->raw_side_data_count = i + 1;
    }
    return true;
}

// The fields every kind of node shares; `show_ids`: the container gives its
// streams ids (AVFMT_SHOW_IDS). Returns false when a copy cannot be
// allocated.
template <typename Node>
bool fill_common(Node *node, const AVStream *stream, bool show_ids) {
    const AVCodecParameters *par = stream->codecpar;
    node->stream_index = stream->index;
    node->codec_tag = par->codec_tag;
    node->time_base_num = stream->time_base.num;
    node->time_base_den = stream->time_base.den;
    node->start_time = time_or_none(stream->start_time);
    node->duration_ts = time_or_none(stream->duration);
    node->disposition = stream->disposition;
    node->stream_id = show_ids ? stream->id : -1;
    node->bit_rate_full = par->bit_rate > 0 ? par->bit_rate : 0;
    return copy_optional(&node->codec_id_name, codec_id_name(par->codec_id)) &&
           copy_tags(&node->tags, &node->tag_count, stream->metadata) &&
           copy_side_data_types(node, stream) && copy_raw_side_data(node, stream);
}

// The fields audio and other nodes share beyond fill_common's (video has its
// own fields for them).
template <typename Node>
void fill_rates(Node *node, const AVStream *stream) {
    const AVCodecParameters *par = stream->codecpar;
    node->extradata_size = par->extradata && par->extradata_size > 0 ? par->extradata_size : 0;
    node->r_frame_rate_num = stream->r_frame_rate.num;
    node->r_frame_rate_den = stream->r_frame_rate.den;
    node->avg_frame_rate_num = stream->avg_frame_rate.num;
    node->avg_frame_rate_den = stream->avg_frame_rate.den;
}

// What a decoder opened on the stream's parameters would say before decoding
// anything: its coded size and, for H.264, how its packets are framed.
void fill_decoder_view(VideoStreamContext *video, const AVCodecParameters *par) {
    const bool sized = par->width && par->height;
    video->coded_width = sized ? par->width : 0;
    video->coded_height = sized ? par->height : 0;
    const uint8_t *extradata = par->extradata_size > 0 ? par->extradata : nullptr;
    const size_t size = extradata ? static_cast<size_t>(par->extradata_size) : 0;
    video->is_avc = -1;
    switch (par->codec_id) {
        case AV_CODEC_ID_MPEG1VIDEO:
        case AV_CODEC_ID_MPEG2VIDEO:
            // Its decoder trusts only a sequence header, except for two tags.
            if (par->codec_tag != MKTAG('V', 'C', 'R', '2') &&
                par->codec_tag != MKTAG('B', 'W', '1', '0')) {
                video->coded_width = video->coded_height = 0;
            }
            break;
        case AV_CODEC_ID_HEVC:
            hevc_sps_coded_size(extradata, size, &video->coded_width, &video->coded_height);
            break;
        case AV_CODEC_ID_H264:
            video->is_avc = extradata && size >= 7 && extradata[0] == 1;
            video->nal_length_size = video->is_avc ? (extradata[4] & 0x03) + 1 : 0;
            break;
        default:
            break;
    }
}

bool fill_video_extension(VideoStreamContext *video, AVStream *stream, bool show_ids) {
    const AVCodecParameters *par = stream->codecpar;
    fill_decoder_view(video, par);
    video->level = par->level;
    video->bits_per_raw_sample = par->bits_per_raw_sample;
    video->frame_count = stream->nb_frames;
    video->avg_frame_rate_num = stream->avg_frame_rate.num;
    video->avg_frame_rate_den = stream->avg_frame_rate.den;
    video->r_frame_rate_num = stream->r_frame_rate.num;
    video->r_frame_rate_den = stream->r_frame_rate.den;
    // The stream's own ratio, else the codec's; the display ratio follows
    // from it and the picture size, reduced as ffprobe reduces it (without a
    // height it would be 1:0, so it stays unknown).
    const AVRational sar = av_guess_sample_aspect_ratio(nullptr, stream, nullptr);
    video->sar_num = sar.num ? sar.num : 0;
    video->sar_den = sar.num ? sar.den : 1;
    video->dar_num = 0;
    video->dar_den = 1;
    if (sar.num && par->height > 0) {
        av_reduce(&video->dar_num, &video->dar_den, int64_t{par->width} * sar.num,
                  int64_t{par->height} * sar.den, 1024 * 1024);
    }
    video->rotation = display_rotation(stream);
    video->has_b_frames = par->video_delay;
    return fill_common(video, stream, show_ids) && copy_profile(&video->profile, par) &&
           copy_optional(&video->chroma_location,
                         enum_name(enum_value(par->chroma_location), AVCHROMA_LOC_NB,
                                   av_chroma_location_name, AVCHROMA_LOC_UNSPECIFIED)) &&
           copy_optional(&video->pix_fmt,
                         enum_name(par->format, AV_PIX_FMT_NB, av_get_pix_fmt_name, -1)) &&
           copy_optional(&video->field_order, field_order_name(enum_value(par->field_order))) &&
           copy_optional(&video->color_range,
                         enum_name(enum_value(par->color_range), AVCOL_RANGE_NB,
                                   av_color_range_name, AVCOL_RANGE_UNSPECIFIED)) &&
           copy_optional(&video->color_space,
                         enum_name(enum_value(par->color_space), AVCOL_SPC_NB, av_color_space_name,
                                   AVCOL_SPC_UNSPECIFIED)) &&
           copy_optional(&video->color_transfer,
                         enum_name(enum_value(par->color_trc), AVCOL_TRC_NB, av_color_transfer_name,
                                   AVCOL_TRC_UNSPECIFIED)) &&
           copy_optional(&video->color_primaries,
                         enum_name(enum_value(par->color_primaries), AVCOL_PRI_NB,
                                   av_color_primaries_name, AVCOL_PRI_UNSPECIFIED)) &&
           describe_hdr(video, stream);
}

// The layout's name ("stereo", "5.1(side)"); NULL when only the channel count
// is known. False on an allocation failure.
bool copy_channel_layout(char **to, const AVChannelLayout *layout) {
    *to = nullptr;
    if (layout->order == AV_CHANNEL_ORDER_UNSPEC) return true;
    char name[128];
    const int needed = av_channel_layout_describe(layout, name, sizeof name);
    if (needed <= 0) return true;
    if (static_cast<size_t>(needed) <= sizeof name) return copy_optional(to, name);
    *to = static_cast<char *>(calloc(static_cast<size_t>(needed), 1));
    if (!*to) return false;
    av_channel_layout_describe(layout, *to, static_cast<size_t>(needed));
    return true;
}

bool fill_audio_extension(AudioStreamContext *audio, AVStream *stream, bool show_ids) {
    const AVCodecParameters *par = stream->codecpar;
    audio->bits_per_sample = av_get_bits_per_sample(par->codec_id);
    audio->bits_per_raw_sample = par->bits_per_raw_sample;
    audio->frame_count = stream->nb_frames;
    fill_rates(audio, stream);
    return fill_common(audio, stream, show_ids) && copy_profile(&audio->profile, par) &&
           copy_optional(&audio->sample_fmt,
                         enum_name(par->format, AV_SAMPLE_FMT_NB, av_get_sample_fmt_name, -1)) &&
           copy_channel_layout(&audio->channel_layout, &par->ch_layout);
}

Fill fill_video(VideoStreamContext *video, AVStream *stream, bool copy_entries = true) {
    const AVCodecParameters *par = stream->codecpar;
    video->fps = frame_rate(stream);
    video->width = par->width;
    video->height = par->height;
    video->bit_rate = low32(par->bit_rate);
    video->duration = low32(stream->duration);
    int size = par->extradata_size > 0 && par->extradata ? par->extradata_size : 0;
    // calloc(0) may return NULL; one spare byte keeps a present, empty array.
    video->spspps = static_cast<uint8_t *>(calloc(static_cast<size_t>(size) + 1, 1));
    if (!video->spspps) return Fill::no_memory;
    if (size > 0) memcpy(video->spspps, par->extradata, size);
    video->spspps_len = size;
    return fill_codec_and_index(video, stream, copy_entries);
}

Fill fill_audio(AudioStreamContext *audio, AVStream *stream, bool copy_entries = true) {
    const AVCodecParameters *par = stream->codecpar;
    audio->bit_rate = low32(par->bit_rate);
    audio->sample_rate = par->sample_rate;
    audio->channels = channel_count(par);
    audio->duration = low32(stream->duration);
    return fill_codec_and_index(audio, stream, copy_entries);
}

// Appends a zero-filled node to the list at *head; NULL when out of memory.
template <typename Node>
Node *append_node(Node **head) {
    auto *node = static_cast<Node *>(calloc(1, sizeof(Node)));
    if (!node) return nullptr;
    while (*head) head = &(*head)->next;
    *head = node;
    return node;
}

// The extension is filled whether or not a decoder is known: it describes
// the stream, not what can decode it.
Fill with_extension(Fill filled, bool extended) {
    if (filled == Fill::no_memory || !extended) return Fill::no_memory;
    return filled;
}

// Nodes in a context get the extension too; the context frees all of it.
// (The set operations fill the original fields only, so that a node filled
// by a caller owns no more than it always did.)
// `show_ids`: the container gives its streams ids (AVFMT_SHOW_IDS).
Fill add_video(MediaContext *context, AVStream *stream, bool copy_entries, bool show_ids) {
    VideoStreamContext *node = append_node(&context->video);
    if (!node) return Fill::no_memory;
    Fill filled = fill_video(node, stream, copy_entries);
    if (filled == Fill::no_memory) return filled;
    return with_extension(filled, fill_video_extension(node, stream, show_ids));
}

Fill add_audio(MediaContext *context, AVStream *stream, bool copy_entries, bool show_ids) {
    AudioStreamContext *node = append_node(&context->audio);
    if (!node) return Fill::no_memory;
    Fill filled = fill_audio(node, stream, copy_entries);
    if (filled == Fill::no_memory) return filled;
    return with_extension(filled, fill_audio_extension(node, stream, show_ids));
}

void free_tags(MediaTag *tags, int32_t count) {
    for (int32_t i = 0; tags && i < count; ++i) {
        free(tags[i].key);
        free(tags[i].value);
    }
    free(tags);
}

void free_texts(char **texts, int32_t count) {
    for (int32_t i = 0; texts && i < count; ++i) free(texts[i]);
    free(texts);
}

void free_side_data(MediaSideData *entries, int32_t count) {
    for (int32_t i = 0; entries && i < count; ++i) free(entries[i].data);
    free(entries);
}

void free_chapter(MediaChapter *chapter) {
    free(chapter->title);
    free_tags(chapter->tags, chapter->tag_count);
}

void free_program(MediaProgram *program) {
    free(program->stream_indexes);
    free_tags(program->tags, program->tag_count);
}

// Releases everything the context holds and zeroes it, all but the cancel
// request, which another thread may be writing (media_probe_cancel).
void clear_context(MediaContext *context) {
    free(context->filename);
    free(context->container_name);
    free(context->mime_type_str);
    free_video_stream_context(context->video);
    free_audio_stream_context(context->audio);
    free_subtitle_stream_context(context->subtitle);
    free(context->format_long_name);
    free_tags(context->tags, context->tag_count);
    free_other_stream_context(context->other);
    free(context->error_text);
    for (int32_t i = 0; context->chapters && i < context->chapter_count; ++i) {
        free_chapter(&context->chapters[i]);
    }
    free(context->chapters);
    for (int32_t i = 0; context->programs && i < context->program_count; ++i) {
        free_program(&context->programs[i]);
    }
    free(context->programs);
    free(context->duration_estimate);
    constexpr size_t kCancelAt = offsetof(MediaContext, cancel_request);
    constexpr size_t kAfterCancel = kCancelAt + sizeof context->cancel_request;
    auto *bytes = reinterpret_cast<unsigned char *>(context);
    memset(bytes, 0, kCancelAt);
    memset(bytes + kAfterCancel, 0, sizeof *context - kAfterCancel);
}

// The note handler, set before probing starts and only read while probing.
MediaProbeNoteHandler note_handler = nullptr;
void *note_opaque = nullptr;

void note(const char *filename, const char *line) {
    if (note_handler) {
        note_handler(note_opaque, filename, line);
    } else {
        printf("%s\n", line);
    }
}

// Sets context->error_text to the demuxer's words for `error`; a failed copy
// leaves it NULL.
void set_error_text(MediaContext *context, int error) {
    char words[AV_ERROR_MAX_STRING_SIZE] = "";
    av_strerror(error, words, sizeof words);
    free(context->error_text);
    context->error_text = copy_text(words);
}

InternetMediaType classify(const char *container, AVDictionary *metadata) {
    if (strstr(container, "mov")) {
        const AVDictionaryEntry *brand = av_dict_get(metadata, "major_brand", nullptr, 0);
        bool quicktime = brand && brand->value && strcmp(brand->value, "qt  ") == 0;
        return quicktime ? INTERNET_MEDIA_TYPE_VIDEO_QUICKTIME : INTERNET_MEDIA_TYPE_VIDEO_MP4;
    }
    if (strstr(container, "flv")) return INTERNET_MEDIA_TYPE_VIDEO_X_FLV;
    if (strstr(container, "matroska")) return INTERNET_MEDIA_TYPE_VIDEO_X_MATROSKA;
    if (strstr(container, "asf")) return INTERNET_MEDIA_TYPE_VIDEO_X_MS_WMV;
    if (strstr(container, "mpegts")) return INTERNET_MEDIA_TYPE_VIDEO_MPEGTS;
    return INTERNET_MEDIA_TYPE_UNKNOWN;
}

const char *mime_text(InternetMediaType type) {
    switch (type) {
        case INTERNET_MEDIA_TYPE_VIDEO_MP4:
            return mime_type_mp4;
        case INTERNET_MEDIA_TYPE_VIDEO_QUICKTIME:
            return mime_type_quicktime;
        case INTERNET_MEDIA_TYPE_VIDEO_X_MATROSKA:
            return mime_type_matroska;
        case INTERNET_MEDIA_TYPE_VIDEO_X_MS_WMV:
            return mime_type_wmv;
        case INTERNET_MEDIA_TYPE_VIDEO_MPEGTS:
            return mime_type_mpegts;
        case INTERNET_MEDIA_TYPE_VIDEO_X_FLV:
            return mime_type_flv;
        case INTERNET_MEDIA_TYPE_UNKNOWN:
            break;
    }
    return mime_type_unknown;
}

// "file:" + path in a new text, or NULL when out of memory.
char *file_url(const char *path) {
    static const char prefix[] = "file:";
    size_t length = strlen(path);
    char *url = static_cast<char *>(calloc(sizeof prefix + length, 1));
    if (!url) return nullptr;
    memcpy(url, prefix, sizeof prefix - 1);
    memcpy(url + sizeof prefix - 1, path, length);
    return url;
}

// Demuxers that open the files they name through contexts or calls of their
// own, past the probe's io_open and its budget: a concatenation list naming a
// FIFO blocks and one naming itself recurses until the stack overflows; a
// DASH manifest's files are opened directly and a live one is reloaded in a
// loop; a VobSub index opens the .sub file beside it.
const char *const kRefusedDemuxers[] = {"concat", "dash", "vobsub"};

bool refused_demuxer(const char *name) {
    for (const char *refused : kRefusedDemuxers) {
        if (strcmp(name, refused) == 0) return true;
    }
    return false;
}

// Every other demuxer's name, comma-separated, as a format whitelist; NULL
// when out of memory.
char *list_permitted_demuxers() {
    size_t length = 0;
    void *state = nullptr;
    while (const AVInputFormat *demuxer = av_demuxer_iterate(&state)) {
        length += strlen(demuxer->name) + 1;
    }
    char *list = static_cast<char *>(malloc(length + 1));
    if (!list) return nullptr;
    char *end = list;
    *end = '\0';
    state = nullptr;
    while (const AVInputFormat *demuxer = av_demuxer_iterate(&state)) {
        if (refused_demuxer(demuxer->name)) continue;
        if (end != list) *end++ = ',';
        end = stpcpy(end, demuxer->name);
    }
    return list;
}

// The whitelist is the same for every probe of a process: built on first use
// (some 100,000 instructions, a third of the library's own work per probe
// beyond the demuxer's) and kept. NULL when out of memory, to be tried again
// on the next probe.
const char *permitted_demuxers() {
    static std::atomic<char *> kept{nullptr};
    char *list = kept.load(std::memory_order_acquire);
    if (list) return list;
    list = list_permitted_demuxers();
    char *earlier = nullptr;
    if (list && !kept.compare_exchange_strong(earlier, list, std::memory_order_acq_rel)) {
        free(list);  // another thread kept its own first
        return earlier;
    }
    return list;
}

// The demuxer that recognises the start of the regular file `path` with
// confidence (a score above AVPROBE_SCORE_RETRY, so that random bytes name
// none), or NULL. Used only to explain a failed open, which frees the
// demuxer's context and with it the name of the demuxer it chose.
const AVInputFormat *recognising_demuxer(const char *path) {
    constexpr size_t kHead = 64 * 1024;
    CheckedFile file;
    if (probe_open_checked(path, &file) != 0) return nullptr;
    const int fd = file.fd;
    auto *head = static_cast<unsigned char *>(calloc(kHead + AVPROBE_PADDING_SIZE, 1));
    size_t done = 0;
    while (head && done < kHead) {
        ssize_t count = pread(fd, head + done, kHead - done, static_cast<off_t>(done));
        if (count > 0) {
            done += static_cast<size_t>(count);
        } else if (count == 0 || errno != EINTR) {
            break;
        }
    }
    close(fd);
    const AVInputFormat *demuxer = nullptr;
    if (done > 0) {
        AVProbeData probe{};
        probe.filename = path;
        probe.buf = head;
        probe.buf_size = static_cast<int>(done);
        int score = AVPROBE_SCORE_RETRY;
        demuxer = av_probe_input_format2(&probe, 1, &score);
    }
    free(head);
    return demuxer;
}

// Sets context->error_text to why the probe failed with `error`: the
// demuxer's words, after what the library knows beyond them (the limit that
// stopped the probe; which demuxer recognised a file it could not open).
// A failed copy leaves it NULL.
void describe_failure(MediaContext *context, int error, const ProbeBudget &budget,
                      const char *filename, bool opened) {
    char words[AV_ERROR_MAX_STRING_SIZE] = "";
    // A stopped probe whose demuxer reported no error was still cut short.
    av_strerror(probe_stopped(&budget) && error >= 0 ? AVERROR_EXIT : error, words, sizeof words);
    char text[512];
    const AVInputFormat *demuxer = nullptr;
    if (budget.stop == ProbeStop::cancelled) {
        probe_stop_text(&budget, text, sizeof text);
    } else if (probe_stopped(&budget)) {
        char limit[160];
        probe_stop_text(&budget, limit, sizeof limit);
        snprintf(text, sizeof text, "%s: %s", limit, words);
    } else if (!opened && error != AVERROR(ENOMEM) && (demuxer = recognising_demuxer(filename))) {
        if (refused_demuxer(demuxer->name)) {
            snprintf(text, sizeof text,
                     "%s demuxer: not used, it opens the files it names on its own", demuxer->name);
        } else {
            snprintf(text, sizeof text, "%s demuxer: %s", demuxer->name, words);
        }
    } else {
        snprintf(text, sizeof text, "%s", words);
    }
    free(context->error_text);
    context->error_text = copy_text(text);
}

// Opens `filename`, checked and open as `file`, as a local file only: the
// demuxer reads the descriptor through the probe's I/O (probe_io.h), which
// owns it from here on whatever happens, and keeps whatever the file refers
// to (playlist entries) on regular local files within `budget`. The demuxer
// is given the path as "file:" + path, so that it never parses it as a URL
// ("http://...", "concat:a|b") and resolves playlist entries against it; the
// protocol whitelist is kept for the demuxers' own contexts. Returns 0 or an
// AVERROR.
int open_local(AVFormatContext **format, const char *filename, ProbeBudget *budget,
               const CheckedFile *file) {
    char *url = file_url(filename);
    const char *demuxers = url ? permitted_demuxers() : nullptr;
    AVFormatContext *opened = demuxers ? avformat_alloc_context() : nullptr;
    AVDictionary *options = nullptr;
    int result = AVERROR(ENOMEM);
    if (opened) {
        result = probe_attach(budget, opened, file);
    } else {
        close(file->fd);
    }
    if (result >= 0) result = av_dict_set(&options, "protocol_whitelist", "file", 0);
    if (result >= 0) result = av_dict_set(&options, "format_whitelist", demuxers, 0);
    if (result >= 0) {
        result = avformat_open_input(&opened, url, nullptr, &options);  // frees it on failure
    } else {
        avformat_free_context(opened);
        opened = nullptr;
    }
    av_dict_free(&options);
    free(url);
    *format = opened;
    return result;
}

// Fills the container fields; false when a copy cannot be allocated.
bool describe_container(MediaContext *context, const AVFormatContext *format,
                        const char *filename) {
    context->filename = copy_text(filename);
    if (!context->filename) return false;
    context->container_name = copy_text(format->iformat->name);
    if (!context->container_name) return false;
    context->duration = format->duration == AV_NOPTS_VALUE ? 0 : low32(format->duration / 1000);
    context->bit_rate = low32(format->bit_rate);
    context->mime_type = classify(context->container_name, format->metadata);
    const char *mime = mime_text(context->mime_type);
    if (mime) {
        context->mime_type_str = copy_text(mime);
        if (!context->mime_type_str) return false;
    }
    return true;
}

void note_other_stream(const char *filename, const char *kind) {
    char line[32];
    snprintf(line, sizeof line, "codec type %s ", kind);
    note(filename, "================== ");
    note(filename, line);
}

// Fills `chapter` from `from`; false when a copy cannot be allocated.
bool fill_chapter(MediaChapter *chapter, const AVChapter *from) {
    chapter->id = from->id;
    chapter->time_base_num = from->time_base.num;
    chapter->time_base_den = from->time_base.den;
    chapter->start = from->start;
    chapter->end = from->end;
    const AVDictionaryEntry *title =
        av_dict_get(from->metadata, "title", nullptr, AV_DICT_MATCH_CASE);
    return copy_optional(&chapter->title, title ? title->value : nullptr) &&
           copy_tags(&chapter->tags, &chapter->tag_count, from->metadata);
}

// Fills `program` from `from`; false when a copy cannot be allocated.
bool fill_program(MediaProgram *program, const AVProgram *from) {
    program->program_id = from->id;
    program->program_num = from->program_num;
    program->pmt_pid = from->pmt_pid;
    program->pcr_pid = from->pcr_pid;
    if (from->nb_stream_indexes > 0 && from->stream_index) {
        const unsigned count = from->nb_stream_indexes;
        auto *indexes = static_cast<int32_t *>(calloc(count, sizeof(int32_t)));
        if (!indexes) return false;
        for (unsigned i = 0; i < count; ++i) {
            indexes[i] = static_cast<int32_t>(from->stream_index[i]);
        }
        program->stream_indexes = indexes;
        program->stream_count = static_cast<int32_t>(count);
    }
    return copy_tags(&program->tags, &program->tag_count, from->metadata);
}

// Copies `total` records of `from` into a new array of Record, each filled
// by `fill` and released by `release`; *records stays NULL and *count 0 when
// there are none. *count counts the records filled whole: on an allocation
// failure the one being filled is released and false is returned. Entries of
// `from` that are NULL are skipped.
template <typename Record, typename From, typename FillRecord, typename Release>
bool copy_records(Record **records, int32_t *count, From *const *from, unsigned total,
                  FillRecord fill, Release release) {
    if (total == 0 || !from) return true;
    auto *array = static_cast<Record *>(calloc(total, sizeof(Record)));
    if (!array) return false;
    *records = array;
    for (unsigned i = 0; i < total; ++i) {
        if (!from[i]) continue;
        Record &record = array[*count];
        if (!fill(&record, from[i])) {
            release(&record);
            record = Record{};
            if (*count == 0) {  // keep "none" as NULL and 0
                free(array);
                *records = nullptr;
            }
            return false;
        }
        ++*count;
    }
    if (*count == 0) {
        free(array);
        *records = nullptr;
    }
    return true;
}

// How the demuxer found the container's duration, in the words of its own
// log ("estimate from bit rate"); NULL when the duration is unknown.
const char *duration_estimate_name(const AVFormatContext *format) {
    if (format->duration == AV_NOPTS_VALUE) return nullptr;
    switch (av_fmt_ctx_get_duration_estimation_method(format)) {
        case AVFMT_DURATION_FROM_PTS:
            return "pts";
        case AVFMT_DURATION_FROM_STREAM:
            return "stream";
        case AVFMT_DURATION_FROM_BITRATE:
            return "bit rate";
    }
    return nullptr;
}

// Fills the container's extension fields, once the streams have been read;
// false when a copy cannot be allocated.
bool describe_container_extension(MediaContext *context, const AVFormatContext *format) {
    context->stream_count = static_cast<int32_t>(format->nb_streams);
    context->duration_us = time_or_none(format->duration);
    context->start_time_us = time_or_none(format->start_time);
    context->total_bit_rate = format->bit_rate > 0 ? format->bit_rate : 0;
    context->probe_score = format->probe_score;
    return copy_optional(&context->format_long_name, format->iformat->long_name) &&
           copy_tags(&context->tags, &context->tag_count, format->metadata) &&
           copy_optional(&context->duration_estimate, duration_estimate_name(format)) &&
           copy_records(&context->chapters, &context->chapter_count, format->chapters,
                        format->nb_chapters, fill_chapter, free_chapter) &&
           copy_records(&context->programs, &context->program_count, format->programs,
                        format->nb_programs, fill_program, free_program);
}

Fill add_other(MediaContext *context, const AVStream *stream, bool show_ids) {
    OtherStreamContext *node = append_node(&context->other);
    if (!node) return Fill::no_memory;
    const AVCodecParameters *par = stream->codecpar;
    const char *kind = av_get_media_type_string(par->codec_type);
    fill_rates(node, stream);
    node->frame_count = stream->nb_frames;
    node->bits_per_raw_sample = par->bits_per_raw_sample;
    node->width = par->width;
    node->height = par->height;
    bool filled = copy_optional(&node->kind, kind ? kind : "unknown") &&
                  fill_common(node, stream, show_ids) && copy_profile(&node->profile, par);
    return filled ? Fill::ok : Fill::no_memory;
}

// Whether the container described in `context` gives its streams ids, for
// the add operations, which get a stream without its container: false when
// the context names none.
bool shows_ids(const MediaContext *context) {
    if (!context->container_name) return false;
    const AVInputFormat *demuxer = av_find_input_format(context->container_name);
    return demuxer && (demuxer->flags & AVFMT_SHOW_IDS);
}

constexpr unsigned kKnownFlags = MEDIA_PROBE_SCAN | MEDIA_PROBE_NO_INDEX;

// Keeps only what opening the container gave (what a probe whose streams
// could not be read leaves), for a probe stopped after its streams were
// described.
void keep_container_only(MediaContext *context) {
    char *filename = context->filename, *container = context->container_name;
    char *mime = context->mime_type_str;
    context->filename = context->container_name = context->mime_type_str = nullptr;
    const int64_t file_size = context->file_size;
    const int32_t duration = context->duration, bit_rate = context->bit_rate;
    const InternetMediaType type = context->mime_type;
    clear_context(context);
    context->filename = filename;
    context->container_name = container;
    context->mime_type_str = mime;
    context->file_size = file_size;
    context->duration = duration;
    context->bit_rate = bit_rate;
    context->mime_type = type;
    context->scan_duration_us = MEDIA_PROBE_NO_VALUE;
}

// How much of the first pictures is read for their SEI messages: the first
// kPicturesRead packets (access units) of each H.264 and HEVC video stream,
// some encoders putting SMPTE ST 2094-40 metadata in the second, among at
// most kMostPacketsAhead packets of all streams (the demuxer hands over first
// the packets it read for the streams' parameters, so that these mostly cost
// no read at all).
constexpr int kPicturesRead = 3;
constexpr int kMostPacketsAhead = 256;

// One SEI reader per stream whose pictures are read, by stream index. (No
// destructor: the library links without the C++ runtime.)
struct PictureReaders {
    SeiReader **by_stream;
    unsigned streams;
    int waiting;  // readers that have not had their packets yet
};

void free_picture_readers(PictureReaders *readers) {
    for (unsigned i = 0; readers->by_stream && i < readers->streams; ++i) {
        free(readers->by_stream[i]);
    }
    free(readers->by_stream);
}

// A reader for each H.264 and HEVC video stream (not a cover picture), its
// extradata read. False when memory runs out.
bool start_picture_readers(PictureReaders *readers, const AVFormatContext *format) {
    readers->streams = format->nb_streams;
    readers->by_stream = static_cast<SeiReader **>(
        calloc(readers->streams ? readers->streams : 1, sizeof(SeiReader *)));
    if (!readers->by_stream) return false;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream *stream = format->streams[i];
        const AVCodecParameters *par = stream->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_VIDEO ||
            (stream->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            continue;
        }
        SeiCodec codec;
        if (par->codec_id == AV_CODEC_ID_H264) {
            codec = SeiCodec::h264;
        } else if (par->codec_id == AV_CODEC_ID_HEVC) {
            codec = SeiCodec::hevc;
        } else {
            continue;
        }
        auto *reader = static_cast<SeiReader *>(calloc(1, sizeof(SeiReader)));
        if (!reader) return false;
        sei_reader_init(reader, codec, 0);
        if (par->extradata && par->extradata_size > 0) {
            sei_read_extradata(reader, par->extradata, static_cast<size_t>(par->extradata_size));
        }
        readers->by_stream[i] = reader;
        ++readers->waiting;
    }
    return true;
}

// Keeps `packet` (its reference moved) for the scan; false when memory runs
// out.
bool keep_for_scan(ReadAhead *ahead, AVPacket *packet) {
    if (ahead->count == ahead->capacity) {
        const int capacity = ahead->capacity ? 2 * ahead->capacity : 16;
        void *grown = realloc(ahead->packets, sizeof(AVPacket *) * static_cast<size_t>(capacity));
        if (!grown) return false;
        ahead->packets = static_cast<AVPacket **>(grown);
        ahead->capacity = capacity;
    }
    AVPacket *kept = av_packet_alloc();
    if (!kept) return false;
    av_packet_move_ref(kept, packet);
    ahead->packets[ahead->count++] = kept;
    return true;
}

void free_read_ahead(ReadAhead *ahead) {
    for (int i = 0; i < ahead->count; ++i) av_packet_free(&ahead->packets[i]);
    free(ahead->packets);
    *ahead = {};
}

// How reading the first pictures ended.
enum class Pictures { read, stopped, no_memory };

// Reads the first pictures of the H.264 and HEVC video streams of `format`
// (its streams described in `context`) and merges what their SEI messages
// state about HDR into the video nodes. The packets read are kept in `ahead`
// for a scan, or dropped when `ahead` is NULL. The end of the file or a
// damaged packet ends the reading, and the facts found so far count; a
// probe stopped on the way (a limit, a cancel request) is `stopped`.
Pictures read_first_pictures(MediaContext *context, AVFormatContext *format,
                             const ProbeBudget *budget, ReadAhead *ahead) {
    PictureReaders readers{};
    const bool started = start_picture_readers(&readers, format);
    AVPacket *packet = started && readers.waiting > 0 ? av_packet_alloc() : nullptr;
    if (!packet) {
        free_picture_readers(&readers);
        return started && readers.waiting == 0 ? Pictures::read : Pictures::no_memory;
    }
    bool kept = true;
    for (int read = 0; kept && readers.waiting > 0 && read < kMostPacketsAhead; ++read) {
        if (av_read_frame(format, packet) < 0) break;
        const int index = packet->stream_index;
        SeiReader *reader = index >= 0 && static_cast<unsigned>(index) < readers.streams
                                ? readers.by_stream[index]
                                : nullptr;
        if (reader && reader->packets < kPicturesRead) {
            sei_read_packet(reader, packet->data, static_cast<size_t>(packet->size));
            if (reader->packets == kPicturesRead) --readers.waiting;
        }
        if (ahead) {
            kept = keep_for_scan(ahead, packet);
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    if (probe_stopped(budget)) {
        free_picture_readers(&readers);
        return Pictures::stopped;
    }
    bool whole = kept;
    for (VideoStreamContext *video = context->video; video; video = video->next) {
        const int index = video->stream_index;
        if (index < 0 || static_cast<unsigned>(index) >= readers.streams) continue;
        const SeiReader *reader = readers.by_stream[index];
        if (reader && !merge_pictures_hdr(video, format->streams[index], reader->facts)) {
            whole = false;
        }
    }
    free_picture_readers(&readers);
    return whole ? Pictures::read : Pictures::no_memory;
}

// Ends the probe's budget; a cancel request lasts until then.
void end_probe(MediaContext *context, ProbeBudget *budget) {
    probe_end(budget);
    __atomic_store_n(&context->cancel_request, 0, __ATOMIC_RELAXED);
}

}  // namespace

MediaContext *create_media_context(void) {
    errno = 0;
    auto *context = static_cast<MediaContext *>(calloc(1, sizeof(MediaContext)));
    if (!context) {
        int error = errno;
        fprintf(stderr, "[%s]error[%s] \n", "create_media_context", strerror(error));
    }
    return context;
}

int free_media_context(MediaContext *context) {
    if (!context) return -256;
    clear_context(context);
    free(context);
    return 0;
}

namespace {

// Releases the fields every kind of stream node has.
template <typename Node>
void free_common(Node *node) {
    free(node->codec_id_name);
    free(node->profile);
    free_tags(node->tags, node->tag_count);
    free_texts(node->side_data_types, node->side_data_count);
    media_scan_free(node->scan);
    free_side_data(node->raw_side_data, node->raw_side_data_count);
}

}  // namespace

void free_video_stream_context(VideoStreamContext *head) {
    while (head) {
        VideoStreamContext *next = head->next;
        free(head->codec_name);
        free(head->entries);
        free(head->spspps);
        free_common(head);
        free(head->pix_fmt);
        free(head->field_order);
        free(head->color_range);
        free(head->color_space);
        free(head->color_transfer);
        free(head->color_primaries);
        if (head->mastering_display) free(head->mastering_display->source);
        free(head->mastering_display);
        if (head->content_light) free(head->content_light->source);
        free(head->content_light);
        free(head->dovi);
        free(head->hdr_format);
        free(head->chroma_location);
        free(head);
        head = next;
    }
}

void free_audio_stream_context(AudioStreamContext *head) {
    while (head) {
        AudioStreamContext *next = head->next;
        free(head->codec_name);
        free(head->entries);
        free_common(head);
        free(head->sample_fmt);
        free(head->channel_layout);
        free(head);
        head = next;
    }
}

void free_subtitle_stream_context(SubtitleStreamContext *head) {
    while (head) {
        SubtitleStreamContext *next = head->next;
        free(head->codec_name);
        free(head->entries);
        free(head);
        head = next;
    }
}

void free_other_stream_context(OtherStreamContext *head) {
    while (head) {
        OtherStreamContext *next = head->next;
        free(head->kind);
        free_common(head);
        free(head);
        head = next;
    }
}

void media_context_register(void) {
    // libavformat registers its formats itself.
}

int build_media_info(MediaContext *context, const char *filename) {
    return media_probe_file(context, filename, 0);
}

int media_probe_file(MediaContext *context, const char *filename, unsigned flags) {
    if (!context || (flags & ~kKnownFlags) != 0) return -1;
    const bool copy_entries = !(flags & MEDIA_PROBE_NO_INDEX);
    errno = 0;
    CheckedFile file;
    if (int error = probe_open_checked(filename, &file)) {
        errno = error;
        return -2;
    }
    clear_context(context);
    context->file_size = file.size;
    context->scan_duration_us = MEDIA_PROBE_NO_VALUE;

    // The demuxer reads the descriptor whose size was just taken. A probe
    // that reaches a limit returns 1 however the demuxer took being stopped.
    ProbeBudget budget;
    probe_begin(&budget, &context->cancel_request, copy_entries);
    AVFormatContext *format = nullptr;
    int opened = open_local(&format, filename, &budget, &file);
    if (opened < 0) {
        probe_detach(&budget);
        describe_failure(context, opened, budget, filename, false);
        end_probe(context, &budget);
        return 1;
    }
    probe_set_phase(&budget, ProbePhase::reading_streams);
    int found = describe_container(context, format, filename) ? 0 : AVERROR(ENOMEM);
    // Stream-info reading opens a decoder for each stream at once: their
    // memory is counted first.
    if (found == 0 && probe_check(&budget)) found = avformat_find_stream_info(format, nullptr);
    if (found < 0 || !probe_check(&budget)) {
        describe_failure(context, found, budget, filename, true);
        avformat_close_input(&format);
        end_probe(context, &budget);
        return 1;
    }

    // Memory running out stops nothing: what can still be described is.
    bool out_of_memory = !describe_container_extension(context, format);
    const bool show_ids = format->iformat->flags & AVFMT_SHOW_IDS;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        AVStream *stream = format->streams[i];
        Fill result = Fill::ok;
        switch (stream->codecpar->codec_type) {
            case AVMEDIA_TYPE_VIDEO:
                result = add_video(context, stream, copy_entries, show_ids);
                break;
            case AVMEDIA_TYPE_AUDIO:
                result = add_audio(context, stream, copy_entries, show_ids);
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                note_other_stream(filename, "subtitle");
                result = add_other(context, stream, show_ids);
                break;
            default:
                note_other_stream(filename, "unknown");
                result = add_other(context, stream, show_ids);
                break;
        }
        if (result == Fill::no_memory) out_of_memory = true;
    }
    // The first pictures are read once the streams are described, so that
    // what the description holds is the demuxer's state after reading the
    // streams' parameters (reading on adds to some demuxers' indexes).
    const bool scan = (flags & MEDIA_PROBE_SCAN) && !out_of_memory;
    ReadAhead ahead{};
    const Pictures pictures = read_first_pictures(context, format, &budget, scan ? &ahead : nullptr);
    if (pictures == Pictures::stopped) {
        keep_container_only(context);
        describe_failure(context, AVERROR_EXIT, budget, filename, true);
        free_read_ahead(&ahead);
        avformat_close_input(&format);
        end_probe(context, &budget);
        return 1;
    }
    if (pictures == Pictures::no_memory) out_of_memory = true;
    // A scan that does not read the whole file leaves no scan behind; the
    // description of the streams stays.
    bool scanned = true;
    char why[256] = "";
    if (scan && !out_of_memory) {
        scanned = media_scan(context, format, &budget, &ahead, copy_entries, why, sizeof why);
        if (!scanned) media_scan_drop(context);
    }
    free_read_ahead(&ahead);
    avformat_close_input(&format);
    end_probe(context, &budget);
    if (out_of_memory) set_error_text(context, AVERROR(ENOMEM));
    if (!scanned) {
        free(context->error_text);
        context->error_text = copy_text(why);
    }
    return out_of_memory || !scanned ? 1 : 0;
}

int add_video_stream_context(MediaContext *context, AVStream *stream) {
    return add_video(context, stream, true, shows_ids(context)) == Fill::ok ? 0 : -1;
}

int add_audio_stream_context(MediaContext *context, AVStream *stream) {
    return add_audio(context, stream, true, shows_ids(context)) == Fill::ok ? 0 : -1;
}

int set_video_stream_context(VideoStreamContext *video, AVStream *stream) {
    if (!video) return -1;
    return fill_video(video, stream) == Fill::ok ? 0 : -1;
}

int set_audio_stream_context(AudioStreamContext *audio, AVStream *stream) {
    return fill_audio(audio, stream) == Fill::ok ? 0 : -1;
}

int get_buffer_from_file(const char *filename, uint8_t *buffer, int32_t buff_len) {
    errno = 0;
    CheckedFile file;
    if (int error = probe_open_checked(filename, &file)) return error;
    const int fd = file.fd;
    for (int32_t done = 0; done < buff_len;) {
        ssize_t count = read(fd, buffer + done, static_cast<size_t>(buff_len - done));
        if (count > 0) {
            done += static_cast<int32_t>(count);
        } else if (count == 0 || errno != EINTR) {
            break;
        }
    }
    close(fd);
    return 0;
}

const char *media_probe_result_text(int result) {
    switch (result) {
        case MEDIA_PROBE_OK:
            return "success";
        case MEDIA_PROBE_ERROR:
            return "no context, no decoder, or out of memory";
        case MEDIA_PROBE_CANNOT_OPEN:
            return "the file cannot be opened";
        case MEDIA_PROBE_NOT_MEDIA:
            return "not a media file the demuxer can read";
        case MEDIA_PROBE_NO_CONTEXT:
            return "no context to free";
        default:
            break;
    }
    // get_buffer_from_file's errno values; strerrordesc_np needs no buffer
    // and is safe from any thread.
    const char *text = result > 1 ? strerrordesc_np(result) : nullptr;
    return text ? text : "unknown result";
}

#define MEDIA_PROBE_TEXT(x) #x
#define MEDIA_PROBE_VERSION_TEXT(major, minor, patch) \
    MEDIA_PROBE_TEXT(major) "." MEDIA_PROBE_TEXT(minor) "." MEDIA_PROBE_TEXT(patch)

const char *media_probe_version(void) {
    return MEDIA_PROBE_VERSION_TEXT(MEDIA_PROBE_VERSION_MAJOR, MEDIA_PROBE_VERSION_MINOR,
                                    MEDIA_PROBE_VERSION_PATCH);
}

int media_probe_cancel(MediaContext *context) {
    if (!context) return -1;
    __atomic_store_n(&context->cancel_request, 1, __ATOMIC_RELAXED);
    return 0;
}

void media_probe_set_note_handler(MediaProbeNoteHandler handler, void *opaque) {
    note_handler = handler;
    note_opaque = handler ? opaque : nullptr;
}
