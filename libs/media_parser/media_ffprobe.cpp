// The ffprobe document: a description as `ffprobe -print_format json
// -show_format -show_streams -show_chapters -show_programs` writes it, its
// sections, keys, value types and formatting, from the records alone
// (docs/description.md lists the keys left out and why).
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/defs.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/display.h>
#include <libavutil/dovi_meta.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/spherical.h>
#include <libavutil/stereo3d.h>
}

#include "media_json.h"

namespace {

// Lays the document out as ffprobe's JSON writer does: sections are objects
// and arrays, items are "key": value pairs. Pretty: ffprobe's own layout
// (4 spaces a level, an empty array on two lines); otherwise one line
// without spaces.
class Layout {
  public:
    Layout(MediaJsonOutput output, void *opaque, bool pretty)
        : output_(output), opaque_(opaque), pretty_(pretty) {
        buffer_.reserve(kBlock + 256);
    }
    ~Layout() { flush(); }
    Layout(const Layout &) = delete;
    Layout &operator=(const Layout &) = delete;

    void root() {
        buffer_ += pretty_ ? "{\n" : "{";
        levels_.push_back({Level::object, 0});
        ++indent_;
    }
    void endRoot() {
        --indent_;
        levels_.pop_back();
        buffer_ += pretty_ ? "\n}\n" : "}";
    }
    // A section named `name` in an object, or an element (name NULL) of an
    // array.
    void object(const char *name) { open(name, Level::object); }
    void array(const char *name) { open(name, Level::array); }
    void end() {
        const Level level = levels_.back();
        levels_.pop_back();
        if (pretty_) {
            buffer_ += '\n';
            --indent_;
            indent();
        } else {
            --indent_;
        }
        buffer_ += level.kind == Level::array ? ']' : '}';
        ++levels_.back().items;
        if (buffer_.size() >= kBlock) flush();
    }
    void integer(const char *key, long long value) {
        item(key);
        char text[24];
        snprintf(text, sizeof text, "%lld", value);
        buffer_ += text;
    }
    // A text as ffprobe escapes it; `validate`: bytes that are not UTF-8 are
    // dropped, as ffprobe does for file names and tags.
    void text(const char *key, const char *value, bool validate = false) {
        item(key);
        buffer_ += '"';
        if (validate) {
            escape(valid(value));
        } else {
            escape(value);
        }
        buffer_ += '"';
    }
    void text(const char *key, const std::string &value) { text(key, value.c_str()); }
    // A key that is itself a text from the file (a tag).
    void tag(const char *key, const char *value) {
        separate();
        buffer_ += '"';
        escape(valid(key));
        buffer_ += pretty_ ? "\": \"" : "\":\"";
        escape(valid(value));
        buffer_ += '"';
    }

    void flush() {
        if (!failed_ && !buffer_.empty() && !output_(opaque_, buffer_.data(), buffer_.size())) {
            failed_ = true;
        }
        buffer_.clear();
    }
    bool failed() const { return failed_; }

  private:
    static constexpr size_t kBlock = 64 * 1024;
    struct Level {
        enum Kind { object, array } kind;
        size_t items;
    };

    void indent() {
        if (pretty_) buffer_.append(static_cast<size_t>(indent_) * 4, ' ');
    }
    void open(const char *name, Level::Kind kind) {
        Level &parent = levels_.back();
        if (parent.items > 0) buffer_ += pretty_ ? ",\n" : ",";
        indent();
        if (parent.kind == Level::object) {
            buffer_ += '"';
            escape(name ? name : "");
            buffer_ += pretty_ ? "\": " : "\":";
        }
        buffer_ += kind == Level::array ? '[' : '{';
        if (pretty_) buffer_ += '\n';
        levels_.push_back({kind, 0});
        ++indent_;
    }
    void separate() {
        Level &level = levels_.back();
        if (level.items++ > 0) buffer_ += pretty_ ? ",\n" : ",";
        indent();
    }
    void item(const char *key) {
        separate();
        buffer_ += '"';
        escape(key);
        buffer_ += pretty_ ? "\": " : "\":";
    }
    void escape(const char *text) { escape(text, strlen(text)); }
    void escape(const std::string &text) { escape(text.data(), text.size()); }
    void escape(const char *text, size_t length) {
        static const char kHex[] = "0123456789abcdef";
        for (size_t i = 0; i < length; ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            switch (c) {
                case '"':
                    buffer_ += "\\\"";
                    break;
                case '\\':
                    buffer_ += "\\\\";
                    break;
                case '\b':
                    buffer_ += "\\b";
                    break;
                case '\f':
                    buffer_ += "\\f";
                    break;
                case '\n':
                    buffer_ += "\\n";
                    break;
                case '\r':
                    buffer_ += "\\r";
                    break;
                case '\t':
                    buffer_ += "\\t";
                    break;
                default:
                    if (c < 0x20) {
                        buffer_ += "\\u00";
                        buffer_ += kHex[c >> 4];
                        buffer_ += kHex[c & 0xF];
                    } else {
                        buffer_ += static_cast<char>(c);
                    }
            }
        }
        if (buffer_.size() >= kBlock) flush();
    }
    // `text` without the byte sequences that are not UTF-8.
    static std::string valid(const char *text) {
        const auto *p = reinterpret_cast<const uint8_t *>(text);
        const uint8_t *end = p + strlen(text);
        std::string out;
        out.reserve(static_cast<size_t>(end - p));
        while (p < end) {
            const uint8_t *start = p;
            int32_t code = 0;
            if (av_utf8_decode(&code, &p, end, 0) >= 0) {
                out.append(reinterpret_cast<const char *>(start), static_cast<size_t>(p - start));
            }
            if (p == start) ++p;  // never stall
        }
        return out;
    }

    MediaJsonOutput output_;
    void *opaque_;
    bool pretty_;
    bool failed_ = false;
    int indent_ = 0;
    std::string buffer_;
    std::vector<Level> levels_;
};

std::string fraction(int32_t num, int32_t den, char separator) {
    char text[32];
    snprintf(text, sizeof text, "%d%c%d", num, separator, den);
    return text;
}

// A time in seconds as ffprobe prints it ("0.500500").
std::string seconds(int64_t ticks, int32_t num, int32_t den) {
    const double d = static_cast<double>(ticks) * (num / static_cast<double>(den));
    char text[400];
    snprintf(text, sizeof text, "%f", d);
    return text;
}

std::string decimal(int64_t value) {
    char text[24];
    snprintf(text, sizeof text, "%" PRId64, value);
    return text;
}

// What every kind of stream node gives, in one shape.
struct Stream {
    int32_t index = 0;
    const char *type = nullptr;  // "video", "audio", ...; NULL for an unknown kind
    const char *codec = nullptr;
    const char *profile = nullptr;
    uint32_t tag = 0;
    bool decoder = false;  // a decoder exists for the codec: ffprobe opens it
    const VideoStreamContext *video = nullptr;
    const AudioStreamContext *audio = nullptr;
    const OtherStreamContext *other = nullptr;
    int32_t id = -1;
    int32_t r_num = 0, r_den = 0, avg_num = 0, avg_den = 0;
    int32_t tb_num = 0, tb_den = 0;
    int64_t start = MEDIA_PROBE_NO_VALUE, duration = MEDIA_PROBE_NO_VALUE;
    int64_t bit_rate = 0;
    int32_t raw_bits = 0;
    int64_t frames = 0;
    int32_t extradata_size = 0;
    int32_t disposition = 0;
    int32_t tag_count = 0;
    const MediaTag *tags = nullptr;
    int32_t side_data_count = 0;
    const MediaSideData *side_data = nullptr;
    size_t order = 0;  // its place among all nodes, video, audio, then other
};

template <typename Node>
void common(Stream &s, const Node *n) {
    s.index = n->stream_index;
    s.codec = n->codec_id_name;
    s.tag = n->codec_tag;
    s.id = n->stream_id;
    s.tb_num = n->time_base_num;
    s.tb_den = n->time_base_den;
    s.start = n->start_time;
    s.duration = n->duration_ts;
    s.bit_rate = n->bit_rate_full;
    s.disposition = n->disposition;
    s.tag_count = n->tag_count;
    s.tags = n->tags;
    s.side_data_count = n->raw_side_data_count;
    s.side_data = n->raw_side_data;
}

template <typename Node>
void rates(Stream &s, const Node *n) {
    s.r_num = n->r_frame_rate_num;
    s.r_den = n->r_frame_rate_den;
    s.avg_num = n->avg_frame_rate_num;
    s.avg_den = n->avg_frame_rate_den;
}

bool hasDecoder(const char *codec) {
    const AVCodecDescriptor *descriptor = codec ? avcodec_descriptor_get_by_name(codec) : nullptr;
    return descriptor && avcodec_find_decoder(descriptor->id);
}

std::vector<Stream> streams(const MediaContext *c) {
    std::vector<Stream> all;
    for (const VideoStreamContext *v = c->video; v; v = v->next) {
        Stream s;
        common(s, v);
        rates(s, v);
        s.type = "video";
        s.profile = v->profile;
        s.decoder = v->codec_name != nullptr;
        s.video = v;
        s.raw_bits = v->bits_per_raw_sample;
        s.frames = v->frame_count;
        s.extradata_size = v->spspps_len;
        all.push_back(s);
    }
    for (const AudioStreamContext *a = c->audio; a; a = a->next) {
        Stream s;
        common(s, a);
        rates(s, a);
        s.type = "audio";
        s.profile = a->profile;
        s.decoder = a->codec_name != nullptr;
        s.audio = a;
        s.raw_bits = a->bits_per_raw_sample;
        s.frames = a->frame_count;
        s.extradata_size = a->extradata_size;
        all.push_back(s);
    }
    for (const OtherStreamContext *o = c->other; o; o = o->next) {
        Stream s;
        common(s, o);
        rates(s, o);
        s.type = o->kind && strcmp(o->kind, "unknown") != 0 ? o->kind : nullptr;
        s.profile = o->profile;
        s.decoder = hasDecoder(o->codec_id_name);
        s.other = o;
        s.raw_bits = o->bits_per_raw_sample;
        s.frames = o->frame_count;
        s.extradata_size = o->extradata_size;
        all.push_back(s);
    }
    return all;
}

// The stream numbered `index` in `all`, sorted by index (the first of
// several with one index); NULL when none.
const Stream *streamAt(const std::vector<Stream> &all, int32_t index) {
    const auto at = std::lower_bound(all.begin(), all.end(), index,
                                     [](const Stream &s, int32_t i) { return s.index < i; });
    return at != all.end() && at->index == index ? &*at : nullptr;
}

void tags(Layout &out, const MediaTag *tags, int32_t count) {
    if (!tags || count <= 0) return;
    out.object("tags");
    for (int32_t i = 0; i < count; ++i) {
        if (tags[i].key && tags[i].value) out.tag(tags[i].key, tags[i].value);
    }
    out.end();
}

template <typename Record>
const Record *sideRecord(const MediaSideData &entry) {
    return entry.data && entry.size >= static_cast<int32_t>(sizeof(Record))
               ? reinterpret_cast<const Record *>(entry.data)
               : nullptr;
}

// The int stored at `offset` of the entry's record (an enumerated field).
int enumAt(const MediaSideData &entry, size_t offset) {
    int value;
    memcpy(&value, entry.data + offset, sizeof value);
    return value;
}

int32_t readInt32(const uint8_t *data) {
    int32_t value;
    memcpy(&value, data, sizeof value);
    return value;
}

uint32_t readLe32(const uint8_t *data) {
    return data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24);
}

void sideData(Layout &out, const Stream &s) {
    if (!s.side_data || s.side_data_count <= 0) return;
    out.array("side_data_list");
    for (int32_t i = 0; i < s.side_data_count; ++i) {
        const MediaSideData &sd = s.side_data[i];
        // Types and enumerated fields are read as plain ints: a record a
        // caller filled may hold any value, which C++ may not load as an
        // enumeration outside its range.
        const int type = sd.type;
        const char *name = type >= 0 && type < AV_PKT_DATA_NB
                               ? av_packet_side_data_name(static_cast<AVPacketSideDataType>(type))
                               : nullptr;
        out.object(nullptr);
        out.text("side_data_type", name ? name : "unknown");
        if (type == AV_PKT_DATA_DISPLAYMATRIX && sd.data && sd.size >= 9 * 4) {
            std::string matrix = "\n";
            for (int row = 0; row < 3; ++row) {
                char line[64];
                snprintf(line, sizeof line, "%08x:  %11d %11d %11d\n", row,
                         readInt32(sd.data + row * 12), readInt32(sd.data + row * 12 + 4),
                         readInt32(sd.data + row * 12 + 8));
                matrix += line;
            }
            out.text("displaymatrix", matrix);
            int32_t m[9];
            memcpy(m, sd.data, sizeof m);
            const double rotation = av_display_rotation_get(m);
            out.integer("rotation", std::isfinite(rotation) ? static_cast<long long>(rotation) : 0);
        } else if (type == AV_PKT_DATA_STEREO3D) {
            if (const auto *stereo = sideRecord<AVStereo3D>(sd)) {
                out.text("type", av_stereo3d_type_name(static_cast<unsigned>(
                                     enumAt(sd, offsetof(AVStereo3D, type)))));
                out.integer("inverted", !!(stereo->flags & AV_STEREO3D_FLAG_INVERT));
            }
        } else if (type == AV_PKT_DATA_SPHERICAL) {
            if (const auto *spherical = sideRecord<AVSphericalMapping>(sd)) {
                const int projection = enumAt(sd, offsetof(AVSphericalMapping, projection));
                const bool named = projection >= AV_SPHERICAL_EQUIRECTANGULAR &&
                                   projection <= AV_SPHERICAL_EQUIRECTANGULAR_TILE;
                out.text("projection", named ? av_spherical_projection_name(
                                                   static_cast<AVSphericalProjection>(projection))
                                             : "unknown");
                if (projection == AV_SPHERICAL_CUBEMAP) {
                    out.integer("padding", spherical->padding);
                } else if (projection == AV_SPHERICAL_EQUIRECTANGULAR_TILE) {
                    size_t l, t, r, b;
                    const int32_t width = s.video ? s.video->width : 0;
                    const int32_t height = s.video ? s.video->height : 0;
                    av_spherical_tile_bounds(spherical, width, height, &l, &t, &r, &b);
                    out.integer("bound_left", static_cast<long long>(l));
                    out.integer("bound_top", static_cast<long long>(t));
                    out.integer("bound_right", static_cast<long long>(r));
                    out.integer("bound_bottom", static_cast<long long>(b));
                }
                out.integer("yaw", static_cast<long long>(spherical->yaw / double(1 << 16)));
                out.integer("pitch", static_cast<long long>(spherical->pitch / double(1 << 16)));
                out.integer("roll", static_cast<long long>(spherical->roll / double(1 << 16)));
            }
        } else if (type == AV_PKT_DATA_SKIP_SAMPLES && sd.data && sd.size == 10) {
            out.integer("skip_samples", readLe32(sd.data));
            out.integer("discard_padding", readLe32(sd.data + 4));
            out.integer("skip_reason", sd.data[8]);
            out.integer("discard_reason", sd.data[9]);
        } else if (type == AV_PKT_DATA_MASTERING_DISPLAY_METADATA) {
            if (const auto *m = sideRecord<AVMasteringDisplayMetadata>(sd)) {
                auto q = [&](const char *key, AVRational r) {
                    out.text(key, fraction(r.num, r.den, '/'));
                };
                if (m->has_primaries) {
                    q("red_x", m->display_primaries[0][0]);
                    q("red_y", m->display_primaries[0][1]);
                    q("green_x", m->display_primaries[1][0]);
                    q("green_y", m->display_primaries[1][1]);
                    q("blue_x", m->display_primaries[2][0]);
                    q("blue_y", m->display_primaries[2][1]);
                    q("white_point_x", m->white_point[0]);
                    q("white_point_y", m->white_point[1]);
                }
                if (m->has_luminance) {
                    q("min_luminance", m->min_luminance);
                    q("max_luminance", m->max_luminance);
                }
            }
        } else if (type == AV_PKT_DATA_CONTENT_LIGHT_LEVEL) {
            if (const auto *light = sideRecord<AVContentLightMetadata>(sd)) {
                out.integer("max_content", light->MaxCLL);
                out.integer("max_average", light->MaxFALL);
            }
        } else if (type == AV_PKT_DATA_DOVI_CONF) {
            if (const auto *dovi = sideRecord<AVDOVIDecoderConfigurationRecord>(sd)) {
                out.integer("dv_version_major", dovi->dv_version_major);
                out.integer("dv_version_minor", dovi->dv_version_minor);
                out.integer("dv_profile", dovi->dv_profile);
                out.integer("dv_level", dovi->dv_level);
                out.integer("rpu_present_flag", dovi->rpu_present_flag);
                out.integer("el_present_flag", dovi->el_present_flag);
                out.integer("bl_present_flag", dovi->bl_present_flag);
                out.integer("dv_bl_signal_compatibility_id", dovi->dv_bl_signal_compatibility_id);
            }
        } else if (type == AV_PKT_DATA_AUDIO_SERVICE_TYPE && sd.data && sd.size >= 4) {
            out.integer("service_type", readInt32(sd.data));
        } else if (type == AV_PKT_DATA_MPEGTS_STREAM_ID && sd.data && sd.size >= 1) {
            out.integer("id", sd.data[0]);
        } else if (type == AV_PKT_DATA_CPB_PROPERTIES) {
            if (const auto *cpb = sideRecord<AVCPBProperties>(sd)) {
                out.integer("max_bitrate", cpb->max_bitrate);
                out.integer("min_bitrate", cpb->min_bitrate);
                out.integer("avg_bitrate", cpb->avg_bitrate);
                out.integer("buffer_size", cpb->buffer_size);
                out.integer("vbv_delay", static_cast<long long>(cpb->vbv_delay));
            }
        } else if (type == AV_PKT_DATA_AFD && sd.data && sd.size > 0) {
            out.integer("active_format", sd.data[0]);
        }
        out.end();
    }
    out.end();
}

const char *const kDispositions[] = {
    "default",         "dub",           "original",     "comment",
    "lyrics",          "karaoke",       "forced",       "hearing_impaired",
    "visual_impaired", "clean_effects", "attached_pic", "timed_thumbnails",
    "captions",        "descriptions",  "metadata",     "dependent",
    "still_image"};
const int kDispositionBits[] = {AV_DISPOSITION_DEFAULT,         AV_DISPOSITION_DUB,
                                AV_DISPOSITION_ORIGINAL,        AV_DISPOSITION_COMMENT,
                                AV_DISPOSITION_LYRICS,          AV_DISPOSITION_KARAOKE,
                                AV_DISPOSITION_FORCED,          AV_DISPOSITION_HEARING_IMPAIRED,
                                AV_DISPOSITION_VISUAL_IMPAIRED, AV_DISPOSITION_CLEAN_EFFECTS,
                                AV_DISPOSITION_ATTACHED_PIC,    AV_DISPOSITION_TIMED_THUMBNAILS,
                                AV_DISPOSITION_CAPTIONS,        AV_DISPOSITION_DESCRIPTIONS,
                                AV_DISPOSITION_METADATA,        AV_DISPOSITION_DEPENDENT,
                                AV_DISPOSITION_STILL_IMAGE};
static_assert(sizeof kDispositions / sizeof *kDispositions ==
                  sizeof kDispositionBits / sizeof *kDispositionBits,
              "a name per disposition bit");

void stream(Layout &out, const Stream &s) {
    out.object(nullptr);
    out.integer("index", s.index);
    const AVCodecDescriptor *descriptor =
        s.codec ? avcodec_descriptor_get_by_name(s.codec) : nullptr;
    if (descriptor) {
        out.text("codec_name", descriptor->name);
        out.text("codec_long_name", descriptor->long_name ? descriptor->long_name : "unknown");
    }
    if (s.profile) out.text("profile", s.profile);
    if (s.type) out.text("codec_type", s.type);
    char fourcc[AV_FOURCC_MAX_STRING_SIZE] = "";
    av_fourcc_make_string(fourcc, s.tag);
    out.text("codec_tag_string", fourcc);
    char tag[16];
    snprintf(tag, sizeof tag, "0x%04" PRIx32, s.tag);
    out.text("codec_tag", tag);
    if (const VideoStreamContext *v = s.video) {
        out.integer("width", v->width);
        out.integer("height", v->height);
        if (s.decoder) {
            out.integer("coded_width", v->coded_width);
            out.integer("coded_height", v->coded_height);
            out.integer("closed_captions", 0);
            out.integer("film_grain", 0);
        }
        out.integer("has_b_frames", v->has_b_frames);
        if (v->sar_num) {
            out.text("sample_aspect_ratio", fraction(v->sar_num, v->sar_den, ':'));
            out.text("display_aspect_ratio", fraction(v->dar_num, v->dar_den, ':'));
        }
        if (v->pix_fmt) out.text("pix_fmt", v->pix_fmt);
        out.integer("level", v->level);
        if (v->color_range) out.text("color_range", v->color_range);
        if (v->color_space) out.text("color_space", v->color_space);
        if (v->color_transfer) out.text("color_transfer", v->color_transfer);
        if (v->color_primaries) out.text("color_primaries", v->color_primaries);
        if (v->chroma_location) out.text("chroma_location", v->chroma_location);
        if (v->field_order) out.text("field_order", v->field_order);
        if (s.decoder) out.integer("refs", 1);
        // The options the decoders of H.264 and MPEG-4 video export. MPEG-4 video's
        // are set from the pictures it decodes, so opened they are unset.
        if (s.decoder && v->is_avc >= 0) {
            out.text("is_avc", v->is_avc ? "true" : "false");
            out.text("nal_length_size", decimal(v->nal_length_size));
        } else if (s.decoder && s.codec && strcmp(s.codec, "mpeg4") == 0) {
            out.text("quarter_sample", "false");
            out.text("divx_packed", "false");
        }
    } else if (const AudioStreamContext *a = s.audio) {
        if (a->sample_fmt) out.text("sample_fmt", a->sample_fmt);
        out.text("sample_rate", decimal(a->sample_rate));
        out.integer("channels", a->channels);
        if (a->channel_layout) out.text("channel_layout", a->channel_layout);
        out.integer("bits_per_sample", a->bits_per_sample);
    } else if (s.other && s.type && strcmp(s.type, "subtitle") == 0) {
        if (s.other->width) out.integer("width", s.other->width);
        if (s.other->height) out.integer("height", s.other->height);
    }
    if (s.id != -1) {
        char id[16];
        snprintf(id, sizeof id, "0x%x", static_cast<unsigned>(s.id));
        out.text("id", id);
    }
    out.text("r_frame_rate", fraction(s.r_num, s.r_den, '/'));
    out.text("avg_frame_rate", fraction(s.avg_num, s.avg_den, '/'));
    out.text("time_base", fraction(s.tb_num, s.tb_den, '/'));
    if (s.start != MEDIA_PROBE_NO_VALUE) {
        out.integer("start_pts", s.start);
        out.text("start_time", seconds(s.start, s.tb_num, s.tb_den));
    }
    if (s.duration != MEDIA_PROBE_NO_VALUE) {
        out.integer("duration_ts", s.duration);
        out.text("duration", seconds(s.duration, s.tb_num, s.tb_den));
    }
    if (s.bit_rate > 0) out.text("bit_rate", decimal(s.bit_rate));
    if (s.decoder && s.raw_bits > 0) out.text("bits_per_raw_sample", decimal(s.raw_bits));
    if (s.frames) out.text("nb_frames", decimal(s.frames));
    if (s.extradata_size > 0) out.integer("extradata_size", s.extradata_size);
    out.object("disposition");
    for (size_t i = 0; i < sizeof kDispositions / sizeof *kDispositions; ++i) {
        out.integer(kDispositions[i], (s.disposition & kDispositionBits[i]) ? 1 : 0);
    }
    out.end();
    tags(out, s.tags, s.tag_count);
    sideData(out, s);
    out.end();
}

void document(const MediaContext *c, Layout &out) {
    out.root();
    if (c->error_text || !c->container_name) {  // ffprobe prints no section
        out.endRoot();
        return;
    }
    std::vector<Stream> all = streams(c);
    // By index, nodes of one index in list order (std::sort allocates
    // nothing, unlike std::stable_sort, whose buffer comes from nothrow new).
    for (size_t i = 0; i < all.size(); ++i) all[i].order = i;
    std::sort(all.begin(), all.end(), [](const Stream &a, const Stream &b) {
        return a.index != b.index ? a.index < b.index : a.order < b.order;
    });
    out.array("programs");
    for (int32_t p = 0; c->programs && p < c->program_count; ++p) {
        const MediaProgram &program = c->programs[p];
        out.object(nullptr);
        out.integer("program_id", program.program_id);
        out.integer("program_num", program.program_num);
        out.integer("nb_streams", program.stream_count);
        out.integer("pmt_pid", program.pmt_pid);
        out.integer("pcr_pid", program.pcr_pid);
        tags(out, program.tags, program.tag_count);
        out.array("streams");
        for (int32_t i = 0; program.stream_indexes && i < program.stream_count; ++i) {
            if (const Stream *s = streamAt(all, program.stream_indexes[i])) stream(out, *s);
        }
        out.end();
        out.end();
    }
    out.end();
    out.array("streams");
    for (size_t i = 0; i < all.size(); ++i) {
        const Stream &s = all[i];
        const bool first = i == 0 || all[i - 1].index != s.index;
        if (first && s.index >= 0 && s.index < c->stream_count) stream(out, s);
    }
    out.end();
    out.array("chapters");
    for (int32_t i = 0; c->chapters && i < c->chapter_count; ++i) {
        const MediaChapter &chapter = c->chapters[i];
        out.object(nullptr);
        out.integer("id", chapter.id);
        out.text("time_base", fraction(chapter.time_base_num, chapter.time_base_den, '/'));
        out.integer("start", chapter.start);
        if (chapter.start != MEDIA_PROBE_NO_VALUE) {
            out.text("start_time",
                     seconds(chapter.start, chapter.time_base_num, chapter.time_base_den));
        }
        out.integer("end", chapter.end);
        if (chapter.end != MEDIA_PROBE_NO_VALUE) {
            out.text("end_time",
                     seconds(chapter.end, chapter.time_base_num, chapter.time_base_den));
        }
        tags(out, chapter.tags, chapter.tag_count);
        out.end();
    }
    out.end();
    out.object("format");
    out.text("filename", c->filename ? c->filename : "", true);
    out.integer("nb_streams", c->stream_count);
    out.integer("nb_programs", c->program_count);
    out.text("format_name", c->container_name);
    if (c->format_long_name) out.text("format_long_name", c->format_long_name);
    if (c->start_time_us != MEDIA_PROBE_NO_VALUE) {
        out.text("start_time", seconds(c->start_time_us, 1, 1000000));
    }
    if (c->duration_us != MEDIA_PROBE_NO_VALUE) {
        out.text("duration", seconds(c->duration_us, 1, 1000000));
    }
    if (c->file_size >= 0) out.text("size", decimal(c->file_size));
    if (c->total_bit_rate > 0) out.text("bit_rate", decimal(c->total_bit_rate));
    out.integer("probe_score", c->probe_score);
    tags(out, c->tags, c->tag_count);
    out.end();
    out.endRoot();
}

}  // namespace

bool media_json_ffprobe(const MediaContext *context, MediaJsonOutput output, void *opaque,
                        bool pretty) {
    Layout out(output, opaque, pretty);
    document(context, out);
    out.flush();
    return !out.failed();
}
