// Work and memory the demuxer spends between two reads, predicted from the
// file's structure. Internal to the library; probe_io.cpp runs the walks and
// keeps their sums in the probe's budget.
//
// Contract
//  - Some demuxers do work in one go that grows faster than the bytes it comes
//    from, with no read or interrupt check in between: a Matroska file's tags
//    are merged into dictionaries searched linearly (and every tag element
//    rebuilds its whole dictionary), its chapters are created with a linear
//    search for their ids, its cues inserted into an index moved for every
//    entry out of order; ID3v2 frames go into a dictionary rebuilt three
//    times; Vorbis comments (FLAC, Ogg) go into one searched for each
//    comment, with the value of a repeated name copied whole to append the
//    next, and chapters named in them are searched for among all the others.
//    What the probe measures at its next read comes too late, so the
//    structure that drives the work is walked before the demuxer starts on
//    it, and the work and memory it will take are added up here.
//  - Work is counted in units of about a nanosecond of this machine's time
//    (one character compared in a dictionary search), every count an upper
//    bound of what the demuxer does; kWorkPerMs units stand for a
//    millisecond, leaving room for a slower processor. A probe whose
//    predicted work would not fit in what is left of its processor time
//    stops at once, its text saying the time was predicted.
//  - A walk reads the probed file itself, through a FileWindow of fixed size;
//    its reads count as the probe's. It follows the structure as the demuxer
//    does, with an explicit stack, never recursing on the file's data, and
//    checks the budget as it goes: a walk that is itself too long is stopped
//    by the processor limit like the demuxer would be.
#ifndef MEDIA_PARSER_PROBE_FORECAST_H
#define MEDIA_PARSER_PROBE_FORECAST_H

#include <cstdint>

struct ProbeBudget;

// What a prediction comes from; a stop's text names it.
enum class Forecast {
    matroska_tags,
    matroska_chapters,
    matroska_cues,
    matroska_elements,  // attachments, codec data and the parsed elements themselves
    id3v2_frames,
    vorbis_comments,
    subtitle_events,
    count
};

// Units of predicted work taken as a millisecond of processor time. A unit
// is at most about a nanosecond here, the counts being upper bounds
// (measured: 50,000 Matroska chapters with ids out of order predicted at
// 3.7e9 units took 3.8 s; 10,000 tags in one element, 2.0e9 units, 0.46 s);
// half that rate leaves room for a processor half as fast.
constexpr int64_t kWorkPerMs = 500000;

// Costs every dictionary model shares, measured or bounded from above. A
// dictionary rebuild copies each entry into a new dictionary: two
// allocations, a search of the entries copied so far, a look-up in the key
// conversion table.
constexpr int64_t kRebuildEntryWork = 200;
// A dictionary entry: the entry, its key and value with the allocator's
// overhead, in the demuxer and in the description; its texts count three
// times (the demuxer's, a rebuild's, the description's).
constexpr int64_t kEntryBytes = 160;
// A chapter: its record and its title in a dictionary.
constexpr int64_t kChapterBytes = 320;

// Counts are kept far below overflow: every sum saturates here.
constexpr int64_t kMostCount = INT64_C(1) << 60;

inline int64_t add_count(int64_t a, int64_t b) {
    return a >= kMostCount - b ? kMostCount : a + b;
}

inline int64_t multiply_count(int64_t a, int64_t b) {
    if (a == 0 || b == 0) return 0;
    return a >= kMostCount / b ? kMostCount : a * b;
}

// Adds `work` units and `memory` bytes foreseen from `source`. Returns false
// once the probe is stopped (by this, or by anything before).
bool probe_foresee(ProbeBudget *budget, Forecast source, int64_t work, int64_t memory);

// Counts `bytes` read for a walk; false once the probe is stopped (its byte
// or processor limit).
bool probe_read_for_forecast(ProbeBudget *budget, int64_t bytes);

// A file read for a walk: the bytes asked for are read into a window of
// kWindowBytes, moved as the walk goes on; it starts as the bytes of the
// file's first read, which the walk does not read again. Reads count
// towards the probe's byte limit; the processor limit is checked at each.
class FileWindow {
  public:
    static constexpr int kWindowBytes = 16384;
    static constexpr int kMostAsked = 4096;

    // `first`: the `length` bytes at the file's start, as its first read
    // gave them (they must stay until the walk ends), or NULL.
    FileWindow(ProbeBudget *budget, int fd, const uint8_t *first, int length);
    ~FileWindow();
    FileWindow(const FileWindow &) = delete;
    FileWindow &operator=(const FileWindow &) = delete;

    // The `count` bytes (at most kMostAsked) at file position `at`, or NULL
    // when the file ends before them, a read fails or the probe is stopped.
    const uint8_t *get(int64_t at, int count);
    // How many bytes at `at` there are, up to `count` (at most kMostAsked);
    // *bytes points at them (not set when 0).
    int get_some(int64_t at, int count, const uint8_t **bytes);

  private:
    bool fill(int64_t at);

    ProbeBudget *budget_;
    int fd_;
    const uint8_t *bytes_;  // the window: the first read's bytes, or own_
    uint8_t *own_;          // allocated at the first read of the walk's own
    int64_t start_;
    int length_;
    bool ends_;  // the file ends with the window
};

// Walks the ID3v2 tags that start at `start` (one after the other, as the
// demuxer reads them before any format's header) and adds what their frames
// will cost. Returns where the bytes after the tags begin (`start` when there
// is no tag).
int64_t forecast_id3v2(ProbeBudget *budget, FileWindow *file, int64_t start);

// Walks the metadata blocks of a native FLAC file from `start` ("fLaC"), and
// adds what its Vorbis comments will cost.
void forecast_flac(ProbeBudget *budget, FileWindow *file, int64_t start);

// Walks the pages of an Ogg file from `start` up to the comment packets of
// the streams that begin there, and adds what their Vorbis comments will
// cost.
void forecast_ogg(ProbeBudget *budget, FileWindow *file, int64_t start);

// Walks a Matroska header from `start` (the EBML header) as the demuxer will
// parse it, and adds what its tags, chapters, cues, attachments and elements
// will cost.
void forecast_matroska(ProbeBudget *budget, FileWindow *file, int64_t start);

#endif
