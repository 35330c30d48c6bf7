// The scan (media_probe_file with MEDIA_PROBE_SCAN) against ffprobe reading
// every packet of the same files (-show_packets, -count_packets): per stream
// the packets, key packets, bytes, presentation start and end, bit rate,
// every key packet of a video stream with its position, timestamp and size,
// the frame rates between consecutive timestamps in presentation order and
// the longest GOP; then what each file is made to show (a variable rate, a
// wrapped clock, a duration no header gives), the flags, and what a context
// holds when it was not scanned.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
}

#include "media_fixtures.h"
#include "media_probe.h"
#include "media_summary.h"
#include "process.h"
#include "scan_fixtures.h"

namespace {

using Json = nlohmann::json;

// The scan's files and the general fixtures, by name.
const std::map<std::string, std::string> &files() {
    static const auto paths = [] {
        av_log_set_level(AV_LOG_QUIET);
        auto all = media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR);
        for (const auto &[name, path] : media_fixtures::generateScanFixtures(MEDIA_FIXTURE_DIR)) {
            all["scan:" + name] = path;
        }
        return all;
    }();
    return paths;
}

const std::string &file(const std::string &name) {
    return files().at(name);
}

// Owns a context probed with `flags`.
struct Scanned {
    Scanned(const std::string &path, unsigned flags) : context(create_media_context()) {
        testing::internal::CaptureStdout();  // the notes on other streams
        result = media_probe_file(context, path.c_str(), flags);
        testing::internal::GetCapturedStdout();
    }
    ~Scanned() { free_media_context(context); }
    Scanned(const Scanned &) = delete;
    Scanned &operator=(const Scanned &) = delete;
    const MediaContext *operator->() const { return context; }
    MediaContext *context;
    int result;
};

// ---- ffprobe's reading ---------------------------------------------------------

struct Packet {
    int stream;
    bool timed;  // has a pts
    int64_t pts;
    int64_t duration;
    int64_t size;
    int64_t pos;  // -1 for N/A
    bool key;
    bool discard;
};

struct Reading {
    std::vector<Packet> packets;            // in the order read
    std::map<int, int64_t> countedPackets;  // -count_packets, by stream index
    std::map<int, AVRational> timeBase;
};

int64_t decimal(const Json &value) {
    return value.is_string() ? std::stoll(value.get<std::string>()) : value.get<int64_t>();
}

Reading ffprobeReading(const std::string &path) {
    const qztest::ProcessResult run = qztest::runProcess(
        {MEDIA_FFPROBE, "-v", "quiet", "-count_packets", "-show_entries",
         "packet=stream_index,pts,duration,size,pos,flags:stream=index,nb_read_packets,time_base",
         "-of", "json", path});
    EXPECT_EQ(run.status, 0) << path;
    const Json report = Json::parse(run.out);
    Reading reading;
    for (const Json &p : report["packets"]) {
        const std::string flags = p["flags"];
        reading.packets.push_back({p["stream_index"].get<int>(), p.contains("pts"),
                                   p.contains("pts") ? decimal(p["pts"]) : 0,
                                   p.contains("duration") ? decimal(p["duration"]) : 0,
                                   decimal(p["size"]), p.contains("pos") ? decimal(p["pos"]) : -1,
                                   flags[0] == 'K', flags[1] == 'D'});
    }
    for (const Json &s : report["streams"]) {
        const int index = s["index"].get<int>();
        // None for a stream that has no packets (an attachment).
        reading.countedPackets[index] =
            s.contains("nb_read_packets") ? decimal(s["nb_read_packets"]) : 0;
        const std::string base = s["time_base"];
        reading.timeBase[index] = {std::stoi(base.substr(0, base.find('/'))),
                                   std::stoi(base.substr(base.find('/') + 1))};
    }
    return reading;
}

// What a scan of one stream must find, worked out from ffprobe's packets by
// the definitions in media_probe.h: every timestamp kept and sorted, where
// the library keeps a window of them.
struct Expected {
    int64_t packets = 0, keyPackets = 0, bytes = 0;
    bool timed = false;
    int64_t start = MEDIA_PROBE_NO_VALUE, end = 0, durationTs = 0, bitRate = 0;
    std::vector<StreamEntry> keyframes;
    double rateMin = 0, rateMax = 0;
    int vfr = 0, gopMax = 0;
};

Expected expectedScan(const Reading &reading, int stream, bool video) {
    Expected e;
    std::vector<int64_t> shown;
    int run = 0;
    for (const Packet &p : reading.packets) {
        if (p.stream != stream) continue;
        ++e.packets;
        e.keyPackets += p.key;
        e.bytes += p.size;
        if (p.timed && !p.discard) {
            const int64_t end = p.pts + std::max<int64_t>(p.duration, 0);
            e.start = e.timed ? std::min(e.start, p.pts) : p.pts;
            e.end = e.timed ? std::max(e.end, end) : end;
            e.timed = true;
            shown.push_back(p.pts);
        }
        if (!video) continue;
        if (p.key) {
            e.gopMax = std::max(e.gopMax, run);
            run = 1;
            StreamEntry entry{};
            entry.pos = p.pos;
            entry.timestamp = p.timed ? p.pts : MEDIA_PROBE_NO_VALUE;
            entry.flags = 1;
            entry.size = static_cast<int>(p.size);
            e.keyframes.push_back(entry);
        } else if (run > 0) {
            ++run;
        }
    }
    e.gopMax = std::max(e.gopMax, run);
    const AVRational tb = reading.timeBase.at(stream);
    e.durationTs = e.timed ? e.end - e.start : 0;
    if (e.durationTs > 0) {
        e.bitRate = std::llround(static_cast<long double>(e.bytes) * 8 * tb.den /
                                 (static_cast<long double>(e.durationTs) * tb.num));
    }
    if (!video) return e;
    std::sort(shown.begin(), shown.end());
    int64_t least = 0, most = 0, common = 0;
    for (size_t i = 1; i < shown.size(); ++i) {
        const int64_t step = shown[i] - shown[i - 1];
        if (step <= 0) continue;
        least = common ? std::min(least, step) : step;
        most = std::max(most, step);
        common = std::__gcd(common, step);
    }
    if (common > 0) {
        e.rateMax = tb.den / (static_cast<double>(least) * tb.num);
        e.rateMin = tb.den / (static_cast<double>(most) * tb.num);
        e.vfr = most - least > common;
    }
    return e;
}

// From the earliest start to the latest end over the streams, in
// microseconds; MEDIA_PROBE_NO_VALUE when no packet had a timestamp.
int64_t expectedDurationUs(const Reading &reading, const std::vector<int> &streams) {
    int64_t earliest = INT64_MAX, latest = INT64_MIN;
    for (int stream : streams) {
        const Expected e = expectedScan(reading, stream, false);
        if (!e.timed) continue;
        const AVRational tb = reading.timeBase.at(stream);
        earliest = std::min(earliest, av_rescale_q(e.start, tb, AV_TIME_BASE_Q));
        latest = std::max(latest, av_rescale_q(e.end, tb, AV_TIME_BASE_Q));
    }
    return earliest <= latest ? latest - earliest : MEDIA_PROBE_NO_VALUE;
}

void expectScan(const MediaScan *scan, const Reading &reading, int stream, bool video) {
    SCOPED_TRACE("stream " + std::to_string(stream));
    ASSERT_NE(scan, nullptr);
    const Expected e = expectedScan(reading, stream, video);
    EXPECT_EQ(scan->packets, e.packets);
    EXPECT_EQ(scan->packets, reading.countedPackets.at(stream)) << "-count_packets";
    EXPECT_EQ(scan->key_packets, e.keyPackets);
    EXPECT_EQ(scan->bytes, e.bytes);
    EXPECT_EQ(scan->start, e.start);
    EXPECT_EQ(scan->duration_ts, e.durationTs);
    EXPECT_NEAR(scan->bit_rate, e.bitRate, 1);
    EXPECT_EQ(scan->keyframe_count, static_cast<int64_t>(e.keyframes.size()));
    for (size_t i = 0; i < e.keyframes.size() && scan->keyframes; ++i) {
        SCOPED_TRACE("keyframe " + std::to_string(i));
        const StreamEntry &got = scan->keyframes[i], &want = e.keyframes[i];
        EXPECT_EQ(got.pos, want.pos);
        EXPECT_EQ(got.timestamp, want.timestamp);
        EXPECT_EQ(got.size, want.size);
        EXPECT_EQ(got.flags, 1);
    }
    EXPECT_DOUBLE_EQ(scan->frame_rate_min, e.rateMin);
    EXPECT_DOUBLE_EQ(scan->frame_rate_max, e.rateMax);
    EXPECT_EQ(scan->vfr, e.vfr);
    EXPECT_EQ(scan->gop_max, e.gopMax);
}

// The scan of `path` against ffprobe's reading of it, stream by stream.
void expectAsFfprobeReads(const std::string &path) {
    Scanned scanned(path, MEDIA_PROBE_SCAN);
    ASSERT_EQ(scanned.result, 0) << (scanned->error_text ? scanned->error_text : "");
    media_summary::expectConsistent(*scanned.context, 0, scanned->file_size, MEDIA_PROBE_SCAN);
    const Reading reading = ffprobeReading(path);
    std::vector<int> streams;
    for (const VideoStreamContext *v = scanned->video; v; v = v->next) {
        expectScan(v->scan, reading, v->stream_index, true);
        streams.push_back(v->stream_index);
    }
    for (const AudioStreamContext *a = scanned->audio; a; a = a->next) {
        expectScan(a->scan, reading, a->stream_index, false);
        streams.push_back(a->stream_index);
    }
    for (const OtherStreamContext *o = scanned->other; o; o = o->next) {
        expectScan(o->scan, reading, o->stream_index, false);
        streams.push_back(o->stream_index);
    }
    EXPECT_EQ(streams.size(), reading.countedPackets.size()) << "every stream has a node";
    EXPECT_EQ(scanned->scan_duration_us, expectedDurationUs(reading, streams));
}

TEST(Scan, CountsEveryPacketOfEveryStreamAsFfprobeReadsThem) {
    const char *const names[] = {
        // Made for the scan: muxers and containers whose headers fall short.
        "scan:mp4", "scan:mp4_edit", "scan:mp4_frag", "scan:mp4_gst_frag", "scan:mkv_mkvmerge",
        "scan:mkv_gst", "scan:ts_wrap", "scan:ts_open_gop", "scan:flv", "scan:webm_live",
        "scan:mp3_xing", "scan:mp3_no_xing", "scan:aac_adts", "scan:flac", "scan:vfr_mkvmerge",
        "scan:vfr_gst", "scan:repeat_mkvmerge", "scan:ntsc_mp4", "scan:ntsc_mkv",
        // The general fixtures: subtitles, attachments, data, several videos.
        "mp4", "mov", "mkv", "mkv_tracks", "flv", "wmv", "ts", "ts_interlaced", "wav", "mp3_long",
        "h264_ntsc", "three_video", "hevc_main10", "long"};
    for (const char *name : names) {
        SCOPED_TRACE(name);
        expectAsFfprobeReads(file(name));
    }
}

// What each file is made to show, beyond agreeing with ffprobe: the values
// themselves, so that a mistake both sides share cannot pass.
TEST(Scan, FindsTheRatesAndTimesEachFileIsMadeWith) {
    const struct {
        const char *name;
        double rateMin, rateMax;
        int vfr;
        int64_t packets;  // of the first video stream
        int64_t keyframes;
        int gopMax;
    } rows[] = {
        // 40 ms steps, then 33 and 34 ms ones: variable.
        {"scan:vfr_mkvmerge", 25, 1000.0 / 33, 1, 100, 4, 25},
        {"scan:vfr_gst", 25, 1000.0 / 33, 1, 60, 1, 60},
        // 40 ms steps, one of 0 (left out) and one of 80 ms: a dropped frame,
        // a step of the timestamps' own step more, is no variable rate.
        {"scan:repeat_mkvmerge", 12.5, 25, 0, 100, 4, 25},
        // 29.97 fps in ticks of 1/30000 s, and in whole milliseconds: constant.
        {"scan:ntsc_mp4", 30000.0 / 1001, 30000.0 / 1001, 0, 90, 1, 90},
        {"scan:ntsc_mkv", 1000.0 / 34, 1000.0 / 33, 0, 90, 1, 90},
        {"scan:webm_live", 1000.0 / 34, 1000.0 / 33, 0, 60, 1, 60},
        {"scan:mp4", 25, 25, 0, 100, 4, 25},
        {"scan:mkv_mkvmerge", 25, 25, 0, 100, 4, 25},
        {"scan:ts_wrap", 25, 25, 0, 100, 4, 25},
        {"scan:flv", 25, 25, 0, 100, 4, 25},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Scanned scanned(file(row.name), MEDIA_PROBE_SCAN);
        ASSERT_EQ(scanned.result, 0);
        ASSERT_NE(scanned->video, nullptr);
        const MediaScan &scan = *scanned->video->scan;
        EXPECT_DOUBLE_EQ(scan.frame_rate_min, row.rateMin);
        EXPECT_DOUBLE_EQ(scan.frame_rate_max, row.rateMax);
        EXPECT_EQ(scan.vfr, row.vfr);
        EXPECT_EQ(scan.packets, row.packets);
        EXPECT_EQ(scan.keyframe_count, row.keyframes);
        EXPECT_EQ(scan.gop_max, row.gopMax);
    }
}

TEST(Scan, GivesTheTimesAndCountsTheHeadersDoNot) {
    // The seek index of these holds one or two of the clip's four key frames
    // or none, and neither a frame count nor a stream bit rate is declared
    // (FLV declares a bit rate).
    for (const char *name : {"scan:mkv_mkvmerge", "scan:mkv_gst", "scan:ts_wrap", "scan:flv"}) {
        SCOPED_TRACE(name);
        Scanned scanned(file(name), MEDIA_PROBE_SCAN);
        ASSERT_EQ(scanned.result, 0);
        const VideoStreamContext &video = *scanned->video;
        EXPECT_EQ(video.scan->keyframe_count, 4);
        EXPECT_LT(video.entry_count, 4);
        EXPECT_EQ(video.frame_count, 0);
        EXPECT_EQ(video.scan->packets, 100);
        EXPECT_GT(video.scan->bit_rate, 0);
    }

    // A live WebM says nothing of its length; its 60 frames span 2 s.
    Scanned live(file("scan:webm_live"), MEDIA_PROBE_SCAN);
    ASSERT_EQ(live.result, 0);
    EXPECT_EQ(live->duration_us, MEDIA_PROBE_NO_VALUE);
    EXPECT_EQ(live->scan_duration_us, 2000000);

    // The clock wraps past 2^33 ticks 1.7 s in: the 100 frames still span
    // 4 s of ticks of 1/90000 s.
    Scanned wrapped(file("scan:ts_wrap"), MEDIA_PROBE_SCAN);
    ASSERT_EQ(wrapped.result, 0);
    EXPECT_EQ(wrapped->video->scan->duration_ts, 4 * 90000);
    EXPECT_LT(wrapped->video->scan->start, 0) << "the part before the wrap comes first";

    // Joined mid-stream: the first packet read is a key frame, and the two
    // read after it are shown before it.
    Scanned joined(file("scan:ts_open_gop"), MEDIA_PROBE_SCAN);
    ASSERT_EQ(joined.result, 0);
    EXPECT_EQ(joined->video->scan->start, joined->video->scan->keyframes[0].timestamp - 2 * 3600);

    // The same MP3 frames with and without a Xing header: the header's
    // absence changes the demuxer's estimate, not what the frames add up to.
    Scanned xing(file("scan:mp3_xing"), MEDIA_PROBE_SCAN);
    Scanned noXing(file("scan:mp3_no_xing"), MEDIA_PROBE_SCAN);
    ASSERT_EQ(xing.result, 0);
    ASSERT_EQ(noXing.result, 0);
    EXPECT_NE(noXing->duration_us, xing->duration_us) << "an estimate";
    EXPECT_EQ(noXing->audio->scan->packets, xing->audio->scan->packets);
    EXPECT_EQ(noXing->scan_duration_us, xing->scan_duration_us);
    EXPECT_NEAR(xing->scan_duration_us, 10000000, 60000) << "10 s, give or take a frame or two";

    // Cut at 1.1 s: the packets before the cut are read (the decoder needs
    // them) but not shown, so the video starts at 0.
    Scanned edit(file("scan:mp4_edit"), MEDIA_PROBE_SCAN);
    ASSERT_EQ(edit.result, 0);
    EXPECT_EQ(edit->video->scan->start, 0);
    EXPECT_LT(edit->video->scan->keyframes[0].timestamp, 0) << "a discarded key packet first";
    EXPECT_EQ(edit->video->scan->packets, 75);  // 2.9 s of frames from the key frame at 1 s
}

// MEDIA_PROBE_NO_INDEX counts the keyframes without copying them; without
// MEDIA_PROBE_SCAN nothing is scanned, and the rest of the description is
// the same with the scan as without it.
TEST(Scan, FlagsAndWhatANodeHoldsWithoutAScan) {
    for (const char *name : {"scan:mp4", "scan:mkv_mkvmerge", "mkv", "h264_ntsc"}) {
        SCOPED_TRACE(name);
        const std::string &path = file(name);
        Scanned plain(path, 0), scanned(path, MEDIA_PROBE_SCAN),
            counted(path, MEDIA_PROBE_SCAN | MEDIA_PROBE_NO_INDEX);
        ASSERT_EQ(plain.result, 0);
        ASSERT_EQ(scanned.result, 0);
        ASSERT_EQ(counted.result, 0);
        media_summary::expectConsistent(*plain.context, 0, plain->file_size, 0);
        media_summary::expectConsistent(*counted.context, 0, plain->file_size,
                                        MEDIA_PROBE_SCAN | MEDIA_PROBE_NO_INDEX);
        EXPECT_EQ(plain->scan_duration_us, MEDIA_PROBE_NO_VALUE);
        for (const VideoStreamContext *v = plain->video; v; v = v->next)
            EXPECT_EQ(v->scan, nullptr);
        for (const AudioStreamContext *a = plain->audio; a; a = a->next)
            EXPECT_EQ(a->scan, nullptr);
        for (const OtherStreamContext *o = plain->other; o; o = o->next)
            EXPECT_EQ(o->scan, nullptr);

        const VideoStreamContext *with = scanned->video, *without = counted->video;
        ASSERT_NE(with, nullptr);
        EXPECT_GT(with->scan->keyframe_count, 0);
        EXPECT_NE(with->scan->keyframes, nullptr);
        EXPECT_EQ(without->scan->keyframes, nullptr);
        EXPECT_EQ(without->scan->keyframe_count, with->scan->keyframe_count);
        EXPECT_EQ(without->scan->gop_max, with->scan->gop_max);
        EXPECT_EQ(without->scan->bytes, with->scan->bytes);

        // Without its scans and their duration, the description is the plain one.
        for (VideoStreamContext *v = scanned.context->video; v; v = v->next) {
            free(v->scan->keyframes);
            free(v->scan);
            v->scan = nullptr;
        }
        for (AudioStreamContext *a = scanned.context->audio; a; a = a->next) {
            free(a->scan);
            a->scan = nullptr;
        }
        for (OtherStreamContext *o = scanned.context->other; o; o = o->next) {
            free(o->scan);
            o->scan = nullptr;
        }
        scanned.context->scan_duration_us = MEDIA_PROBE_NO_VALUE;
        EXPECT_EQ(media_summary::summarize(*scanned.context),
                  media_summary::summarize(*plain.context));
    }

    // A fresh context holds nothing; a failed probe leaves no scan.
    MediaContext *fresh = create_media_context();
    EXPECT_EQ(fresh->scan_duration_us, 0);
    EXPECT_EQ(media_probe_file(fresh, file("random").c_str(), MEDIA_PROBE_SCAN), 1);
    media_summary::expectConsistent(*fresh, 1, 4096, MEDIA_PROBE_SCAN);
    EXPECT_EQ(fresh->scan_duration_us, MEDIA_PROBE_NO_VALUE);
    free_media_context(fresh);
}

// The library hands its notes on other streams over after the probe has
// described the streams and before the scan starts: a cancel request made
// there stops the scan alone.
void cancelOnNote(void *opaque, const char *, const char *) {
    media_probe_cancel(static_cast<MediaContext *>(opaque));
}

TEST(Scan, ACancelRequestStopsTheScanAndLeavesTheStreamsDescribed) {
    MediaContext *context = create_media_context();
    media_probe_set_note_handler(cancelOnNote, context);
    EXPECT_EQ(media_probe_file(context, file("mkv").c_str(), MEDIA_PROBE_SCAN), 1);
    media_probe_set_note_handler(nullptr, nullptr);
    EXPECT_STREQ(context->error_text, "probe cancelled");
    media_summary::expectConsistent(*context, 1, context->file_size, MEDIA_PROBE_SCAN);
    ASSERT_NE(context->video, nullptr);
    EXPECT_EQ(context->video->scan, nullptr);
    ASSERT_NE(context->other, nullptr);
    EXPECT_EQ(context->other->scan, nullptr);
    EXPECT_EQ(context->scan_duration_us, MEDIA_PROBE_NO_VALUE);
    EXPECT_EQ(media_probe_file(context, file("mkv").c_str(), MEDIA_PROBE_SCAN), 0)
        << "the request lasted one probe";
    free_media_context(context);
}

// A context scanned again describes the new file alone: the first file's
// scans are gone (the sanitizers and valgrind see any leak).
TEST(Scan, ASecondScanDescribesTheNewFileAlone) {
    MediaContext *context = create_media_context();
    testing::internal::CaptureStdout();  // the notes on other streams
    const int first = media_probe_file(context, file("mkv_tracks").c_str(), MEDIA_PROBE_SCAN);
    const int second = media_probe_file(context, file("scan:flac").c_str(), MEDIA_PROBE_SCAN);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(first, 0);
    ASSERT_EQ(second, 0);
    EXPECT_EQ(context->video, nullptr);
    ASSERT_NE(context->audio, nullptr);
    EXPECT_EQ(context->audio->next, nullptr);
    EXPECT_EQ(context->other, nullptr);
    Scanned alone(file("scan:flac"), MEDIA_PROBE_SCAN);
    EXPECT_EQ(media_summary::summarize(*context), media_summary::summarize(*alone.context));
    free_media_context(context);
}

}  // namespace
