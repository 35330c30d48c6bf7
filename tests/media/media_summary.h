// One line of text standing for everything a probe put in a context: every
// field and text, and a checksum of every configuration byte and index entry.
// Two equal summaries are two equal descriptions, and making one reads every
// byte the context points at, so that the sanitizers and valgrind see a bad
// pointer. expectConsistent checks what holds for any probe's result.
#ifndef TESTS_MEDIA_MEDIA_SUMMARY_H
#define TESTS_MEDIA_MEDIA_SUMMARY_H

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "media_probe.h"

namespace media_summary {

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
}

template <typename Node>
void addIndex(std::ostringstream &out, const Node &node) {
    uint64_t sum = 14695981039346656037u;
    for (int64_t i = 0; node.entries && i < node.entry_count; ++i) {
        const StreamEntry &e = node.entries[i];
        const int64_t fields[] = {e.pos, e.timestamp, e.flags, e.size, e.min_distance};
        sum = hash(sum, fields, sizeof fields);
    }
    out << " codec=" << orNull(node.codec_name) << " duration=" << node.duration
        << " index=" << node.entry_count << "#" << sum;
}

inline std::string summarize(const MediaContext &c) {
    std::ostringstream out;
    out << orNull(c.filename) << " size=" << c.file_size
        << " container=" << orNull(c.container_name) << " duration=" << c.duration
        << " bit_rate=" << c.bit_rate << " mime=" << c.mime_type << "/" << orNull(c.mime_type_str)
        << " " << orNull(c.format_long_name) << " streams=" << c.stream_count
        << " us=" << c.duration_us << "@" << c.start_time_us << " bps=" << c.total_bit_rate
        << " chapters=" << c.chapter_count << " error=" << orNull(c.error_text);
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
            << orNull(v->color_primaries) << " rotation=" << v->rotation;
    }
    for (const AudioStreamContext *a = c.audio; a; a = a->next) {
        out << " | audio " << a->sample_rate << "Hz " << a->channels
            << "ch bit_rate=" << a->bit_rate;
        addIndex(out, *a);
        addCommon(out, *a);
        out << " " << orNull(a->profile) << " " << orNull(a->sample_fmt) << " "
            << orNull(a->channel_layout) << " bits=" << a->bits_per_sample << "/"
            << a->bits_per_raw_sample << " frames=" << a->frame_count;
    }
    for (const OtherStreamContext *o = c.other; o; o = o->next) {
        out << " | " << orNull(o->kind);
        addCommon(out, *o);
    }
    if (c.subtitle) out << " | subtitle";
    return out.str();
}

template <typename Node>
void expectConsistentIndex(const Node &node) {
    EXPECT_GE(node.entry_count, 0);
    EXPECT_EQ(node.entries == nullptr, node.entry_count == 0);
    EXPECT_TRUE(node.codec_name || !node.entries) << "an index without a codec name";
}

inline void expectConsistentTags(const MediaTag *tags, int32_t count) {
    EXPECT_GE(count, 0);
    EXPECT_EQ(tags == nullptr, count == 0);
    for (int32_t i = 0; tags && i < count; ++i) {
        EXPECT_TRUE(tags[i].key && tags[i].value) << "tag " << i;
    }
}

// What any result of build_media_info on an existing regular file of `size`
// bytes implies for the context.
inline void expectConsistent(const MediaContext &c, int result, int64_t size) {
    EXPECT_TRUE(result == 0 || result == 1) << result;
    EXPECT_EQ(c.file_size, size);
    EXPECT_EQ(c.subtitle, nullptr);
    EXPECT_EQ(result == 1, c.error_text != nullptr) << orNull(c.error_text);
    expectConsistentTags(c.tags, c.tag_count);
    if (!c.container_name) {
        EXPECT_EQ(result, 1);
        EXPECT_TRUE(!c.filename && !c.mime_type_str && !c.video && !c.audio) << summarize(c);
        return;
    }
    EXPECT_NE(c.filename, nullptr);
    EXPECT_NE(c.mime_type_str, nullptr);
    if (result == 1) {
        EXPECT_TRUE(!c.video && !c.audio && !c.other) << summarize(c);
        return;
    }
    // Each stream is described once, by exactly one node.
    std::vector<int> seen(c.stream_count > 0 ? static_cast<size_t>(c.stream_count) : 0, 0);
    auto count = [&](int32_t index) {
        ASSERT_TRUE(index >= 0 && index < c.stream_count) << index;
        ++seen[static_cast<size_t>(index)];
    };
    for (const VideoStreamContext *v = c.video; v; v = v->next) {
        EXPECT_TRUE(v->spspps && v->spspps_len >= 0);
        expectConsistentIndex(*v);
        expectConsistentTags(v->tags, v->tag_count);
        count(v->stream_index);
    }
    for (const AudioStreamContext *a = c.audio; a; a = a->next) {
        expectConsistentIndex(*a);
        expectConsistentTags(a->tags, a->tag_count);
        count(a->stream_index);
    }
    for (const OtherStreamContext *o = c.other; o; o = o->next) {
        EXPECT_NE(o->kind, nullptr);
        expectConsistentTags(o->tags, o->tag_count);
        count(o->stream_index);
    }
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], 1) << "stream " << i;
}

}  // namespace media_summary

#endif
