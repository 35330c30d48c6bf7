// The scan; the contract is in media_scan.h.
#include "media_scan.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

// B-frame reordering is at most 16 pictures deep (H.264, HEVC): a window of
// twice that many timestamps puts every picture in presentation order.
constexpr int kReorderWindow = 32;

// The scan's budget beyond the probe's (documented with MediaProbeLimits):
// - bytes: the probe's limit plus the file's size as it was when opened, so
//   that a file of any size is read whole and one that grows while it is read
//   stops that far past its size;
// - processor time: the probe's limit, or 1 ms for every 8 KiB read (8 MiB a
//   second, a small fraction of the slowest demuxer's speed), whichever is
//   more;
// - packets: a million, plus one for every byte read; no container spends
//   less than a byte on a packet, so only a demuxer returning packets without
//   reading (an edit list repeating its samples, say) comes near it.
constexpr int64_t kBytesPerCpuMs = 8192;
constexpr int64_t kPacketsBeforeBytes = 1000000;

// Packets between two interrupt checks (cancel request, processor time,
// waiting), beside those every read makes: a few microseconds' work.
constexpr int64_t kPacketsPerCheck = 8;

constexpr int kFirstKeyframes = 64;
// StreamEntry's size is a signed 30-bit field.
constexpr int kLargestEntrySize = (1 << 29) - 1;

// What is known of one stream while its packets are read.
struct StreamState {
    MediaScan *scan;  // NULL: the stream has no node
    AVRational time_base;
    bool video;
    // Presentation times of the packets shown (not flagged discard).
    bool timed;
    int64_t first;
    int64_t last_end;
    // Video: the latest timestamps, a min-heap, and the steps between
    // consecutive ones taken from it in presentation order.
    int64_t window[kReorderWindow];
    int window_size;
    bool ordered;  // `previous` holds a timestamp
    int64_t previous;
    int64_t step_min;
    int64_t step_max;
    int64_t step_gcd;  // 0 until the first step
    // Video: the packets since the last key packet, 0 before the first one.
    int64_t run;
    int64_t keyframe_capacity;
};

enum class Failure { none, memory, keyframes, packets };

int64_t add_saturated(int64_t a, int64_t b) {
    int64_t sum;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? INT64_MAX : INT64_MIN + 1;  // INT64_MIN is the unknown value
}

int64_t gcd(int64_t a, int64_t b) {
    while (b != 0) {
        const int64_t rest = a % b;
        a = b;
        b = rest;
    }
    return a;
}

void sift_down(int64_t *heap, int size, int at) {
    for (;;) {
        int least = at;
        const int left = 2 * at + 1, right = left + 1;
        if (left < size && heap[left] < heap[least]) least = left;
        if (right < size && heap[right] < heap[least]) least = right;
        if (least == at) return;
        const int64_t swap = heap[at];
        heap[at] = heap[least];
        heap[least] = swap;
        at = least;
    }
}

void push(int64_t *heap, int *size, int64_t value) {
    int at = (*size)++;
    heap[at] = value;
    while (at > 0 && heap[(at - 1) / 2] > heap[at]) {
        const int parent = (at - 1) / 2;
        heap[at] = heap[parent];
        heap[parent] = value;
        at = parent;
    }
}

// The next timestamp in presentation order. A step of zero (a repeated
// timestamp) is no frame interval, and a backward one (a timestamp reset)
// starts the steps afresh.
void take_in_order(StreamState *s, int64_t pts) {
    int64_t step = 0;
    if (s->ordered && !__builtin_sub_overflow(pts, s->previous, &step) && step > 0) {
        if (s->step_gcd == 0 || step < s->step_min) s->step_min = step;
        if (step > s->step_max) s->step_max = step;
        s->step_gcd = gcd(s->step_gcd, step);
    }
    s->previous = pts;
    s->ordered = true;
}

// Takes a picture's timestamp in decode order; passes on, in presentation
// order, each one that no later picture can precede any more.
void order(StreamState *s, int64_t pts) {
    if (s->window_size < kReorderWindow) {
        push(s->window, &s->window_size, pts);
        return;
    }
    if (pts <= s->window[0]) {
        take_in_order(s, pts);
        return;
    }
    const int64_t least = s->window[0];
    s->window[0] = pts;
    sift_down(s->window, s->window_size, 0);
    take_in_order(s, least);
}

// Appends the key packet to the stream's keyframes; false when memory ran
// out.
bool keep_keyframe(StreamState *s, const AVPacket *packet) {
    MediaScan *scan = s->scan;
    if (scan->keyframe_count == s->keyframe_capacity) {
        const int64_t capacity = s->keyframe_capacity ? 2 * s->keyframe_capacity : kFirstKeyframes;
        void *grown = realloc(scan->keyframes, static_cast<size_t>(capacity) * sizeof(StreamEntry));
        if (!grown) return false;
        scan->keyframes = static_cast<StreamEntry *>(grown);
        s->keyframe_capacity = capacity;
    }
    StreamEntry &entry = scan->keyframes[scan->keyframe_count];
    entry.pos = packet->pos;
    entry.timestamp = packet->pts;  // AV_NOPTS_VALUE is MEDIA_PROBE_NO_VALUE
    entry.flags = 1;
    entry.size = packet->size < kLargestEntrySize ? packet->size : kLargestEntrySize;
    entry.min_distance = 0;
    return true;
}

Failure count_packet(StreamState *s, const AVPacket *packet, bool keep_keyframes,
                     int64_t index_limit) {
    MediaScan *scan = s->scan;
    const bool key = packet->flags & AV_PKT_FLAG_KEY;
    ++scan->packets;
    scan->key_packets += key;
    scan->bytes += packet->size;
    const bool shown = packet->pts != AV_NOPTS_VALUE && !(packet->flags & AV_PKT_FLAG_DISCARD);
    if (shown) {
        const int64_t end = add_saturated(packet->pts, packet->duration > 0 ? packet->duration : 0);
        if (!s->timed || packet->pts < s->first) s->first = packet->pts;
        if (!s->timed || end > s->last_end) s->last_end = end;
        s->timed = true;
    }
    if (!s->video) return Failure::none;
    if (shown) order(s, packet->pts);
    if (key) {
        if (s->run > scan->gop_max) scan->gop_max = static_cast<int32_t>(s->run);
        s->run = 1;
        if (keep_keyframes) {
            if (scan->keyframe_count >= index_limit) return Failure::keyframes;
            if (!keep_keyframe(s, packet)) return Failure::memory;
        }
        ++scan->keyframe_count;
    } else if (s->run > 0 && s->run < INT32_MAX) {
        ++s->run;
    }
    return Failure::none;
}

// `ticks` of `time_base` in microseconds, rounded to the nearest.
int64_t microseconds(int64_t ticks, AVRational time_base) {
    const __int128 scaled = static_cast<__int128>(ticks) * time_base.num * 1000000;
    const __int128 half = time_base.den / 2;
    const __int128 us = (scaled + (scaled < 0 ? -half : half)) / time_base.den;
    if (us > INT64_MAX) return INT64_MAX;
    if (us <= INT64_MIN) return INT64_MIN + 1;
    return static_cast<int64_t>(us);
}

void finish(StreamState *s) {
    MediaScan *scan = s->scan;
    const AVRational tb = s->time_base;
    const bool valid_base = tb.num > 0 && tb.den > 0;
    scan->start = s->timed ? s->first : MEDIA_PROBE_NO_VALUE;
    scan->duration_ts = s->timed ? add_saturated(s->last_end, -s->first) : 0;
    if (valid_base && scan->duration_ts > 0) {
        const double seconds = static_cast<double>(scan->duration_ts) * tb.num / tb.den;
        const double rate = static_cast<double>(scan->bytes) * 8 / seconds + 0.5;
        scan->bit_rate = rate < 9.2e18 ? static_cast<int64_t>(rate) : INT64_MAX;
    }
    if (!s->video) return;
    while (s->window_size > 0) {
        const int64_t least = s->window[0];
        s->window[0] = s->window[--s->window_size];
        sift_down(s->window, s->window_size, 0);
        take_in_order(s, least);
    }
    if (s->run > scan->gop_max) scan->gop_max = static_cast<int32_t>(s->run);
    if (valid_base && s->step_gcd > 0) {
        scan->frame_rate_max = tb.den / (static_cast<double>(s->step_min) * tb.num);
        scan->frame_rate_min = tb.den / (static_cast<double>(s->step_max) * tb.num);
        scan->vfr = s->step_max - s->step_min > s->step_gcd;
    }
}

// Gives the node of stream `index` its scan; false when memory ran out.
bool attach(StreamState *states, unsigned count, const AVFormatContext *format, int32_t index,
            MediaScan **scan, bool video) {
    if (index < 0 || static_cast<unsigned>(index) >= count || states[index].scan) return true;
    *scan = static_cast<MediaScan *>(calloc(1, sizeof(MediaScan)));
    if (!*scan) return false;
    (*scan)->start = MEDIA_PROBE_NO_VALUE;
    states[index].scan = *scan;
    states[index].video = video;
    states[index].time_base = format->streams[index]->time_base;
    return true;
}

bool attach_all(StreamState *states, unsigned count, MediaContext *context,
                const AVFormatContext *format) {
    for (VideoStreamContext *v = context->video; v; v = v->next) {
        if (!attach(states, count, format, v->stream_index, &v->scan, true)) return false;
    }
    for (AudioStreamContext *a = context->audio; a; a = a->next) {
        if (!attach(states, count, format, a->stream_index, &a->scan, false)) return false;
    }
    for (OtherStreamContext *o = context->other; o; o = o->next) {
        if (!attach(states, count, format, o->stream_index, &o->scan, false)) return false;
    }
    return true;
}

// The interrupt check the demuxer makes between packets: the cancel request,
// processor time, waiting. True when the probe is stopped.
bool interrupted(AVFormatContext *format) {
    const AVIOInterruptCB &check = format->interrupt_callback;
    return check.callback && check.callback(check.opaque) != 0;
}

// The demuxer's words for how reading ended, when a limit cut it short.
void stopped_words(int error, char *words, size_t size) {
    av_strerror(error < 0 && error != AVERROR_EOF ? error : AVERROR_EXIT, words, size);
}

// Why the scan stopped, as error_text says it. The byte limit is named as
// the allowance beyond the file's size that it is.
void describe_stop(const ProbeBudget *budget, Failure failure, int error, int64_t probe_bytes,
                   char *why, size_t size) {
    char words[AV_ERROR_MAX_STRING_SIZE] = "";
    stopped_words(error, words, sizeof words);
    char limit[192] = "";
    if (failure == Failure::memory) {
        snprintf(why, size, "%s", "Cannot allocate memory");
        return;
    }
    if (failure == Failure::packets) {
        snprintf(why, size, "probe stopped at more than %lld packets in %lld bytes read: %s",
                 static_cast<long long>(kPacketsBeforeBytes + budget->bytes_read),
                 static_cast<long long>(budget->bytes_read), words);
        return;
    }
    // probe_stop_text on a copy, to name a limit the scan itself keeps or the
    // probe's own allowance.
    ProbeBudget shown = *budget;
    if (failure == Failure::keyframes) {
        shown.stop = ProbeStop::index;
        shown.index_bound = shown.limits.index_entries;
    }
    if (shown.stop == ProbeStop::cancelled) {
        probe_stop_text(&shown, why, size);
        return;
    }
    const bool bytes = shown.stop == ProbeStop::bytes;
    if (bytes) shown.limits.bytes = probe_bytes;
    probe_stop_text(&shown, limit, sizeof limit);
    snprintf(why, size, "%s%s: %s", limit, bytes ? " beyond the file's size" : "", words);
}

}  // namespace

bool media_scan(MediaContext *context, AVFormatContext *format, ProbeBudget *budget,
                ReadAhead *ahead, bool keep_keyframes, char *why, size_t size) {
    const unsigned count = format->nb_streams;
    auto *states = static_cast<StreamState *>(calloc(count ? count : 1, sizeof(StreamState)));
    if (!states || !attach_all(states, count, context, format)) {
        free(states);
        snprintf(why, size, "%s", "Cannot allocate memory");
        return false;
    }
    const int64_t probe_bytes = budget->limits.bytes;
    const int64_t cpu_floor_ms = budget->limits.cpu_ms;
    const int64_t index_limit = budget->limits.index_entries;
    budget->limits.bytes = add_saturated(probe_bytes, context->file_size);

    AVPacket *packet = av_packet_alloc();
    Failure failure = packet ? Failure::none : Failure::memory;
    int error = 0;
    int64_t packets = 0;
    int64_t allowed_for = -1;  // the bytes read when the processor time was last extended
    while (failure == Failure::none) {
        if (packets % kPacketsPerCheck == 0 && interrupted(format)) break;
        if (ahead && ahead->next < ahead->count) {
            av_packet_move_ref(packet, ahead->packets[ahead->next++]);
        } else {
            error = av_read_frame(format, packet);
            if (error < 0) break;
        }
        const int index = packet->stream_index;
        if (index >= 0 && static_cast<unsigned>(index) < count && states[index].scan) {
            failure = count_packet(&states[index], packet, keep_keyframes, index_limit);
        }
        av_packet_unref(packet);
        if (++packets > kPacketsBeforeBytes + budget->bytes_read) failure = Failure::packets;
        if (budget->bytes_read != allowed_for) {
            allowed_for = budget->bytes_read;
            const int64_t allowed_ms = allowed_for / kBytesPerCpuMs;
            budget->limits.cpu_ms = allowed_ms > cpu_floor_ms ? allowed_ms : cpu_floor_ms;
        }
    }
    av_packet_free(&packet);

    bool complete = false;
    if (failure != Failure::none || probe_stopped(budget)) {
        describe_stop(budget, failure, error, probe_bytes, why, size);
    } else if (error == AVERROR(ENOMEM)) {
        snprintf(why, size, "%s", "Cannot allocate memory");
    } else if (format->pb && format->pb->error < 0) {
        // The file could not be read; the demuxer may take that for its end.
        av_strerror(format->pb->error, why, size);
    } else {
        complete = true;
    }
    if (complete) {
        int64_t earliest = INT64_MAX, latest = INT64_MIN;
        for (unsigned i = 0; i < count; ++i) {
            StreamState *s = &states[i];
            if (!s->scan) continue;
            finish(s);
            if (!s->timed || s->time_base.num <= 0 || s->time_base.den <= 0) continue;
            const int64_t start = microseconds(s->first, s->time_base);
            const int64_t end = microseconds(s->last_end, s->time_base);
            if (start < earliest) earliest = start;
            if (end > latest) latest = end;
        }
        if (earliest <= latest) context->scan_duration_us = add_saturated(latest, -earliest);
    }
    free(states);
    return complete;
}

void media_scan_free(MediaScan *scan) {
    if (!scan) return;
    free(scan->keyframes);
    free(scan);
}

void media_scan_drop(MediaContext *context) {
    for (VideoStreamContext *v = context->video; v; v = v->next) {
        media_scan_free(v->scan);
        v->scan = nullptr;
    }
    for (AudioStreamContext *a = context->audio; a; a = a->next) {
        media_scan_free(a->scan);
        a->scan = nullptr;
    }
    for (OtherStreamContext *o = context->other; o; o = o->next) {
        media_scan_free(o->scan);
        o->scan = nullptr;
    }
    context->scan_duration_us = MEDIA_PROBE_NO_VALUE;
}
