#include "scan_fixtures.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "hdr_fixtures.h"
#include "media_fixtures.h"
#include "process.h"

namespace media_fixtures {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

// A program and its arguments, "{out}" standing for the file made; or, with
// toStandardOutput, the file is what the program writes on standard output.
struct Recipe {
    const char *name;
    const char *file;
    Args args;
    bool toStandardOutput = false;
};

Args ffmpeg(const Args &args) {
    Args line = {MEDIA_FIXTURES_FFMPEG, "-nostdin", "-y", "-loglevel", "error", "-threads", "1"};
    line.insert(line.end(), args.begin(), args.end());
    line.push_back("{out}");
    return line;
}

Args gst(const std::string &pipeline) {
    Args line = {MEDIA_FIXTURES_GST_LAUNCH, "-q"};
    std::string word;
    for (char c : pipeline + " ") {
        if (c != ' ') {
            word += c;
        } else if (!word.empty()) {
            line.push_back(word);
            word.clear();
        }
    }
    return line;
}

// 50 frames 40 ms apart, then 50 a thirtieth of a second apart, as a
// timestamp file of format v2 (milliseconds, one line a frame).
std::string twoRates() {
    std::string text = "# timestamp format v2\n";
    for (int i = 0; i < 100; ++i) {
        const double ms = i < 50 ? 40.0 * i : 2000 + (i - 50) * 1000.0 / 30;
        char line[32];
        snprintf(line, sizeof line, "%.3f\n", ms);
        text += line;
    }
    return text;
}

const char kVfrSource[] =
    "concat name=c ! videoconvert ! vp8enc deadline=1 ! matroskamux ! filesink location={out} "
    "videotestsrc num-buffers=30 ! video/x-raw,width=160,height=120,framerate=25/1 ! "
    "capssetter caps=video/x-raw,framerate=0/1 ! c. "
    "videotestsrc num-buffers=30 ! video/x-raw,width=160,height=120,framerate=30/1 ! "
    "capssetter caps=video/x-raw,framerate=0/1 ! c.";

// 100 frames 40 ms apart but for the 51st, given the time of the 50th: a
// repeated timestamp, and an 80 ms step after it.
std::string repeated() {
    std::string text = "# timestamp format v2\n";
    for (int i = 0; i < 100; ++i) text += std::to_string(40 * (i == 50 ? 49 : i)) + "\n";
    return text;
}

// Each recipe may use the files made by those before it.
std::vector<Recipe> recipes() {
    const Args clip = {"-f",   "lavfi",   "-i",      "testsrc=size=160x120:rate=25:duration=4",
                       "-f",   "lavfi",   "-i",      "sine=frequency=440:duration=4",
                       "-c:v", "libx264", "-preset", "ultrafast",
                       "-bf",  "2",       "-g",      "25",
                       "-c:a", "aac",     "-ac",     "1"};
    const Args copy = {"-i", "scan-clip.mp4", "-map", "0", "-c", "copy"};
    auto withCopy = [&](Args extra) {
        Args args = copy;
        args.insert(args.end(), extra.begin(), extra.end());
        return ffmpeg(args);
    };
    const std::string remux =
        "filesrc location=scan-clip.mp4 ! qtdemux name=d d.video_0 ! queue ! h264parse ! ";
    const std::string audio = " d.audio_0 ! queue ! aacparse ! m.";
    const Args vbr = {"-f",   "lavfi",      "-i",   "sine=frequency=440:beep_factor=4:duration=10",
                      "-c:a", "libmp3lame", "-q:a", "4"};
    auto ntsc = [](const char *container) {
        return ffmpeg({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=30000/1001:duration=3",
                       "-c:v", "libx264", "-preset", "ultrafast", "-bf", "2", "-f", container});
    };
    return {
        {"mp4", "scan-clip.mp4", ffmpeg(clip)},
        {"mp4_edit", "scan-edit.mp4", ffmpeg({"-ss", "1.1", "-i", "scan-clip.mp4", "-c", "copy"})},
        {"mp4_frag", "scan-frag.mp4", withCopy({"-movflags", "frag_keyframe+empty_moov"})},
        {"mp4_gst_frag", "scan-gst-frag.mp4",
         gst(remux + "mp4mux name=m fragment-duration=500 ! filesink location={out}" + audio)},
        {"mkv_mkvmerge",
         "scan-mkvmerge.mkv",
         {MEDIA_FIXTURES_MKVMERGE, "-q", "-o", "{out}", "scan-clip.mp4"}},
        {"mkv_gst", "scan-gst.mkv",
         gst(remux + "matroskamux name=m ! filesink location={out}" + audio)},
        {"ts_wrap", "scan-wrap.ts", withCopy({"-output_ts_offset", "95442", "-f", "mpegts"})},
        {"ts_open_source", "scan-open-source.ts",
         ffmpeg({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=4", "-c:v",
                 "mpeg2video", "-bf", "2", "-g", "12", "-f", "mpegts"})},
        {"ts_open_gop", "scan-open-gop.ts",
         ffmpeg({"-ss", "1.1", "-i", "scan-open-source.ts", "-c", "copy", "-f", "mpegts"})},
        {"flv", "scan-clip.flv", withCopy({"-f", "flv"})},
        {"webm_live", "scan-live.webm",
         gst("videotestsrc num-buffers=60 ! video/x-raw,width=160,height=120,framerate=30/1 ! "
             "vp8enc deadline=1 ! webmmux streamable=true ! fdsink"),
         true},
        {"mp3_xing", "scan-xing.mp3", ffmpeg(vbr)},
        {"mp3_no_xing", "scan-no-xing.mp3",
         ffmpeg({"-i", "scan-xing.mp3", "-c", "copy", "-write_xing", "0"})},
        {"aac_adts", "scan-adts.aac",
         ffmpeg({"-f", "lavfi", "-i", "sine=duration=3", "-c:a", "aac", "-f", "adts"})},
        {"flac", "scan.flac", ffmpeg({"-f", "lavfi", "-i", "sine=duration=3", "-c:a", "flac"})},
        {"vfr_h264", "scan-vfr.h264",
         ffmpeg({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25", "-frames:v", "100", "-c:v",
                 "libx264", "-preset", "ultrafast", "-g", "25", "-f", "h264"})},
        {"vfr_mkvmerge",
         "scan-vfr-mkvmerge.mkv",
         {MEDIA_FIXTURES_MKVMERGE, "-q", "-o", "{out}", "--timestamps", "0:scan-vfr.txt",
          "scan-vfr.h264"}},
        {"vfr_gst", "scan-vfr-gst.mkv", gst(kVfrSource)},
        {"repeat_mkvmerge",
         "scan-repeat-mkvmerge.mkv",
         {MEDIA_FIXTURES_MKVMERGE, "-q", "-o", "{out}", "--timestamps", "0:scan-repeat.txt",
          "scan-vfr.h264"}},
        {"ntsc_mp4", "scan-ntsc.mp4", ntsc("mp4")},
        {"ntsc_mkv", "scan-ntsc.mkv", ntsc("matroska")},
    };
}

void fail(const std::string &what) {
    throw std::runtime_error("scan fixtures: " + what);
}

// Makes `recipe` under a temporary name in `dir`, then gives it its name, so
// that a reader never sees a half-written file.
void make(const fs::path &dir, const Recipe &recipe) {
    if (fs::exists(dir / recipe.file)) return;
    const std::string temporary = ".part-" + std::to_string(getpid()) + "-" + recipe.file;
    Args line = recipe.args;
    for (std::string &word : line) {
        const size_t at = word.find("{out}");
        if (at != std::string::npos) word.replace(at, 5, temporary);
    }
    qztest::ProcessOptions options;
    options.dir = dir;
    if (recipe.toStandardOutput) options.output = (dir / temporary).string();
    const qztest::ProcessResult run = qztest::runProcess(line, options);
    if (run.status != 0 || !fs::exists(dir / temporary)) {
        fail(line[0] + " failed to make " + recipe.file + " (status " + std::to_string(run.status) +
             "): " + run.err);
    }
    fs::rename(dir / temporary, dir / recipe.file);
}

}  // namespace

std::map<std::string, std::string> generateScanFixtures(const std::string &directory) {
    const fs::path dir = fs::absolute(directory);
    fs::create_directories(dir);
    struct Lock {
        int fd;
        ~Lock() { close(fd); }
    } lock{open((dir / ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644)};
    if (lock.fd < 0 || flock(lock.fd, LOCK_EX) != 0) fail("cannot lock " + dir.string());
    if (!qztest::writeFile((dir / "scan-vfr.txt").string(), twoRates()) ||
        !qztest::writeFile((dir / "scan-repeat.txt").string(), repeated())) {
        fail("cannot write the timestamp files");
    }
    std::map<std::string, std::string> paths;
    for (const Recipe &recipe : recipes()) {
        make(dir, recipe);
        paths[recipe.name] = (dir / recipe.file).string();
    }
    paths.erase("vfr_h264");  // the sources of other files
    paths.erase("ts_open_source");
    return paths;
}

std::map<std::string, std::string> generateAllFixtures(const std::string &dir) {
    auto paths = generateFixtures(dir);
    for (const auto &[name, path] : hdr_fixtures::generateHdrFixtures(dir)) {
        paths.emplace("hdr " + name, path);
    }
    for (const auto &[name, path] : generateScanFixtures(dir)) paths.emplace("scan " + name, path);
    return paths;
}

}  // namespace media_fixtures
