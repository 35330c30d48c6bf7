#include "media_fixtures.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <stdexcept>
#include <vector>

#include "process.h"

namespace media_fixtures {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

// A fixture made by ffmpeg: its inputs and encoder options; the output file
// name comes last on the command line.
struct Recipe {
    const char *name;
    const char *file;
    Args args;
};

Args lavfi(const std::string &source) {
    return {"-f", "lavfi", "-i", source};
}

Args operator+(Args a, const Args &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Args kPicture = lavfi("testsrc=size=160x120:rate=25:duration=1");
const Args kTone = lavfi("sine=frequency=440:sample_rate=44100:duration=1");
const Args kX264 = {"-c:v", "libx264", "-preset", "ultrafast"};

std::vector<Recipe> recipes() {
    return {
        {"mp4", "mp4.mp4",
         kPicture + kTone + kX264 + Args{"-c:a", "aac", "-ac", "2", "-brand", "isom"}},
        {"mov", "mov.mov", kPicture + kTone + Args{"-c:v", "mpeg4", "-c:a", "aac", "-f", "mov"}},
        {"mkv", "mkv.mkv",
         kPicture + kTone +
             Args{"-i", "subs.srt", "-attach", "subs.srt", "-metadata:s:t", "mimetype=text/plain",
                  "-map", "0", "-map", "1", "-map", "2"} +
             kX264 + Args{"-c:a", "aac", "-c:s", "srt"}},
        {"flv", "flv.flv", kPicture + kTone + Args{"-c:v", "flv", "-c:a", "aac"}},
        {"wmv", "wmv.wmv", kPicture + kTone + Args{"-c:v", "wmv2", "-c:a", "wmav2"}},
        {"ts", "ts.ts", kPicture + kTone + Args{"-c:v", "mpeg2video", "-c:a", "mp2"}},
        {"wav", "wav.wav", lavfi("sine=sample_rate=8000:duration=1") + Args{"-c:a", "pcm_s16le"}},
        {"three_video", "three_video.mp4",
         lavfi("testsrc=size=64x48:rate=25:duration=1") +
             lavfi("testsrc=size=96x72:rate=25:duration=1") +
             lavfi("testsrc=size=128x96:rate=25:duration=1") +
             Args{"-map", "0", "-map", "1", "-map", "2"} + kX264},
        {"h264_only", "h264_only.mp4", kPicture + kX264},
        {"long", "long.mp4", lavfi("color=c=blue:size=64x48:rate=1/60:duration=2400") + kX264},
        // The extended description: each file shows a few of its fields.
        {"h264_ntsc", "h264_ntsc.mp4",
         lavfi("testsrc=size=160x120:rate=30000/1001:duration=0.5") +
             lavfi("sine=frequency=440:sample_rate=44100:duration=0.5") +
             Args{"-c:v",
                  "libx264",
                  "-pix_fmt",
                  "yuv420p",
                  "-profile:v",
                  "high",
                  "-color_primaries",
                  "bt709",
                  "-color_trc",
                  "bt709",
                  "-colorspace",
                  "bt709",
                  "-color_range",
                  "tv",
                  "-c:a",
                  "aac",
                  "-metadata",
                  "title=Test title",
                  "-metadata",
                  "creation_time=2024-01-02T03:04:05Z",
                  "-timecode",
                  "01:00:00:00"}},
        {"hevc_main10", "hevc_main10.mp4",
         lavfi("testsrc=size=160x120:rate=25:duration=0.2") +
             Args{"-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error",
                  "-pix_fmt", "yuv420p10le", "-profile:v", "main10", "-color_primaries", "bt2020",
                  "-color_trc", "smpte2084", "-colorspace", "bt2020nc"}},
        {"ts_interlaced", "ts_interlaced.ts",
         lavfi("testsrc=size=160x120:rate=25:duration=0.2") +
             Args{"-c:v", "mpeg2video", "-flags", "+ildct+ilme", "-top", "1", "-aspect", "16:9",
                  "-output_ts_offset", "10"}},
        {"rotated", "rotated.mp4",
         Args{"-i", "h264_only.mp4", "-c", "copy", "-metadata:s:v:0", "rotate=90"}},
        {"mp3_long", "mp3_long.mp3",
         lavfi("sine=frequency=440:sample_rate=8000:duration=240") +
             Args{"-c:a", "libmp3lame", "-b:a", "8k", "-ac", "1"}},
        {"mkv_tracks", "mkv_tracks.mkv",
         lavfi("testsrc=size=64x48:rate=25:duration=0.2") +
             lavfi("anullsrc=channel_layout=5.1(side):sample_rate=48000") +
             lavfi("sine=sample_rate=48000") +
             Args{"-i", "subs.srt", "-i", "chapters.txt", "-t", "0.2", "-map", "0", "-map", "1",
                  "-map", "2", "-map", "3", "-map_metadata", "4", "-map_chapters", "4"} +
             kX264 +
             Args{"-c:a:0",
                  "flac",
                  "-c:a:1",
                  "aac",
                  "-c:s",
                  "srt",
                  "-metadata:s:a:0",
                  "language=eng",
                  "-metadata:s:a:0",
                  "title=Surround",
                  "-metadata:s:a:1",
                  "language=fra",
                  "-metadata:s:a:1",
                  "title=Commentaire",
                  "-metadata:s:s:0",
                  "language=eng",
                  "-attach",
                  "font.ttf",
                  "-metadata:s:t",
                  "mimetype=application/x-truetype-font"}},
    };
}

// The mov fixture with bytes 4.. or 8.. of its leading "ftyp" box replaced.
struct Patch {
    const char *name;
    const char *file;
    size_t offset;
    const char *bytes;  // four bytes, NULs included
};
const Patch kPatches[] = {
    {"mov_QT", "mov_QT.mov", 8, "QT  "},
    {"mov_qt_short", "mov_qt_short.mov", 8, "qt\0\0"},
    {"mov_no_brand", "mov_no_brand.mov", 4, "free"},
};

const char kSubtitles[] = "1\n00:00:00,000 --> 00:00:00,500\nhello\n\n";
// Two chapters and a title, in FFmpeg's metadata format.
const char kChapters[] =
    ";FFMETADATA1\ntitle=Chaptered\n"
    "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=100\ntitle=One\n"
    "[CHAPTER]\nTIMEBASE=1/1000\nSTART=100\nEND=200\ntitle=Two\n";
// An attachment needs no real font: the mimetype makes it one.
const char kFont[] = "not a real font\n";

void fail(const std::string &what) {
    throw std::runtime_error("media fixtures: " + what);
}

void writeOrFail(const fs::path &path, const std::string &bytes) {
    if (!qztest::writeFile(path, bytes)) fail("cannot write " + path.string());
}

void runFfmpeg(const fs::path &dir, const Args &args, const std::string &output) {
    Args line = {MEDIA_FIXTURES_FFMPEG, "-nostdin", "-y", "-loglevel", "error", "-threads", "1"};
    line = line + args;
    line.push_back(output);
    runTool(dir, line, output);
}

}  // namespace

std::map<std::string, std::string> generateFixtures(const std::string &directory) {
    const fs::path dir = fs::absolute(directory);
    fs::create_directories(dir);
    const DirectoryLock lock(dir);

    std::map<std::string, std::string> paths;
    auto add = [&](const char *name, const char *file) { paths[name] = (dir / file).string(); };
    std::vector<Recipe> all = recipes();
    for (const auto &recipe : all) add(recipe.name, recipe.file);
    for (const auto &patch : kPatches) add(patch.name, patch.file);
    add("random", "random.bin");
    add("empty", "empty.bin");
    add("mp4_truncated", "mp4_truncated.mp4");

    writeOrFail(dir / "subs.srt", kSubtitles);
    writeOrFail(dir / "chapters.txt", kChapters);
    writeOrFail(dir / "font.ttf", kFont);
    for (const auto &recipe : all) {
        makeOnce(dir, recipe.file,
                 [&](const std::string &out) { runFfmpeg(dir, recipe.args, out); });
    }
    const std::string mov = qztest::readFile(paths["mov"]);
    if (mov.compare(4, 4, "ftyp") != 0) fail("mov fixture does not start with ftyp");
    for (const auto &patch : kPatches) {
        makeOnce(dir, patch.file, [&](const std::string &out) {
            std::string bytes = mov;
            bytes.replace(patch.offset, 4, patch.bytes, 4);
            writeOrFail(dir / out, bytes);
        });
    }
    makeOnce(dir, "random.bin", [&](const std::string &out) {
        std::mt19937 generator(20240607);
        std::string bytes(4096, '\0');
        for (auto &byte : bytes) byte = static_cast<char>(generator() & 0xFF);
        writeOrFail(dir / out, bytes);
    });
    makeOnce(dir, "empty.bin", [&](const std::string &out) { writeOrFail(dir / out, ""); });
    // Its index comes last in the file: the first half holds no index.
    const std::string mp4 = qztest::readFile(paths["mp4"]);
    if (mp4.find("moov") < mp4.size() / 2) fail("mp4 fixture has its index in its first half");
    makeOnce(dir, "mp4_truncated.mp4", [&](const std::string &out) {
        writeOrFail(dir / out, mp4.substr(0, mp4.size() / 2));
    });
    return paths;
}

DirectoryLock::DirectoryLock(const std::string &dir)
    : fd_(open((fs::path(dir) / ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644)) {
    // The lock goes with the descriptor.
    if (fd_ < 0 || flock(fd_, LOCK_EX) != 0) {
        if (fd_ >= 0) close(fd_);
        fail("cannot lock " + dir);
    }
}

DirectoryLock::~DirectoryLock() {
    close(fd_);
}

void makeOnce(const std::string &directory, const std::string &file,
              const std::function<void(const std::string &temporary)> &make) {
    const fs::path dir(directory);
    if (fs::exists(dir / file)) return;
    const std::string temporary = ".part-" + std::to_string(getpid()) + "-" + file;
    make(temporary);
    fs::rename(dir / temporary, dir / file);
}

void runTool(const std::string &dir, const std::vector<std::string> &argv,
             const std::string &output) {
    qztest::ProcessOptions options;
    options.dir = dir;
    const qztest::ProcessResult run = qztest::runProcess(argv, options);
    if (run.status != 0) {
        fail(fs::path(argv.at(0)).filename().string() + " failed to make " + output + " (status " +
             std::to_string(run.status) + "): " + run.err);
    }
}

std::string makeWithFfmpeg(const std::string &directory, const std::vector<std::string> &args,
                           const std::string &file) {
    const fs::path dir = fs::absolute(directory);
    makeOnce(dir, file, [&](const std::string &out) { runFfmpeg(dir, args, out); });
    return (dir / file).string();
}

}  // namespace media_fixtures
