// The two ways a benchmark probes one file: through the library, and through
// the bare libavformat calls the library has to make.
#ifndef BENCH_PROBE_CALLS_H
#define BENCH_PROBE_CALLS_H

#include <cstdint>

namespace qzbench {

// create_media_context + build_media_info + free_media_context. Returns
// build_media_info's result; *entries (when given) gets the index entries of
// all streams.
int probeWithLibrary(const char *path, int64_t *entries = nullptr);
// avformat_open_input + avformat_find_stream_info + avformat_close_input.
// Returns 0, or the first negative AVERROR; *entries as above.
int probeBare(const char *path, int64_t *entries = nullptr);

}  // namespace qzbench

#endif
