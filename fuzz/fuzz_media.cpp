// Arbitrary bytes as a media file through the library's whole public path:
// create a context, probe a file holding the bytes, read every field, text,
// configuration byte and index entry (so that the sanitizers see any bad
// read), and free it. The description must also stay consistent with the
// result code whatever the bytes are.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "fuzz_require.h"
#include "media_probe.h"

namespace {
std::string dir;
std::string path;
volatile uint64_t sink;

void cleanUp() {
    unlink(path.c_str());
    rmdir(dir.c_str());
}

// The values added as unsigned: any value, no overflow.
template <typename... Values>
uint64_t sumOf(Values... values) {
    return (uint64_t{0} + ... + static_cast<uint64_t>(values));
}

uint64_t readText(const char *text) {
    if (!text) return 0;
    uint64_t sum = strlen(text);
    for (const char *c = text; *c; ++c) sum += static_cast<unsigned char>(*c);
    return sum;
}

template <typename Node>
uint64_t readIndex(const Node *node) {
    require(node->entry_count >= 0, "entry_count is not negative");
    require((node->entries == nullptr) == (node->entry_count == 0), "entries iff entry_count");
    require(node->codec_name || !node->entries, "no index without a codec name");
    uint64_t sum = readText(node->codec_name) + sumOf(node->duration);
    for (int64_t i = 0; i < node->entry_count; ++i) {
        const StreamEntry &e = node->entries[i];
        sum += sumOf(e.pos, e.timestamp, e.flags, e.size, e.min_distance);
    }
    return sum;
}

uint64_t readTags(const MediaTag *tags, int32_t count) {
    require(count >= 0, "tag_count is not negative");
    require((tags == nullptr) == (count == 0), "tags iff tag_count");
    uint64_t sum = 0;
    for (int32_t i = 0; i < count; ++i) {
        require(tags[i].key && tags[i].value, "every counted tag has a key and a value");
        sum += readText(tags[i].key) + readText(tags[i].value);
    }
    return sum;
}

// The extension fields every kind of node has; counts the node's stream in
// `seen`, which must not have seen it yet.
template <typename Node>
uint64_t readCommon(const Node *n, std::vector<int> &seen) {
    require(n->stream_index >= 0 && static_cast<size_t>(n->stream_index) < seen.size(),
            "stream_index below stream_count");
    require(seen[static_cast<size_t>(n->stream_index)]++ == 0, "each stream has one node");
    return readText(n->codec_id_name) + readTags(n->tags, n->tag_count) +
           sumOf(n->codec_tag, n->time_base_num, n->time_base_den, n->start_time, n->duration_ts,
                 n->disposition);
}

uint64_t readVideoExtension(const VideoStreamContext *v, std::vector<int> &seen) {
    uint64_t sum = readCommon(v, seen) + readText(v->profile) + readText(v->pix_fmt) +
                   readText(v->field_order) + readText(v->color_range) + readText(v->color_space) +
                   readText(v->color_transfer) + readText(v->color_primaries);
    require(v->sar_den != 0 && v->dar_den != 0, "aspect ratios have a denominator");
    require(v->rotation == v->rotation && v->rotation >= -180 && v->rotation <= 180,
            "rotation is an angle");
    return sum + sumOf(v->level, v->bits_per_raw_sample, v->frame_count, v->avg_frame_rate_num,
                       v->avg_frame_rate_den, v->r_frame_rate_num, v->r_frame_rate_den, v->sar_num,
                       v->dar_num);
}

uint64_t readAudioExtension(const AudioStreamContext *a, std::vector<int> &seen) {
    return readCommon(a, seen) + readText(a->profile) + readText(a->sample_fmt) +
           readText(a->channel_layout) +
           sumOf(a->bits_per_sample, a->bits_per_raw_sample, a->frame_count);
}

uint64_t readOther(const OtherStreamContext *o, std::vector<int> &seen) {
    static const char *const kinds[] = {"subtitle", "data", "attachment", "unknown"};
    bool known = false;
    for (const char *kind : kinds) known = known || (o->kind && strcmp(o->kind, kind) == 0);
    require(known, "an other node's kind is subtitle, data, attachment or unknown");
    return readCommon(o, seen) + readText(o->kind);
}

const char *mimeText(InternetMediaType type) {
    const char *texts[] = {mime_type_unknown,  mime_type_mp4, mime_type_quicktime,
                           mime_type_matroska, mime_type_wmv, mime_type_mpegts,
                           mime_type_flv};
    return texts[type];
}

uint64_t readContext(const MediaContext &c, int result, size_t size) {
    require(result == 0 || result == 1, "a regular file gives 0 or 1");
    require(c.file_size == static_cast<int64_t>(size), "file_size is the file's size");
    require(c.subtitle == nullptr, "no subtitle nodes");
    require((result == 1) == (c.error_text != nullptr), "error_text iff result 1");
    const uint64_t why = readText(c.error_text);
    if (!c.container_name) {
        require(result == 1, "no container means failure");
        require(!c.filename && !c.mime_type_str && !c.video && !c.audio && !c.other,
                "only file_size set");
        return why;
    }
    require(c.filename && path == c.filename, "filename is the probed path");
    require(c.mime_type >= INTERNET_MEDIA_TYPE_UNKNOWN &&
                c.mime_type <= INTERNET_MEDIA_TYPE_VIDEO_X_FLV,
            "mime_type in range");
    require(c.mime_type_str && strcmp(c.mime_type_str, mimeText(c.mime_type)) == 0,
            "mime_type_str matches mime_type");
    require(result == 0 || (!c.video && !c.audio && !c.other), "a failed probe lists no streams");
    uint64_t sum = why + readText(c.filename) + readText(c.container_name) +
                   readText(c.mime_type_str) + sumOf(c.duration, c.bit_rate);
    if (result == 1) return sum;
    require(c.stream_count >= 0, "stream_count is not negative");
    require(c.total_bit_rate >= 0 && c.chapter_count >= 0, "counts are not negative");
    sum += readText(c.format_long_name) + readTags(c.tags, c.tag_count) +
           sumOf(c.duration_us, c.start_time_us, c.total_bit_rate);
    // Every stream has exactly one node: video, audio, or other.
    std::vector<int> seen(static_cast<size_t>(c.stream_count), 0);
    for (const VideoStreamContext *v = c.video; v; v = v->next) {
        require(v->spspps && v->spspps_len >= 0, "configuration bytes present");
        for (int32_t i = 0; i < v->spspps_len; ++i) sum += v->spspps[i];
        sum += sumOf(v->width, v->height, v->bit_rate) + readIndex(v);
        sum += static_cast<uint64_t>(v->fps == v->fps) + readVideoExtension(v, seen);
    }
    for (const AudioStreamContext *a = c.audio; a; a = a->next) {
        sum += sumOf(a->sample_rate, a->channels, a->bit_rate) + readIndex(a);
        sum += readAudioExtension(a, seen);
    }
    for (const OtherStreamContext *o = c.other; o; o = o->next) sum += readOther(o, seen);
    for (int count : seen) require(count == 1, "every stream has a node");
    return sum;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The library prints a line pair for each subtitle stream; the demuxer logs.
    if (!freopen("/dev/null", "w", stdout)) abort();
    av_log_set_level(AV_LOG_QUIET);
    // A directory of its own, so that the names a playlist gives resolve to
    // nothing but the input itself.
    char pattern[] = "/dev/shm/fuzz_media_XXXXXX";
    char fallback[] = "/tmp/fuzz_media_XXXXXX";
    const char *made = mkdtemp(pattern);
    if (!made) made = mkdtemp(fallback);
    if (!made) abort();
    dir = made;
    path = dir + "/input";
    atexit(cleanUp);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) abort();
    if (size > 0 && fwrite(data, 1, size, f) != size) abort();
    if (fclose(f) != 0) abort();

    MediaContext *context = create_media_context();
    require(context != nullptr, "a context is allocated");
    int result = build_media_info(context, path.c_str());
    sink = sink + readContext(*context, result, size);
    require(free_media_context(context) == 0, "the context frees");
    return 0;
}
