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
    uint64_t sum = readText(node->codec_name) + static_cast<uint64_t>(node->duration);
    for (int64_t i = 0; i < node->entry_count; ++i) {
        const StreamEntry &e = node->entries[i];
        sum += static_cast<uint64_t>(e.pos + e.timestamp + e.flags + e.size + e.min_distance);
    }
    return sum;
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
    if (!c.container_name) {
        require(result == 1, "no container means failure");
        require(!c.filename && !c.mime_type_str && !c.video && !c.audio, "only file_size set");
        return 0;
    }
    require(c.filename && path == c.filename, "filename is the probed path");
    require(c.mime_type >= INTERNET_MEDIA_TYPE_UNKNOWN &&
                c.mime_type <= INTERNET_MEDIA_TYPE_VIDEO_X_FLV,
            "mime_type in range");
    require(c.mime_type_str && strcmp(c.mime_type_str, mimeText(c.mime_type)) == 0,
            "mime_type_str matches mime_type");
    require(result == 0 || (!c.video && !c.audio), "a failed probe lists no streams");
    uint64_t sum = readText(c.filename) + readText(c.container_name) + readText(c.mime_type_str) +
                   static_cast<uint64_t>(c.duration + c.bit_rate);
    for (const VideoStreamContext *v = c.video; v; v = v->next) {
        require(v->spspps && v->spspps_len >= 0, "configuration bytes present");
        for (int32_t i = 0; i < v->spspps_len; ++i) sum += v->spspps[i];
        sum += static_cast<uint64_t>(v->width + v->height + v->bit_rate) + readIndex(v);
        sum += static_cast<uint64_t>(v->fps == v->fps);
    }
    for (const AudioStreamContext *a = c.audio; a; a = a->next) {
        sum += static_cast<uint64_t>(a->sample_rate + a->channels + a->bit_rate) + readIndex(a);
    }
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
