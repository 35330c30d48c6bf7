#include "media_fixtures.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "hdr_fixtures.h"
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

enum class Tool { ffmpeg, x265, mkvmerge };
const char kOut[] = "{out}";  // stands for the file a step makes

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
        // HDR signalling, stream ids, programs, chapters and the ways a
        // duration is found.
        {"hevc_hlg", "hevc_hlg.mp4",
         lavfi("testsrc=size=64x48:rate=25:duration=0.2") +
             Args{"-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error",
                  "-pix_fmt", "yuv420p10le", "-color_primaries", "bt2020", "-color_trc",
                  "arib-std-b67", "-colorspace", "bt2020nc"}},
        {"mp4_chapters", "mp4_chapters.mp4",
         lavfi("testsrc=size=64x48:rate=25:duration=0.2") +
             Args{"-i", "chapters.txt", "-map", "0", "-map_metadata", "1", "-map_chapters", "1"} +
             kX264},
        {"ts_programs", "ts_programs.ts",
         lavfi("testsrc=size=64x48:rate=25:duration=0.4") +
             lavfi("sine=sample_rate=48000:duration=0.4") +
             lavfi("testsrc=size=64x48:rate=25:duration=0.4") +
             lavfi("sine=frequency=880:sample_rate=48000:duration=0.4") +
             Args{"-map",          "0",
                  "-map",          "1",
                  "-map",          "2",
                  "-map",          "3",
                  "-c:v",          "mpeg2video",
                  "-c:a",          "mp2",
                  "-streamid",     "0:0x101",
                  "-streamid",     "1:0x102",
                  "-streamid",     "2:0x201",
                  "-streamid",     "3:0x202",
                  "-program",      "program_num=10:st=0:st=1",
                  "-program",      "program_num=20:st=2:st=3",
                  "-metadata:p:0", "service_name=First",
                  "-metadata:p:0", "service_provider=Probe tests",
                  "-metadata:p:1", "service_name=Second"}},
        {"mp3_vbr", "mp3_vbr.mp3",
         lavfi("sine=frequency=440:sample_rate=44100:duration=3") +
             Args{"-c:a", "libmp3lame", "-q:a", "4", "-write_xing", "0"}},
        {"mp3_vbr_xing", "mp3_vbr_xing.mp3",
         lavfi("sine=frequency=440:sample_rate=44100:duration=3") +
             Args{"-c:a", "libmp3lame", "-q:a", "4"}},
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

// The files made by the x265 command line and mkvmerge, and their inputs, in
// order: a step may read the files of the steps before it. `name` is NULL
// for an input that is no fixture.
struct Step {
    const char *name;
    const char *file;
    Tool tool;
    Args args;  // ffmpeg: the output goes last; the others: kOut stands for it
};

std::vector<Step> steps() {
    return {
        // HEVC Main 10 from x265 with PQ in its VUI and no HDR SEI, so that
        // the mastering display and light levels of the Matroska file are the
        // container's alone.
        {nullptr, "hdr10_no_sei_source.y4m", Tool::ffmpeg,
         lavfi("testsrc=size=160x120:rate=25:duration=0.2") +
             Args{"-pix_fmt", "yuv420p10le", "-strict", "-1", "-f", "yuv4mpegpipe"}},
        {nullptr, "hdr10_no_sei.hevc", Tool::x265,
         hdr_fixtures::x265CommonOptions() + Args{"--transfer", "smpte2084", "--input",
                                                  "hdr10_no_sei_source.y4m", "--output", kOut}},
        {"mkv_hdr10_no_sei", "mkv_hdr10_no_sei.mkv", Tool::mkvmerge,
         Args{"-q", "-o", kOut} + hdr_fixtures::mkvmergeColourOptions() +
             Args{"hdr10_no_sei.hevc"}},
        // An MP3 with a cover picture: a PNG attached to the ID3 tag.
        {nullptr, "cover.png", Tool::ffmpeg,
         lavfi("testsrc=size=64x48:rate=1:duration=1") + Args{"-frames:v", "1"}},
        {"mp3_cover", "mp3_cover.mp3", Tool::ffmpeg,
         lavfi("sine=frequency=440:sample_rate=44100:duration=1") +
             Args{"-i", "cover.png", "-map", "0", "-map", "1", "-c:a", "libmp3lame", "-c:v", "png",
                  "-disposition:v", "attached_pic", "-metadata:s:v", "title=Front"}},
        {nullptr, "chapters.h264", Tool::ffmpeg,
         lavfi("testsrc=size=64x48:rate=25:duration=0.2") + kX264 + Args{"-f", "h264"}},
        {"mkv_chapters",
         "mkv_chapters.mkv",
         Tool::mkvmerge,
         {"-q", "-o", kOut, "--chapter-language", "eng", "--chapters", "simple_chapters.txt",
          "chapters.h264"}},
    };
}

// An HLS master playlist of two variants, each one segment (ts): the
// demuxer makes a program of each, numbered from 0 and tagged with the
// variant's bit rate.
const char kHlsMaster[] =
    "#EXTM3U\n"
    "#EXT-X-STREAM-INF:BANDWIDTH=1100000\nhls_variant_a.m3u8\n"
    "#EXT-X-STREAM-INF:BANDWIDTH=2200000\nhls_variant_b.m3u8\n";
const char kHlsVariant[] =
    "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\nts.ts\n#EXT-X-ENDLIST\n";

// The Dolby Vision configuration hevc_dovi adds to hevc_main10 (PQ, no SEI):
// profile 8, level 4, an RPU and a base layer compatible with HDR10 (id 1).
constexpr hdr_fixtures::DolbyVision kDolbyVision = {8, 4, true, false, true, 1};

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
// Two chapters in mkvmerge's simple chapter format.
const char kSimpleChapters[] =
    "CHAPTER01=00:00:00.000\nCHAPTER01NAME=Opening\n"
    "CHAPTER02=00:00:00.120\nCHAPTER02NAME=Ending\n";
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

// Runs a step's x265 or mkvmerge in `dir` to make `output`.
void runStep(const fs::path &dir, Tool tool, const Args &args, const std::string &output) {
    Args line = {tool == Tool::x265 ? MEDIA_FIXTURES_X265 : MEDIA_FIXTURES_MKVMERGE};
    for (const std::string &arg : args) line.push_back(arg == kOut ? output : arg);
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
    std::vector<Step> made = steps();
    for (const auto &step : made) {
        if (step.name) add(step.name, step.file);
    }
    add("hevc_dovi", "hevc_dovi.mp4");
    add("hls_master", "hls_master.m3u8");
    add("random", "random.bin");
    add("empty", "empty.bin");
    add("mp4_truncated", "mp4_truncated.mp4");

    writeOrFail(dir / "subs.srt", kSubtitles);
    writeOrFail(dir / "chapters.txt", kChapters);
    writeOrFail(dir / "font.ttf", kFont);
    writeOrFail(dir / "simple_chapters.txt", kSimpleChapters);
    for (const auto &recipe : all) {
        makeOnce(dir, recipe.file,
                 [&](const std::string &out) { runFfmpeg(dir, recipe.args, out); });
    }
    for (const auto &step : made) {
        makeOnce(dir, step.file, [&](const std::string &out) {
            if (step.tool == Tool::ffmpeg) {
                runFfmpeg(dir, step.args, out);
            } else {
                runStep(dir, step.tool, step.args, out);
            }
        });
    }
    // Probed while other test processes make their fixtures: written once,
    // through a temporary name, never rewritten in place.
    const std::pair<const char *, const char *> playlists[] = {{"hls_variant_a.m3u8", kHlsVariant},
                                                               {"hls_variant_b.m3u8", kHlsVariant},
                                                               {"hls_master.m3u8", kHlsMaster}};
    for (const auto &playlist : playlists) {
        makeOnce(dir, playlist.first,
                 [&](const std::string &out) { writeOrFail(dir / out, playlist.second); });
    }
    makeOnce(dir, "hevc_dovi.mp4", [&](const std::string &out) {
        writeOrFail(dir / out, hdr_fixtures::withDolbyVision(qztest::readFile(paths["hevc_main10"]),
                                                             kDolbyVision));
    });
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
