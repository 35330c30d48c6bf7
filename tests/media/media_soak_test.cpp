// Many probes in one process, over every fixture and a few files that fail:
// resident memory and open descriptors stay flat between the end of a warm-up
// and the end, and every probe of a file describes it as the first one did.
// MEDIA_SOAK_PROBES sets the number of probes (1000 by default).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "media_fixtures.h"
#include "media_probe.h"
#include "media_summary.h"
#include "process.h"

#if defined(__SANITIZE_ADDRESS__)
#define MEDIA_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MEDIA_SOAK_ASAN 1
#endif
#endif

namespace {

TEST(Soak, ProbesKeepMemoryAndDescriptorsFlatAndResultsStable) {
    av_log_set_level(AV_LOG_QUIET);
    const char *setting = getenv("MEDIA_SOAK_PROBES");
    const int probes = setting ? atoi(setting) : 1000;
    const int warmUp = 50;
    ASSERT_GT(probes, 2 * warmUp);
    std::vector<std::string> paths;
    for (const auto &[name, path] : media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR)) {
        paths.push_back(path);
    }
    paths.push_back(MEDIA_FIXTURE_DIR);  // a directory: refused
    paths.push_back(std::string(MEDIA_FIXTURE_DIR) + "/missing.mp4");

    std::map<std::string, std::string> first;
    long rssBefore = 0, fdsBefore = 0;
    testing::internal::CaptureStdout();  // the mkv fixture's subtitle lines
    for (int i = 0; i < probes; ++i) {
        if (i == warmUp) {
            rssBefore = qztest::statusKiB(getpid(), "VmRSS");
            fdsBefore = qztest::openDescriptors(getpid());
        }
        const std::string &path = paths[i % paths.size()];
        MediaContext *context = create_media_context();
        ASSERT_NE(context, nullptr);
        const int result = build_media_info(context, path.c_str());
        const std::string described =
            std::to_string(result) + " " + media_summary::summarize(*context);
        ASSERT_EQ(free_media_context(context), 0);
        auto [known, added] = first.emplace(path, described);
        if (!added) {
            ASSERT_EQ(described, known->second) << "probe " << i;
        }
    }
    const long rssAfter = qztest::statusKiB(getpid(), "VmRSS");
    const long fdsAfter = qztest::openDescriptors(getpid());
    testing::internal::GetCapturedStdout();
    printf("%d probes: resident %ld KiB after %d, %ld KiB at the end; %ld descriptors, then %ld\n",
           probes, rssBefore, warmUp, rssAfter, fdsBefore, fdsAfter);
    EXPECT_EQ(fdsAfter, fdsBefore);
#ifndef MEDIA_SOAK_ASAN
    // AddressSanitizer holds freed memory in quarantine, so resident memory
    // grows there regardless; LeakSanitizer checks for leaks instead.
    EXPECT_LE(rssAfter - rssBefore, 2048) << "resident memory grew";
#endif
}

}  // namespace
