// Allocation and read failures inside the library. The test is linked with
// -Wl,--wrap=calloc, -Wl,--wrap=realloc and -Wl,--wrap=pread, which route the
// library's calls (and only those of statically linked code) through the
// wrappers below; FFmpeg's own allocations are untouched.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "media_fixtures.h"
#include "media_probe.h"
#include "media_summary.h"
#include "process.h"

namespace {

int callsUntilFailure = -1;  // -1: never fail
int calls = 0;

// Makes the `n`-th calloc from now (counting from 0) fail.
void failCallocAfter(int n) {
    callsUntilFailure = n;
    calls = 0;
}

}  // namespace

bool failsNow() {
    ++calls;
    if (callsUntilFailure >= 0 && callsUntilFailure-- == 0) {
        errno = ENOMEM;
        return true;
    }
    return false;
}

extern "C" void *__real_calloc(size_t count, size_t size);
extern "C" void *__wrap_calloc(size_t count, size_t size) {
    return failsNow() ? nullptr : __real_calloc(count, size);
}

extern "C" void *__real_realloc(void *block, size_t size);
extern "C" void *__wrap_realloc(void *block, size_t size) {
    return failsNow() ? nullptr : __real_realloc(block, size);
}

// operator new fails the `n`-th call from now (counting from 0) when asked
// to, as the wrappers above do: the JSON writer's strings and tables come
// from it. -1: none fails.
int newsUntilFailure = -1;

void failNewAfter(int n) {
    newsUntilFailure = n;
}

void *operator new(size_t size) {
    if (newsUntilFailure >= 0 && newsUntilFailure-- == 0) throw std::bad_alloc();
    if (void *block = malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}

// GCC takes the free of a block from the operator new above for a mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void *block) noexcept {
    free(block);
}

void operator delete(void *block, size_t) noexcept {
    free(block);
}
#pragma GCC diagnostic pop

// Reads from this file position on fail with EIO; -1: none fail.
off_t failReadsFrom = -1;

extern "C" ssize_t __real_pread(int fd, void *buffer, size_t size, off_t position);
extern "C" ssize_t __wrap_pread(int fd, void *buffer, size_t size, off_t position) {
    if (failReadsFrom >= 0 && position + static_cast<off_t>(size) > failReadsFrom) {
        errno = EIO;
        return -1;
    }
    return __real_pread(fd, buffer, size, position);
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
        {"mkv_hdr10_no_sei", 35},  // two side data entries, named and copied, two HDR records
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

// The same with a scan, over a file whose video has more keyframes than the
// scan's first block holds: every failure gives 1 with the reason and leaves
// no scan behind; the streams, as far as they were described, stay.
TEST(OutOfMemory, EveryAllocationOfAScanIsChecked) {
    const std::string path = media_fixtures::makeWithFfmpeg(
        MEDIA_FIXTURE_DIR,
        {"-f", "lavfi", "-i", "testsrc=size=32x24:rate=25:duration=4", "-c:v", "libx264", "-g",
         "1"},
        "all-key.mp4");  // 100 keyframes
    failCallocAfter(-1);
    MediaContext *context = create_media_context();
    ASSERT_NE(context, nullptr);
    calls = 0;
    ASSERT_EQ(media_probe_file(context, path.c_str(), MEDIA_PROBE_SCAN), 0);
    const int needed = calls;
    ASSERT_GT(context->video->scan->keyframe_count, 64);
    const std::string complete = media_summary::summarize(*context);
    free_media_context(context);

    for (int n = 0; n <= needed; ++n) {
        SCOPED_TRACE("failing " + std::to_string(n));
        context = create_media_context();
        ASSERT_NE(context, nullptr);
        failCallocAfter(n);
        const int result = media_probe_file(context, path.c_str(), MEDIA_PROBE_SCAN);
        failCallocAfter(-1);
        if (n < needed) {
            EXPECT_EQ(result, 1);
            EXPECT_STREQ(context->error_text, "Cannot allocate memory");
            EXPECT_EQ(context->scan_duration_us, MEDIA_PROBE_NO_VALUE);
            for (const VideoStreamContext *v = context->video; v; v = v->next) {
                EXPECT_EQ(v->scan, nullptr);
            }
            for (const AudioStreamContext *a = context->audio; a; a = a->next) {
                EXPECT_EQ(a->scan, nullptr);
            }
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(media_summary::summarize(*context), complete);
        }
        EXPECT_EQ(free_media_context(context), 0);
    }
}

// Files that cannot be read part way through a scan: a demuxer may take the
// failed read for the file's end, the scan does not.
// media_probe_json when memory runs out, the description and the ffprobe
// document alike: each allocation of its writing fails in turn, those of its strings and tables (operator new) and those of
// its text as it grows (realloc). Each time it returns NULL, having leaked
// nothing (the sanitizers and valgrind watch), and with none failing the
// text is whole. The index of 3000 entries makes a text of some 250 KB,
// which grows a few times.
TEST(OutOfMemory, EveryAllocationOfTheJsonIsChecked) {
    const std::string dir = std::string(MEDIA_FIXTURE_DIR) + "/../media-alloc";
    std::filesystem::create_directories(dir);
    const std::string indexed = media_fixtures::makeWithFfmpeg(
        dir,
        {"-f", "lavfi", "-i", "color=c=blue:size=16x16:rate=1000:duration=3", "-c:v", "libx264",
         "-preset", "ultrafast"},
        "index-3000.mp4");
    const std::string files[] = {
        media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR).at("mkv_tracks"), indexed};
    media_probe_set_note_handler([](void *, const char *, const char *) {}, nullptr);
    for (const std::string &file : files) {
        SCOPED_TRACE(file);
        failCallocAfter(-1);
        MediaContext *context = create_media_context();
        ASSERT_NE(context, nullptr);
        ASSERT_EQ(build_media_info(context, file.c_str()), 0);
        for (const unsigned flags :
             {MEDIA_PROBE_JSON_PRETTY, MEDIA_PROBE_JSON_FFPROBE | MEDIA_PROBE_JSON_PRETTY}) {
            SCOPED_TRACE(flags);
            char *text = media_probe_json(context, flags);
            ASSERT_NE(text, nullptr);
            const std::string whole = text;
            media_probe_free_json(text);
            const struct {
                const char *what;
                void (*failAfter)(int);
            } allocators[] = {{"operator new", failNewAfter}, {"realloc", failCallocAfter}};
            for (const auto &allocator : allocators) {
                SCOPED_TRACE(allocator.what);
                int n = 0;
                for (;; ++n) {
                    allocator.failAfter(n);
                    text = media_probe_json(context, flags);
                    allocator.failAfter(-1);
                    if (text) break;
                    ASSERT_LT(n, 100000);
                }
                EXPECT_EQ(text, whole) << "after " << n << " allocations";
                // The description's strings and tables are many; the ffprobe
                // document of a file has a few.
                const bool many =
                    allocator.failAfter == failNewAfter && !(flags & MEDIA_PROBE_JSON_FFPROBE);
                EXPECT_GT(n, many ? 10 : 0);
                media_probe_free_json(text);
            }
        }
        free_media_context(context);
    }
}

TEST(ReadFailure, AScanThatCannotReadThePacketsGivesTheSystemsWords) {
    av_log_set_level(AV_LOG_QUIET);
    const auto paths = media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR);
    const std::string ts = qztest::readFile(paths.at("ts"));
    std::string copies;
    for (int i = 0; i < 50; ++i) copies += ts;  // 4.5 MB, of which a probe reads the start
    const std::string dir = MEDIA_FIXTURE_DIR;
    ASSERT_TRUE(qztest::writeFile(dir + "/ts-50-copies.ts", copies));
    const std::string files[] = {
        dir + "/ts-50-copies.ts",
        media_fixtures::makeWithFfmpeg(dir, {"-i", "ts-50-copies.ts", "-c", "copy"},
                                       "ts-50-copies.mkv"),
        media_fixtures::makeWithFfmpeg(
            dir, {"-i", "ts-50-copies.ts", "-c", "copy", "-movflags", "+faststart"},
            "ts-50-copies.mp4"),
    };
    for (const std::string &path : files) {
        SCOPED_TRACE(path);
        MediaContext *context = create_media_context();
        ASSERT_EQ(media_probe_file(context, path.c_str(), MEDIA_PROBE_SCAN), 0);
        const int64_t packets = context->video->scan->packets;
        failReadsFrom = static_cast<off_t>(copies.size() / 2);
        const int probed = build_media_info(context, path.c_str());
        const int scanned = media_probe_file(context, path.c_str(), MEDIA_PROBE_SCAN);
        failReadsFrom = -1;
        EXPECT_EQ(probed, 0) << "the probe reads the start only";
        EXPECT_EQ(scanned, 1);
        EXPECT_STREQ(context->error_text, "Input/output error");
        ASSERT_NE(context->video, nullptr);
        EXPECT_EQ(context->video->scan, nullptr);
        EXPECT_EQ(context->scan_duration_us, MEDIA_PROBE_NO_VALUE);
        EXPECT_EQ(media_probe_file(context, path.c_str(), MEDIA_PROBE_SCAN), 0);
        EXPECT_EQ(context->video->scan->packets, packets);
        free_media_context(context);
    }
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
