// mprobe --version: the project's version and the FFmpeg libraries mprobe
// runs with, which may be newer than those it was built against.
#include <cstdio>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

namespace {

void printLibrary(const char *name, unsigned version) {
    printf("%s %u.%u.%u\n", name, AV_VERSION_MAJOR(version), AV_VERSION_MINOR(version),
           AV_VERSION_MICRO(version));
}

}  // namespace

// Prints the versions on standard output, one per line.
void printVersion() {
    printf("mprobe %s\n", QZ_PROJECT_VERSION);
    printLibrary("libavformat", avformat_version());
    printLibrary("libavcodec", avcodec_version());
    printLibrary("libavutil", avutil_version());
}
