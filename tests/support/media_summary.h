// GoogleTest's side of media_description.h: a test fails for each invariant
// a probe's description breaks.
#ifndef TESTS_SUPPORT_MEDIA_SUMMARY_H
#define TESTS_SUPPORT_MEDIA_SUMMARY_H

#include <gtest/gtest.h>

#include "media_description.h"

namespace media_summary {

inline void expectConsistentTags(const MediaTag *tags, int32_t count) {
    checkTags(tags, count, [](const std::string &what) { ADD_FAILURE() << what; });
}

// Every array of `c` holds what its count says, every counted text and
// record is there, whatever the probe's result (checkWhole).
inline void expectWhole(const MediaContext &c) {
    checkWhole(c, [](const std::string &what) { ADD_FAILURE() << what; });
}

// What any result of media_probe_file with `flags` on an existing regular
// file of `size` bytes implies for the context.
inline void expectConsistent(const MediaContext &c, int result, int64_t size, unsigned flags = 0) {
    checkDescription(
        c, result, size, [](const std::string &what) { ADD_FAILURE() << what; }, flags);
}

}  // namespace media_summary

#endif
