// Probes from several threads at once, each thread with contexts of its own:
// every description equals the one a single thread makes of the same file.
// tools/run-tsan runs this under ThreadSanitizer.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "media_fixtures.h"
#include "media_probe.h"
#include "media_summary.h"

namespace {

std::string describe(const std::string &path) {
    MediaContext *context = create_media_context();
    const int result = build_media_info(context, path.c_str());
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
    std::map<std::string, std::string> expected;
    for (const auto &path : paths) expected[path] = describe(path);

    const int threads = 4, probesEach = 50;
    std::vector<std::vector<std::string>> mismatches(threads);
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&, t] {
            for (int i = 0; i < probesEach; ++i) {
                const std::string &path = paths[(t * 7 + i) % paths.size()];
                std::string described = describe(path);
                if (described != expected.at(path)) mismatches[t].push_back(described);
            }
        });
    }
    for (auto &thread : running) thread.join();
    testing::internal::GetCapturedStdout();
    for (int t = 0; t < threads; ++t) {
        EXPECT_TRUE(mismatches[t].empty()) << "thread " << t << ": " << mismatches[t].front();
    }
}

}  // namespace
