// The probe's I/O path and budget; the contract is in probe_io.h.
#include "probe_io.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/opt.h>
}

// A file open for the demuxer: what its AVIOContext reads, through opaque.
struct ProbeFile {
    ProbeBudget *budget;
    AVIOContext *context;
    ProbeFile *previous;
    ProbeFile *next;
    int fd;
    int64_t position;  // where the next read starts
    dev_t device;
    ino_t inode;
    bool streamed;  // no positioned reads (a pipe-like file): read in order
    bool probed;    // the probed file, whose sample tables are watched
    bool read_before;
    bool playlist;      // starts with "#EXTM3U": its lines are watched
    bool master_noted;  // found to name playlists
    bool line_decided;  // the current line is known to name no playlist, or counted
    int line_length;
    char line[20];
};

namespace {

// The buffer libavformat's own file reading uses (IO_BUFFER_SIZE): demuxers
// see reads of the same sizes as with the bare calls, so they describe files
// the same way.
constexpr int kBufferSize = 32768;
// How long one wait for data lasts: short enough that the probe notices new
// data soon and ends within a step of its idle limit, long enough that a
// waiting probe uses no processor time to speak of.
constexpr int64_t kWaitStepUs = 10000;
// The demuxer sleeps in steps of 100 ms, calling the interrupt callback
// between steps, while a working demuxer calls it after every packet. A gap
// of half a step in which nothing was read may be a sleep; it may also be
// long work on one packet, or the thread being scheduled out.
constexpr int64_t kQuietGapUs = 50000;
// One sleep step costs the thread a few microseconds of processor time (tens
// under valgrind), long work far more. A thread that was scheduled out runs
// for a time slice, over a millisecond, before it is scheduled out again, so
// two gaps in a row that took it less than this each were sleeps.
constexpr int64_t kSleepCpuUs = 1000;
// CLOCK_MONOTONIC_COARSE advances in ticks of at most 4 ms (HZ 250).
constexpr int64_t kCoarseSlackUs = 10000;
// A sample table's header: its size before the type, its count ending 16
// bytes after the type's start.
constexpr int kBoxBefore = 4;
constexpr int kBoxAfter = 16;
constexpr int kCarry = kBoxBefore + kBoxAfter;
static_assert(sizeof(SampleTableWatch::carry) == kCarry, "carry holds one box header");

// Box types, as read big-endian.
constexpr uint32_t box_type(const char (&name)[5]) {
    return uint32_t(uint8_t(name[0])) << 24 | uint32_t(uint8_t(name[1])) << 16 |
           uint32_t(uint8_t(name[2])) << 8 | uint8_t(name[3]);
}
constexpr uint32_t kSizes = box_type("stsz"), kPackedSizes = box_type("stz2");
constexpr uint32_t kTrack = box_type("trak"), kRun = box_type("trun");
constexpr uint32_t kFragmentHeader = box_type("tfhd"), kTrackExtends = box_type("trex");
constexpr uint32_t kMediaData = box_type("mdat");
// How a Matroska file begins.
constexpr uint32_t kEbmlMagic = 0x1A45DFA3;

// The demuxer that builds its whole index from sample tables while reading
// the header, with no callback in between.
const char kMovDemuxer[] = "mov,mp4,m4a,3gp,3g2,mj2";
// The lines of a playlist that make the demuxer build a playlist each.
const char kVariantTag[] = "#EXT-X-STREAM-INF:";
const char kRenditionTag[] = "#EXT-X-MEDIA:";
constexpr int kVariantLength = sizeof kVariantTag - 1;
constexpr int kRenditionLength = sizeof kRenditionTag - 1;
static_assert(kVariantLength <= static_cast<int>(sizeof ProbeFile::line), "line prefix");

// Values no real file comes near: a large file probes in well under a second
// and reads a few megabytes; a day of 48 kHz AAC has 4 million index entries;
// real master playlists name tens of playlists; a playlist's segments are
// opened a few at a time, and 256 opens also end a live playlist reloaded
// without pause; a second without data is what a probe has always waited; a
// probe of a common file holds tens of megabytes, and the largest real ones
// count well below a gibibyte (a day of AAC's index 200 MiB, 300 H.264
// streams 694 MiB).
constexpr MediaProbeLimits kDefaultLimits = {
    10000, int64_t{4} << 30, 16000000, 1000, 256, 1000, int64_t{1} << 30,
};

// Memory, as counted (probe_io.h). Measured with Debian's FFmpeg 5.1: a
// stream's own state in the demuxer and in stream-info reading (its codec
// context, parser and buffers; 15 KiB for an MPEG-2 video stream of MPEG-TS
// with its decoder open), before the decoder.
constexpr int64_t kStreamBytes = 64 << 10;
// The decoder stream-info reading opens for a stream whose parameters are
// not all known yet, at its opening (threads 1) with two channels of 48 kHz
// sound or, for pictures, per pixel of the declared size: most take less
// than kDecoderBytes. H.264's takes 841 KiB when opened and 2.3 MiB once it
// has decoded a 320x240 picture (a file of 300 such streams took 690 MB);
// AAC's 2.7 MiB for eight channels.
constexpr int64_t kDecoderBytes = 128 << 10;
struct DecoderCost {
    AVCodecID codec;
    int32_t kib;               // when opened
    int32_t bytes_per_kpixel;  // ... and per thousand pixels of the declared size
};
constexpr DecoderCost kDecoderCosts[] = {
    {AV_CODEC_ID_H264, 2304, 0},        {AV_CODEC_ID_HEVC, 2304, 0},
    {AV_CODEC_ID_IMM5, 2304, 0},        {AV_CODEC_ID_SNOW, 2176, 7010},
    {AV_CODEC_ID_AAC, 2752, 0},         {AV_CODEC_ID_AAC_LATM, 2752, 0},
    {AV_CODEC_ID_AV1, 384, 0},          {AV_CODEC_ID_EXR, 272, 0},
    {AV_CODEC_ID_DVB_SUBTITLE, 264, 0}, {AV_CODEC_ID_AC3, 240, 0},
    {AV_CODEC_ID_EAC3, 240, 0},         {AV_CODEC_ID_XMA1, 232, 0},
    {AV_CODEC_ID_XMA2, 232, 0},         {AV_CODEC_ID_OPUS, 208, 0},
    {AV_CODEC_ID_ON2AVC, 208, 0},       {AV_CODEC_ID_CINEPAK, 200, 0},
    {AV_CODEC_ID_TIFF, 184, 0},         {AV_CODEC_ID_DOLBY_E, 152, 0},
    {AV_CODEC_ID_AASC, 148, 0},         {AV_CODEC_ID_PIXLET, 132, 0},
    {AV_CODEC_ID_IDCIN, 132, 94},       {AV_CODEC_ID_TRUEMOTION2, 128, 12100},
    {AV_CODEC_ID_SANM, 128, 6010},      {AV_CODEC_ID_ZMBV, 128, 4630},
    {AV_CODEC_ID_PAF_VIDEO, 128, 4000}, {AV_CODEC_ID_VP3, 128, 3740},
    {AV_CODEC_ID_VP4, 128, 3740},       {AV_CODEC_ID_DSICINVIDEO, 128, 3000},
    {AV_CODEC_ID_VB, 128, 2000},        {AV_CODEC_ID_ESCAPE130, 128, 1760},
    {AV_CODEC_ID_XAN_WC4, 128, 1010},   {AV_CODEC_ID_GDV, 128, 1010},
    {AV_CODEC_ID_DFA, 128, 1010},       {AV_CODEC_ID_BFI, 128, 1010},
    {AV_CODEC_ID_MSMPEG4V1, 128, 890},  {AV_CODEC_ID_MSMPEG4V2, 128, 890},
    {AV_CODEC_ID_MSMPEG4V3, 128, 890},  {AV_CODEC_ID_WMV1, 128, 890},
    {AV_CODEC_ID_WMV2, 128, 890},       {AV_CODEC_ID_RV40, 128, 890},
    {AV_CODEC_ID_H263I, 128, 860},      {AV_CODEC_ID_FLV1, 128, 860},
    {AV_CODEC_ID_MVDV, 128, 250},       {AV_CODEC_ID_HUFFYUV, 128, 70},
    {AV_CODEC_ID_FFVHUFF, 128, 70},     {AV_CODEC_ID_HYMT, 128, 70},
};
// An index entry: the demuxer's (24 bytes) and the MP4 demuxer's sample size
// (4), and the copy in the node (24) unless none is made.
constexpr int64_t kIndexEntryBytes = 28;
constexpr int64_t kIndexCopyBytes = 24;
// A text subtitle event in the demuxer's queue (an AVPacket and its buffer):
// measured 470 bytes beyond its text (5 million MicroDVD events took 2.4 GB);
// its text and a line being read count as twice the bytes.
constexpr int64_t kEventBytes = 512;

// The text subtitle demuxers that read the whole file into a queue of events
// before the first packet, and the byte, besides a line's end, with which an
// event may begin on a line: an event starts at most once per such byte.
struct TextFormat {
    const char *demuxer;
    char marker;  // 0: line ends only
};
constexpr TextFormat kTextFormats[] = {
    {"aqtitle", 0},   {"ass", 0},           {"jacosub", 0}, {"lrc", '['},  {"mcc", 0},
    {"microdvd", 0},  {"mpl2", 0},          {"mpsub", 0},   {"pjs", 0},    {"realtext", '<'},
    {"sami", '<'},    {"scc", 0},           {"srt", 0},     {"stl", 0},    {"subviewer1", 0},
    {"subviewer", 0}, {"tedcaptions", '{'}, {"vplayer", 0}, {"webvtt", 0},
};

// Where a stop's prediction came from, in words.
const char *const kForecastNames[] = {
    "Matroska tags", "Matroska chapters", "Matroska cues",   "Matroska elements",
    "ID3v2 frames",  "Vorbis comments",   "subtitle events",
};
static_assert(sizeof kForecastNames / sizeof kForecastNames[0] ==
                  static_cast<size_t>(Forecast::count),
              "a name for each source");
// libavformat sizes a stream's index in bytes with an unsigned int.
constexpr int64_t kMostIndexEntries = UINT_MAX / sizeof(AVIndexEntry);

// The process-wide limits; a probe copies them when it starts. A plain POSIX
// lock: std::mutex would make C programs need the C++ runtime.
MediaProbeLimits current_limits = kDefaultLimits;
pthread_mutex_t limits_lock = PTHREAD_MUTEX_INITIALIZER;

// The probe running on this thread, for the index cap of copy_index.
thread_local const ProbeBudget *running_probe = nullptr;

bool valid(const MediaProbeLimits &limits) {
    const int64_t most_ms = INT64_MAX / 1000;
    return limits.cpu_ms > 0 && limits.cpu_ms <= most_ms && limits.bytes > 0 &&
           limits.index_entries > 0 && limits.index_entries <= kMostIndexEntries &&
           limits.playlists > 0 && limits.files > 0 && limits.idle_ms > 0 &&
           limits.idle_ms <= most_ms && limits.memory > 0;
}

int64_t clock_us(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

// The monotonic clock without a system call, to within kCoarseSlackUs.
int64_t coarse_us() {
    return clock_us(CLOCK_MONOTONIC_COARSE);
}

// Once stopped, no decoder opens any more: stream-info reading that ends
// early still opens one for each stream whose parameters it lacks, and a
// probe stopped for its memory would then take it all the same. A decoder
// refused by the whitelist frees what it had allocated (43 KiB are left of
// an H.264 decoder).
void stop(ProbeBudget *budget, ProbeStop why) {
    if (budget->stop != ProbeStop::none) return;
    budget->stop = why;
    if (budget->format) av_opt_set(budget->format, "codec_whitelist", "none", 0);
}

void read_cpu(ProbeBudget *budget, int64_t now) {
    budget->cpu_used_us = clock_us(CLOCK_THREAD_CPUTIME_ID) - budget->cpu_start_us;
    budget->cpu_read_at_us = now;
}

// Stops the probe when another thread asked for that; true when it is stopped.
bool stopped_or_cancelled(ProbeBudget *budget) {
    if (budget->cancel && __atomic_load_n(budget->cancel, __ATOMIC_RELAXED)) {
        stop(budget, ProbeStop::cancelled);
    }
    return probe_stopped(budget);
}

// Whether the probe may go on: not stopped, and within its processor time.
// The thread's time costs a system call, so it is read only when the time
// since the last reading could have taken it past the limit (processor time
// never grows faster than wall time): never, for a probe that ends within
// the limit in wall time.
bool within_cpu(ProbeBudget *budget, int64_t now = coarse_us()) {
    if (stopped_or_cancelled(budget)) return false;
    const int64_t limit = budget->limits.cpu_ms * 1000;
    if (budget->cpu_used_us + (now - budget->cpu_read_at_us) + kCoarseSlackUs <= limit) return true;
    read_cpu(budget, now);
    if (budget->cpu_used_us > limit) stop(budget, ProbeStop::cpu);
    return !probe_stopped(budget);
}

// Changes whenever anything is read, sought, opened or closed, or taken from
// a buffer, in any file of the probe.
uint64_t io_mark(const ProbeBudget *budget) {
    uint64_t mark = budget->io_calls;
    for (const ProbeFile *file = budget->files; file; file = file->next) {
        mark += reinterpret_cast<uintptr_t>(file->context->buf_ptr);
    }
    return mark;
}

// The interrupt callback, called by the demuxer between packets while it
// reads the streams' parameters, and between its 100 ms sleeps while it waits
// for a live playlist to grow. A gap between two calls counts as waiting only
// when nothing was read, it lasted at least kQuietGapUs, and it and the gap
// before it each took the thread less than kSleepCpuUs: that is a run of
// sleeps. A thread scheduled out (starved of processor time, or stopped by a
// signal) in such a gap runs a full time slice before it is scheduled out
// again, so it never shows two such gaps in a row. The first two sleeps of a
// run are not counted.
int interrupt_check(void *opaque) {
    auto *budget = static_cast<ProbeBudget *>(opaque);
    if (stopped_or_cancelled(budget)) return 1;
    if (budget->format && budget->format->nb_streams != budget->streams_seen &&
        !probe_check(budget)) {
        return 1;
    }
    const int64_t now = coarse_us();
    const uint64_t mark = io_mark(budget);
    const int64_t gap = now - budget->last_check_us;
    budget->last_check_us = now;
    if (mark != budget->last_mark || gap < kQuietGapUs) {
        budget->last_mark = mark;
        budget->after_quiet_gap = false;
        budget->last_gap_asleep = false;
        return within_cpu(budget, now) ? 0 : 1;
    }
    read_cpu(budget, now);
    const bool asleep =
        budget->after_quiet_gap && budget->cpu_used_us - budget->quiet_cpu_us < kSleepCpuUs;
    if (asleep && budget->last_gap_asleep) budget->idle_us += gap;
    budget->last_gap_asleep = asleep;
    budget->quiet_cpu_us = budget->cpu_used_us;
    budget->after_quiet_gap = true;
    if (budget->cpu_used_us > budget->limits.cpu_ms * 1000) stop(budget, ProbeStop::cpu);
    if (budget->idle_us > budget->limits.idle_ms * 1000) stop(budget, ProbeStop::idle);
    return probe_stopped(budget) ? 1 : 0;
}

void sleep_us(int64_t us) {
    timespec step = {0, static_cast<long>(us * 1000)};
    while (nanosleep(&step, &step) != 0 && errno == EINTR) {
    }
}

// One step of waiting for a file that has no data now. poll() returns at once
// for files whose driver does not implement it; after such an early return
// the next step sleeps, so that waiting never spins. Returns false once the
// probe is stopped.
bool wait_for_data(ProbeBudget *budget, ProbeFile *file, bool *woke_early) {
    const int64_t start = clock_us(CLOCK_MONOTONIC);
    if (*woke_early) {
        sleep_us(kWaitStepUs);
        *woke_early = false;
    } else {
        pollfd ready = {file->fd, POLLIN, 0};
        *woke_early = poll(&ready, 1, static_cast<int>(kWaitStepUs / 1000)) != 0;
    }
    budget->idle_us += clock_us(CLOCK_MONOTONIC) - start;
    if (budget->idle_us > budget->limits.idle_ms * 1000) stop(budget, ProbeStop::idle);
    return within_cpu(budget);
}

uint32_t read_be32(const uint8_t *bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

uint64_t read_be64(const uint8_t *bytes) {
    return uint64_t{read_be32(bytes)} << 32 | read_be32(bytes + 4);
}

// Adds [start, end) to `list`, in place of the oldest when it is full.
void add_range(ProbeRanges *list, int64_t start, int64_t end) {
    list->ranges[list->next] = {start, end};
    list->next = (list->next + 1) % kMostRanges;
    if (list->kept < kMostRanges) {
        ++list->kept;
    } else {
        list->overflowed = true;
    }
}

bool in_ranges(const ProbeRanges &list, int64_t at) {
    for (int i = 0; i < list.kept; ++i) {
        if (at >= list.ranges[i].start && at < list.ranges[i].end) return true;
    }
    return false;
}

// The end of the box whose type is at `type` (file position `at`), from its
// size field: 0 means "to the end of the file", 1 a 64-bit size after the
// type. -1 when the size is impossible.
int64_t box_end(const uint8_t *type, int64_t at) {
    const int64_t start = at - kBoxBefore;
    uint64_t size = read_be32(type - kBoxBefore);
    if (size == 0) return INT64_MAX;
    if (size == 1) size = read_be64(type + 4);
    int64_t end = 0;
    if (size < 8 || size > uint64_t{INT64_MAX} ||
        __builtin_add_overflow(start, int64_t(size), &end)) {
        return -1;
    }
    return end;
}

// Follows the file's top-level boxes as the demuxer walks them (each header
// gives the next one's place) through the bytes at hand, and notes where the
// payloads of "mdat" boxes lie: media data, which the demuxer never parses
// as boxes. Gives up (next_box -1) when the chain breaks, or when a header
// was passed over unread; nothing is then known to be media.
void walk_top_boxes(SampleTableWatch *watch, const uint8_t *data, size_t size, int64_t position,
                    const uint8_t *joint, size_t joint_size, int64_t joint_start) {
    while (watch->next_box >= 0) {
        const int64_t at = watch->next_box;
        const uint8_t *header = nullptr;
        if (at >= position && at - position <= int64_t(size) - 16) {
            header = data + (at - position);
        } else if (joint_size > 0 && at >= joint_start &&
                   at - joint_start <= int64_t(joint_size) - 16) {
            header = joint + (at - joint_start);
        } else {
            if (at < (joint_size > 0 ? joint_start : position)) watch->next_box = -1;
            return;
        }
        const int64_t end = box_end(header + kBoxBefore, at + kBoxBefore);
        if (end < 0) {
            watch->next_box = -1;
            return;
        }
        if (read_be32(header + 4) == kMediaData) {
            add_range(&watch->media, at + (read_be32(header) == 1 ? 16 : 8), end);
        }
        watch->next_box = end == INT64_MAX ? -1 : end;  // nothing follows a box to the end
    }
}

// Checks the box whose type starts at `type`, file position `at` (kBoxBefore
// bytes before it and kBoxAfter from it are readable). The demuxer allocates
// and fills one index entry per sample that a sample table declares (stsz,
// stz2; trun in fragments) before any callback can stop it; a table declaring
// more than the limit, or than the file has bytes (each sample takes at least
// one), stops the probe before the demuxer sees it; what all the tables
// declare together counts as memory. Sound of a constant sample size (PCM) is
// indexed by chunks, not samples: such a table may declare more, as long as
// its samples fit in the file.
//
// The types are found as bytes, wherever they are, so that no nesting of
// boxes the demuxer accepts hides one. Media data does not count (it is never
// parsed as boxes), nor does a sample table outside every track ("trak"), or
// a fragment's table before any fragment header ("tfhd"): the demuxer applies
// neither. That keeps the bytes of pictures and other data in a file from
// passing for a table.
bool sample_table_fits(SampleTableWatch *watch, const uint8_t *type, int64_t at) {
    const uint32_t name = read_be32(type);
    if (name != kSizes && name != kPackedSizes && name != kTrack && name != kRun &&
        name != kFragmentHeader && name != kTrackExtends) {
        return true;
    }
    if (in_ranges(watch->media, at)) return true;
    const int64_t limit = watch->index_limit;
    switch (name) {
        case kTrack: {
            const int64_t end = box_end(type, at);
            if (end > at) add_range(&watch->tracks, at - kBoxBefore, end);
            return true;
        }
        case kFragmentHeader:
            watch->fragment_header = true;
            return true;
        case kTrackExtends:
            watch->fragmented = true;  // fragments, read later with the packets
            return true;
        case kRun: {
            if (!watch->fragment_header) return true;
            const uint32_t count = read_be32(type + 8);
            watch->declared += count;
            return count <= limit;
        }
        default:
            break;
    }
    if (!watch->tracks.overflowed && !in_ranges(watch->tracks, at)) return true;
    const uint32_t count = read_be32(type + 12);
    const uint32_t sample_size = name == kSizes ? read_be32(type + 8) : 0;
    if (count <= limit) {
        watch->declared += count;
        return true;
    }
    return sample_size != 0 && uint64_t{count} * sample_size <= uint64_t(watch->file_size);
}

// Checks the boxes whose type starts in [from, to) of `data`, which begins at
// file position `base`.
bool scan_sample_tables(SampleTableWatch *watch, const uint8_t *data, size_t size, int64_t base,
                        size_t from, size_t to) {
    if (size < static_cast<size_t>(kCarry)) return true;
    const size_t lowest = kBoxBefore, highest = size - kBoxAfter;
    if (from < lowest) from = lowest;
    if (to > highest + 1) to = highest + 1;
    if (from >= to) return true;
    // Every type checked has 't' first or second: "trak", "trun", "trex",
    // "tfhd", "stsz", "stz2".
    const uint8_t *end = data + to + 1 < data + size ? data + to + 1 : data + size;
    for (const uint8_t *t = data + from; t < end;) {
        t = static_cast<const uint8_t *>(memchr(t, 't', static_cast<size_t>(end - t)));
        if (!t) break;
        const size_t at = static_cast<size_t>(t - data);
        if (at >= from + 1 && at - 1 < to &&
            !sample_table_fits(watch, t - 1, base + int64_t(at) - 1)) {
            return false;
        }
        if (at >= from && at < to && !sample_table_fits(watch, t, base + int64_t(at))) return false;
        ++t;
    }
    return true;
}

// Watches the sample tables in bytes just read at `position`, including a box
// header split between this read and the one before.
bool sample_tables_fit(SampleTableWatch *watch, const uint8_t *data, size_t size,
                       int64_t position) {
    uint8_t joint[2 * kCarry];
    size_t joint_size = 0;
    int64_t joint_start = position;
    if (watch->carry_length > 0 && watch->carry_end == position) {
        const size_t head = size < static_cast<size_t>(kCarry) ? size : kCarry;
        const size_t carried = static_cast<size_t>(watch->carry_length);
        memcpy(joint, watch->carry, carried);
        memcpy(joint + carried, data, head);
        joint_size = carried + head;
        joint_start = position - int64_t(carried);
    }
    walk_top_boxes(watch, data, size, position, joint, joint_size, joint_start);
    if (joint_size > 0) {
        // Boxes that begin in the carried bytes and end in the new ones.
        const size_t carried = static_cast<size_t>(position - joint_start);
        const size_t from = carried > kBoxAfter ? carried - kBoxAfter + 1 : 0;
        if (!scan_sample_tables(watch, joint, joint_size, joint_start, from,
                                carried + kBoxBefore)) {
            return false;
        }
    }
    if (!scan_sample_tables(watch, data, size, position, 0, size)) return false;
    if (size >= static_cast<size_t>(kCarry)) {
        memcpy(watch->carry, data + size - kCarry, kCarry);
        watch->carry_length = kCarry;
    } else {
        const uint8_t *tail = joint_size > 0 ? joint : data;
        const size_t tail_size = joint_size > 0 ? joint_size : size;
        const size_t kept = tail_size < static_cast<size_t>(kCarry) ? tail_size : kCarry;
        memmove(watch->carry, tail + tail_size - kept, kept);
        watch->carry_length = static_cast<int>(kept);
    }
    watch->carry_end = position + static_cast<int64_t>(size);
    return true;
}

ProbeMaster *find_master(ProbeBudget *budget, dev_t device, ino_t inode) {
    for (int i = 0; i < budget->master_count; ++i) {
        ProbeMaster *master = &budget->masters[i];
        if (master->device == device && master->inode == inode) return master;
    }
    return nullptr;
}

// Cycles. A master playlist names media playlists, but the demuxer also
// follows a name that leads to a master again, parsing it as one more level
// of playlists: a master naming itself, or two naming each other, would be
// read without end, each read adding the playlists it names. A master is
// therefore read at most twice in a probe (once as itself, once where the
// cycle shows); a further open of it is refused with ELOOP, which the
// demuxer takes as an unreadable entry. Returns false to refuse `file`.
bool may_read_again(ProbeBudget *budget, const CheckedFile &file) {
    ProbeMaster *master = find_master(budget, file.device, file.inode);
    if (!master) return true;
    if (master->reads >= 2) return false;
    ++master->reads;
    return true;
}

void note_master(ProbeFile *file) {
    ProbeBudget *budget = file->budget;
    file->master_noted = true;
    if (find_master(budget, file->device, file->inode)) return;
    if (budget->master_count == budget->master_capacity) {
        const int capacity = budget->master_capacity ? 2 * budget->master_capacity : 8;
        void *grown = realloc(budget->masters, sizeof(ProbeMaster) * static_cast<size_t>(capacity));
        if (!grown) return;  // the cycle then ends at the playlist or file limit
        budget->masters = static_cast<ProbeMaster *>(grown);
        budget->master_capacity = capacity;
    }
    budget->masters[budget->master_count++] = {file->device, file->inode, 1};
}

// Counts the lines of a playlist that name playlists, as the demuxer reads
// them: at the start of a line, ended by '\n' or '\r'. Returns false when the
// playlists so far exceed the limit.
bool playlists_fit(ProbeFile *file, const uint8_t *data, size_t size) {
    ProbeBudget *budget = file->budget;
    for (size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '\n' || c == '\r') {
            file->line_length = 0;
            file->line_decided = false;
            continue;
        }
        if (file->line_decided) continue;
        const int at = file->line_length++;
        file->line[at] = c;
        bool counted = false;
        if (at + 1 == kRenditionLength &&
            memcmp(file->line, kRenditionTag, kRenditionLength) == 0) {
            counted = true;
        } else if (at + 1 == kVariantLength) {
            counted = memcmp(file->line, kVariantTag, kVariantLength) == 0;
            file->line_decided = true;
        } else if (c != kVariantTag[at] && (at >= kRenditionLength || c != kRenditionTag[at])) {
            file->line_decided = true;
        }
        if (counted) {
            file->line_decided = true;
            if (!file->master_noted) note_master(file);
            if (++budget->playlists > budget->limits.playlists) {
                stop(budget, ProbeStop::playlists);
                return false;
            }
        }
    }
    return true;
}

// What `stream` costs while the probe holds it: its state, and the decoder
// stream-info reading opens for it (kDecoderCosts).
int64_t stream_cost(const AVStream *stream) {
    const AVCodecParameters *par = stream->codecpar;
    for (const DecoderCost &decoder : kDecoderCosts) {
        if (decoder.codec != par->codec_id) continue;
        int64_t cost = kStreamBytes + (int64_t{decoder.kib} << 10);
        // A size the decoder refuses (av_image_check_size) opens nothing.
        const int64_t width = par->width, height = par->height;
        if (decoder.bytes_per_kpixel && width > 0 && height > 0 &&
            (width + 128) * (height + 128) < INT_MAX / 8) {
            cost += width * height * decoder.bytes_per_kpixel / 1000;
        }
        return cost;
    }
    return kStreamBytes + kDecoderBytes;
}

int64_t memory_held(const ProbeBudget *budget) {
    const int64_t per_entry = kIndexEntryBytes + (budget->copies_index ? kIndexCopyBytes : 0);
    const int64_t declared = multiply_count(budget->tables.declared, per_entry);
    int64_t held = add_count(budget->stream_memory,
                             budget->index_memory > declared ? budget->index_memory : declared);
    for (int64_t predicted : budget->forecast_memory) held = add_count(held, predicted);
    return held;
}

bool within_memory(ProbeBudget *budget) {
    if (memory_held(budget) > budget->limits.memory) stop(budget, ProbeStop::memory);
    return !probe_stopped(budget);
}

// Stops the probe when the work predicted would take it past its processor
// time: the time used as last read, and the rest at kWorkPerMs.
bool within_forecast(ProbeBudget *budget) {
    if (!within_memory(budget)) return false;
    int64_t work = 0;
    int largest = 0;
    for (int i = 0; i < static_cast<int>(Forecast::count); ++i) {
        work = add_count(work, budget->forecast_work[i]);
        if (budget->forecast_work[i] > budget->forecast_work[largest]) largest = i;
    }
    const int64_t limit_us = budget->limits.cpu_ms * 1000;
    const int64_t predicted_us = work / (kWorkPerMs / 1000);
    if (work == 0 || predicted_us <= limit_us - budget->cpu_used_us) return true;
    read_cpu(budget, coarse_us());
    // Time already past the limit is measured, not predicted.
    if (budget->cpu_used_us > limit_us) {
        stop(budget, ProbeStop::cpu);
    } else if (predicted_us > limit_us - budget->cpu_used_us) {
        stop(budget, ProbeStop::cpu);
        if (budget->stop == ProbeStop::cpu) budget->predicted_by = largest;
    }
    return !probe_stopped(budget);
}

// Counts the events of a text subtitle file in the bytes read at `position`
// that were not counted before (kTextFormats).
void count_text_events(ProbeBudget *budget, const uint8_t *data, size_t size, int64_t position) {
    const int64_t end = position + static_cast<int64_t>(size);
    if (end <= budget->text_counted_to) return;
    const size_t skip = budget->text_counted_to > position
                            ? static_cast<size_t>(budget->text_counted_to - position)
                            : 0;
    const uint8_t marker = static_cast<uint8_t>(kTextFormats[budget->text_format].marker);
    int64_t events = 0;
    for (size_t i = skip; i < size; ++i) {
        const uint8_t c = data[i];
        events += (c == '\n') | (c == '\r') | (c == 0) | (marker != 0 && c == marker);
    }
    budget->text_counted_to = end;
    int64_t &held = budget->forecast_memory[static_cast<int>(Forecast::subtitle_events)];
    held = add_count(held, add_count(multiply_count(events, kEventBytes),
                                     2 * static_cast<int64_t>(size - skip)));
}

// Once the demuxer is known: whether it queues a text subtitle file's events,
// and then those in what was read before it was known.
void start_counting_events(ProbeBudget *budget, ProbeFile *file, int64_t position) {
    budget->text_format = -2;
    for (size_t i = 0; i < sizeof kTextFormats / sizeof kTextFormats[0]; ++i) {
        if (strcmp(budget->format->iformat->name, kTextFormats[i].demuxer) == 0) {
            budget->text_format = static_cast<int>(i);
        }
    }
    if (budget->text_format < 0) return;
    FileWindow window(budget, file->fd, nullptr, 0);
    for (int64_t at = 0; at < position && !probe_stopped(budget);) {
        const uint8_t *bytes = nullptr;
        const int want = position - at < FileWindow::kMostAsked ? static_cast<int>(position - at)
                                                                : FileWindow::kMostAsked;
        const int count = window.get_some(at, want, &bytes);
        if (count <= 0) break;
        count_text_events(budget, bytes, static_cast<size_t>(count), at);
        at += count;
    }
}

// At a file's first read, before the demuxer has seen a byte: its ID3v2
// tags, and a Matroska header, FLAC metadata or Ogg header pages after them
// (probe_forecast.h). Every file is walked, the segments a playlist names too:
// their demuxers parse them in the probe's thread.
void walk_structure(ProbeBudget *budget, ProbeFile *file, const uint8_t *data, size_t size) {
    // Most files are none of these: nothing more is read for them.
    static const char *const kWalked[] = {"ID3", "\x1A\x45\xDF\xA3", "fLaC", "OggS"};
    bool walked = false;
    for (const char *magic : kWalked) {
        walked = walked || (size >= strlen(magic) && memcmp(data, magic, strlen(magic)) == 0);
    }
    if (!walked) return;
    const int first = size < INT_MAX ? static_cast<int>(size) : INT_MAX;
    FileWindow window(budget, file->fd, data, first);
    const int64_t after_tags = forecast_id3v2(budget, &window, 0);
    const uint8_t *magic = probe_stopped(budget) ? nullptr : window.get(after_tags, 4);
    if (!magic) return;
    if (read_be32(magic) == kEbmlMagic) forecast_matroska(budget, &window, after_tags);
    if (memcmp(magic, "fLaC", 4) == 0) forecast_flac(budget, &window, after_tags);
    if (memcmp(magic, "OggS", 4) == 0) forecast_ogg(budget, &window, after_tags);
}

// What a read found: checks the budget against the bytes just read. Returns
// false once the probe is stopped.
bool accept_read(ProbeFile *file, const uint8_t *data, size_t size, int64_t position) {
    ProbeBudget *budget = file->budget;
    budget->bytes_read += static_cast<int64_t>(size);
    if (budget->bytes_read > budget->limits.bytes) {
        stop(budget, ProbeStop::bytes);
        return false;
    }
    if (!file->read_before) {
        file->read_before = true;
        file->playlist = position == 0 && size >= 7 && memcmp(data, "#EXTM3U", 7) == 0;
        if (position == 0) walk_structure(budget, file, data, size);
        if (probe_stopped(budget)) return false;
    }
    if (file->playlist && !playlists_fit(file, data, size)) return false;
    if (!budget->format_known && budget->format && budget->format->iformat) {
        budget->format_known = true;
        budget->mov = strcmp(budget->format->iformat->name, kMovDemuxer) == 0;
        if (file->probed) start_counting_events(budget, file, position);
    }
    if (file->probed && budget->text_format >= 0) {
        count_text_events(budget, data, size, position);
        if (!within_memory(budget)) return false;
    }
    if (file->probed && (!budget->format_known || budget->mov) &&
        (budget->phase == ProbePhase::opening || budget->tables.fragmented)) {
        if (!sample_tables_fit(&budget->tables, data, size, position)) {
            if (budget->stop == ProbeStop::none) budget->index_bound = budget->tables.index_limit;
            stop(budget, ProbeStop::index);
            return false;
        }
    }
    return probe_check(budget) && within_cpu(budget);
}

// The AVIOContext's read: never blocks (see wait_for_data), and never reads
// past the byte limit.
int read_file(void *opaque, uint8_t *buffer, int size) {
    auto *file = static_cast<ProbeFile *>(opaque);
    ProbeBudget *budget = file->budget;
    ++budget->io_calls;
    if (probe_stopped(budget)) return AVERROR_EXIT;
    const int64_t room = budget->limits.bytes - budget->bytes_read;
    const size_t wanted = room < size ? static_cast<size_t>(room) + 1 : static_cast<size_t>(size);
    bool woke_early = false;
    for (;;) {
        const ssize_t count = file->streamed ? read(file->fd, buffer, wanted)
                                             : pread(file->fd, buffer, wanted, file->position);
        if (count > 0) {
            const int64_t position = file->position;
            file->position += count;
            return accept_read(file, buffer, static_cast<size_t>(count), position)
                       ? static_cast<int>(count)
                       : AVERROR_EXIT;
        }
        if (count == 0) {
            // What the demuxer made of the last bytes is checked before it
            // takes the file's end as the end of stream-info reading.
            return file->probed && !probe_check(budget) ? AVERROR_EXIT : AVERROR_EOF;
        }
        const int error = errno;
        if (error == EINTR) continue;
        if (error == ESPIPE && !file->streamed) {
            file->streamed = true;
            file->context->seekable = 0;
            continue;
        }
        if (error != EAGAIN && error != EWOULDBLOCK) return AVERROR(error);
        if (!wait_for_data(budget, file, &woke_early)) return AVERROR_EXIT;
    }
}

int64_t seek_file(void *opaque, int64_t offset, int whence) {
    auto *file = static_cast<ProbeFile *>(opaque);
    ++file->budget->io_calls;
    struct stat info;
    int64_t target = 0;
    switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE:
            return fstat(file->fd, &info) == 0 ? info.st_size : AVERROR(errno);
        case SEEK_SET:
            target = offset;
            break;
        case SEEK_CUR:
            if (__builtin_add_overflow(file->position, offset, &target)) return AVERROR(EINVAL);
            break;
        case SEEK_END:
            if (fstat(file->fd, &info) != 0) return AVERROR(errno);
            if (__builtin_add_overflow(int64_t{info.st_size}, offset, &target)) {
                return AVERROR(EINVAL);
            }
            break;
        default:
            return AVERROR(EINVAL);
    }
    if (target < 0) return AVERROR(EINVAL);
    if (file->streamed && target != file->position) return AVERROR(ESPIPE);
    file->position = target;
    return target;
}

// An AVIOContext reading the checked file, which it owns from now on (closed
// here on failure). Returns 0 or AVERROR(ENOMEM). The file's record comes
// from libavformat's allocator, like the context and its buffer: with plain
// calloc, glibc placed the records so that the heap of a probe with a large
// index shrank and grew again by some 500 pages per probe.
int make_context(ProbeBudget *budget, const CheckedFile &checked, bool probed, AVIOContext **pb) {
    auto *file = static_cast<ProbeFile *>(av_mallocz(sizeof(ProbeFile)));
    auto *buffer = file ? static_cast<uint8_t *>(av_malloc(kBufferSize)) : nullptr;
    AVIOContext *context =
        buffer ? avio_alloc_context(buffer, kBufferSize, 0, file, read_file, nullptr, seek_file)
               : nullptr;
    if (!context) {
        av_free(buffer);
        av_free(file);
        close(checked.fd);
        return AVERROR(ENOMEM);
    }
    file->budget = budget;
    file->context = context;
    file->fd = checked.fd;
    file->device = checked.device;
    file->inode = checked.inode;
    file->probed = probed;
    file->next = budget->files;
    if (budget->files) budget->files->previous = file;
    budget->files = file;
    ++budget->io_calls;
    *pb = context;
    return 0;
}

void free_context(AVIOContext *context) {
    auto *file = static_cast<ProbeFile *>(context->opaque);
    ProbeBudget *budget = file->budget;
    ++budget->io_calls;
    if (file->previous) {
        file->previous->next = file->next;
    } else {
        budget->files = file->next;
    }
    if (file->next) file->next->previous = file->previous;
    close(file->fd);
    av_free(file);
    // The demuxer may have replaced the buffer (probing, seek-back room).
    av_freep(&context->buffer);
    avio_context_free(&context);
}

// The local path `url` stands for, or NULL when it names another protocol.
const char *local_path(const char *url) {
    static const char scheme_chars[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.";
    if (strncmp(url, "file:", 5) == 0) return url + 5;
    size_t scheme = strspn(url, scheme_chars);
    if (url[scheme] == ':' || strncmp(url, "subfile,", 8) == 0) return nullptr;
    return url;
}

// AVFormatContext.io_open: every file a demuxer opens besides the probed one
// (what a playlist names, a segment, a reference). Only regular local files,
// within the probe's budget. FFmpeg gives nested format contexts that use
// this callback the opaque of the one facing the caller, and so the budget;
// this FFmpeg's HLS demuxer gives its segment contexts an io_open of its own
// that refuses everything, and its IMF demuxer copies io_open without the
// opaque: such a call finds no budget and is refused.
int open_nested(AVFormatContext *format, AVIOContext **pb, const char *url, int flags,
                AVDictionary **) {
    auto *budget = static_cast<ProbeBudget *>(format->opaque);
    const char *path = local_path(url);
    if (!budget || !path || (flags & AVIO_FLAG_WRITE)) return AVERROR(EPERM);
    ++budget->io_calls;
    if (probe_stopped(budget) || !within_cpu(budget)) return AVERROR_EXIT;
    if (budget->files_opened >= budget->limits.files) {
        stop(budget, ProbeStop::files);
        return AVERROR_EXIT;
    }
    ++budget->files_opened;
    CheckedFile file;
    if (int error = probe_open_checked(path, &file)) return AVERROR(error);
    if (!may_read_again(budget, file)) {
        close(file.fd);
        return AVERROR(ELOOP);
    }
    return make_context(budget, file, false, pb);
}

// AVFormatContext.io_close2, for the contexts open_nested made.
int close_nested(AVFormatContext *, AVIOContext *context) {
    if (!context) return 0;
    if (context->read_packet != read_file) return avio_close(context);
    free_context(context);
    return 0;
}

int refuse_kind(mode_t mode) {
    if (S_ISREG(mode)) return 0;
    return S_ISDIR(mode) ? EISDIR : EINVAL;
}

void format_seconds(char *text, size_t size, int64_t ms) {
    if (ms % 1000 == 0) {
        snprintf(text, size, "%lld s", static_cast<long long>(ms / 1000));
        return;
    }
    int fraction = static_cast<int>(ms % 1000), digits = 3;
    while (fraction % 10 == 0) {
        fraction /= 10;
        --digits;
    }
    snprintf(text, size, "%lld.%0*d s", static_cast<long long>(ms / 1000), digits, fraction);
}

void format_bytes(char *text, size_t size, int64_t bytes) {
    static const char *const units[] = {"GiB", "MiB", "KiB"};
    for (int i = 0; i < 3; ++i) {
        const int64_t unit = int64_t{1} << (10 * (3 - i));
        if (bytes % unit == 0) {
            snprintf(text, size, "%lld %s", static_cast<long long>(bytes / unit), units[i]);
            return;
        }
    }
    snprintf(text, size, "%lld bytes", static_cast<long long>(bytes));
}

// The memory limit in MiB, with as many decimals as it takes (up to six).
void format_mebibytes(char *text, size_t size, int64_t bytes) {
    const int64_t whole = bytes >> 20;
    int64_t fraction = ((bytes & ((1 << 20) - 1)) * 1000000 + (1 << 19)) >> 20;
    if (fraction == 0) {
        snprintf(text, size, "%lld MiB", static_cast<long long>(whole));
        return;
    }
    int digits = 6;
    while (fraction % 10 == 0) {
        fraction /= 10;
        --digits;
    }
    snprintf(text, size, "%lld.%0*lld MiB", static_cast<long long>(whole), digits,
             static_cast<long long>(fraction));
}

const char *plural(int64_t count, const char *one, const char *many) {
    return count == 1 ? one : many;
}

}  // namespace

int probe_open_checked(const char *path, CheckedFile *file) {
    struct stat info;
    if (stat(path, &info) != 0) return errno;
    if (int error = refuse_kind(info.st_mode)) return error;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int error = fstat(fd, &info) != 0 ? errno : refuse_kind(info.st_mode);
    if (error != 0) {
        close(fd);
        return error;
    }
    *file = {fd, info.st_size, info.st_dev, info.st_ino};
    return 0;
}

void probe_begin(ProbeBudget *budget, const int32_t *cancel, bool copies_index) {
    memset(budget, 0, sizeof *budget);
    budget->cancel = cancel;
    budget->copies_index = copies_index;
    budget->predicted_by = -1;
    budget->text_format = -1;
    media_probe_get_limits(&budget->limits);
    budget->stop = ProbeStop::none;
    budget->phase = ProbePhase::opening;
    budget->cpu_start_us = clock_us(CLOCK_THREAD_CPUTIME_ID);
    budget->cpu_read_at_us = budget->last_check_us = coarse_us();
    budget->outer = running_probe;
    running_probe = budget;
}

int probe_attach(ProbeBudget *budget, AVFormatContext *format, const CheckedFile *file) {
    budget->files_opened = 1;
    budget->tables.file_size = file->size;
    budget->tables.index_limit =
        file->size < budget->limits.index_entries ? file->size : budget->limits.index_entries;
    int result = make_context(budget, *file, true, &budget->probed);
    if (result < 0) return result;
    format->pb = budget->probed;  // custom I/O: closing the format leaves it to probe_end
    format->opaque = budget;
    format->io_open = open_nested;
    format->io_close2 = close_nested;
    format->interrupt_callback = {interrupt_check, budget};
    // Demuxers that thin their index as it grows keep it within the limit;
    // the default of 1 MiB is already lower than the default limit.
    const int64_t index_bytes = budget->limits.index_entries * int64_t{sizeof(AVIndexEntry)};
    if (index_bytes < format->max_index_size) {
        format->max_index_size = static_cast<unsigned>(index_bytes);
    }
    budget->format = format;
    return 0;
}

void probe_detach(ProbeBudget *budget) {
    budget->format = nullptr;
}

void probe_set_phase(ProbeBudget *budget, ProbePhase phase) {
    budget->phase = phase;
}

bool probe_check_indexes(ProbeBudget *budget) {
    const AVFormatContext *format = budget->format;
    // Each entry stands for at least a byte of the file, as far as it is known.
    const int64_t bytes = budget->bytes_read > budget->tables.file_size ? budget->bytes_read
                                                                        : budget->tables.file_size;
    const int64_t bound =
        bytes < budget->limits.index_entries ? bytes : budget->limits.index_entries;
    int64_t entries = 0;
    for (unsigned i = 0; format && i < format->nb_streams; ++i) {
        const int count = avformat_index_get_entries_count(format->streams[i]);
        if (count > bound) {
            if (budget->stop == ProbeStop::none) budget->index_bound = bound;
            stop(budget, ProbeStop::index);
        }
        entries += count;
    }
    budget->index_memory =
        multiply_count(entries, kIndexEntryBytes + (budget->copies_index ? kIndexCopyBytes : 0));
    return !probe_stopped(budget);
}

bool probe_check(ProbeBudget *budget) {
    const AVFormatContext *format = budget->format;
    if (!probe_check_indexes(budget)) return false;
    if (format) {
        int64_t held = 0;
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            held = add_count(held, stream_cost(format->streams[i]));
        }
        budget->stream_memory = held;
        budget->streams_seen = format->nb_streams;
    }
    return within_forecast(budget);
}

bool probe_foresee(ProbeBudget *budget, Forecast source, int64_t work, int64_t memory) {
    const int i = static_cast<int>(source);
    budget->forecast_work[i] = add_count(budget->forecast_work[i], work);
    budget->forecast_memory[i] = add_count(budget->forecast_memory[i], memory);
    return within_forecast(budget) && within_cpu(budget);
}

bool probe_read_for_forecast(ProbeBudget *budget, int64_t bytes) {
    budget->bytes_read += bytes;
    if (budget->bytes_read > budget->limits.bytes) stop(budget, ProbeStop::bytes);
    return within_cpu(budget);
}

void probe_stop_text(const ProbeBudget *budget, char *text, size_t size) {
    const MediaProbeLimits &limits = budget->limits;
    char amount[48];
    switch (budget->stop) {
        case ProbeStop::cpu:
            format_seconds(amount, sizeof amount, limits.cpu_ms);
            if (budget->predicted_by >= 0) {
                snprintf(text, size,
                         "probe stopped at more than %s of processor time (predicted from the "
                         "file's %s)",
                         amount, kForecastNames[budget->predicted_by]);
            } else {
                snprintf(text, size, "probe stopped at more than %s of processor time", amount);
            }
            break;
        case ProbeStop::bytes:
            format_bytes(amount, sizeof amount, limits.bytes);
            snprintf(text, size, "probe stopped at more than %s read", amount);
            break;
        case ProbeStop::index:
            snprintf(
                text, size, "probe stopped at more than %lld %s in one stream%s",
                static_cast<long long>(budget->index_bound),
                plural(budget->index_bound, "index entry", "index entries"),
                budget->index_bound < limits.index_entries ? ", one per byte of the file" : "");
            break;
        case ProbeStop::playlists:
            snprintf(text, size, "probe stopped at more than %lld %s",
                     static_cast<long long>(limits.playlists),
                     plural(limits.playlists, "playlist", "playlists"));
            break;
        case ProbeStop::files:
            snprintf(text, size, "probe stopped at more than %lld %s to open",
                     static_cast<long long>(limits.files), plural(limits.files, "file", "files"));
            break;
        case ProbeStop::idle:
            if (limits.idle_ms == 1000) {
                snprintf(amount, sizeof amount, "a second");
            } else {
                format_seconds(amount, sizeof amount, limits.idle_ms);
            }
            snprintf(text, size, "probe stopped after the demuxer waited over %s for data", amount);
            break;
        case ProbeStop::cancelled:
            snprintf(text, size, "%s", "probe cancelled");
            break;
        case ProbeStop::memory:
            format_mebibytes(amount, sizeof amount, limits.memory);
            snprintf(text, size, "probe stopped at more than %s of memory", amount);
            break;
        case ProbeStop::none:
            snprintf(text, size, "%s", "");
            break;
    }
}

void probe_end(ProbeBudget *budget) {
    if (budget->probed) free_context(budget->probed);
    budget->probed = nullptr;
    while (budget->files) free_context(budget->files->context);
    free(budget->masters);
    budget->masters = nullptr;
    budget->format = nullptr;
    running_probe = budget->outer;
}

int64_t probe_index_limit() {
    if (running_probe) return running_probe->limits.index_entries;
    MediaProbeLimits limits;
    media_probe_get_limits(&limits);
    return limits.index_entries;
}

void media_probe_get_limits(MediaProbeLimits *limits) {
    if (!limits) return;
    pthread_mutex_lock(&limits_lock);
    *limits = current_limits;
    pthread_mutex_unlock(&limits_lock);
}

int media_probe_set_limits(const MediaProbeLimits *limits) {
    const MediaProbeLimits wanted = limits ? *limits : kDefaultLimits;
    if (!valid(wanted)) return -1;
    pthread_mutex_lock(&limits_lock);
    current_limits = wanted;
    pthread_mutex_unlock(&limits_lock);
    return 0;
}
