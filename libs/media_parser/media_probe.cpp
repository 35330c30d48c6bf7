// The records and the probe. The demuxer is read through the per-stream codec
// parameters and the index accessors; every value is narrowed to the width of
// the record field it lands in.
#include "media_probe.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/version.h>
}

#include "probe_io.h"

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
    auto *entries = static_cast<StreamEntry *>(calloc(count, sizeof(StreamEntry)));
    if (!entries) return Fill::no_memory;
    const AVIndexEntry *last = avformat_index_get_entry(stream, count - 1);
    const AVIndexEntry *first = avformat_index_get_entry(stream, 0);
    if (first && last == first + (count - 1)) {
        memcpy(entries, first, static_cast<size_t>(count) * sizeof(StreamEntry));
    } else {
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

// The fields every kind of node shares. Returns false when a copy cannot be
// allocated.
template <typename Node>
bool fill_common(Node *node, const AVStream *stream) {
    const AVCodecParameters *par = stream->codecpar;
    node->stream_index = stream->index;
    node->codec_tag = par->codec_tag;
    node->time_base_num = stream->time_base.num;
    node->time_base_den = stream->time_base.den;
    node->start_time = time_or_none(stream->start_time);
    node->duration_ts = time_or_none(stream->duration);
    node->disposition = stream->disposition;
    return copy_optional(&node->codec_id_name, codec_id_name(par->codec_id)) &&
           copy_tags(&node->tags, &node->tag_count, stream->metadata);
}

bool fill_video_extension(VideoStreamContext *video, AVStream *stream) {
    const AVCodecParameters *par = stream->codecpar;
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
    return fill_common(video, stream) && copy_profile(&video->profile, par) &&
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
                                   av_color_primaries_name, AVCOL_PRI_UNSPECIFIED));
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

bool fill_audio_extension(AudioStreamContext *audio, AVStream *stream) {
    const AVCodecParameters *par = stream->codecpar;
    audio->bits_per_sample = av_get_bits_per_sample(par->codec_id);
    audio->bits_per_raw_sample = par->bits_per_raw_sample;
    audio->frame_count = stream->nb_frames;
    return fill_common(audio, stream) && copy_profile(&audio->profile, par) &&
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
Fill add_video(MediaContext *context, AVStream *stream, bool copy_entries = true) {
    VideoStreamContext *node = append_node(&context->video);
    if (!node) return Fill::no_memory;
    Fill filled = fill_video(node, stream, copy_entries);
    if (filled == Fill::no_memory) return filled;
    return with_extension(filled, fill_video_extension(node, stream));
}

Fill add_audio(MediaContext *context, AVStream *stream, bool copy_entries = true) {
    AudioStreamContext *node = append_node(&context->audio);
    if (!node) return Fill::no_memory;
    Fill filled = fill_audio(node, stream, copy_entries);
    if (filled == Fill::no_memory) return filled;
    return with_extension(filled, fill_audio_extension(node, stream));
}

void free_tags(MediaTag *tags, int32_t count) {
    for (int32_t i = 0; tags && i < count; ++i) {
        free(tags[i].key);
        free(tags[i].value);
    }
    free(tags);
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

// Fills the container's extension fields, once the streams have been read;
// false when a copy cannot be allocated.
bool describe_container_extension(MediaContext *context, const AVFormatContext *format) {
    context->stream_count = static_cast<int32_t>(format->nb_streams);
    context->duration_us = time_or_none(format->duration);
    context->start_time_us = time_or_none(format->start_time);
    context->total_bit_rate = format->bit_rate > 0 ? format->bit_rate : 0;
    context->chapter_count = static_cast<int32_t>(format->nb_chapters);
    return copy_optional(&context->format_long_name, format->iformat->long_name) &&
           copy_tags(&context->tags, &context->tag_count, format->metadata);
}

Fill add_other(MediaContext *context, const AVStream *stream) {
    OtherStreamContext *node = append_node(&context->other);
    if (!node) return Fill::no_memory;
    const char *kind = av_get_media_type_string(stream->codecpar->codec_type);
    bool filled = copy_optional(&node->kind, kind ? kind : "unknown") && fill_common(node, stream);
    return filled ? Fill::ok : Fill::no_memory;
}

constexpr unsigned kKnownFlags = MEDIA_PROBE_NO_INDEX;

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

void free_video_stream_context(VideoStreamContext *head) {
    while (head) {
        VideoStreamContext *next = head->next;
        free(head->codec_name);
        free(head->entries);
        free(head->spspps);
        free(head->codec_id_name);
        free(head->profile);
        free(head->pix_fmt);
        free(head->field_order);
        free(head->color_range);
        free(head->color_space);
        free(head->color_transfer);
        free(head->color_primaries);
        free_tags(head->tags, head->tag_count);
        free(head);
        head = next;
    }
}

void free_audio_stream_context(AudioStreamContext *head) {
    while (head) {
        AudioStreamContext *next = head->next;
        free(head->codec_name);
        free(head->entries);
        free(head->codec_id_name);
        free(head->profile);
        free(head->sample_fmt);
        free(head->channel_layout);
        free_tags(head->tags, head->tag_count);
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
        free(head->codec_id_name);
        free_tags(head->tags, head->tag_count);
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
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        AVStream *stream = format->streams[i];
        Fill result = Fill::ok;
        switch (stream->codecpar->codec_type) {
            case AVMEDIA_TYPE_VIDEO:
                result = add_video(context, stream, copy_entries);
                break;
            case AVMEDIA_TYPE_AUDIO:
                result = add_audio(context, stream, copy_entries);
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                note_other_stream(filename, "subtitle");
                result = add_other(context, stream);
                break;
            default:
                note_other_stream(filename, "unknown");
                result = add_other(context, stream);
                break;
        }
        if (result == Fill::no_memory) out_of_memory = true;
    }
    avformat_close_input(&format);
    end_probe(context, &budget);
    if (out_of_memory) set_error_text(context, AVERROR(ENOMEM));
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
