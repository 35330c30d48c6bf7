// The scan's benchmarks and their corpus: a scan in process against a bare
// av_read_frame loop over the same file; a scan as a process (mprobe --scan
// --json-lines, the whole description with every keyframe) against ffprobe
// listing every packet, and
// against ffprobe listing the key frames it decodes; and the peak memory of a
// scan of an hour against a probe of it.
#include <time.h>

#include <cstring>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "bench.h"
#include "media_fixtures.h"
#include "media_probe.h"
#include "process.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace qzbench {
namespace {

namespace fs = std::filesystem;

// Made under corpus/scan by the first run (in a minute or two), reused after.
struct ScanCorpus {
    // Ten minutes of 160x120 H.264 at 60 fps, a key frame every 2 s, and
    // 48 kHz AAC: 64,126 packets (a smoke run: ten seconds).
    std::string mp4, mkv, ts;
    int64_t packets = 0;
    std::string hd;    // 10 minutes of 1080p H.264 at 25 fps, a key frame every 2 s
    std::string hour;  // an hour of 64x48 H.264 at 25 fps and 8 kHz AAC
};

Command words(const std::string &text) {
    std::istringstream in(text);
    return Command(std::istream_iterator<std::string>(in), {});
}

const ScanCorpus &scanCorpus(bool smoke) {
    static ScanCorpus made;
    if (!made.mp4.empty()) return made;
    const std::string dir = fs::absolute("corpus/scan").string();
    fs::create_directories(dir);
    const std::string seconds = smoke ? "10" : "600";
    ScanCorpus corpus;
    corpus.mp4 = media_fixtures::makeWithFfmpeg(
        dir,
        words("-f lavfi -i testsrc=size=160x120:rate=60:duration=" + seconds +
              " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=" + seconds +
              " -c:v libx264 -preset ultrafast -g 120 -c:a aac -ac 1 -b:a 32k"),
        "minutes-" + seconds + ".mp4");
    corpus.mkv = media_fixtures::makeWithFfmpeg(dir, {"-i", corpus.mp4, "-c", "copy"},
                                                "minutes-" + seconds + ".mkv");
    corpus.ts = media_fixtures::makeWithFfmpeg(dir, {"-i", corpus.mp4, "-c", "copy"},
                                               "minutes-" + seconds + ".ts");
    // A minute encoded, played ten times over without encoding it again.
    const std::string hd = smoke ? "4" : "60";
    const std::string minute = media_fixtures::makeWithFfmpeg(
        dir,
        words("-f lavfi -i testsrc=size=1920x1080:rate=25:duration=" + hd +
              " -c:v libx264 -preset ultrafast -g 50"),
        "hd-" + hd + ".mp4");
    corpus.hd = smoke ? minute
                      : media_fixtures::makeWithFfmpeg(
                            dir, {"-stream_loop", "9", "-i", minute, "-c", "copy"}, "hd-600.mp4");
    const std::string hour = smoke ? "20" : "3600";
    corpus.hour = media_fixtures::makeWithFfmpeg(
        dir,
        words("-f lavfi -i testsrc=size=64x48:rate=25:duration=" + hour +
              " -f lavfi -i sine=frequency=440:sample_rate=8000:duration=" + hour +
              " -c:v libx264 -preset ultrafast -g 50 -c:a aac -ac 1 -b:a 16k"),
        "hour-" + hour + ".mp4");
    corpus.packets = scanLibrary(corpus.mp4.c_str());
    if (!smoke && corpus.packets < 60000) {
        throw std::runtime_error(corpus.mp4 + ": " + std::to_string(corpus.packets) + " packets");
    }
    return made = std::move(corpus);
}

// The bare calls a scan stands for: open, read the streams' parameters, read
// every packet, close. Returns the packets read, or -1.
int64_t readBare(const char *path) {
    AVFormatContext *format = nullptr;
    if (avformat_open_input(&format, path, nullptr, nullptr) < 0) return -1;
    int64_t packets = -1;
    AVPacket *packet = av_packet_alloc();
    if (packet && avformat_find_stream_info(format, nullptr) >= 0) {
        packets = 0;
        while (av_read_frame(format, packet) >= 0) {
            ++packets;
            av_packet_unref(packet);
        }
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    return packets;
}

// The processor time of this thread: with the page cache warm, reading is
// processor time too, and other work on a shared machine does not add to it.
double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double timedRead(bool library, const std::string &path, int64_t expected) {
    const double start = threadSeconds();
    const int64_t packets = library ? scanLibrary(path.c_str()) : readBare(path.c_str());
    const double seconds = threadSeconds() - start;
    if (packets != expected) {
        throw std::runtime_error(path + ": " + std::to_string(packets) + " packets read, not " +
                                 std::to_string(expected));
    }
    return seconds;
}

const char *const kScanKinds[] = {"MP4", "Matroska", "MPEG-TS"};

const std::string &fileOf(const ScanCorpus &corpus, int kind) {
    return kind == 0 ? corpus.mp4 : kind == 1 ? corpus.mkv : corpus.ts;
}

std::string minutes(bool smoke) {
    return smoke ? "10-s" : "10-min";
}

Figure benchRead(bool smoke, int kind) {
    const ScanCorpus &corpus = scanCorpus(smoke);
    const std::string &file = fileOf(corpus, kind);
    const int64_t packets = readBare(file.c_str());
    Figure f = sideBySide("Scan in process, " + minutes(smoke) + " " + kScanKinds[kind] + " (" +
                              std::to_string(packets) + " packets) vs bare read loop, CPU",
                          1, smoke ? 2 : 15,
                          [&](size_t, bool ours) { return timedRead(ours, file, packets); });
    f.ratio = 1 / f.ratio;  // our speed over the bare loop's
    return f;
}

Figure benchPackets(bool smoke, int kind) {
    const ScanCorpus &corpus = scanCorpus(smoke);
    const std::string &file = fileOf(corpus, kind);
    Figure f =
        sideBySide(std::string("Scan as a process, ") + minutes(smoke) + " " + kScanKinds[kind] +
                       ": mprobe --scan vs ffprobe listing packets",
                   1, smoke ? 1 : 7, [&](size_t, bool ours) {
                       return timedRun(ours ? Command{QZ_MPROBE, "--scan", "--json-lines", file}
                                            : Command{QZ_FFPROBE, "-v", "quiet", "-show_entries",
                                                      "packet=pts,flags,size", "-of", "csv", file});
                   });
    f.ratio = 1 / f.ratio;  // the speed-up
    return f;
}

}  // namespace

int64_t scanLibrary(const char *path) {
    MediaContext *context = create_media_context();
    if (!context) return -1;
    int64_t packets = -1;
    if (media_probe_file(context, path, MEDIA_PROBE_SCAN) == 0) {
        packets = 0;
        for (const VideoStreamContext *v = context->video; v; v = v->next) {
            packets += v->scan->packets;
        }
        for (const AudioStreamContext *a = context->audio; a; a = a->next) {
            packets += a->scan->packets;
        }
        for (const OtherStreamContext *o = context->other; o; o = o->next) {
            packets += o->scan->packets;
        }
    }
    free_media_context(context);
    return packets;
}

Figure benchReadMp4(bool smoke) {
    return benchRead(smoke, 0);
}
Figure benchReadMkv(bool smoke) {
    return benchRead(smoke, 1);
}
Figure benchReadTs(bool smoke) {
    return benchRead(smoke, 2);
}
Figure benchPacketsMp4(bool smoke) {
    return benchPackets(smoke, 0);
}
Figure benchPacketsMkv(bool smoke) {
    return benchPackets(smoke, 1);
}
Figure benchPacketsTs(bool smoke) {
    return benchPackets(smoke, 2);
}

Figure benchKeyframes(bool smoke) {
    const ScanCorpus &corpus = scanCorpus(smoke);
    Figure f = sideBySide(
        std::string(smoke ? "4-second" : "10-minute") +
            " 1080p H.264, GOP 2 s: mprobe --scan vs ffprobe listing key frames",
        1, smoke ? 1 : 7, [&](size_t, bool ours) {
            return timedRun(ours ? Command{QZ_MPROBE, "--scan", "--json-lines", corpus.hd}
                                 : Command{QZ_FFPROBE, "-v", "quiet", "-skip_frame", "nokey",
                                           "-select_streams", "v:0", "-show_entries",
                                           "frame=pts_time,pkt_pos", "-of", "csv", corpus.hd});
        });
    f.ratio = 1 / f.ratio;  // the speed-up
    return f;
}

// Each in a fresh process, scan and probe taking turns (qzbench
// --memory-probe scan|lib): the peaks differ by what the scan needs beyond
// the probe. The ratio column holds that difference in MiB.
Figure benchScanMemory(bool smoke) {
    const ScanCorpus &corpus = scanCorpus(smoke);
    std::vector<double> scan, probe;
    for (int r = 0; r < (smoke ? 1 : 5); ++r) {
        for (int k = 0; k < 2; ++k) {
            const bool scanning = (r + k) % 2 == 0;
            const auto run = qztest::runProcess(
                {"/proc/self/exe", "--memory-probe", scanning ? "scan" : "lib", corpus.hour});
            if (run.status != 0 || run.out.empty())
                throw std::runtime_error("memory probe failed: " + run.err);
            (scanning ? scan : probe).push_back(std::stod(run.out) / 1024);
        }
    }
    const double extra = median(scan) - median(probe);
    return {std::string(smoke ? "20-second" : "60-minute") +
                " file: peak memory, scan vs probe (ratio: difference in MiB)",
            threeDigits(median(scan), " MiB"), threeDigits(median(probe), " MiB"), extra};
}

}  // namespace qzbench
