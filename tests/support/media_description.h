// A probe's description read whole, without GoogleTest, for the tests and the
// media fuzz target alike (media_summary.h reports through GoogleTest).
//
// summarize(): one line of text standing for everything a probe put in a
// context: every field and text, and a checksum of every configuration byte,
// index entry and scanned keyframe. Two equal summaries are two equal
// descriptions, and making one reads every byte the context points at, so
// that the sanitizers and valgrind see a bad pointer.
//
// checkDescription(): what holds for any context build_media_info (or
// media_probe_file with given flags, the scan included) leaves on an existing
// regular file, whatever the bytes; each invariant the context breaks is
// handed to `broken`, described in words. checkWhole(): the part of it that
// holds even when memory ran out part way: every array holds what its count
// says, every text and record it counts is there.
#ifndef TESTS_SUPPORT_MEDIA_DESCRIPTION_H
#define TESTS_SUPPORT_MEDIA_DESCRIPTION_H

#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "media_probe.h"

namespace media_summary {

using Broken = std::function<void(const std::string &what)>;

inline const char *orNull(const char *text) {
    return text ? text : "(null)";
}

// FNV-1a over `size` bytes.
inline uint64_t hash(uint64_t seed, const void *bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        seed = (seed ^ static_cast<const unsigned char *>(bytes)[i]) * 1099511628211u;
    }
    return seed;
}

inline void addTags(std::ostringstream &out, const MediaTag *tags, int32_t count) {
    out << " tags=" << count;
    for (int32_t i = 0; tags && i < count; ++i) {
        out << " " << orNull(tags[i].key) << "=" << orNull(tags[i].value);
    }
}

// The fields every kind of node has in its extension.
template <typename Node>
void addCommon(std::ostringstream &out, const Node &n) {
    out << " #" << n.stream_index << " " << orNull(n.codec_id_name) << " tag=" << n.codec_tag
        << " tb=" << n.time_base_num << "/" << n.time_base_den << " start=" << n.start_time
        << " ts=" << n.duration_ts << " disposition=" << n.disposition;
    addTags(out, n.tags, n.tag_count);
    out << " id=" << n.stream_id << " side=" << n.side_data_count;
    for (int32_t i = 0; n.side_data_types && i < n.side_data_count; ++i) {
        out << " " << orNull(n.side_data_types[i]);
    }
    out << " raw=" << n.raw_side_data_count;
    for (int32_t i = 0; n.raw_side_data && i < n.raw_side_data_count; ++i) {
        const MediaSideData &d = n.raw_side_data[i];
        out << " " << d.type << ":" << d.size << "#"
            << hash(0, d.data, d.data && d.size > 0 ? static_cast<size_t>(d.size) : 0);
    }
    out << " bps=" << n.bit_rate_full;
}

// The frame rates and configuration size of audio and other nodes.
template <typename Node>
void addRates(std::ostringstream &out, const Node &n) {
    out << " config=" << n.extradata_size << " r=" << n.r_frame_rate_num << "/"
        << n.r_frame_rate_den << " rate=" << n.avg_frame_rate_num << "/" << n.avg_frame_rate_den;
}

inline void addHdr(std::ostringstream &out, const VideoStreamContext &v) {
    if (const MediaMasteringDisplay *m = v.mastering_display) {
        out << " mastering=" << m->red_x << "," << m->red_y << " " << m->green_x << ","
            << m->green_y << " " << m->blue_x << "," << m->blue_y << " " << m->white_x << ","
            << m->white_y << " " << m->min_luminance << "-" << m->max_luminance << " "
            << m->has_primaries << m->has_luminance << " " << orNull(m->source);
    }
    if (const MediaContentLight *l = v.content_light) {
        out << " light=" << l->max_cll << "/" << l->max_fall << " " << orNull(l->source);
    }
    if (const MediaDoviConfig *d = v.dovi) {
        out << " dovi=" << d->version_major << "." << d->version_minor << " " << d->profile << "."
            << d->level << " " << d->rpu_present << d->el_present << d->bl_present << " "
            << d->bl_compatibility_id;
    }
    out << " hdr10plus=" << v.hdr10plus << " " << orNull(v.hdr_format);
}

inline uint64_t entriesHash(const StreamEntry *entries, int64_t count) {
    uint64_t sum = 14695981039346656037u;
    for (int64_t i = 0; entries && i < count; ++i) {
        const StreamEntry &e = entries[i];
        const int64_t fields[] = {e.pos, e.timestamp, e.flags, e.size, e.min_distance};
        sum = hash(sum, fields, sizeof fields);
    }
    return sum;
}

template <typename Node>
void addIndex(std::ostringstream &out, const Node &node) {
    out << " codec=" << orNull(node.codec_name) << " duration=" << node.duration
        << " index=" << node.entry_count << "#" << entriesHash(node.entries, node.entry_count);
}

inline void addScan(std::ostringstream &out, const MediaScan *s) {
    if (!s) return;
    out << " scan=" << s->packets << "/" << s->key_packets << "/" << s->bytes << " at " << s->start
        << "+" << s->duration_ts << " bps=" << s->bit_rate << " keyframes=" << s->keyframe_count
        << "#" << entriesHash(s->keyframes, s->keyframes ? s->keyframe_count : 0)
        << " fps=" << s->frame_rate_min << ".." << s->frame_rate_max << " vfr=" << s->vfr
        << " gop=" << s->gop_max;
}

inline std::string summarize(const MediaContext &c) {
    std::ostringstream out;
    out << orNull(c.filename) << " size=" << c.file_size
        << " container=" << orNull(c.container_name) << " duration=" << c.duration
        << " bit_rate=" << c.bit_rate << " mime=" << c.mime_type << "/" << orNull(c.mime_type_str)
        << " " << orNull(c.format_long_name) << " streams=" << c.stream_count
        << " us=" << c.duration_us << "@" << c.start_time_us << " bps=" << c.total_bit_rate
        << " chapters=" << c.chapter_count << " scanned=" << c.scan_duration_us
        << " error=" << orNull(c.error_text) << " score=" << c.probe_score;
    addTags(out, c.tags, c.tag_count);
    for (const VideoStreamContext *v = c.video; v; v = v->next) {
        out << " | video " << v->width << "x" << v->height << " fps=" << v->fps
            << " bit_rate=" << v->bit_rate << " config=" << v->spspps_len << "#"
            << hash(0, v->spspps, v->spspps && v->spspps_len > 0 ? v->spspps_len : 0);
        addIndex(out, *v);
        addCommon(out, *v);
        out << " " << orNull(v->profile) << " level=" << v->level << " " << orNull(v->pix_fmt)
            << " bits=" << v->bits_per_raw_sample << " frames=" << v->frame_count
            << " rate=" << v->avg_frame_rate_num << "/" << v->avg_frame_rate_den
            << " r=" << v->r_frame_rate_num << "/" << v->r_frame_rate_den << " sar=" << v->sar_num
            << ":" << v->sar_den << " dar=" << v->dar_num << ":" << v->dar_den << " "
            << orNull(v->field_order) << " " << orNull(v->color_range) << " "
            << orNull(v->color_space) << " " << orNull(v->color_transfer) << " "
            << orNull(v->color_primaries) << " rotation=" << v->rotation
            << " delay=" << v->has_b_frames << " " << orNull(v->chroma_location)
            << " coded=" << v->coded_width << "x" << v->coded_height << " avc=" << v->is_avc << "/"
            << v->nal_length_size;
        addHdr(out, *v);
        addScan(out, v->scan);
    }
    for (const AudioStreamContext *a = c.audio; a; a = a->next) {
        out << " | audio " << a->sample_rate << "Hz " << a->channels
            << "ch bit_rate=" << a->bit_rate;
        addIndex(out, *a);
        addCommon(out, *a);
        out << " " << orNull(a->profile) << " " << orNull(a->sample_fmt) << " "
            << orNull(a->channel_layout) << " bits=" << a->bits_per_sample << "/"
            << a->bits_per_raw_sample << " frames=" << a->frame_count;
        addRates(out, *a);
        addScan(out, a->scan);
    }
    for (const OtherStreamContext *o = c.other; o; o = o->next) {
        out << " | " << orNull(o->kind);
        addCommon(out, *o);
        addRates(out, *o);
        out << " " << orNull(o->profile) << " frames=" << o->frame_count
            << " bits=" << o->bits_per_raw_sample << " " << o->width << "x" << o->height;
        addScan(out, o->scan);
    }
    if (c.subtitle) out << " | subtitle";
    for (int32_t i = 0; c.chapters && i < c.chapter_count; ++i) {
        const MediaChapter &ch = c.chapters[i];
        out << " | chapter " << ch.id << " " << ch.time_base_num << "/" << ch.time_base_den << " "
            << ch.start << "-" << ch.end << " " << orNull(ch.title);
        addTags(out, ch.tags, ch.tag_count);
    }
    for (int32_t i = 0; c.programs && i < c.program_count; ++i) {
        const MediaProgram &p = c.programs[i];
        out << " | program " << p.program_id << "/" << p.program_num << " pmt=" << p.pmt_pid
            << " pcr=" << p.pcr_pid << " streams=" << p.stream_count;
        for (int32_t k = 0; p.stream_indexes && k < p.stream_count; ++k) {
            out << " " << p.stream_indexes[k];
        }
        addTags(out, p.tags, p.tag_count);
    }
    out << " | programs=" << c.program_count << " duration from " << orNull(c.duration_estimate);
    return out.str();
}

// A node's raw side data: count and array agree, every entry holds its
// bytes, and no more entries than type names (both are copied in order).
template <typename Node>
void checkRawSideData(const Node &n, const Broken &broken) {
    if (n.raw_side_data_count < 0 || (n.raw_side_data == nullptr) != (n.raw_side_data_count == 0)) {
        broken("raw_side_data and raw_side_data_count disagree");
    }
    if (n.raw_side_data_count > n.side_data_count) {
        broken("more raw side data entries than side data types");
    }
    for (int32_t i = 0; n.raw_side_data && i < n.raw_side_data_count; ++i) {
        if (!n.raw_side_data[i].data || n.raw_side_data[i].size < 0) {
            broken("raw side data entry " + std::to_string(i) + " lacks its bytes");
        }
    }
}

inline void checkTags(const MediaTag *tags, int32_t count, const Broken &broken) {
    if (count < 0) broken("tag_count " + std::to_string(count) + " is negative");
    if ((tags == nullptr) != (count == 0)) broken("tags and tag_count disagree");
    for (int32_t i = 0; tags && i < count; ++i) {
        if (!tags[i].key || !tags[i].value) broken("tag " + std::to_string(i) + " lacks a text");
    }
}

// An array of `count` texts: present exactly when counted, every one there.
inline void checkTexts(char *const *texts, int32_t count, const std::string &what,
                       const Broken &broken) {
    if (count < 0) broken(what + " count " + std::to_string(count) + " is negative");
    if ((texts == nullptr) != (count == 0)) broken(what + " and its count disagree");
    for (int32_t i = 0; texts && i < count; ++i) {
        if (!texts[i]) broken(what + " " + std::to_string(i) + " is missing");
    }
}

inline bool oneOf(const char *text, std::initializer_list<const char *> words) {
    for (const char *word : words) {
        if (text && strcmp(text, word) == 0) return true;
    }
    return false;
}

// The HDR records of `v`, each whole and in range.
inline void checkHdrRecords(const VideoStreamContext &v, const Broken &broken) {
    if (const MediaMasteringDisplay *m = v.mastering_display) {
        if (!oneOf(m->source, {"container", "bitstream"})) {
            broken(std::string("mastering display from ") + orNull(m->source));
        }
        if ((m->has_primaries != 0 && m->has_primaries != 1) ||
            (m->has_luminance != 0 && m->has_luminance != 1)) {
            broken("mastering display flags not 0 or 1");
        }
        const double primaries[] = {m->red_x,  m->red_y,  m->green_x, m->green_y,
                                    m->blue_x, m->blue_y, m->white_x, m->white_y};
        for (double value : primaries) {
            if (!m->has_primaries && value != 0) broken("primaries without has_primaries");
        }
        if (!m->has_luminance && (m->min_luminance != 0 || m->max_luminance != 0)) {
            broken("luminance without has_luminance");
        }
    }
    if (const MediaContentLight *l = v.content_light) {
        if (!oneOf(l->source, {"container", "bitstream"})) {
            broken(std::string("content light from ") + orNull(l->source));
        }
    }
    if (const MediaDoviConfig *d = v.dovi) {
        // The widths of the configuration record's fields.
        if (d->version_major < 0 || d->version_major > 255 || d->version_minor < 0 ||
            d->version_minor > 255 || d->profile < 0 || d->profile > 127 || d->level < 0 ||
            d->level > 63 || d->bl_compatibility_id < 0 || d->bl_compatibility_id > 15) {
            broken("a Dolby Vision field out of its range");
        }
        for (int32_t flag : {d->rpu_present, d->el_present, d->bl_present}) {
            if (flag != 0 && flag != 1) broken("a Dolby Vision flag not 0 or 1");
        }
    }
    if (v.hdr10plus != 0 && v.hdr10plus != 1) broken("hdr10plus not 0 or 1");
}

// hdr_format by the rule of docs/description.md from what `v` holds; HLG
// may also be stated by the pictures alone, which the record does not keep.
inline void checkHdrFormat(const VideoStreamContext &v, const Broken &broken) {
    std::string expected;
    if (const MediaDoviConfig *d = v.dovi) {
        const int compatibility = d->bl_compatibility_id;
        expected = "Dolby Vision " + std::to_string(d->profile);
        if (compatibility != 0) expected += "." + std::to_string(compatibility);
        if (compatibility == 1 || compatibility == 6) expected += " (HDR10 compatible)";
        if (compatibility == 2) expected += " (SDR compatible)";
        if (compatibility == 4) expected += " (HLG compatible)";
    } else if (oneOf(v.color_transfer, {"smpte2084"})) {
        expected = v.hdr10plus ? "HDR10+" : v.mastering_display || v.content_light ? "HDR10" : "PQ";
    } else if (oneOf(v.color_transfer, {"arib-std-b67"})) {
        expected = "HLG";
    }
    const std::string actual = v.hdr_format ? v.hdr_format : "";
    if (actual != expected && !(expected.empty() && actual == "HLG")) {
        broken("hdr_format " + std::string(orNull(v.hdr_format)) + " where the rule gives " +
               (expected.empty() ? "(null)" : expected));
    }
}

// `copied`: the probe copied the index (it was not asked not to).
template <typename Node>
void checkIndex(const Node &node, bool copied, const Broken &broken) {
    if (node.entry_count < 0) broken("entry_count " + std::to_string(node.entry_count));
    if (!copied && node.entries) broken("an index copied under MEDIA_PROBE_NO_INDEX");
    if (copied && (node.entries == nullptr) != (node.entry_count == 0)) {
        broken("entries and entry_count disagree");
    }
    if (node.entries && !node.codec_name) broken("an index without a codec name");
}

// What holds for a stream's scan, whatever the file. `video`: the node is a
// video node; `copied`: keyframes are copied (no MEDIA_PROBE_NO_INDEX).
inline void checkScan(const MediaScan &s, bool video, bool copied, const Broken &broken) {
    auto is = [&](bool holds, const std::string &what) {
        if (!holds) broken("scan: " + what);
    };
    is(s.key_packets >= 0 && s.packets >= s.key_packets, "packets >= key_packets >= 0");
    is(s.bytes >= 0, "bytes >= 0");
    is(s.duration_ts >= 0 && s.bit_rate >= 0, "duration_ts and bit_rate >= 0");
    if (s.start == MEDIA_PROBE_NO_VALUE) is(s.duration_ts == 0, "a duration without a start");
    if (s.duration_ts == 0) is(s.bit_rate == 0, "a bit rate without a duration");
    is(s.keyframe_count >= 0, "keyframe_count >= 0");
    if (!video) {
        is(!s.keyframes && s.keyframe_count == 0, "keyframes of a stream that is not video");
        is(s.frame_rate_min == 0 && s.frame_rate_max == 0 && s.vfr == 0 && s.gop_max == 0,
           "frame rates or a GOP of a stream that is not video");
        return;
    }
    is(s.keyframe_count == s.key_packets, "keyframe_count is not key_packets");
    if (copied) {
        is((s.keyframes == nullptr) == (s.keyframe_count == 0), "keyframes and keyframe_count");
    } else {
        is(s.keyframes == nullptr, "keyframes copied under MEDIA_PROBE_NO_INDEX");
    }
    for (int64_t i = 0; s.keyframes && i < s.keyframe_count; ++i) {
        const StreamEntry &e = s.keyframes[i];
        is(e.flags == 1 && e.size >= 0 && e.min_distance == 0,
           "keyframe " + std::to_string(i) + " is no key packet's entry");
    }
    const bool rated = s.frame_rate_max > 0;
    is(s.frame_rate_min >= 0 && s.frame_rate_min <= s.frame_rate_max &&
           (s.frame_rate_min > 0) == rated,
       "frame rates " + std::to_string(s.frame_rate_min) + ".." + std::to_string(s.frame_rate_max));
    is(s.vfr == 0 || (s.vfr == 1 && s.frame_rate_min < s.frame_rate_max), "vfr of the rates");
    is(s.gop_max >= 0 && s.gop_max <= s.packets && (s.gop_max > 0) == (s.key_packets > 0),
       "gop_max " + std::to_string(s.gop_max));
}

// Each node's scan, by the flags and the result; *timed is set when its scan
// found a start on a valid time base.
template <typename Node>
void checkNodeScan(const Node &n, bool video, int result, unsigned flags, bool *timed,
                   const Broken &broken) {
    const bool wanted = (flags & MEDIA_PROBE_SCAN) && result == 0;
    if ((n.scan != nullptr) != wanted) {
        broken(std::string(n.scan ? "a scan" : "no scan") + " with result " +
               std::to_string(result) + " and flags " + std::to_string(flags));
    }
    if (!n.scan) return;
    checkScan(*n.scan, video, !(flags & MEDIA_PROBE_NO_INDEX), broken);
    if (n.scan->start != MEDIA_PROBE_NO_VALUE && n.time_base_num > 0 && n.time_base_den > 0) {
        *timed = true;
    }
}

// Counts the stream of a node in `seen`, which holds a count for each of the
// context's streams (checkWhole has checked what the node holds).
template <typename Node>
void checkCommon(const Node &n, std::vector<int> &seen, const Broken &broken) {
    if (n.stream_index < 0 || static_cast<size_t>(n.stream_index) >= seen.size()) {
        broken("stream_index " + std::to_string(n.stream_index) + " not below stream_count");
        return;
    }
    ++seen[static_cast<size_t>(n.stream_index)];
    if (n.raw_side_data_count != n.side_data_count) {
        broken("raw side data entries and side data types differ in number");
    }
}

// What holds of every array and record a probe leaves, whatever its result:
// counts and arrays agree and every counted element is whole.
inline void checkWhole(const MediaContext &c, const Broken &broken) {
    checkTags(c.tags, c.tag_count, broken);
    for (const VideoStreamContext *v = c.video; v; v = v->next) {
        checkTags(v->tags, v->tag_count, broken);
        checkTexts(v->side_data_types, v->side_data_count, "side data type", broken);
        checkRawSideData(*v, broken);
        checkHdrRecords(*v, broken);
    }
    for (const AudioStreamContext *a = c.audio; a; a = a->next) {
        checkTags(a->tags, a->tag_count, broken);
        checkTexts(a->side_data_types, a->side_data_count, "side data type", broken);
        checkRawSideData(*a, broken);
    }
    for (const OtherStreamContext *o = c.other; o; o = o->next) {
        checkTags(o->tags, o->tag_count, broken);
        checkTexts(o->side_data_types, o->side_data_count, "side data type", broken);
        checkRawSideData(*o, broken);
    }
    if (c.chapter_count < 0) broken("chapter_count " + std::to_string(c.chapter_count));
    if ((c.chapters == nullptr) != (c.chapter_count == 0)) {
        broken("chapters and chapter_count disagree");
    }
    for (int32_t i = 0; c.chapters && i < c.chapter_count; ++i) {
        const MediaChapter &ch = c.chapters[i];
        checkTags(ch.tags, ch.tag_count, broken);
        // The title is the first tag named exactly "title".
        const char *title = nullptr;
        for (int32_t k = 0; ch.tags && k < ch.tag_count && !title; ++k) {
            if (ch.tags[k].key && strcmp(ch.tags[k].key, "title") == 0) title = ch.tags[k].value;
        }
        if ((title == nullptr) != (ch.title == nullptr) ||
            (title && ch.title && strcmp(title, ch.title) != 0)) {
            broken("chapter " + std::to_string(i) + " titled " + orNull(ch.title) + " but tagged " +
                   orNull(title));
        }
    }
    if (c.program_count < 0) broken("program_count " + std::to_string(c.program_count));
    if ((c.programs == nullptr) != (c.program_count == 0)) {
        broken("programs and program_count disagree");
    }
    for (int32_t i = 0; c.programs && i < c.program_count; ++i) {
        const MediaProgram &p = c.programs[i];
        checkTags(p.tags, p.tag_count, broken);
        if (p.stream_count < 0 || (p.stream_indexes == nullptr) != (p.stream_count == 0)) {
            broken("program " + std::to_string(i) + ": stream_indexes and stream_count disagree");
        }
        for (int32_t k = 0; p.stream_indexes && k < p.stream_count; ++k) {
            if (p.stream_indexes[k] < 0 || p.stream_indexes[k] >= c.stream_count) {
                broken("program " + std::to_string(i) + " names stream " +
                       std::to_string(p.stream_indexes[k]) + " of " +
                       std::to_string(c.stream_count));
            }
        }
    }
    if (c.duration_estimate && !oneOf(c.duration_estimate, {"pts", "stream", "bit rate"})) {
        broken(std::string("duration_estimate ") + c.duration_estimate);
    }
}

inline const char *mimeText(InternetMediaType type) {
    const char *const texts[] = {mime_type_unknown,  mime_type_mp4, mime_type_quicktime,
                                 mime_type_matroska, mime_type_wmv, mime_type_mpegts,
                                 mime_type_flv};
    return texts[type];
}

// What a probe with media_probe_file's `flags` leaves in `c`.
inline void checkDescription(const MediaContext &c, int result, int64_t size,
                             const Broken &broken, unsigned flags = 0) {
    const bool copied = !(flags & MEDIA_PROBE_NO_INDEX);
    if (result != 0 && result != 1) broken("result " + std::to_string(result));
    if (c.file_size != size) {
        broken("file_size " + std::to_string(c.file_size) + " of " + std::to_string(size) +
               " bytes");
    }
    if (c.subtitle) broken("a subtitle node");
    if ((result == 1) != (c.error_text != nullptr)) {
        broken(std::string("error_text with result ") + std::to_string(result) + ": " +
               orNull(c.error_text));
    }
    checkWhole(c, broken);
    if (!c.container_name) {
        if (result != 1) broken("no container name, yet result " + std::to_string(result));
        if (c.filename || c.mime_type_str || c.video || c.audio || c.other) {
            broken("more than the size without a container name: " + summarize(c));
        }
        return;
    }
    if (!c.filename) broken("no filename");
    const int type = c.mime_type;
    if (type < INTERNET_MEDIA_TYPE_UNKNOWN || type > INTERNET_MEDIA_TYPE_VIDEO_X_FLV) {
        broken("mime_type " + std::to_string(type) + " out of range");
    } else if (!c.mime_type_str || strcmp(c.mime_type_str, mimeText(c.mime_type)) != 0) {
        broken(std::string("mime_type_str ") + orNull(c.mime_type_str) + " for mime_type " +
               std::to_string(type));
    }
    if (c.scan_duration_us != MEDIA_PROBE_NO_VALUE &&
        (result != 0 || !(flags & MEDIA_PROBE_SCAN))) {
        broken("scan_duration_us without a scan");
    }
    // Only a scan that stopped leaves the streams it was reading described.
    if (result == 1 && (c.video || c.audio || c.other) && !(flags & MEDIA_PROBE_SCAN)) {
        broken("a failed probe lists streams: " + summarize(c));
    }
    bool timed = false;
    for (const VideoStreamContext *v = c.video; v; v = v->next) {
        checkNodeScan(*v, true, result, flags, &timed, broken);
    }
    for (const AudioStreamContext *a = c.audio; a; a = a->next) {
        checkNodeScan(*a, false, result, flags, &timed, broken);
    }
    for (const OtherStreamContext *o = c.other; o; o = o->next) {
        checkNodeScan(*o, false, result, flags, &timed, broken);
    }
    if (result == 1) {
        if (!(flags & MEDIA_PROBE_SCAN) && (c.chapters || c.programs || c.duration_estimate)) {
            broken("a failed probe lists chapters, programs or how it found the duration");
        }
        return;
    }
    if (flags & MEDIA_PROBE_SCAN) {
        const bool known = c.scan_duration_us != MEDIA_PROBE_NO_VALUE;
        if (timed != known || (known && c.scan_duration_us < 0)) {
            broken("scan_duration_us " + std::to_string(c.scan_duration_us) +
                   (timed ? " though a stream has a start" : " though no stream has a start"));
        }
    }
    if ((c.duration_estimate == nullptr) != (c.duration_us == MEDIA_PROBE_NO_VALUE)) {
        broken(std::string("duration_estimate ") + orNull(c.duration_estimate) +
               " with duration_us " + std::to_string(c.duration_us));
    }
    if (c.stream_count < 0) broken("stream_count " + std::to_string(c.stream_count));
    if (c.probe_score < 1 || c.probe_score > 100) {
        broken("probe_score " + std::to_string(c.probe_score));
    }
    if (c.total_bit_rate < 0) broken("total_bit_rate " + std::to_string(c.total_bit_rate));
    if (c.chapter_count < 0) broken("chapter_count " + std::to_string(c.chapter_count));
    // Each stream is described once, by exactly one node.
    std::vector<int> seen(c.stream_count > 0 ? static_cast<size_t>(c.stream_count) : 0, 0);
    for (const VideoStreamContext *v = c.video; v; v = v->next) {
        if (!v->spspps || v->spspps_len < 0) broken("no configuration bytes");
        checkIndex(*v, copied, broken);
        checkCommon(*v, seen, broken);
        if (v->sar_den == 0 || v->dar_den == 0) broken("an aspect ratio without a denominator");
        if (!(v->rotation >= -180 && v->rotation <= 180)) {
            broken("rotation " + std::to_string(v->rotation) + " is not an angle");
        }
        checkHdrFormat(*v, broken);
        if (v->coded_width < 0 || v->coded_height < 0) broken("a negative coded size");
        if (v->is_avc < -1 || v->is_avc > 1 || v->nal_length_size < 0 || v->nal_length_size > 4 ||
            (v->is_avc != 1 && v->nal_length_size != 0)) {
            broken("is_avc " + std::to_string(v->is_avc) + " with nal_length_size " +
                   std::to_string(v->nal_length_size));
        }
    }
    for (const AudioStreamContext *a = c.audio; a; a = a->next) {
        checkIndex(*a, copied, broken);
        checkCommon(*a, seen, broken);
    }
    for (const OtherStreamContext *o = c.other; o; o = o->next) {
        checkCommon(*o, seen, broken);
        bool known = false;
        for (const char *kind : {"subtitle", "data", "attachment", "unknown"}) {
            known = known || (o->kind && strcmp(o->kind, kind) == 0);
        }
        if (!known) broken(std::string("other stream of kind ") + orNull(o->kind));
    }
    for (size_t i = 0; i < seen.size(); ++i) {
        if (seen[i] != 1) {
            broken("stream " + std::to_string(i) + " has " + std::to_string(seen[i]) + " nodes");
        }
    }
}

}  // namespace media_summary

#endif
