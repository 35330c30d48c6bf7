#include "media_fixtures.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <vector>

extern char **environ;

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

void fail(const std::string &what) {
    throw std::runtime_error("media fixtures: " + what);
}

// Runs ffmpeg in `dir` and waits for it.
void runFfmpeg(const fs::path &dir, const Args &args, const std::string &output) {
    Args line = {MEDIA_FIXTURES_FFMPEG, "-nostdin", "-y", "-loglevel", "error", "-threads", "1"};
    line = line + args;
    line.push_back(output);
    std::vector<char *> argv;
    for (auto &arg : line) argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    pid_t pid;
    int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) fail(std::string("cannot start ffmpeg: ") + strerror(error));
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("ffmpeg failed to make " + output);
}

std::string readFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) fail("cannot write " + path.string());
}

// Builds `file` through a temporary name in the same directory, so that a
// reader never sees a half-written fixture.
template <typename Make>
void makeOnce(const fs::path &dir, const std::string &file, Make make) {
    if (fs::exists(dir / file)) return;
    std::string temporary = ".part-" + std::to_string(getpid()) + "-" + file;
    make(temporary);
    fs::rename(dir / temporary, dir / file);
}

}  // namespace

std::map<std::string, std::string> generateFixtures(const std::string &directory) {
    const fs::path dir = fs::absolute(directory);
    fs::create_directories(dir);
    // Concurrent test processes take turns; the lock goes with the descriptor.
    struct Lock {
        int fd;
        ~Lock() { close(fd); }
    } lock{open((dir / ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644)};
    if (lock.fd < 0 || flock(lock.fd, LOCK_EX) != 0) fail("cannot lock " + dir.string());

    std::map<std::string, std::string> paths;
    auto add = [&](const char *name, const char *file) { paths[name] = (dir / file).string(); };
    std::vector<Recipe> all = recipes();
    for (const auto &recipe : all) add(recipe.name, recipe.file);
    for (const auto &patch : kPatches) add(patch.name, patch.file);
    add("random", "random.bin");
    add("empty", "empty.bin");

    writeFile(dir / "subs.srt", kSubtitles);
    for (const auto &recipe : all) {
        makeOnce(dir, recipe.file,
                 [&](const std::string &out) { runFfmpeg(dir, recipe.args, out); });
    }
    const std::string mov = readFile(paths["mov"]);
    if (mov.compare(4, 4, "ftyp") != 0) fail("mov fixture does not start with ftyp");
    for (const auto &patch : kPatches) {
        makeOnce(dir, patch.file, [&](const std::string &out) {
            std::string bytes = mov;
            bytes.replace(patch.offset, 4, patch.bytes, 4);
            writeFile(dir / out, bytes);
        });
    }
    makeOnce(dir, "random.bin", [&](const std::string &out) {
        std::mt19937 generator(20240607);
        std::string bytes(4096, '\0');
        for (auto &byte : bytes) byte = static_cast<char>(generator() & 0xFF);
        writeFile(dir / out, bytes);
    });
    makeOnce(dir, "empty.bin", [&](const std::string &out) { writeFile(dir / out, ""); });
    return paths;
}

std::string makeWithFfmpeg(const std::string &directory, const std::vector<std::string> &args,
                           const std::string &file) {
    const fs::path dir = fs::absolute(directory);
    makeOnce(dir, file, [&](const std::string &out) { runFfmpeg(dir, args, out); });
    return (dir / file).string();
}

}  // namespace media_fixtures
