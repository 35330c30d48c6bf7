// Probes and scans from several threads at once, each thread with contexts of
// its own: every description equals the one a single thread makes of the same
// file. A cancel request from another thread stops a probe or a scan.
// tools/run-tsan runs this under ThreadSanitizer.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "media_fixtures.h"
#include "media_probe.h"
#include "media_summary.h"
#include "temp_dir.h"

namespace {

std::string describe(const std::string &path, unsigned flags = 0) {
    MediaContext *context = create_media_context();
    const int result = media_probe_file(context, path.c_str(), flags);
    std::string described = std::to_string(result) + " " + media_summary::summarize(*context);
    free_media_context(context);
    return described;
}

TEST(Threads, ConcurrentProbesDescribeEachFileAsOneThreadDoes) {
    av_log_set_level(AV_LOG_QUIET);
    std::vector<std::string> paths;
    for (const auto &[name, path] : media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR)) {
        paths.push_back(path);
    }
    testing::internal::CaptureStdout();  // the mkv fixture's subtitle lines
    // Every other probe scans the file too.
    std::map<std::string, std::string> expected, scanned;
    for (const auto &path : paths) {
        expected[path] = describe(path);
        scanned[path] = describe(path, MEDIA_PROBE_SCAN);
    }

    const int threads = 4, probesEach = 50;
    std::vector<std::vector<std::string>> mismatches(threads);
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&, t] {
            for (int i = 0; i < probesEach; ++i) {
                const std::string &path = paths[(t * 7 + i) % paths.size()];
                const bool scan = (t + i) % 2;
                std::string described = describe(path, scan ? MEDIA_PROBE_SCAN : 0);
                if (described != (scan ? scanned : expected).at(path)) {
                    mismatches[t].push_back(described);
                }
            }
        });
    }
    for (auto &thread : running) thread.join();
    testing::internal::GetCapturedStdout();
    for (int t = 0; t < threads; ++t) {
        EXPECT_TRUE(mismatches[t].empty()) << "thread " << t << ": " << mismatches[t].front();
    }
}

// Every note the handler got: the probing thread, the path, the line.
struct Notes {
    std::mutex lock;
    struct Note {
        std::thread::id thread;
        std::string path, line;
    };
    std::vector<Note> all;
};

void keepNote(void *opaque, const char *filename, const char *line) {
    auto *notes = static_cast<Notes *>(opaque);
    std::lock_guard<std::mutex> guard(notes->lock);
    notes->all.push_back({std::this_thread::get_id(), filename, line});
}

TEST(Threads, EachNoteArrivesOnItsThreadWithItsOwnFilesPath) {
    av_log_set_level(AV_LOG_QUIET);
    const auto fixtures = media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR);
    const std::string paths[] = {fixtures.at("mkv"), fixtures.at("mkv_tracks")};
    const int probesEach = 20;
    Notes notes;
    media_probe_set_note_handler(keepNote, &notes);
    std::thread::id ids[2];
    std::vector<std::thread> running;
    for (int t = 0; t < 2; ++t) {
        running.emplace_back([&, t] {
            ids[t] = std::this_thread::get_id();
            for (int i = 0; i < probesEach; ++i) describe(paths[t]);
        });
    }
    for (auto &thread : running) thread.join();
    media_probe_set_note_handler(nullptr, nullptr);

    // Two streams that are neither video nor audio per file, two lines each.
    EXPECT_EQ(notes.all.size(), 2u * probesEach * 4);
    int perThread[2] = {0, 0};
    for (const auto &note : notes.all) {
        const int t = note.thread == ids[0] ? 0 : 1;
        ASSERT_EQ(note.thread, ids[t]);
        EXPECT_EQ(note.path, paths[t]);
        const bool first = perThread[t]++ % 2 == 0;
        if (first) {
            EXPECT_EQ(note.line, "================== ");
        } else {
            EXPECT_TRUE(note.line == "codec type subtitle " || note.line == "codec type unknown ")
                << note.line;
        }
    }
    EXPECT_EQ(perThread[0], probesEach * 4);

    // Without a handler the lines are printed again, as they always were.
    testing::internal::CaptureStdout();
    describe(paths[1]);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "================== \ncodec type subtitle \n"
              "================== \ncodec type unknown \n");
}

// A probe waiting for a live playlist to grow, allowed a minute of waiting,
// is cancelled from another thread; a request made before a probe starts
// cancels that probe, and lasts no longer.
TEST(Threads, ACancelFromAnotherThreadStopsTheProbeOnTheContext) {
    av_log_set_level(AV_LOG_QUIET);
    const auto fixtures = media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR);
    const std::string &mp4 = fixtures.at("mp4");
    EXPECT_EQ(media_probe_cancel(nullptr), -1);

    MediaContext *context = create_media_context();
    ASSERT_EQ(media_probe_cancel(context), 0);
    EXPECT_EQ(build_media_info(context, mp4.c_str()), 1);
    EXPECT_STREQ(context->error_text, "probe cancelled");
    EXPECT_EQ(build_media_info(context, mp4.c_str()), 0) << "the request lasted one probe";

    qztest::TempDir dir;
    const std::string live =
        dir.write("live.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:100000\n#EXTINF:1.0,\nnone.ts\n");
    MediaProbeLimits limits;
    media_probe_get_limits(&limits);
    limits.idle_ms = 60000;
    ASSERT_EQ(media_probe_set_limits(&limits), 0);
    for (int delayMs : {0, 50, 300}) {
        SCOPED_TRACE(delayMs);
        int result = -99;
        const auto start = std::chrono::steady_clock::now();
        std::thread probing([&] { result = build_media_info(context, live.c_str()); });
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        EXPECT_EQ(media_probe_cancel(context), 0);
        probing.join();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(result, 1);
        EXPECT_STREQ(context->error_text, "probe cancelled");
        EXPECT_LT(seconds, 1.0 + delayMs / 1000.0);
    }
    ASSERT_EQ(media_probe_set_limits(nullptr), 0);
    EXPECT_EQ(build_media_info(context, mp4.c_str()), 0);
    free_media_context(context);
}

// A scan waiting for a live playlist to grow, past the segment it has read,
// is cancelled from another thread; the probe alone describes the playlist
// at once, so the wait is the scan's.
TEST(Threads, ACancelFromAnotherThreadStopsAScan) {
    av_log_set_level(AV_LOG_QUIET);
    const auto fixtures = media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR);
    qztest::TempDir dir;
    std::filesystem::copy_file(fixtures.at("ts"), dir.file("segment.ts"));
    const std::string live =
        dir.write("live.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\nsegment.ts\n");
    MediaProbeLimits limits;
    media_probe_get_limits(&limits);
    limits.idle_ms = 60000;
    ASSERT_EQ(media_probe_set_limits(&limits), 0);
    // The probe alone, timed, so that the cancel comes once it has ended
    // however slowly the machine runs (sanitizers, valgrind, other work).
    MediaContext *context = create_media_context();
    const auto probeStart = std::chrono::steady_clock::now();
    ASSERT_EQ(build_media_info(context, live.c_str()), 0);
    const int probeMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now() - probeStart)
                                             .count());
    for (int delayMs : {2 * probeMs + 100, 2 * probeMs + 400}) {
        SCOPED_TRACE(delayMs);
        int result = -99;
        const auto start = std::chrono::steady_clock::now();
        std::thread scanning(
            [&] { result = media_probe_file(context, live.c_str(), MEDIA_PROBE_SCAN); });
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        EXPECT_EQ(media_probe_cancel(context), 0);
        scanning.join();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(result, 1);
        EXPECT_STREQ(context->error_text, "probe cancelled");
        // A scan, not a probe, was stopped: the streams stay described.
        ASSERT_NE(context->video, nullptr);
        EXPECT_EQ(context->video->scan, nullptr);
        EXPECT_LT(seconds, 1.0 + delayMs / 1000.0);
    }
    ASSERT_EQ(media_probe_set_limits(nullptr), 0);
    free_media_context(context);
}

}  // namespace
