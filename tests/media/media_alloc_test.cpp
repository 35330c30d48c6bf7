// Allocation failures inside the library. The test is linked with
// -Wl,--wrap=calloc, which routes the library's calloc calls (and only those
// of statically linked code) through __wrap_calloc below; FFmpeg's own
// allocations are untouched.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

#include "media_fixtures.h"
#include "media_probe.h"
#include "media_summary.h"

namespace {

int callsUntilFailure = -1;  // -1: never fail
int calls = 0;

// Makes the `n`-th calloc from now (counting from 0) fail.
void failCallocAfter(int n) {
    callsUntilFailure = n;
    calls = 0;
}

}  // namespace

extern "C" void *__real_calloc(size_t count, size_t size);
extern "C" void *__wrap_calloc(size_t count, size_t size) {
    ++calls;
    if (callsUntilFailure >= 0 && callsUntilFailure-- == 0) {
        errno = ENOMEM;
        return nullptr;
    }
    return __real_calloc(count, size);
}

namespace {

TEST(OutOfMemory, CreateMediaContextReportsAndReturnsNothing) {
    failCallocAfter(0);
    testing::internal::CaptureStderr();
    MediaContext *context = create_media_context();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[create_media_context]error[Cannot allocate memory] \n");
    EXPECT_EQ(context, nullptr);
    failCallocAfter(-1);
}

// Every allocation of a probe fails in turn: each time the probe reports 1,
// writes through no null pointer (the sanitizers and valgrind watch) and
// leaves a context that frees cleanly; with none failing it succeeds.
TEST(OutOfMemory, EveryAllocationOfAProbeIsChecked) {
    const auto paths = media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR);
    const std::string path = paths.at("mkv");
    failCallocAfter(-1);
    MediaContext *context = create_media_context();
    ASSERT_NE(context, nullptr);
    testing::internal::CaptureStdout();
    calls = 0;
    ASSERT_EQ(build_media_info(context, path.c_str()), 0);
    const int needed = calls;
    free_media_context(context);
    EXPECT_GE(needed, 9);  // at least the path, 3 texts, 2 nodes, configuration, 2 names

    for (int n = 0; n <= needed; ++n) {
        context = create_media_context();
        ASSERT_NE(context, nullptr);
        failCallocAfter(n);
        EXPECT_EQ(build_media_info(context, path.c_str()), n < needed ? 1 : 0) << "failing " << n;
        failCallocAfter(-1);
        EXPECT_EQ(free_media_context(context), 0);
    }
    testing::internal::GetCapturedStdout();
}

// The same over files with every kind of extension field: tags on the file
// and on each stream, a 5.1 layout, other streams and chapters (mkv_tracks);
// side data, a mastering display and light levels (mkv_hdr10_no_sei); a Dolby
// Vision configuration and stream ids (hevc_dovi); programs with their
// streams and tags (ts_programs). Each failure gives 1 with the reason in
// error_text, and whatever was described by then is whole: every array
// holds what its count says, every text and record it counts is there.
TEST(OutOfMemory, EveryAllocationOfTheDescriptionIsChecked) {
    const auto paths = media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR);
    const struct {
        const char *fixture;
        int atLeast;  // allocations of a whole description
    } files[] = {
        {"mkv_tracks", 75},        // texts and tags of five streams and the file, two chapters
        {"mkv_hdr10_no_sei", 35},  // two side data types, two HDR records with their sources
        {"hevc_dovi", 30},         // a side data type and the configuration
        {"ts_programs", 40},       // four streams, two programs of two streams and two tags
    };
    // The notes on other streams are dropped, not printed among the failures.
    media_probe_set_note_handler([](void *, const char *, const char *) {}, nullptr);
    for (const auto &file : files) {
        SCOPED_TRACE(file.fixture);
        const std::string path = paths.at(file.fixture);
        failCallocAfter(-1);
        MediaContext *context = create_media_context();
        ASSERT_NE(context, nullptr);
        calls = 0;
        ASSERT_EQ(build_media_info(context, path.c_str()), 0);
        const int needed = calls;
        const std::string complete = media_summary::summarize(*context);
        free_media_context(context);
        EXPECT_GE(needed, file.atLeast);

        for (int n = 0; n <= needed; ++n) {
            SCOPED_TRACE("failing " + std::to_string(n));
            context = create_media_context();
            ASSERT_NE(context, nullptr);
            failCallocAfter(n);
            const int result = build_media_info(context, path.c_str());
            failCallocAfter(-1);
            media_summary::expectWhole(*context);
            if (n < needed) {
                EXPECT_EQ(result, 1);
                EXPECT_STREQ(context->error_text, "Cannot allocate memory");
            } else {
                EXPECT_EQ(result, 0);
                EXPECT_EQ(media_summary::summarize(*context), complete);
            }
            EXPECT_EQ(free_media_context(context), 0);
        }
    }
    media_probe_set_note_handler(nullptr, nullptr);
}

// A second probe of a context after each failure leaves nothing of the first
// behind: what it describes is what a fresh context describes.
TEST(OutOfMemory, ASecondProbeAfterAFailureDescribesTheFileAlone) {
    const auto paths = media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR);
    const std::string rich = paths.at("ts_programs");
    const std::string plain = paths.at("wav");
    failCallocAfter(-1);
    media_probe_set_note_handler([](void *, const char *, const char *) {}, nullptr);
    MediaContext *context = create_media_context();
    ASSERT_NE(context, nullptr);
    ASSERT_EQ(build_media_info(context, plain.c_str()), 0);
    const std::string fresh = media_summary::summarize(*context);
    calls = 0;
    ASSERT_EQ(build_media_info(context, rich.c_str()), 0);
    const int needed = calls;
    for (int n = 0; n < needed; ++n) {
        SCOPED_TRACE("failing " + std::to_string(n));
        failCallocAfter(n);
        EXPECT_EQ(build_media_info(context, rich.c_str()), 1);
        failCallocAfter(-1);
        ASSERT_EQ(build_media_info(context, plain.c_str()), 0);
        EXPECT_EQ(media_summary::summarize(*context), fresh);
    }
    media_probe_set_note_handler(nullptr, nullptr);
    EXPECT_EQ(free_media_context(context), 0);
}

TEST(OutOfMemory, AFailedNodeLinksNothing) {
    AVFormatContext *format = avformat_alloc_context();
    AVStream *stream = avformat_new_stream(format, nullptr);
    stream->codecpar->codec_id = AV_CODEC_ID_H264;
    MediaContext context{};
    failCallocAfter(0);
    EXPECT_EQ(add_video_stream_context(&context, stream), -1);
    EXPECT_EQ(context.video, nullptr);
    failCallocAfter(0);
    EXPECT_EQ(add_audio_stream_context(&context, stream), -1);
    EXPECT_EQ(context.audio, nullptr);
    failCallocAfter(1);  // the node, then its configuration bytes
    EXPECT_EQ(add_video_stream_context(&context, stream), -1);
    ASSERT_NE(context.video, nullptr);
    EXPECT_EQ(context.video->spspps, nullptr);
    failCallocAfter(-1);
    free_video_stream_context(context.video);
    avformat_free_context(format);
}

}  // namespace
