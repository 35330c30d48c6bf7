// The probe's I/O and its budget: how files are checked and opened, how the
// demuxer reads them, and what stops a probe. Internal to the library (not
// installed); media_probe.cpp plugs it into each probe.
//
// Contract
//  - A path is checked with stat() before it is opened, so a FIFO or device
//    is refused without being opened. It is then opened with O_NONBLOCK and
//    O_NOCTTY and its descriptor checked again with fstat(): should the path
//    have been replaced in between, whatever it now names is opened without
//    blocking and closed unread unless it is a regular file. The descriptor
//    checked is the one read: nothing is reopened by path or through /proc.
//  - Descriptors: probe_open_checked hands the caller an open descriptor. The
//    caller passes it to probe_attach, which owns it from then on (and closes
//    it even when attaching fails). Each file a demuxer opens through
//    AVFormatContext.io_open gets its descriptor in the same way; the
//    AVIOContext made for a descriptor owns it, and closing that context
//    (io_close2, or probe_end for the probed file) closes it.
//  - Reads never block: a file with no data for now is waited for in steps of
//    kWaitStepUs, and that time counts as waiting. The demuxer's own sleeps
//    (a live playlist that is not growing) count as waiting too; being
//    scheduled out does not.
//  - Budget: each probe takes the process-wide limits when it starts. The
//    first limit it reaches stops it: from then on every read, open and
//    interrupt check of the probe fails, and the probe reports the limit.
//  - Processor time is read at every read, open and interrupt check. Work a
//    demuxer does in one go between two of them cannot be seen there, and
//    neither a timer nor another thread could end it: a timer's signal can
//    only set a flag that the demuxer does not look at until that work is
//    done, and nothing may unwind the demuxer from inside. So what drives
//    such work is walked before the demuxer starts on it (probe_forecast.h):
//    at each file's first read (the probed file's, and a playlist's
//    segments'), ID3v2 tags and then a Matroska header, FLAC metadata or the
//    header pages of an Ogg file are walked to their end, and the work their
//    tags, chapters, cues and comments will take is added up. A probe
//    whose predicted work does not fit in what is left of its processor
//    time stops at once, and its text says the time was predicted. Work
//    done between reads that grows only as fast as the bytes read (parsing,
//    one subtitle event after another) needs no prediction: the next read
//    sees it.
//  - Memory is counted, not measured (the allocator is shared by every thread
//    of the process): each stream at the cost measured for its kind
//    (kStreamBytes and the decoder stream-info reading opens for its codec),
//    each index entry (the demuxer's, and the copy unless the probe keeps
//    none), the sample tables an MP4 declares, the subtitle events of a text
//    subtitle file as its bytes arrive (kEventBytes each, a line or a marker
//    its format opens an event with), and what the walks predict. The sum is
//    checked at every read and check and before the streams' parameters are
//    read, when stream-info reading would open every stream's decoder.
//  - Index entries: at most the limit, and, since each stands for at least a
//    byte of media data, no more than the file has bytes (or the probe has
//    read, for a file that grows); the text gives the bound that applied.
#ifndef MEDIA_PARSER_PROBE_IO_H
#define MEDIA_PARSER_PROBE_IO_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "media_probe.h"
#include "probe_forecast.h"

struct AVFormatContext;
struct AVIOContext;

// Which limit stopped a probe.
enum class ProbeStop { none, cpu, bytes, index, playlists, files, idle, cancelled, memory };

// What a probe is doing; the sample tables are watched while the header is read.
enum class ProbePhase { opening, reading_streams };

struct ProbeFile;

// A file that passed probe_open_checked: open for reading, not yet attached.
struct CheckedFile {
    int fd;
    int64_t size;
    dev_t device;
    ino_t inode;
};

// A master playlist read during a probe (see probe_io.cpp: cycles).
struct ProbeMaster {
    dev_t device;
    ino_t inode;
    int reads;
};

// Ranges kept of the probed file, held in the budget so that watching
// allocates nothing. Media data: the latest ones, as the demuxer reads on
// through a file of many fragments. Tracks: past that many, every sample
// table counts as within one, erring on the side of stopping.
constexpr int kMostRanges = 16;

// File positions [start, end).
struct ProbeRange {
    int64_t start;
    int64_t end;
};

struct ProbeRanges {
    ProbeRange ranges[kMostRanges];
    int kept;
    int next;         // where the next one goes
    bool overflowed;  // more were added than are kept
};

// The watch over the probed file's sample tables (probe_io.cpp).
struct SampleTableWatch {
    int64_t file_size;    // when it was opened
    int64_t index_limit;  // entries: the limit, or the file's size when smaller
    int64_t declared;     // entries the tables declare, all tracks together
    int carry_length;     // the last bytes read, for a box header across two reads
    int64_t carry_end;
    uint8_t carry[20];
    int64_t next_box;      // the next top-level box header; -1 once the chain is lost
    ProbeRanges media;     // payloads of the top-level "mdat" boxes
    ProbeRanges tracks;    // extents of the "trak" boxes
    bool fragment_header;  // a "tfhd" was seen
    bool fragmented;       // a "trex": fragments are read later, with the packets
};

// The state of one probe. Lives on the probing thread's stack from
// probe_begin to probe_end; the demuxer reaches it through the opaque of the
// format context, of the interrupt callback and of every AVIOContext made.
struct ProbeBudget {
    MediaProbeLimits limits;
    ProbeStop stop;
    ProbePhase phase;
    AVFormatContext *format;   // the probe's own context, whose indexes are watched
    AVIOContext *probed;       // the probed file's context, freed by probe_end
    ProbeFile *files;          // every file open now, the probed one included
    bool format_known;         // format->iformat was seen set
    bool mov;                  // ... and it is the demuxer that reads sample tables
    const ProbeBudget *outer;  // a probe this thread was running (a note handler probing)
    const int32_t *cancel;     // the context's cancel request, read atomically; may be NULL
    SampleTableWatch tables;

    int64_t bytes_read;
    int64_t index_bound;  // the bound an index went past (ProbeStop::index)
    int64_t files_opened;
    int64_t playlists;
    ProbeMaster *masters;
    int master_count;
    int master_capacity;

    // Processor time of the probing thread, in microseconds since the probe
    // began, as last read, and the coarse wall clock at that reading.
    int64_t cpu_start_us;
    int64_t cpu_used_us;
    int64_t cpu_read_at_us;

    // Waiting, and the state of the demuxer-sleep detection.
    int64_t idle_us;
    uint64_t io_calls;      // reads, seeks, opens and closes so far
    uint64_t last_mark;     // the I/O mark at the last interrupt check
    int64_t last_check_us;  // coarse wall clock of the last interrupt check
    bool after_quiet_gap;   // the last gap was long and without I/O
    int64_t quiet_cpu_us;   // processor time at its end
    bool last_gap_asleep;   // ... and it was a sleep

    // Memory, as counted (see the contract): the streams and the index as
    // last seen, and the walks' predictions with the work they foresee.
    bool copies_index;  // the nodes get a copy of each index
    unsigned streams_seen;
    int64_t stream_memory;
    int64_t index_memory;
    int64_t forecast_work[static_cast<int>(Forecast::count)];
    int64_t forecast_memory[static_cast<int>(Forecast::count)];
    int predicted_by;  // the Forecast that stopped the probe; -1 when measured
    // A text subtitle file's events, counted as its bytes arrive.
    int text_format;  // -1 unknown, -2 none; else its row in the table of formats
    int64_t text_counted_to;
};

// Checks `path` and opens it (see the contract). Returns 0 with `file`
// filled, or the errno value that refuses it: EISDIR for a directory, EINVAL
// for anything else that is not a regular file.
int probe_open_checked(const char *path, CheckedFile *file);

// Starts the budget of a probe on this thread with the process-wide limits.
// `cancel` (NULL for none) is a flag another thread may set at any time,
// with an atomic store, to stop the probe. `copies_index`: the probe copies
// each index into its nodes, which counts as memory.
void probe_begin(ProbeBudget *budget, const int32_t *cancel, bool copies_index);

// Gives `format` (allocated, not yet opened) the probe's I/O: an AVIOContext
// reading `file` (which it owns from now on), the io_open and io_close2 that
// keep nested files within the budget, the interrupt callback and an index
// size within the limit. Returns 0 or AVERROR(ENOMEM).
int probe_attach(ProbeBudget *budget, AVFormatContext *format, const CheckedFile *file);

// The format context is gone (closed, or freed by a failed open).
void probe_detach(ProbeBudget *budget);

void probe_set_phase(ProbeBudget *budget, ProbePhase phase);

// Stops the probe when a stream of its format context holds more index
// entries than the limit; returns false when the probe is stopped.
bool probe_check_indexes(ProbeBudget *budget);

// probe_check_indexes, and stops the probe when the memory counted for its
// streams, indexes and predictions exceeds the limit (before the streams'
// parameters are read, this counts the decoders stream-info reading opens).
// Returns false when the probe is stopped.
bool probe_check(ProbeBudget *budget);

inline bool probe_stopped(const ProbeBudget *budget) {
    return budget->stop != ProbeStop::none;
}

// Which limit stopped the probe, in words ("probe stopped at more than 10 s
// of processor time"), as error_text begins.
void probe_stop_text(const ProbeBudget *budget, char *text, size_t size);

// Releases what the probe still holds: the probed file and its context, and
// any file a demuxer left open. Call after the format context is closed.
void probe_end(ProbeBudget *budget);

// The most index entries a stream may have: the limit of the probe running on
// this thread, or the process-wide one outside a probe.
int64_t probe_index_limit();

#endif
