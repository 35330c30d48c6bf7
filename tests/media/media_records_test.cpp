// The records and the stream operations, on records and streams built in
// memory: freeing, the index entry layout, the frame rate and narrowing
// rules, streams without a decoder, and get_buffer_from_file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

#include "media_probe.h"

namespace {

char *text(const char *value) {
    char *copy = static_cast<char *>(calloc(strlen(value) + 1, 1));
    strcpy(copy, value);
    return copy;
}

StreamEntry *entries(int count) {
    return static_cast<StreamEntry *>(calloc(count, sizeof(StreamEntry)));
}

// A lone stream in a format context of its own, with hand-set fields.
class MemoryStream {
  public:
    MemoryStream() : format_(avformat_alloc_context()) {
        stream = avformat_new_stream(format_, nullptr);
        stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        stream->codecpar->codec_id = AV_CODEC_ID_H264;
    }
    ~MemoryStream() { avformat_free_context(format_); }
    MemoryStream(const MemoryStream &) = delete;
    MemoryStream &operator=(const MemoryStream &) = delete;

    void setTiming(int64_t nbFrames, AVRational timeBase, int64_t duration, AVRational real) {
        stream->nb_frames = nbFrames;
        stream->time_base = timeBase;
        stream->duration = duration;
        stream->r_frame_rate = real;
    }

    AVStream *stream;

  private:
    AVFormatContext *format_;
};

TEST(Records, FreeMediaContextReturnsMinus256ForNoContextAndZeroOtherwise) {
    EXPECT_EQ(free_media_context(nullptr), -256);
    MediaContext *context = create_media_context();
    ASSERT_NE(context, nullptr);
    const MediaContext zero{};
    EXPECT_EQ(memcmp(context, &zero, sizeof zero), 0);
    EXPECT_EQ(free_media_context(context), 0);
}

// Each list gets three nodes owning all they can own; the leak checkers
// (LeakSanitizer, valgrind) verify that every block is released.
TEST(Records, FreeingReleasesThreeNodeListsAndAllTheyOwn) {
    MediaContext *context = create_media_context();
    ASSERT_NE(context, nullptr);
    context->filename = text("a.mkv");
    context->container_name = text("matroska,webm");
    context->mime_type_str = text("video/x-matroska");
    for (int i = 0; i < 3; ++i) {
        auto *video = static_cast<VideoStreamContext *>(calloc(1, sizeof(VideoStreamContext)));
        video->codec_name = text("h264");
        video->spspps = static_cast<uint8_t *>(calloc(8, 1));
        video->entries = entries(2);
        video->next = context->video;
        context->video = video;
        auto *audio = static_cast<AudioStreamContext *>(calloc(1, sizeof(AudioStreamContext)));
        audio->codec_name = text("aac");
        audio->entries = entries(2);
        audio->next = context->audio;
        context->audio = audio;
        auto *subtitle =
            static_cast<SubtitleStreamContext *>(calloc(1, sizeof(SubtitleStreamContext)));
        subtitle->codec_name = i == 1 ? nullptr : text("subrip");  // absent fields are skipped
        subtitle->entries = i == 2 ? nullptr : entries(1);
        subtitle->next = context->subtitle;
        context->subtitle = subtitle;
    }
    EXPECT_EQ(free_media_context(context), 0);
    free_video_stream_context(nullptr);
    free_audio_stream_context(nullptr);
    free_subtitle_stream_context(nullptr);
}

TEST(Records, StreamEntryKeepsFlagsInTheLowTwoBitsAndSizeAbove) {
    StreamEntry entry{};
    uint32_t word;
    entry.flags = 1;
    memcpy(&word, reinterpret_cast<const char *>(&entry) + 16, sizeof word);
    EXPECT_EQ(word, 1u);
    entry = StreamEntry{};
    entry.size = 1;
    memcpy(&word, reinterpret_cast<const char *>(&entry) + 16, sizeof word);
    EXPECT_EQ(word, 4u);
    entry.flags = -2;  // a stored 2 (AVINDEX_DISCARD_FRAME) reads back as -2
    entry.size = (1 << 29) - 1;
    EXPECT_EQ(entry.flags, -2);
    EXPECT_EQ(entry.size, (1 << 29) - 1);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// The stream's duration also serves as the codec's bit rate: both keep their
// low 32 bits, wrapping.
TEST(Streams, FrameRateDurationAndBitRateFollowTheNarrowingRules) {
    const struct {
        const char *what;
        int64_t nbFrames;
        AVRational timeBase;
        int64_t duration;
        AVRational real;
        double fps;  // NaN: not a number expected
        int32_t narrowed;
    } cases[] = {
        {"counted", 50, {1, 25}, 50, {0, 0}, 25.0, 50},
        {"fallback truncates NTSC", 0, {1, 90000}, 90000, {30000, 1001}, 29.0, 90000},
        {"fallback with zero denominator", 0, {1, 90000}, 90000, {30, 0}, 0.0, 90000},
        {"negative zero falls back", 0, {1, 25}, -50, {24, 1}, 24.0, -50},
        {"unknown duration falls back", 0, {1, 25}, AV_NOPTS_VALUE, {24, 1}, 24.0, 0},
        {"wrapping duration", 0, {1, 25}, (int64_t{1} << 32) + 5, {24, 1}, 24.0, 5},
        {"duration past 2^31", 0, {1, 25}, int64_t{INT32_MAX} + 1, {24, 1}, 24.0, INT32_MIN},
        {"zero duration is not a number", 0, {1, 25}, 0, {24, 1}, kNaN, 0},
        {"zero time base numerator is not a number", 0, {0, 1}, 100, {24, 1}, kNaN, 100},
        {"frames over zero duration are infinite", 10, {1, 25}, 0, {24, 1}, kInf, 0},
    };
    for (const auto &c : cases) {
        MemoryStream memory;
        memory.setTiming(c.nbFrames, c.timeBase, c.duration, c.real);
        memory.stream->codecpar->bit_rate = c.duration;
        VideoStreamContext video{};
        AudioStreamContext audio{};
        EXPECT_EQ(set_video_stream_context(&video, memory.stream), 0) << c.what;
        EXPECT_EQ(set_audio_stream_context(&audio, memory.stream), 0) << c.what;
        if (std::isnan(c.fps)) {
            EXPECT_TRUE(std::isnan(video.fps)) << c.what << ": " << video.fps;
        } else {
            EXPECT_EQ(video.fps, c.fps) << c.what;
        }
        EXPECT_EQ(video.duration, c.narrowed) << c.what;
        EXPECT_EQ(video.bit_rate, c.narrowed) << c.what;
        EXPECT_EQ(audio.duration, c.narrowed) << c.what;
        EXPECT_EQ(audio.bit_rate, c.narrowed) << c.what;
        free(video.codec_name);
        free(video.spspps);
        free(audio.codec_name);
    }
}

TEST(Streams, StreamWithoutDecoderKeepsItsPartlyFilledNode) {
    MemoryStream memory;
    AVCodecParameters *par = memory.stream->codecpar;
    par->codec_id = AV_CODEC_ID_NONE;
    ASSERT_EQ(avcodec_find_decoder(par->codec_id), nullptr);
    par->width = 320;
    par->height = 240;
    par->bit_rate = 64000;
    par->sample_rate = 48000;
    av_channel_layout_default(&par->ch_layout, 6);
    memory.setTiming(50, {1, 25}, 50, {25, 1});
    ASSERT_EQ(av_add_index_entry(memory.stream, 0, 0, 10, 0, AVINDEX_KEYFRAME), 0);

    MediaContext *context = create_media_context();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(add_video_stream_context(context, memory.stream), -1);
    EXPECT_EQ(add_video_stream_context(context, memory.stream), -1);
    EXPECT_EQ(add_audio_stream_context(context, memory.stream), -1);
    const VideoStreamContext *video = context->video;
    ASSERT_NE(video, nullptr);
    ASSERT_NE(video->next, nullptr);  // the second node is linked behind the first
    EXPECT_EQ(video->next->next, nullptr);
    EXPECT_EQ(video->width, 320);
    EXPECT_EQ(video->height, 240);
    EXPECT_EQ(video->bit_rate, 64000);
    EXPECT_EQ(video->fps, 25.0);
    EXPECT_NE(video->spspps, nullptr);
    EXPECT_EQ(video->codec_name, nullptr);
    EXPECT_EQ(video->entries, nullptr);
    EXPECT_EQ(video->entry_count, 0);
    const AudioStreamContext *audio = context->audio;
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->sample_rate, 48000);
    EXPECT_EQ(audio->channels, 6);
    EXPECT_EQ(audio->codec_name, nullptr);
    EXPECT_EQ(audio->entries, nullptr);
    EXPECT_EQ(free_media_context(context), 0);
    EXPECT_EQ(set_video_stream_context(nullptr, memory.stream), -1);
}

TEST(GetBuffer, ReadsAtMostTheLengthGivenFromTheStart) {
    char path[] = "/tmp/media_buffer_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "0123456789", 10), 10);
    close(fd);
    const struct {
        int32_t length;
        const char *expected;  // the 16-byte buffer afterwards, '.' untouched
    } cases[] = {
        {-1, "................"}, {0, "................"},  {1, "0..............."},
        {10, "0123456789......"}, {12, "0123456789......"},
    };
    for (const auto &c : cases) {
        uint8_t buffer[16];
        memset(buffer, '.', sizeof buffer);
        EXPECT_EQ(get_buffer_from_file(path, buffer, c.length), 0) << c.length;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), sizeof buffer), c.expected)
            << c.length;
    }
    unlink(path);
    uint8_t buffer[4];
    EXPECT_EQ(get_buffer_from_file(path, buffer, sizeof buffer), ENOENT);
}

}  // namespace
