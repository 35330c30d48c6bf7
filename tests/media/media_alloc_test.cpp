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
    EXPECT_GE(needed, 9);  // path, 3 texts, 2 nodes, configuration, 2 names, 2 indexes

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
