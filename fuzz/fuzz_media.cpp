// Arbitrary bytes as a media file through the library's whole public path:
// create a context, probe a file holding the bytes, read every field, text,
// configuration byte, index entry and scanned keyframe (so that the
// sanitizers see any bad read), write its ffprobe document, and free it. The description must also
// keep every invariant of media_description.h whatever the bytes are.
//
// The first byte's two low bits are media_probe_file's flags (bit 0
// MEDIA_PROBE_SCAN, bit 1 MEDIA_PROBE_NO_INDEX: the digits '0' to '3' stand
// for them); the rest is the file. A seed starting with '1' is scanned.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "fuzz_require.h"
#include "media_description.h"
#include "media_probe.h"
#include "process.h"
#include "temp_dir.h"

namespace {
// A directory of its own, so that the names a playlist gives resolve to
// nothing but the input itself; in memory where it can be, since the demuxers
// open and read it many times over.
const qztest::TempDir dir(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "");
const std::string path = dir.file("input");
volatile size_t sink;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The library prints a line pair for each subtitle stream; the demuxer logs.
    if (!freopen("/dev/null", "w", stdout)) abort();
    av_log_set_level(AV_LOG_QUIET);
    // Under the sanitizers the demuxers run several times slower and every
    // allocation costs more: a probe stopped by its processor budget must
    // end well inside libFuzzer's 10 s timeout, and one stopped at its index
    // or memory limit well inside its 2 GiB memory limit: each is the
    // library ending a probe as it should, not a hang or a memory blow-up.
    MediaProbeLimits limits;
    media_probe_get_limits(&limits);
    limits.cpu_ms = 3000;
    limits.index_entries = 1000000;
    limits.memory = 256 << 20;
    if (media_probe_set_limits(&limits) != 0) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size) {
    const unsigned flags = size > 0 ? data[0] & (MEDIA_PROBE_SCAN | MEDIA_PROBE_NO_INDEX) : 0;
    const size_t skipped = size > 0 ? 1 : 0;
    const std::string bytes(reinterpret_cast<const char *>(data) + skipped, size - skipped);
    require(qztest::writeFile(path, bytes), "the input is written");
    MediaContext *context = create_media_context();
    require(context != nullptr, "a context is allocated");
    const int result = media_probe_file(context, path.c_str(), flags);
    media_summary::checkDescription(
        *context, result, static_cast<int64_t>(bytes.size()),
        [](const std::string &what) { require(false, what.c_str()); }, flags);
    require(!context->filename || path == context->filename, "filename is the probed path");
    sink = sink + media_summary::summarize(*context).size();
    // The ffprobe document reads the raw side data through FFmpeg's records.
    char *document = media_probe_json(context, MEDIA_PROBE_JSON_FFPROBE);
    require(document && document[0] == '{', "the ffprobe document is written");
    sink = sink + strlen(document);
    media_probe_free_json(document);
    require(free_media_context(context) == 0, "the context frees");
    return 0;
}
