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
        << " bit_rate=" << c.bit_rate << " mime=" << c.mime_type << "/" << orNull(c.mime_type_str);
    for (const VideoStreamContext *v = c.video; v; v = v->next) {
        out << " | video " << v->width << "x" << v->height << " fps=" << v->fps
            << " bit_rate=" << v->bit_rate << " config=" << v->spspps_len << "#"
            << hash(0, v->spspps, v->spspps && v->spspps_len > 0 ? v->spspps_len : 0);
        addIndex(out, *v);
    }
    for (const AudioStreamContext *a = c.audio; a; a = a->next) {
        out << " | audio " << a->sample_rate << "Hz " << a->channels
            << "ch bit_rate=" << a->bit_rate;
        addIndex(out, *a);
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

// What any result of build_media_info on an existing regular file of `size`
// bytes implies for the context.
inline void expectConsistent(const MediaContext &c, int result, int64_t size) {
    EXPECT_TRUE(result == 0 || result == 1) << result;
    EXPECT_EQ(c.file_size, size);
    EXPECT_EQ(c.subtitle, nullptr);
    if (!c.container_name) {
        EXPECT_EQ(result, 1);
        EXPECT_TRUE(!c.filename && !c.mime_type_str && !c.video && !c.audio) << summarize(c);
        return;
    }
    EXPECT_NE(c.filename, nullptr);
    EXPECT_NE(c.mime_type_str, nullptr);
    if (result == 1) {
        EXPECT_TRUE(!c.video && !c.audio) << summarize(c);
    }
    for (const VideoStreamContext *v = c.video; v; v = v->next) {
        EXPECT_TRUE(v->spspps && v->spspps_len >= 0);
        expectConsistentIndex(*v);
    }
    for (const AudioStreamContext *a = c.audio; a; a = a->next) expectConsistentIndex(*a);
}

}  // namespace media_summary

#endif
