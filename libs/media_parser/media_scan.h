// The scan (MEDIA_PROBE_SCAN): every packet of a probed file read without
// decoding, counted and timed per stream. Internal to the library (not
// installed); media_probe.cpp calls media_scan once the streams are described,
// with the probe's format context and budget still open.
//
// Contract
//  - Every node in the context's video, audio and other lists gets a MediaScan
//    (calloc'd, owned by the node, freed by media_scan_free). Packets of a
//    stream without a node (one the demuxer added during the scan) are read
//    but counted nowhere.
//  - Memory: the per-stream state is fixed (a reorder window of timestamps
//    per video stream); what grows is the keyframes kept, within
//    MediaProbeLimits.index_entries per stream.
//  - Budget: the scan extends the probe's limits (see media_scan.cpp:
//    bytes, processor time, packets) and stops like the probe, through the
//    same reads and interrupt checks; a cancel request stops it too.
#ifndef MEDIA_PARSER_MEDIA_SCAN_H
#define MEDIA_PARSER_MEDIA_SCAN_H

#include <cstddef>

#include "media_probe.h"
#include "probe_io.h"

struct AVFormatContext;
struct AVPacket;

// Packets the probe read from the format context before the scan (the first
// pictures, for their SEI messages), in the order read; owned by whoever
// made it, and the scan counts them, in that order, before it reads on.
// `next` is the first not yet counted.
struct ReadAhead {
    AVPacket **packets;
    int count;
    int capacity;
    int next;
};

// Reads every packet left in `format`, those of `ahead` first (NULL: none),
// and fills each node's `scan` and context->scan_duration_us. `keep_keyframes` false counts the key packets
// of video streams without copying them (MEDIA_PROBE_NO_INDEX). Returns true
// when the whole file was read. Otherwise writes why into `why` (`size`
// bytes, terminated), as error_text gives it: "probe stopped ...: ...",
// "probe cancelled", "Cannot allocate memory" or the words of a read error;
// the scans filled so far stay for the caller to drop (media_scan_drop).
bool media_scan(MediaContext *context, AVFormatContext *format, ProbeBudget *budget,
                ReadAhead *ahead, bool keep_keyframes, char *why, size_t size);

// Frees a scan and its keyframes; NULL does nothing.
void media_scan_free(MediaScan *scan);

// Frees every node's scan, leaving NULL, and forgets scan_duration_us.
void media_scan_drop(MediaContext *context);

#endif
