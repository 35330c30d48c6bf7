// The records and the probe. The demuxer is read through the per-stream codec
// parameters and the index accessors; every value is narrowed to the width of
// the record field it lands in.
#include "media_probe.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/version.h>
}

// The index is copied field by field, but callers compare the two layouts.
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

// How filling a stream node ended; the public operations fold the last two
// into -1, the probe tells them apart.
enum class Fill { ok, no_decoder, no_memory };

// Zero-filled copy of `text`, or NULL when out of memory.
char *copy_text(const char *text) {
    size_t length = strlen(text);
    char *copy = static_cast<char *>(calloc(length + 1, 1));
    if (copy) memcpy(copy, text, length);
    return copy;
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
// 0 when there is no index. The accessor's pointer is only valid until the
// next call on the stream, so each entry is copied at once.
template <typename Node>
Fill copy_index(Node *node, AVStream *stream) {
    int count = avformat_index_get_entries_count(stream);
    if (count <= 0) return Fill::ok;
    auto *entries = static_cast<StreamEntry *>(calloc(count, sizeof(StreamEntry)));
    if (!entries) return Fill::no_memory;
    for (int i = 0; i < count; ++i) {
        const AVIndexEntry *from = avformat_index_get_entry(stream, i);
        if (!from) break;
        entries[i].pos = from->pos;
        entries[i].timestamp = from->timestamp;
        entries[i].flags = from->flags;
        entries[i].size = from->size;
        entries[i].min_distance = from->min_distance;
    }
    node->entries = entries;
    node->entry_count = count;
    return Fill::ok;
}

// Codec name and index, shared by both kinds of node.
template <typename Node>
Fill fill_codec_and_index(Node *node, AVStream *stream) {
    const AVCodec *decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!decoder) return Fill::no_decoder;
    node->codec_name = copy_text(decoder->name);
    if (!node->codec_name) return Fill::no_memory;
    Fill result = copy_index(node, stream);
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

Fill fill_video(VideoStreamContext *video, AVStream *stream) {
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
    return fill_codec_and_index(video, stream);
}

Fill fill_audio(AudioStreamContext *audio, AVStream *stream) {
    const AVCodecParameters *par = stream->codecpar;
    audio->bit_rate = low32(par->bit_rate);
    audio->sample_rate = par->sample_rate;
    audio->channels = channel_count(par);
    audio->duration = low32(stream->duration);
    return fill_codec_and_index(audio, stream);
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

Fill add_video(MediaContext *context, AVStream *stream) {
    VideoStreamContext *node = append_node(&context->video);
    return node ? fill_video(node, stream) : Fill::no_memory;
}

Fill add_audio(MediaContext *context, AVStream *stream) {
    AudioStreamContext *node = append_node(&context->audio);
    return node ? fill_audio(node, stream) : Fill::no_memory;
}

// Releases everything the context holds and zeroes it.
void clear_context(MediaContext *context) {
    free(context->filename);
    free(context->container_name);
    free(context->mime_type_str);
    free_video_stream_context(context->video);
    free_audio_stream_context(context->audio);
    free_subtitle_stream_context(context->subtitle);
    memset(context, 0, sizeof *context);
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

// Opens `filename` as a local file only. The "file:" prefix makes the demuxer
// read the very path the size was taken from, even when it also parses as a
// URL ("http://...", "concat:a|b"); the whitelist keeps whatever the file
// refers to (playlist entries) on local files too. Returns 0 or an AVERROR.
int open_local(AVFormatContext **format, const char *filename) {
    static const char prefix[] = "file:";
    size_t length = strlen(filename);
    char *url = static_cast<char *>(calloc(sizeof prefix + length, 1));
    if (!url) return AVERROR(ENOMEM);
    memcpy(url, prefix, sizeof prefix - 1);
    memcpy(url + sizeof prefix - 1, filename, length);
    AVDictionary *options = nullptr;
    int result = av_dict_set(&options, "protocol_whitelist", "file", 0);
    if (result >= 0) result = avformat_open_input(format, url, nullptr, &options);
    av_dict_free(&options);
    free(url);
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

void print_other_stream(const char *kind) {
    printf("================== \n");
    printf("codec type %s \n", kind);
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

void free_video_stream_context(VideoStreamContext *head) {
    while (head) {
        VideoStreamContext *next = head->next;
        free(head->codec_name);
        free(head->entries);
        free(head->spspps);
        free(head);
        head = next;
    }
}

void free_audio_stream_context(AudioStreamContext *head) {
    while (head) {
        AudioStreamContext *next = head->next;
        free(head->codec_name);
        free(head->entries);
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

void media_context_register(void) {
    // libavformat registers its formats itself.
}

int build_media_info(MediaContext *context, const char *filename) {
    if (!context) return -1;
    errno = 0;
    FILE *file = fopen(filename, "rb");
    if (!file) return -2;
    clear_context(context);
    fseek(file, 0, SEEK_END);
    context->file_size = ftell(file);
    fclose(file);

    AVFormatContext *format = nullptr;
    if (open_local(&format, filename) < 0) return 1;
    if (!describe_container(context, format, filename) ||
        avformat_find_stream_info(format, nullptr) < 0) {
        avformat_close_input(&format);
        return 1;
    }

    bool out_of_memory = false;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        AVStream *stream = format->streams[i];
        Fill result = Fill::ok;
        switch (stream->codecpar->codec_type) {
            case AVMEDIA_TYPE_VIDEO:
                result = add_video(context, stream);
                break;
            case AVMEDIA_TYPE_AUDIO:
                result = add_audio(context, stream);
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                print_other_stream("subtitle");
                break;
            default:
                print_other_stream("unknown");
                break;
        }
        if (result == Fill::no_memory) out_of_memory = true;
    }
    avformat_close_input(&format);
    return out_of_memory ? 1 : 0;
}

int add_video_stream_context(MediaContext *context, AVStream *stream) {
    return add_video(context, stream) == Fill::ok ? 0 : -1;
}

int add_audio_stream_context(MediaContext *context, AVStream *stream) {
    return add_audio(context, stream) == Fill::ok ? 0 : -1;
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
    FILE *file = fopen(filename, "rb");
    if (!file) return errno != 0 ? errno : EIO;
    if (buff_len > 0) {
        size_t ignored = fread(buffer, static_cast<size_t>(buff_len), 1, file);
        (void)ignored;
    }
    fclose(file);
    return 0;
}
