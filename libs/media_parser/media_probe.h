/*
 * media_probe: describes a media file for the programs that link it.
 *
 * The demuxing is done by FFmpeg's libavformat; this library decides what is
 * read and how the container is classified, and hands the caller plain
 * records it reads directly.
 *
 * Conventions
 *  1. Allocation. The library allocates every record and every text it keeps,
 *     zero-filled. A field that was not set reads as 0, or as NULL for texts,
 *     arrays and links. NULL means "absent" everywhere.
 *  2. Ownership. The caller owns a MediaContext from create_media_context()
 *     until free_media_context(), which releases the context together with
 *     its texts, its three stream lists and everything each node owns. Every
 *     pointer read out of a context stays valid until the context is freed or
 *     probed again; copy what must outlive it. Nothing the caller passes in is
 *     kept: paths are copied.
 *  3. Return codes. 0 is success everywhere. The failure codes are few and
 *     listed with each function: -1 (absent argument, no decoder, or out of
 *     memory), -2 (the file cannot be opened), 1 (the file is not a media file
 *     the demuxer can read, the probe reached a limit, or memory ran out
 *     while describing it; then MediaContext.error_text says which), -256
 *     (free_media_context on NULL), or a positive errno value.
 *     media_probe_result_text names each.
 *  4. Output. The library prints two lines on standard output for each
 *     subtitle or other stream that is neither audio nor video (a program
 *     may take them instead: media_probe_set_note_handler), and one line
 *     on standard error when a context cannot be allocated. It does not touch
 *     the demuxer's logging level.
 *  5. Threads. The library keeps no state between calls beyond two lookups
 *     it makes once per process and then only reads (the demuxers it permits
 *     and the decoder found for each codec id); both are safe to fill from
 *     several threads at once and last until the process ends. The limits of
 *     convention 7 are kept for the process too. Different contexts may be
 *     probed from different threads at once; one context must be used by one
 *     thread at a time (media_probe_cancel excepted, which any thread may
 *     call). The exported MIME pointers are read by every
 *     probe: change them, if at all, before probing starts.
 *  6. Files. A path is always read as a local file, never as a URL or a
 *     protocol prefix ("http://...", "concat:a|b"), and a playlist's entries
 *     are read only from local files. Only regular files (or links to them)
 *     are read: a directory is refused with EISDIR and anything else, such as
 *     a FIFO, a socket or a device like /dev/zero, with EINVAL. The type is
 *     checked before the path is opened, so such a file is refused without
 *     being opened (a FIFO without a writer would block the open for ever,
 *     and a device may never end). Only a path replaced between that check
 *     and the open can be opened as something else, and then without
 *     blocking or taking a terminal (O_NONBLOCK, O_NOCTTY), to be refused by
 *     the same check made on the descriptor and closed unread. The file read
 *     is the one whose descriptor was checked: nothing is reopened, and /proc
 *     is not needed. The same holds for every file a playlist names. Reads
 *     never block: a file that has no data for now (such as /proc/kmsg) is
 *     waited for, and the wait counts towards the idle limit (convention 7).
 *     A master playlist that names itself, or a master that names it back, is
 *     read at most twice; a further open of it is refused (ELOOP), as an
 *     unreadable entry. Concatenation lists ("ffconcat"), DASH manifests and
 *     VobSub indexes are not read (result 1): their demuxers open the files
 *     they name on their own, outside these rules.
 *  7. Limits. Each probe has a budget: processor time, bytes read, index
 *     entries, playlists, files opened, time spent waiting and memory (see
 *     MediaProbeLimits for each and its default). A probe that reaches one
 *     stops and returns 1, error_text naming the limit ("probe stopped at
 *     more than 10 s of processor time: ..."); it never returns 0 with a
 *     description cut short. Work and memory the demuxer would spend between
 *     two reads are predicted from the file's structure, and a probe whose
 *     predicted share would take it past a limit stops before the demuxer
 *     starts on it. A scan (MEDIA_PROBE_SCAN) extends the budget with what
 *     it reads, so that a file of any size is scanned whole, and stops in
 *     the same way.
 *
 * The records' layout is part of the interface: integer fields have exactly
 * the widths declared here and StreamEntry matches libavformat's index entry.
 * Each record ends with a block of fields that extend the description; new
 * fields are only ever added at the end of a record, so sizeof a record is
 * not part of the interface (allocate records with the library, or zero-fill
 * them), while the offsets of existing fields never change.
 */
#ifndef MEDIA_PROBE_H
#define MEDIA_PROBE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct AVStream;

/* Version of this library; media_probe_version() gives the same as text. */
#define MEDIA_PROBE_VERSION_MAJOR 1
#define MEDIA_PROBE_VERSION_MINOR 1
#define MEDIA_PROBE_VERSION_PATCH 0

/* An unknown 64-bit time or timestamp in the extension fields (the value
 * of FFmpeg's AV_NOPTS_VALUE). */
#define MEDIA_PROBE_NO_VALUE INT64_MIN

/* One metadata entry ("language" = "eng"), both texts owned by the record
 * whose `tags` array holds it. Every entry a record counts in its tag_count
 * has both texts. */
typedef struct MediaTag {
    char *key;
    char *value;
} MediaTag;

/* Container classification. Values are part of the interface. */
typedef enum InternetMediaType {
    INTERNET_MEDIA_TYPE_UNKNOWN = 0,          /* "application/octet-stream" */
    INTERNET_MEDIA_TYPE_VIDEO_MP4 = 1,        /* "video/mp4" */
    INTERNET_MEDIA_TYPE_VIDEO_QUICKTIME = 2,  /* "video/quicktime" */
    INTERNET_MEDIA_TYPE_VIDEO_X_MATROSKA = 3, /* "video/x-matroska" */
    INTERNET_MEDIA_TYPE_VIDEO_X_MS_WMV = 4,   /* "video/x-ms-wmv" */
    INTERNET_MEDIA_TYPE_VIDEO_MPEGTS = 5,     /* "video/mp2t" */
    INTERNET_MEDIA_TYPE_VIDEO_X_FLV = 6       /* "video/x-flv" */
} InternetMediaType;

/* The MIME text of each class. A probe copies the text the pointer holds at
 * that moment into MediaContext.mime_type_str. */
extern const char *mime_type_unknown;
extern const char *mime_type_mp4;
extern const char *mime_type_quicktime;
extern const char *mime_type_matroska;
extern const char *mime_type_wmv;
extern const char *mime_type_mpegts;
extern const char *mime_type_flv;

/* One entry of a stream's seek index, laid out like libavformat's
 * AVIndexEntry: flags and size share one 32-bit word, flags in its low 2
 * bits. Both are signed: a stored flag value 2 reads back as -2. */
typedef struct StreamEntry {
    int64_t pos;       /* byte position of the indexed packet in the file */
    int64_t timestamp; /* in the stream's time base */
    signed int flags : 2;
    signed int size : 30; /* packet size in bytes */
    int min_distance;     /* the demuxer's distance to the previous key frame */
} StreamEntry;

/* HDR signalling of a video stream (VideoStreamContext.mastering_display,
 * .content_light, .dovi). Each is stated by the container (its stream side
 * data) or by the SEI messages of the stream's first pictures; `source`
 * ("container" or "bitstream", owned) says which. When both state one, the
 * container's values are kept, as players use them. */
typedef struct MediaMasteringDisplay {
    /* CIE 1931 xy of the display primaries and white point (ffprobe shows
     * them as fractions, "34000/50000" is 0.68); 0 unless has_primaries. */
    double red_x, red_y, green_x, green_y, blue_x, blue_y, white_x, white_y;
    double min_luminance;  /* cd/m2; 0 unless has_luminance */
    double max_luminance;  /* cd/m2; 0 unless has_luminance */
    int32_t has_primaries; /* 1 when the primaries and white point are stated */
    int32_t has_luminance; /* 1 when the two luminances are stated */
    char *source;
} MediaMasteringDisplay;

typedef struct MediaContentLight {
    int32_t max_cll;  /* MaxCLL, cd/m2 */
    int32_t max_fall; /* MaxFALL, cd/m2 */
    char *source;
} MediaContentLight;

/* The Dolby Vision configuration record of the container, as ffprobe's
 * dv_version_major ... dv_bl_signal_compatibility_id. */
typedef struct MediaDoviConfig {
    int32_t version_major;
    int32_t version_minor;
    int32_t profile;
    int32_t level;
    int32_t rpu_present;
    int32_t el_present;
    int32_t bl_present;
    int32_t bl_compatibility_id;
} MediaDoviConfig;

/* One entry of a stream's side data as the demuxer holds it (the stream
 * records' raw_side_data): `type` is FFmpeg's AVPacketSideDataType value and
 * `data` (owned) its `size` bytes, laid out as FFmpeg's record for the type
 * (AVMasteringDisplayMetadata, a display matrix of nine int32_t, ...). */
typedef struct MediaSideData {
    int32_t type;
    int32_t size;
    uint8_t *data;
} MediaSideData;

/* One chapter (MediaContext.chapters). Times are ticks of the chapter's own
 * time base (time_base_num / time_base_den seconds each). */
typedef struct MediaChapter {
    int64_t id;
    int32_t time_base_num;
    int32_t time_base_den;
    int64_t start;
    int64_t end;
    char *title;       /* its "title" tag; NULL when it has none */
    int32_t tag_count; /* all its metadata, title included */
    MediaTag *tags;
} MediaChapter;

/* One program of the container (an MPEG-TS service; MediaContext.programs),
 * each value as ffprobe's -show_programs gives it. */
typedef struct MediaProgram {
    int32_t program_id;  /* the service id */
    int32_t program_num; /* the program number */
    int32_t pmt_pid;
    int32_t pcr_pid;
    int32_t stream_count;
    int32_t *stream_indexes; /* the stream_index of each of its streams, owned */
    int32_t tag_count;       /* service_name, service_provider, ... */
    MediaTag *tags;
} MediaProgram;

/* What reading every packet of the file found for one stream
 * (media_probe_file with MEDIA_PROBE_SCAN), without decoding any. Times are
 * ticks of the stream's time base; packets are counted as ffprobe's
 * -count_packets and -show_packets count and show them. A packet the
 * demuxer flags discard (one an edit list cuts off, read only for decoding
 * the next ones) is counted, but is not presented: it takes no part in
 * start, duration_ts or the frame rates. */
typedef struct MediaScan {
    int64_t packets;     /* packets read */
    int64_t key_packets; /* those flagged key */
    int64_t bytes;       /* the sum of their sizes */
    /* The first presentation timestamp, and the time from it to the last
     * end (a packet ends at its pts plus its duration); MEDIA_PROBE_NO_VALUE
     * and 0 when no packet had a timestamp. */
    int64_t start;
    int64_t duration_ts;
    int64_t bit_rate; /* bytes * 8 over duration_ts in seconds; 0 when that is 0 */
    /* Video: every key packet (pos, timestamp = pts, size, flags 1), in the
     * order read; pos is -1 and timestamp MEDIA_PROBE_NO_VALUE where the
     * demuxer gives none, min_distance is 0. Bounded like the seek index
     * (MediaProbeLimits.index_entries): a scan that would keep more stops.
     * keyframe_count counts them even when they are not copied
     * (MEDIA_PROBE_NO_INDEX). 0 and NULL for other kinds, whose packets are
     * nearly all key. */
    int64_t keyframe_count;
    StreamEntry *keyframes;
    /* Video (0 otherwise): frames per second as 1 over the longest and 1 over
     * the shortest step between consecutive presentation timestamps (in pts
     * order); vfr 1 when those two steps differ by more than the timestamps'
     * own step (their greatest common divisor), so that 29.97 fps written in
     * whole milliseconds (33 and 34 ms) is constant. A step of 0 (a repeated
     * timestamp) is no frame interval and is left out, and a timestamp going
     * back (a reset) starts the steps afresh. gop_max: the most packets from
     * one key packet to the next, the key packet included, in the order read
     * (the last run ends with the stream). */
    double frame_rate_min;
    double frame_rate_max;
    int32_t vfr;
    int32_t gop_max;
} MediaScan;

/* One video stream; the nodes form a list in the demuxer's stream order. */
typedef struct VideoStreamContext {
    char *codec_name; /* decoder's short name; NULL when no decoder is known */
    int32_t width;
    int32_t height;
    double fps;       /* may be NaN or infinite; see set_video_stream_context */
    int32_t bit_rate; /* bits per second, low 32 bits */
    int32_t duration; /* stream time base, low 32 bits of the 64-bit value */
    int32_t spspps_len;
    uint8_t *spspps;     /* the codec's configuration bytes (extradata) */
    int64_t entry_count; /* elements in entries; 0 when there is no index */
    StreamEntry *entries;
    struct VideoStreamContext *next;

    /* Extension: the complete description, each field what ffprobe reports
     * for the stream (docs/description.md names its key). Times are ticks of
     * the stream's time base (time_base_num / time_base_den seconds each);
     * texts are NULL when FFmpeg has no value for them. Filled by
     * build_media_info and add_video_stream_context, whether or not a decoder
     * is known; set_video_stream_context leaves it alone. */
    int32_t stream_index; /* position among all streams of the file */
    /* The codec ("h264"), not the decoder's name; NULL for a codec FFmpeg has
     * no descriptor for. */
    char *codec_id_name;
    uint32_t codec_tag; /* the container's fourcc, 0 when none */
    /* e.g. "High", "Main 10"; the number as text when the codec names none;
     * NULL when unknown. */
    char *profile;
    int32_t level;               /* the codec's number (H.264: 40 = 4.0); -99 unknown */
    char *pix_fmt;               /* e.g. "yuv420p", "yuv420p10le" */
    int32_t bits_per_raw_sample; /* bits per sample; 0 when unknown */
    int32_t time_base_num;
    int32_t time_base_den;
    int64_t start_time;         /* first timestamp; MEDIA_PROBE_NO_VALUE when unknown */
    int64_t duration_ts;        /* full 64-bit duration; MEDIA_PROBE_NO_VALUE when unknown */
    int64_t frame_count;        /* frames the container declares; 0 when unknown */
    int32_t avg_frame_rate_num; /* average frame rate as a fraction; 0/0 unknown */
    int32_t avg_frame_rate_den;
    int32_t r_frame_rate_num; /* the demuxer's base frame rate; 0/0 unknown */
    int32_t r_frame_rate_den;
    /* Sample (pixel) aspect ratio, the stream's own, else the codec's; 0/1
     * when unknown. */
    int32_t sar_num;
    int32_t sar_den;
    /* Display aspect ratio, width * SAR : height reduced; 0/1 when unknown
     * (no SAR, or no height). */
    int32_t dar_num;
    int32_t dar_den;
    char *field_order;     /* "progressive", "tt", "bb", "tb", "bt"; NULL unknown */
    char *color_range;     /* "tv", "pc"; NULL when unspecified */
    char *color_space;     /* e.g. "bt709", "bt2020nc"; NULL when unspecified */
    char *color_transfer;  /* e.g. "bt709", "smpte2084"; NULL when unspecified */
    char *color_primaries; /* e.g. "bt709", "bt2020"; NULL when unspecified */
    /* Degrees from the display matrix, whole and truncated toward zero as
     * ffprobe shows them (90 for a quarter turn); 0 when there is none. */
    double rotation;
    int32_t disposition; /* AV_DISPOSITION_* bits */
    int32_t tag_count;   /* elements in tags */
    MediaTag *tags;      /* stream metadata in the demuxer's order */

    /* The stream's id in its container, as ffprobe's `id` (an MPEG-TS PID, an
     * MP4 track id); -1 when the container gives none. */
    int32_t stream_id;
    /* The type name of each entry of the stream's side data, in order, as
     * ffprobe's side_data_type ("Display Matrix", "Mastering display
     * metadata", "unknown" for a type FFmpeg does not name); owned texts,
     * side_data_count of them; NULL and 0 when there is none. */
    int32_t side_data_count;
    char **side_data_types;
    /* HDR (see MediaMasteringDisplay); NULL when not stated. */
    MediaMasteringDisplay *mastering_display;
    MediaContentLight *content_light;
    MediaDoviConfig *dovi; /* NULL without a Dolby Vision configuration record */
    /* 1 when the first pictures carry SMPTE ST 2094-40 (HDR10+) metadata. */
    int32_t hdr10plus;
    /* "Dolby Vision 8.1 (HDR10 compatible)", "HDR10+", "HDR10", "PQ", "HLG";
     * NULL for SDR (docs/description.md gives the rule). */
    char *hdr_format;
    /* What a scan found (MEDIA_PROBE_SCAN); NULL when the file was not scanned. */
    MediaScan *scan;

    /* Codec parameters ffprobe shows beyond those above. */
    int32_t has_b_frames;  /* frames of reordering delay (ffprobe's has_b_frames) */
    char *chroma_location; /* "left", "topleft", ...; NULL when unspecified */
    int64_t bit_rate_full; /* the whole 64-bit bit rate; 0 when unknown */
    /* The stream's side data, each entry copied whole, in order; NULL and 0
     * when there is none. On an allocation failure the entries copied so far
     * stay, counted. */
    int32_t raw_side_data_count;
    MediaSideData *raw_side_data;
    /* The coded picture size a decoder takes when it opens on the stream's
     * parameters, before any picture is decoded (ffprobe's coded_width and
     * coded_height): the picture size, HEVC's from its sequence parameter
     * set (160x128 for 160x120), 0x0 for MPEG-1 and MPEG-2 video, whose
     * decoder waits for a sequence header. */
    int32_t coded_width;
    int32_t coded_height;
    /* H.264: 1 when the configuration bytes are an avcC record (packets
     * carry NAL lengths of nal_length_size bytes), 0 for Annex B (and
     * nal_length_size 0); -1 for other codecs. */
    int32_t is_avc;
    int32_t nal_length_size;
} VideoStreamContext;

/* One audio stream; list in stream order. */
typedef struct AudioStreamContext {
    char *codec_name;
    int32_t sample_rate;
    int32_t channels;
    int32_t bit_rate;
    int32_t duration; /* as for video */
    int64_t entry_count;
    StreamEntry *entries;
    struct AudioStreamContext *next;

    /* Extension: the complete description; as for video (filled by
     * build_media_info and add_audio_stream_context). */
    int32_t stream_index;
    char *codec_id_name;
    uint32_t codec_tag;
    char *profile;    /* e.g. "LC", "HE-AAC" */
    char *sample_fmt; /* e.g. "fltp", "s16"; NULL when unknown */
    /* e.g. "stereo", "5.1(side)"; NULL when only the channel count is known. */
    char *channel_layout;
    /* Bits per coded sample fixed by the codec (16 for pcm_s16le); 0 when not
     * fixed. */
    int32_t bits_per_sample;
    int32_t bits_per_raw_sample; /* 0 when unknown */
    int32_t time_base_num;
    int32_t time_base_den;
    int64_t start_time;  /* MEDIA_PROBE_NO_VALUE when unknown */
    int64_t duration_ts; /* MEDIA_PROBE_NO_VALUE when unknown */
    int64_t frame_count; /* 0 when unknown */
    int32_t disposition;
    int32_t tag_count;
    MediaTag *tags;

    /* As for video. */
    int32_t stream_id;
    int32_t side_data_count;
    char **side_data_types;
    MediaScan *scan; /* as for video */

    /* As for video; extradata_size counts the codec's configuration bytes,
     * the frame rates are 0/0 where the demuxer has none (most audio). */
    int64_t bit_rate_full;
    int32_t extradata_size;
    int32_t r_frame_rate_num;
    int32_t r_frame_rate_den;
    int32_t avg_frame_rate_num;
    int32_t avg_frame_rate_den;
    int32_t raw_side_data_count;
    MediaSideData *raw_side_data;
} AudioStreamContext;

/* One subtitle stream. Probing never creates these nodes; the list exists so
 * that callers may keep their own and have free_media_context release it. */
typedef struct SubtitleStreamContext {
    char *codec_name;
    int32_t duration;
    int64_t entry_count;
    StreamEntry *entries;
    struct SubtitleStreamContext *next;
} SubtitleStreamContext;

/* Extension: one stream that is neither video nor audio (subtitle, data,
 * attachment); list in stream order. Fields as for video. The library still
 * emits its two lines for each such stream (build_media_info). */
typedef struct OtherStreamContext {
    char *kind; /* "subtitle", "data", "attachment" or "unknown" */
    int32_t stream_index;
    char *codec_id_name; /* e.g. "subrip", "ttf"; NULL when FFmpeg has none */
    uint32_t codec_tag;
    int32_t time_base_num;
    int32_t time_base_den;
    int64_t start_time;  /* MEDIA_PROBE_NO_VALUE when unknown */
    int64_t duration_ts; /* MEDIA_PROBE_NO_VALUE when unknown */
    int32_t disposition;
    int32_t tag_count;
    MediaTag *tags;
    struct OtherStreamContext *next;
    /* As for video. */
    int32_t stream_id;
    int32_t side_data_count;
    char **side_data_types;
    MediaScan *scan; /* as for video */

    /* As for audio; width and height (a picture subtitle's) 0 when unknown. */
    int64_t bit_rate_full;
    int32_t extradata_size;
    int32_t r_frame_rate_num;
    int32_t r_frame_rate_den;
    int32_t avg_frame_rate_num;
    int32_t avg_frame_rate_den;
    int32_t raw_side_data_count;
    MediaSideData *raw_side_data;
    char *profile;               /* as for video; NULL when unknown */
    int64_t frame_count;         /* 0 when unknown */
    int32_t bits_per_raw_sample; /* 0 when unknown */
    int32_t width;
    int32_t height;
} OtherStreamContext;

/* The description of one file. */
typedef struct MediaContext {
    char *filename; /* copy of the probed path */
    int64_t file_size;
    char *container_name; /* the demuxer's short name, e.g. "matroska,webm" */
    /* Container duration in milliseconds and bit rate in bits per second, as
     * the demuxer knows them right after opening the file (before the streams
     * are read). 0 means not known at that point, which is the usual case
     * for the bit rate and for the duration of MPEG-TS, FLV, ASF, MP3, WAV
     * and AVI files. The bit rate is narrowed to its low 32 bits. */
    int32_t duration;
    int32_t bit_rate;
    InternetMediaType mime_type;
    char *mime_type_str;
    VideoStreamContext *video;
    AudioStreamContext *audio;
    SubtitleStreamContext *subtitle;

    /* Extension: the complete description, read after the streams' parameters
     * have been read (so unlike duration and bit_rate above), as ffprobe
     * reports it. Filled on result 0 (and, on result 1 from memory running
     * out, as far as it got: every array then holds exactly the elements its
     * count says, each whole). */
    char *format_long_name; /* e.g. "QuickTime / MOV" */
    int32_t stream_count;   /* all streams, of every kind */
    int64_t duration_us;    /* microseconds; MEDIA_PROBE_NO_VALUE when unknown */
    int64_t start_time_us;  /* microseconds; MEDIA_PROBE_NO_VALUE when unknown */
    int64_t total_bit_rate; /* bits per second, 64-bit; 0 when unknown */
    int32_t chapter_count;
    int32_t tag_count;         /* elements in tags */
    MediaTag *tags;            /* container metadata in the demuxer's order */
    OtherStreamContext *other; /* streams neither video nor audio */
    /* Why build_media_info returned 1, in words; NULL after any other result
     * (and when even this text could not be allocated). The demuxer's words
     * ("Invalid data found when processing input": no demuxer recognises the
     * file), prefixed with the demuxer's name when one recognised a file it
     * could not open ("mov,mp4,m4a,3gp,3g2,mj2 demuxer: ..."), "probe stopped
     * ...: ..." when a limit of convention 7 ended the probe, "probe
     * cancelled" (media_probe_cancel), or "Cannot allocate memory". */
    char *error_text;
    /* The library's own: set by media_probe_cancel from any thread, cleared
     * when a probe on the context ends. Neither read nor write it. */
    int32_t cancel_request;
    /* The chapters, chapter_count of them, in the demuxer's order; NULL when
     * there are none. */
    MediaChapter *chapters;
    /* The container's programs (MPEG-TS services); NULL and 0 for none. */
    int32_t program_count;
    MediaProgram *programs;
    /* How the demuxer found duration_us: "pts" (from the timestamps),
     * "stream" (from the streams' durations) or "bit rate" (estimated from
     * the bit rate: inexact); NULL when the duration is unknown. */
    char *duration_estimate;
    /* A scan's duration of the whole file, in microseconds: from the earliest
     * start to the latest end over all streams; MEDIA_PROBE_NO_VALUE when the
     * file was not scanned (or no packet had a timestamp). */
    int64_t scan_duration_us;
    /* How sure the demuxer was of the container, 1 to 100 (ffprobe's
     * probe_score); 0 when the container was not recognised. */
    int32_t probe_score;
} MediaContext;

/* Returns a new zero-filled context, or NULL when memory is exhausted; then
 * "[create_media_context]error[<strerror text>] \n" is printed on standard
 * error. The caller frees it with free_media_context. */
MediaContext *create_media_context(void);

/* Frees the context, its texts, its tags and its stream lists. Returns 0, or
 * -256 when `context` is NULL (nothing is freed). */
int free_media_context(MediaContext *context);

/* Each frees a whole list starting at `head`: every node with its texts, its
 * tags, its index, its scan and (video) its configuration bytes. NULL does
 * nothing. */
void free_video_stream_context(VideoStreamContext *head);
void free_audio_stream_context(AudioStreamContext *head);
void free_subtitle_stream_context(SubtitleStreamContext *head);
void free_other_stream_context(OtherStreamContext *head);

/* Kept for callers written for older demuxer libraries that needed a
 * registration call. With this FFmpeg it has nothing to do; calling it is
 * harmless and optional. */
void media_context_register(void);

/* Describes the local file `filename` (not NULL) into `context`.
 * Returns:
 *   -1  `context` is NULL; nothing is done.
 *   -2  the file cannot be opened for reading, or is not a regular file; the
 *       context is unchanged and errno tells why (e.g. ENOENT, EACCES, EISDIR
 *       for a directory, EINVAL for a FIFO or a device; see convention 6).
 *    1  the demuxer cannot open the file (only file_size is set), or it cannot
 *       read the streams' parameters (filename, the container fields and the
 *       MIME type are set, no stream nodes), or the probe reached one of its
 *       limits (convention 7; the fields set by then stay, as in those two
 *       cases), or memory ran out part way (the fields set so far stay; the
 *       context is still freed normally). error_text then says why.
 *    0  success.
 * On any result but -1 and -2 the context first drops what an earlier probe
 * left in it, so it describes this file alone. One video or audio node is
 * added per stream; a stream whose codec has no decoder keeps its node
 * without codec_name or index (its extension fields are filled). Every other
 * stream gets a node in `other`, and two lines are printed on standard
 * output (or handed to the note handler): "================== " and then
 * "codec type subtitle " or "codec type unknown ". Memory running out stops
 * nothing: the probe goes on describing what it can and returns 1. */
int build_media_info(MediaContext *context, const char *filename);

/* What media_probe_file does beyond build_media_info; flags combine with |. */
/* After the probe, read every packet of the file, without decoding, and
 * fill each stream's `scan` and the context's scan_duration_us. The packets
 * the probe read first are counted with the rest. A scan that cannot read
 * the whole file (a limit of MediaProbeLimits, a cancel request, memory, a
 * read error) returns 1 with error_text saying why, as a probe does: the
 * streams stay described, none with a scan. Its memory grows with the
 * keyframes it keeps, not with the packets it reads. */
#define MEDIA_PROBE_SCAN 0x1u
/* Do not copy the seek indexes: each node's entry_count still counts its
 * index, but its entries stay NULL. For callers that do not need the index,
 * which is most of a description's memory for long files. */
#define MEDIA_PROBE_NO_INDEX 0x2u

/* build_media_info with `flags` (0, or MEDIA_PROBE_* flags above):
 * build_media_info(c, f) is media_probe_file(c, f, 0). Results as for
 * build_media_info, and -1, with nothing done, for a flag bit this version
 * does not know. */
int media_probe_file(MediaContext *context, const char *filename, unsigned flags);

/* Asks the probe on `context` to stop; safe from any thread, at any time,
 * while the context exists. The probe notices within milliseconds of its
 * next read or check (see MediaProbeLimits.cpu_ms for work between them)
 * and returns 1 with error_text "probe cancelled", like a probe that reached
 * a limit (convention 7). The
 * request lasts until a probe on the context ends: when none is running, the
 * next one started on it is cancelled at once, so a request cannot be lost
 * in a race with a probe just starting. Returns 0, or -1 when `context` is
 * NULL. */
int media_probe_cancel(MediaContext *context);

/* Append a zero-filled node at the end of `context`'s video (audio) list and
 * fill it from `stream` with set_video_stream_context
 * (set_audio_stream_context), then fill its extension as build_media_info
 * does; both arguments must not be NULL. The stream's container is taken to
 * be the one context->container_name names: without one, stream_id is -1.
 * Returns 0, or -1 when filling failed (the node stays linked). When the
 * node itself cannot be allocated, returns -1 and links nothing. */
int add_video_stream_context(MediaContext *context, struct AVStream *stream);
int add_audio_stream_context(MediaContext *context, struct AVStream *stream);

/* The two set operations fill a zero-filled node from libavformat's stream
 * record (e.g. AVFormatContext.streams[i] once the stream parameters have
 * been read). What a node already holds is overwritten, not freed, and a
 * successful fill sets its `next` to NULL: fill a node before linking it.
 *
 * Fills the original fields of `video` from `stream` (not NULL); the
 * extension is left as it is, so that the node owns no more than the codec
 * name, the index and the configuration bytes. Returns 0, or -1 when `video`
 * is NULL, when the configuration bytes, the codec name or the index cannot
 * be allocated, when the index has more entries than the limit
 * (MediaProbeLimits.index_entries), or when no decoder is known for the
 * codec; the fields set before the failure stay.
 * fps = nb_frames * (time_base.den / time_base.num) / duration, in double.
 * When that is zero it is replaced by r_frame_rate.num / r_frame_rate.den
 * with integer division (30000/1001 gives 29), or by 0 when that denominator
 * is 0. A zero duration or time base numerator is not caught: fps is then
 * NaN or infinite. */
int set_video_stream_context(VideoStreamContext *video, struct AVStream *stream);

/* Fills the original fields of `audio` (not NULL) from `stream` (not NULL),
 * as for video. Returns 0, or -1 when no decoder is known for the codec, when
 * the codec name or the index cannot be allocated, or when the index has
 * more entries than the limit. */
int set_audio_stream_context(AudioStreamContext *audio, struct AVStream *stream);

/* Reads up to `buff_len` bytes from the start of the file into `buffer`,
 * which must hold that many; a shorter file fills only part of it, and a
 * length of 0 or less reads nothing. Returns 0 once the file was opened, or
 * the errno value (positive) when it cannot be opened or is not a regular
 * file (EISDIR, EINVAL: see convention 6). */
int get_buffer_from_file(const char *filename, uint8_t *buffer, int32_t buff_len);

/* Names for the results the functions above return. */
#define MEDIA_PROBE_OK 0
#define MEDIA_PROBE_ERROR (-1)        /* absent argument, no decoder, out of memory */
#define MEDIA_PROBE_CANNOT_OPEN (-2)  /* the file cannot be opened; see errno */
#define MEDIA_PROBE_NOT_MEDIA 1       /* not readable media; see error_text */
#define MEDIA_PROBE_NO_CONTEXT (-256) /* free_media_context(NULL) */

/* A short English text for `result`, in static storage: one for each code
 * above, the system's text for a positive errno value that
 * get_buffer_from_file returns, and "unknown result" for anything else. */
const char *media_probe_result_text(int result);

/* The library's version, "MAJOR.MINOR.PATCH", in static storage. */
const char *media_probe_version(void);

/* Where the per-stream lines of build_media_info go. By default (and after
 * passing NULL) they are printed on standard output, each followed by a
 * newline. With a handler, each line is handed over without its newline,
 * with the path being probed, on the probing thread; `opaque` is passed
 * through. Process-wide: set it before probing starts, not while probes run
 * on other threads. */
typedef void (*MediaProbeNoteHandler)(void *opaque, const char *filename, const char *line);
void media_probe_set_note_handler(MediaProbeNoteHandler handler, void *opaque);

/* The budget of each probe (convention 7). Every field must be positive. The
 * defaults are far beyond what any real file needs; a program may lower them
 * (to probe untrusted files with less at stake) or raise them.
 *
 * A scan (MEDIA_PROBE_SCAN) reads the whole file, so as it reads it extends
 * the budget in proportion to what it reads, and bounds what a file can make
 * it do beyond that:
 *  - bytes: the file's size as it was when opened, plus `bytes`. A file of
 *    any size is scanned whole; one that grows while it is read stops that
 *    far past its size ("probe stopped at more than 4 GiB read beyond the
 *    file's size: ...");
 *  - processor time: 1 ms for every 8 KiB read (8 MiB a second, far below
 *    what any demuxer reads without decoding), or `cpu_ms` when that is
 *    more;
 *  - packets: 1,000,000 plus one for every byte read ("probe stopped at more
 *    than N packets in M bytes read: ..."): no container spends less than a
 *    byte on a packet, so only a demuxer returning packets without reading
 *    (an edit list repeating its samples, say) comes near it;
 *  - index_entries bounds the keyframes kept of each stream; playlists,
 *    files and idle_ms stay as they are (a playlist's segments are files
 *    opened, and a live playlist waited for is waiting).
 * A cancel request (media_probe_cancel) stops a scan as it stops a probe. */
typedef struct MediaProbeLimits {
    /* Processor time of the probing thread, in milliseconds: 10000 (10 s).
     * Measured at every read and check of the probe; work the demuxer does in
     * one go between two of them (metadata, chapters, cues) is predicted as
     * the file is read, and a probe whose predicted work would not fit in
     * what is left stops before the demuxer starts on it: error_text then
     * says so ("probe stopped at more than 10 s of processor time (predicted
     * from the file's Matroska tags): ..."). */
    int64_t cpu_ms;
    /* Bytes read from all the files of a probe together: 4 GiB. */
    int64_t bytes;
    /* Index entries of one stream, 16000000, at most 178956970. This bounds
     * the demuxer's own index as well as the copy in the stream's node: where
     * the demuxer can thin its index it keeps it within the limit, and a
     * file whose sample tables declare more entries stops the probe before
     * the demuxer builds them. Each entry stands for at least a byte of the
     * file, so a stream of a smaller file may have no more entries than the
     * file has bytes ("probe stopped at more than 608 index entries in one
     * stream, one per byte of the file: ..."). */
    int64_t index_entries;
    /* Playlists the demuxer builds from the playlists it reads (each variant
     * or rendition of a master playlist is one): 1000. */
    int64_t playlists;
    /* Files opened, the probed file and every file a playlist names: 256. */
    int64_t files;
    /* Time spent waiting, in milliseconds: for a file that has no data for
     * now, or in the demuxer's own waits, such as for a live playlist to
     * grow: 1000 (1 s). Time the thread spends scheduled out (a busy
     * machine) does not count. */
    int64_t idle_ms;
    /* Bytes of memory a probe may hold: 1 GiB. Counted from what drives it,
     * each at its measured cost: the streams (the demuxer's state, and the
     * decoder reading the streams' parameters opens for each), the index
     * entries (the demuxer's and the copy in the nodes), the metadata,
     * chapters, attachments and cues a Matroska file declares, ID3v2 frames,
     * Vorbis comments and the events of a text subtitle file. A probe that
     * would hold more stops ("probe stopped at more than 1024 MiB of memory:
     * ..."). */
    int64_t memory;
} MediaProbeLimits;

/* Copies the limits in force into `limits`; NULL does nothing. */
void media_probe_get_limits(MediaProbeLimits *limits);

/* Sets the limits for every probe that starts from now on (a probe keeps the
 * limits it started with); NULL restores the defaults. Returns 0, or -1 when
 * a value is out of range (nothing is changed then). Process-wide, like the
 * note handler, but safe to call from any thread at any time. Fill the
 * record with media_probe_get_limits and change what you need. */
int media_probe_set_limits(const MediaProbeLimits *limits);

/* The description in `context` as JSON text: a new NUL-terminated UTF-8
 * string, which the caller frees with media_probe_free_json. Returns NULL
 * when `context` is NULL, when `flags` holds a bit not defined below, or
 * when memory runs out. `flags` is 0 or MEDIA_PROBE_JSON_* flags combined
 * with |; their bits are not those of media_probe_file's flags, so that one
 * passed here by mistake is refused.
 *
 * By default the text is one object on one line, without a line end: byte
 * for byte the line `mprobe --json-lines` prints for the file. Every field of
 * every record comes under its field name, in record order: "filename", then
 * "filename_bytes" (the name's bytes in lower-case hex) when the name is not
 * valid UTF-8, "result", the original fields, "video", "audio", "subtitle",
 * then the extension fields; unknown values are null, configuration bytes
 * hex, the seek index an array of {pos, timestamp, flags, size,
 * min_distance}, tags an object (a repeated key written once, with its last
 * value). Texts are UTF-8, bytes that are not read as U+FFFD.
 * docs/description.md names every key.
 *
 * "result" is 0, or 1 when error_text is set: after build_media_info returned
 * 1 the object holds the fields as far as they were set ("filename" null when
 * the demuxer could not open the file, "container_name" null when no demuxer
 * recognised it) and error_text says why. Results -1 and -2 leave the context
 * as it was, so it gives what it held before: check the result first. A
 * context never probed gives its zeros and nulls, with "result" 0.
 *
 * Only reads the context. Uses the C++ runtime, which the pkg-config file and
 * the CMake package link. */
char *media_probe_json(const MediaContext *context, unsigned flags);
/* Leave out each stream's seek index (`entries`) and a scan's `keyframes`;
 * `entry_count` and `keyframe_count` stay (mprobe --no-index). */
#define MEDIA_PROBE_JSON_NO_INDEX 0x100u
/* Lay the text out on lines, indented by two spaces a level, as mprobe
 * --json lays out each element of its array (there one level deeper). */
#define MEDIA_PROBE_JSON_PRETTY 0x200u

/* Instead of the description, the document ffprobe writes for the file
 * with -print_format json -show_format -show_streams -show_chapters
 * -show_programs: its sections (programs, streams, chapters, format), keys,
 * value types and formatting ("0.500500", "30000/1001", "0x31637661"), what
 * ffprobe shows as "N/A" left out; "{}" after a probe that returned 1, as
 * ffprobe prints for a file it cannot read. By default on one line without
 * spaces; with MEDIA_PROBE_JSON_PRETTY in ffprobe's own layout, byte for
 * byte (indented by four spaces, ending with a line end).
 * MEDIA_PROBE_JSON_NO_INDEX changes nothing (the document holds no index).
 * docs/description.md lists the few keys it leaves out and why. */
#define MEDIA_PROBE_JSON_FFPROBE 0x400u

/* Frees a text media_probe_json returned; NULL does nothing. */
void media_probe_free_json(char *json);

/* Layout checks for the fields callers read directly. */
#if defined(__cplusplus)
#define MEDIA_PROBE_ASSERT(cond, what) static_assert(cond, what)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define MEDIA_PROBE_ASSERT(cond, what) _Static_assert(cond, what)
#else
#define MEDIA_PROBE_ASSERT(cond, what)
#endif
#define MEDIA_PROBE_WIDTH(type, field) sizeof(((type *)0)->field)

MEDIA_PROBE_ASSERT(sizeof(InternetMediaType) == 4, "InternetMediaType is 32 bits");
MEDIA_PROBE_ASSERT(sizeof(StreamEntry) == 24, "StreamEntry is 24 bytes");
MEDIA_PROBE_ASSERT(offsetof(StreamEntry, timestamp) == 8, "StreamEntry.timestamp");
MEDIA_PROBE_ASSERT(offsetof(StreamEntry, min_distance) == 20, "flags and size share one word");
MEDIA_PROBE_ASSERT(MEDIA_PROBE_WIDTH(StreamEntry, min_distance) == 4, "min_distance width");
MEDIA_PROBE_ASSERT(MEDIA_PROBE_WIDTH(VideoStreamContext, width) == 4 &&
                       MEDIA_PROBE_WIDTH(VideoStreamContext, fps) == 8 &&
                       MEDIA_PROBE_WIDTH(VideoStreamContext, duration) == 4 &&
                       MEDIA_PROBE_WIDTH(VideoStreamContext, entry_count) == 8,
                   "VideoStreamContext widths");
MEDIA_PROBE_ASSERT(MEDIA_PROBE_WIDTH(AudioStreamContext, channels) == 4 &&
                       MEDIA_PROBE_WIDTH(AudioStreamContext, entry_count) == 8,
                   "AudioStreamContext widths");
MEDIA_PROBE_ASSERT(MEDIA_PROBE_WIDTH(MediaContext, file_size) == 8 &&
                       MEDIA_PROBE_WIDTH(MediaContext, duration) == 4 &&
                       MEDIA_PROBE_WIDTH(MediaContext, bit_rate) == 4,
                   "MediaContext widths");

#ifdef __cplusplus
}
#endif

#endif
