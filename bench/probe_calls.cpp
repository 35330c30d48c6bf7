#include "probe_calls.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include "media_probe.h"

namespace qzbench {

int probeWithLibrary(const char *path, int64_t *entries) {
    MediaContext *context = create_media_context();
    if (!context) return -1;
    int result = build_media_info(context, path);
    if (entries) {
        *entries = 0;
        for (const VideoStreamContext *v = context->video; v; v = v->next)
            *entries += v->entry_count;
        for (const AudioStreamContext *a = context->audio; a; a = a->next)
            *entries += a->entry_count;
    }
    free_media_context(context);
    return result;
}

int probeBare(const char *path, int64_t *entries) {
    AVFormatContext *format = nullptr;
    int result = avformat_open_input(&format, path, nullptr, nullptr);
    if (result < 0) return result;
    result = avformat_find_stream_info(format, nullptr);
    if (entries) {
        *entries = 0;
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            *entries += avformat_index_get_entries_count(format->streams[i]);
        }
    }
    avformat_close_input(&format);
    return result < 0 ? result : 0;
}

}  // namespace qzbench
