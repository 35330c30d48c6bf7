// mprobe --version: the project's version and the FFmpeg libraries mprobe
// runs with, which may be newer than those it was built against.
#include <cstdio>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

namespace {

std::string library(const char *name, unsigned version) {
    char line[128];
    snprintf(line, sizeof line, "%s %u.%u.%u\n", name, AV_VERSION_MAJOR(version),
             AV_VERSION_MINOR(version), AV_VERSION_MICRO(version));
    return line;
}

}  // namespace

// The versions, one per line, as standard output shows them.
std::string versionText() {
    return std::string("mprobe ") + QZ_PROJECT_VERSION + "\n" +
           library("libavformat", avformat_version()) + library("libavcodec", avcodec_version()) +
           library("libavutil", avutil_version());
}
