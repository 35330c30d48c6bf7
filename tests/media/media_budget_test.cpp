// Probes that could exhaust the machine, and probes on a machine that is
// exhausted. First a table of hostile inputs with the limit each probe must
// reach: every probe runs in a child process, whose processor time and peak
// memory the kernel reports (getrusage of the child), and which is killed
// should it never end. Then probes starved of processor time, by many
// threads on the machine's cores or by being stopped and continued, must
// describe a file exactly as a probe running freely does; a path swapped
// between a file and a FIFO or a device must be read or refused, never hang;
// and the limits themselves are read, set, refused and restored.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "media_fixtures.h"
#include "media_probe.h"
#include "media_summary.h"
#include "process.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::map<std::string, std::string> &fixtures() {
    static const auto paths = media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR);
    return paths;
}

// H.264 in MPEG-TS whose probe decodes frames: at 1080p some 40 ms of
// processor time, so that a probe sharing two cores with 63 others takes a
// second or more; at 2160p some 90 ms, so that one held to a few percent of a
// core takes seconds.
std::string busyFile(const char *size, const char *seconds, const char *name) {
    return media_fixtures::makeWithFfmpeg(
        fs::path(fixtures().at("ts")).parent_path().string(),
        {"-f", "lavfi", "-i", std::string("testsrc=size=") + size + ":rate=25:duration=" + seconds,
         "-c:v", "libx264", "-preset", "ultrafast"},
        name);
}

const std::string &busy1080p() {
    static const std::string path = busyFile("1920x1080", "2", "busy-1080p.ts");
    return path;
}

const std::string &busy2160p() {
    static const std::string path = busyFile("3840x2160", "0.4", "busy-2160p.ts");
    return path;
}

std::string be16(uint16_t v) {
    return {char(v >> 8), char(v)};
}

std::string be32(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string box(const char *type, const std::string &payload) {
    return be32(static_cast<uint32_t>(8 + payload.size())) + type + payload;
}

std::string fullBox(const char *type, uint32_t versionAndFlags, const std::string &payload) {
    return box(type, be32(versionAndFlags) + payload);
}

// An MP4 of one video track whose sample tables declare `samples` samples of
// one byte in a single chunk, followed by `data` as its media data; `after`
// goes in the movie box after the track.
std::string sampleTableMp4(uint32_t samples, const std::string &data,
                           const std::string &after = "") {
    const std::string zeros32(32, '\0');
    std::string matrix;
    for (uint32_t v : {0x10000u, 0u, 0u, 0u, 0x10000u, 0u, 0u, 0u, 0x40000000u}) matrix += be32(v);
    const std::string mvhd =
        fullBox("mvhd", 0,
                be32(0) + be32(0) + be32(1000) + be32(1000) + be32(0x10000) + be16(0x100) +
                    zeros32.substr(0, 10) + matrix + zeros32.substr(0, 24) + be32(2));
    const std::string tkhd =
        fullBox("tkhd", 3,
                be32(0) + be32(0) + be32(1) + be32(0) + be32(1000) + zeros32.substr(0, 16) +
                    matrix + be32(16 << 16) + be32(16 << 16));
    const std::string mdhd =
        fullBox("mdhd", 0, be32(0) + be32(0) + be32(1000) + be32(samples) + be16(0x55c4) + be16(0));
    const std::string hdlr =
        fullBox("hdlr", 0, be32(0) + "vide" + zeros32.substr(0, 12) + std::string("v\0", 2));
    const std::string entry = zeros32.substr(0, 6) + be16(1) + zeros32.substr(0, 16) + be16(16) +
                              be16(16) + be32(0x480000) + be32(0x480000) + be32(0) + be16(1) +
                              zeros32 + be16(24) + be16(0xffff);
    const std::string tables = fullBox("stsd", 0, be32(1) + box("mp4v", entry)) +
                               fullBox("stts", 0, be32(1) + be32(samples) + be32(1)) +
                               fullBox("stsc", 0, be32(1) + be32(1) + be32(samples) + be32(1)) +
                               fullBox("stsz", 0, be32(1) + be32(samples));
    auto moov = [&](uint32_t dataOffset) {
        const std::string dinf = box("dinf", fullBox("dref", 0, be32(1) + fullBox("url ", 1, "")));
        const std::string stbl =
            box("stbl", tables + fullBox("stco", 0, be32(1) + be32(dataOffset)));
        const std::string minf =
            box("minf", fullBox("vmhd", 1, zeros32.substr(0, 8)) + dinf + stbl);
        return box("moov", mvhd + box("trak", tkhd + box("mdia", mdhd + hdlr + minf)) + after);
    };
    const std::string ftyp = box("ftyp", std::string("isom") + be32(512) + "isomiso2mp41");
    const auto dataOffset = static_cast<uint32_t>(ftyp.size() + moov(0).size() + 8);
    return ftyp + moov(dataOffset) + box("mdat", data);
}

std::string cues(int first, int count) {
    std::string text;
    char cue[320];
    for (int i = first; i < first + count; ++i) {
        snprintf(cue, sizeof cue, "%d\n00:00:%02d,000 --> 00:00:%02d,500\n%s\n\n", i, i % 60,
                 i % 60, std::string(200, 'x').c_str());
        text += cue;
    }
    return text;
}

// A process that appends subtitle cues to `path` at some 200 MB/s, several
// times what a probe reads of them, up to 512 MiB. Kill it with SIGKILL.
pid_t startAppending(const std::string &path) {
    const std::string block = cues(1, 4500);  // about 1 MiB
    const pid_t writer = fork();
    if (writer != 0) return writer;
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    for (size_t written = 0; fd >= 0 && written < (size_t{512} << 20); written += block.size()) {
        if (write(fd, block.data(), block.size()) < 0) break;
        usleep(5000);
    }
    _exit(0);
}

struct ChildProbe {
    bool ended = false;  // false when it was killed, still probing after 60 s
    int result = -99;
    std::string errorText;
    double probeSeconds = 0;  // build_media_info's wall time, as the child measured it
    double cpuSeconds = 0;    // the child's processor time, user and system
    long peakKiB = 0;         // the child's peak resident set
};

// Probes `path` in a child process with `limits` in force.
ChildProbe probeInChild(const std::string &path, const MediaProbeLimits &limits) {
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        if (media_probe_set_limits(&limits) != 0) _exit(2);
        MediaContext *context = create_media_context();
        const auto start = Clock::now();
        const int result = build_media_info(context, path.c_str());
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        char report[512];
        const int length = snprintf(report, sizeof report, "%d %.6f %s", result, seconds,
                                    context->error_text ? context->error_text : "");
        ssize_t ignored = write(ends[1], report, static_cast<size_t>(length));
        (void)ignored;
        _exit(0);  // only the probe is measured: nothing is freed
    }
    close(ends[1]);
    ChildProbe probe;
    std::string report;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd readable = {ends[0], POLLIN, 0};
        const int ready = left.count() > 0 ? poll(&readable, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[512];
        const ssize_t count = read(ends[0], buffer, sizeof buffer);
        if (count <= 0) {
            probe.ended = count == 0;
            break;
        }
        report.append(buffer, static_cast<size_t>(count));
    }
    close(ends[0]);
    if (!probe.ended) kill(child, SIGKILL);
    rusage usage{};
    int status = 0;
    while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    probe.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    probe.peakKiB = usage.ru_maxrss;
    int consumed = 0;
    if (sscanf(report.c_str(), "%d %lf %n", &probe.result, &probe.probeSeconds, &consumed) >= 2) {
        probe.errorText = report.substr(static_cast<size_t>(consumed));
    }
    return probe;
}

MediaProbeLimits defaultLimits() {
    EXPECT_EQ(media_probe_set_limits(nullptr), 0);
    MediaProbeLimits limits;
    media_probe_get_limits(&limits);
    return limits;
}

struct BudgetRow {
    std::string what;
    std::string path;
    std::function<void(MediaProbeLimits &)> change;  // to the defaults; none keeps them
    std::string error;   // the limit the probe must reach: how error_text begins
    bool grows = false;  // appended to while it is probed
};

// The stop of a file whose index would have more entries than it has bytes.
std::string entriesPerByte(size_t fileSize) {
    return "probe stopped at more than " + std::to_string(fileSize) +
           " index entries in one stream, one per byte of the file";
}

std::vector<BudgetRow> budgetRows(const qztest::TempDir &dir) {
    std::string master = "#EXTM3U\n";
    for (int i = 1; i <= 1000; ++i) {
        master += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(i) + "\nself.m3u8\n";
    }
    std::string wide = "#EXTM3U\n";
    for (int i = 0; i < 300; ++i) {
        const std::string name = "v" + std::to_string(i) + ".m3u8";
        dir.write(name, "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\nseg.ts\n#EXT-X-ENDLIST\n");
        wide += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(i + 1) + "\n" + name + "\n";
    }
    fs::copy_file(fixtures().at("ts"), dir.file("seg.ts"));
    const std::string bomb = sampleTableMp4(50000000, std::string(16, '\0'));
    const std::string idle = "probe stopped after the demuxer waited over a second for data";
    std::vector<BudgetRow> rows = {
        {"HLS master playlist of 1000 variants, each naming the playlist itself",
         dir.write("self.m3u8", master), nullptr, "probe stopped at more than 1000 playlists"},
        {"HLS master playlist naming 300 playlists", dir.write("wide.m3u8", wide), nullptr,
         "probe stopped at more than 256 files to open"},
        {"MP4 whose sample tables declare 50 million samples in a few bytes",
         dir.write("bomb.mp4", bomb), nullptr, entriesPerByte(bomb.size())},
        {"MP4 whose 3000 samples fit in the file, over a limit of 1000",
         dir.write("fits.mp4", sampleTableMp4(3000, std::string(3000, '\0'))),
         [](MediaProbeLimits &l) { l.index_entries = 1000; },
         "probe stopped at more than 1000 index entries in one stream"},
        {"live playlist that does not grow",
         dir.write("live.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:100000\n#EXTINF:1.0,\nnone.ts\n"),
         nullptr, idle},
        {"H.264 video allowed 1 ms of processor time", busy1080p(),
         [](MediaProbeLimits &l) { l.cpu_ms = 1; },
         "probe stopped at more than 0.001 s of processor time"},
        {"subtitle file that grows while it is probed", dir.write("growing.srt", cues(1, 18000)),
         [](MediaProbeLimits &l) { l.bytes = 32 << 20; }, "probe stopped at more than 32 MiB read",
         true},
    };
    // Reading /proc/kmsg takes the messages it returns from the kernel's
    // queue (dmesg still shows them); it is opened only as the probe opens it.
    const int kmsg = open("/proc/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (kmsg >= 0) {
        close(kmsg);
        fs::create_symlink("/proc/kmsg", dir.file("kmsg.ts"));
        rows.push_back({"/proc/kmsg, a regular file with no end", "/proc/kmsg", nullptr, idle});
        rows.push_back({"playlist naming /proc/kmsg",
                        dir.write("kmsg.m3u8",
                                  "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n"
                                  "kmsg.ts\n#EXT-X-ENDLIST\n"),
                        nullptr, idle});
    } else {
        printf("note: /proc/kmsg is not readable here; its rows are left out\n");
    }
    return rows;
}

TEST(Budget, EachHostileInputStopsAtItsLimitWithinItsTimeAndAGibibyte) {
    av_log_set_level(AV_LOG_QUIET);
    qztest::TempDir dir;
    for (const BudgetRow &row : budgetRows(dir)) {
        SCOPED_TRACE(row.what);
        MediaProbeLimits limits = defaultLimits();
        if (row.change) row.change(limits);
        const pid_t writer = row.grows ? startAppending(row.path) : -1;
        const ChildProbe probe = probeInChild(row.path, limits);
        if (writer > 0) {
            kill(writer, SIGKILL);
            waitpid(writer, nullptr, 0);
        }
        ASSERT_TRUE(probe.ended) << "still probing after 60 s";
        EXPECT_EQ(probe.result, 1);
        // The demuxer's words follow, as it took being stopped.
        EXPECT_EQ(probe.errorText.rfind(row.error + ": ", 0), 0u) << probe.errorText;
        EXPECT_LE(probe.cpuSeconds, static_cast<double>(limits.cpu_ms) / 1000 + 1);
        if (row.error.find("waited") != std::string::npos) {
            EXPECT_LE(probe.probeSeconds, static_cast<double>(limits.idle_ms) / 1000 + 1);
        }
        EXPECT_LT(probe.peakKiB, 1L << 20) << "peak resident set in KiB";
        printf("  %-72s %5.2f s processor, %5.2f s probing, %4ld MiB peak\n", row.what.c_str(),
               probe.cpuSeconds, probe.probeSeconds, probe.peakKiB / 1024);
    }
}

// Files near the limits that must still be described: what the sample-table
// watch must not take for a table, and a table it must let through.
TEST(Budget, FilesWithinTheirLimitsAreDescribed) {
    av_log_set_level(AV_LOG_QUIET);
    qztest::TempDir dir;
    // Media data is never parsed as boxes, whatever its bytes; a table outside
    // every track (here in a free box) would not be applied.
    const std::string sizes = fullBox("stsz", 0, be32(1) + be32(0xFFFFFFFF));
    const std::string media = std::string(64, '\0') + fullBox("tfhd", 0, be32(1)) +
                              fullBox("trun", 0, be32(0xFFFFFFFF)) + sizes + std::string(64, '\0');
    // Sound of constant sample size is indexed by chunks: 8000 samples here.
    const std::string pcm = media_fixtures::makeWithFfmpeg(
        dir.path(),
        {"-f", "lavfi", "-i", "sine=sample_rate=8000:duration=1", "-c:a", "pcm_s16le", "-f", "mov"},
        "pcm.mov");
    // A last box of size 0 runs to the end of the file.
    std::string toTheEnd = sampleTableMp4(50, std::string(64, '\0'));
    toTheEnd.replace(toTheEnd.size() - 64 - 8, 4, be32(0));
    const struct {
        const char *what;
        std::string path;
        int64_t indexEntries;
    } rows[] = {
        {"MP4 whose media data runs to the end of the file", dir.write("to-the-end.mp4", toTheEnd),
         16000000},
        {"MP4 holding sample tables of 2^32-1 samples outside its tracks",
         dir.write("lookalike.mp4", sampleTableMp4(50, media, box("free", sizes))), 16000000},
        {"PCM in QuickTime, 8000 samples over a limit of 1000 index entries", pcm, 1000},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        MediaProbeLimits limits = defaultLimits();
        limits.index_entries = row.indexEntries;
        const ChildProbe probe = probeInChild(row.path, limits);
        ASSERT_TRUE(probe.ended);
        EXPECT_EQ(probe.result, 0) << probe.errorText;
    }
}

// mprobe's JSON line for one file without its name, which is all that links
// to one file differ in.
std::string withoutName(const std::string &line) {
    nlohmann::ordered_json description = nlohmann::ordered_json::parse(line);
    description.erase("filename");
    return description.dump();
}

std::string describedAlone(const std::string &path) {
    const qztest::ProcessResult alone =
        qztest::runProcess({MPROBE, "--json-lines", "-j", "1", path});
    EXPECT_EQ(alone.status, 0);
    return withoutName(alone.out);
}

TEST(Starved, SixtyFourThreadsOnTwoCoresDescribeTheFileAsOneDoes) {
    qztest::TempDir dir;
    const std::string expected = describedAlone(busy1080p());
    std::vector<std::string> argv = {MPROBE, "--json-lines", "-j", "64"};
    for (int i = 0; i < 64; ++i) {
        argv.push_back(dir.file("link-" + std::to_string(i) + ".ts"));
        fs::create_symlink(busy1080p(), argv.back());
    }
    const qztest::ProcessResult many = qztest::runProcess(argv);
    EXPECT_EQ(many.status, 0);
    std::istringstream lines(many.out);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_EQ(withoutName(line), expected) << "file " << count;
    }
    EXPECT_EQ(count, 64);
}

TEST(Starved, AProbeStoppedAndContinuedDescribesTheFileAsOneRunningFreely) {
    const std::string expected = describedAlone(busy2160p());
    qztest::StartedProcess child = qztest::startProcess({MPROBE, "--json-lines", busy2160p()});
    ASSERT_GT(child.pid, 0);
    // 3 ms of every 100 until it exits: a few percent of a core.
    bool exited = false;
    for (int cycle = 0; cycle < 600 && !exited; ++cycle) {
        usleep(3000);
        kill(child.pid, SIGSTOP);
        usleep(97000);
        kill(child.pid, SIGCONT);
        siginfo_t info{};
        exited =
            waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == child.pid;
    }
    EXPECT_TRUE(exited) << "still probing after 600 cycles";
    const qztest::ProcessResult throttled = qztest::finishProcess(child);
    EXPECT_EQ(throttled.status, 0);
    EXPECT_EQ(withoutName(throttled.out), expected);
}

// The path is replaced, as fast as can be, by a link to a media file, to a
// FIFO without a writer and to a device, in turn, while it is probed: each
// probe describes the media file or refuses the path, and none hangs.
TEST(Race, APathSwappedBetweenAFileAFifoAndADeviceIsDescribedOrRefused) {
    av_log_set_level(AV_LOG_QUIET);
    qztest::TempDir dir;
    const std::string path = dir.file("swapped.wav");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    fs::create_symlink(fixtures().at("wav"), path);
    MediaContext *context = create_media_context();
    ASSERT_EQ(build_media_info(context, path.c_str()), 0);
    const std::string described = media_summary::summarize(*context);

    // Each link stays a few microseconds: long enough for some probes to
    // find the media file at both the check and the open, short enough that
    // the path often changes in between.
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        const std::string targets[] = {fixtures().at("wav"), dir.file("fifo"), fixtures().at("wav"),
                                       "/dev/zero"};
        const std::string next = dir.file("next");
        for (unsigned i = 0; !done.load(); ++i) {
            unlink(next.c_str());
            if (symlink(targets[i % 4].c_str(), next.c_str()) == 0) {
                rename(next.c_str(), path.c_str());
            }
            usleep(5);
        }
    });
    // Until each outcome was seen often, within a bound.
    std::map<int, int> outcomes;
    int probes = 0;
    for (; probes < 20000 && (probes < 600 || outcomes[0] < 20 || outcomes[-2] < 20); ++probes) {
        alarm(60);  // a hang ends the program with SIGALRM
        errno = 0;
        const int result = build_media_info(context, path.c_str());
        const int error = errno;
        ++outcomes[result];
        if (result == 0) {
            EXPECT_EQ(media_summary::summarize(*context), described);
        } else {
            EXPECT_EQ(result, -2);
            EXPECT_EQ(error, EINVAL) << strerror(error);
        }
    }
    alarm(0);
    done = true;
    swapper.join();
    free_media_context(context);
    EXPECT_GT(outcomes[0], 0) << "of " << probes;
    EXPECT_GT(outcomes[-2], 0) << "of " << probes;
    EXPECT_EQ(outcomes[0] + outcomes[-2], probes);
}

TEST(Limits, AreReadSetRefusedOutOfRangeAndRestored) {
    const MediaProbeLimits defaults = defaultLimits();
    EXPECT_EQ(defaults.cpu_ms, 10000);
    EXPECT_EQ(defaults.bytes, int64_t{4} << 30);
    EXPECT_EQ(defaults.index_entries, 16000000);
    EXPECT_EQ(defaults.playlists, 1000);
    EXPECT_EQ(defaults.files, 256);
    EXPECT_EQ(defaults.idle_ms, 1000);

    struct Field {
        const char *name;
        int64_t MediaProbeLimits::*field;
        int64_t most;  // the largest value accepted
    };
    const Field fields[] = {
        {"cpu_ms", &MediaProbeLimits::cpu_ms, INT64_MAX / 1000},
        {"bytes", &MediaProbeLimits::bytes, INT64_MAX},
        {"index_entries", &MediaProbeLimits::index_entries, 178956970},
        {"playlists", &MediaProbeLimits::playlists, INT64_MAX},
        {"files", &MediaProbeLimits::files, INT64_MAX},
        {"idle_ms", &MediaProbeLimits::idle_ms, INT64_MAX / 1000},
    };
    for (const Field &f : fields) {
        SCOPED_TRACE(f.name);
        std::vector<int64_t> refused = {INT64_MIN, -1, 0};
        if (f.most < INT64_MAX) refused.push_back(f.most + 1);
        for (int64_t value : refused) {
            MediaProbeLimits changed = defaults;
            changed.*f.field = value;
            EXPECT_EQ(media_probe_set_limits(&changed), -1) << value;
            MediaProbeLimits now;
            media_probe_get_limits(&now);
            EXPECT_EQ(now.*f.field, defaults.*f.field) << "changed by a refused " << value;
        }
        for (int64_t value : {int64_t{1}, f.most}) {
            MediaProbeLimits changed = defaults;
            changed.*f.field = value;
            EXPECT_EQ(media_probe_set_limits(&changed), 0) << value;
            MediaProbeLimits now;
            media_probe_get_limits(&now);
            EXPECT_EQ(now.*f.field, value);
            EXPECT_EQ(media_probe_set_limits(nullptr), 0);
            media_probe_get_limits(&now);
            EXPECT_EQ(now.*f.field, defaults.*f.field) << "not restored";
        }
    }
    media_probe_get_limits(nullptr);  // does nothing
}

}  // namespace
