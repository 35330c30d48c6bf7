// The mprobe tool run as a user runs it, on the fixtures: its JSON against the
// library's own description, its text blocks, its failures and exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "media_fixtures.h"
#include "media_probe.h"

namespace {

using nlohmann::json;

const std::map<std::string, std::string> &fixtures() {
    static const auto paths = media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR);
    return paths;
}

struct ToolRun {
    int status;
    std::string out, err;
};

// Runs mprobe with `args` (each already quoted for the shell).
ToolRun mprobe(const std::string &args) {
    char errPath[] = "/tmp/mprobe_err_XXXXXX";
    int fd = mkstemp(errPath);
    close(fd);
    std::string command = std::string(MPROBE) + " " + args + " 2>" + errPath;
    ToolRun run{};
    FILE *pipe = popen(command.c_str(), "r");
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream err(errPath);
    run.err.assign(std::istreambuf_iterator<char>(err), {});
    unlink(errPath);
    return run;
}

std::string quoted(const std::string &path) {
    return "'" + path + "'";
}

std::string hex(const uint8_t *bytes, int length) {
    std::string text;
    char pair[3];
    for (int i = 0; i < length; ++i) {
        snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

TEST(Mprobe, JsonCarriesEveryFieldOfTheLibrarysDescription) {
    for (const char *name : {"mp4", "mov", "mkv", "flv", "wmv", "ts", "wav", "three_video"}) {
        SCOPED_TRACE(name);
        const std::string &path = fixtures().at(name);
        ToolRun run = mprobe("--json " + quoted(path));
        ASSERT_EQ(run.status, 0) << run.err;
        json all = json::parse(run.out);  // the subtitle notes did not end up here
        ASSERT_EQ(all.size(), 1u);
        const json &j = all[0];

        MediaContext *c = create_media_context();
        testing::internal::CaptureStdout();
        ASSERT_EQ(build_media_info(c, path.c_str()), 0);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(j["filename"], c->filename);
        EXPECT_EQ(j["file_size"], c->file_size);
        EXPECT_EQ(j["container_name"], c->container_name);
        EXPECT_EQ(j["duration"], c->duration);
        EXPECT_EQ(j["bit_rate"], c->bit_rate);
        EXPECT_EQ(j["mime_type"], static_cast<int>(c->mime_type));
        EXPECT_EQ(j["mime_type_str"], c->mime_type_str);
        size_t i = 0;
        for (const VideoStreamContext *v = c->video; v; v = v->next, ++i) {
            const json &jv = j["video"].at(i);
            EXPECT_EQ(jv["codec_name"], v->codec_name);
            EXPECT_EQ(jv["width"], v->width);
            EXPECT_EQ(jv["height"], v->height);
            EXPECT_EQ(jv["fps"], v->fps);
            EXPECT_EQ(jv["bit_rate"], v->bit_rate);
            EXPECT_EQ(jv["duration"], v->duration);
            EXPECT_EQ(jv["spspps"], hex(v->spspps, v->spspps_len));
            ASSERT_EQ(jv["entries"].size(), static_cast<size_t>(v->entry_count));
            if (v->entry_count > 0) {
                const StreamEntry &e = v->entries[v->entry_count - 1];
                EXPECT_EQ(jv["entries"].back(), json({{"pos", e.pos},
                                                      {"timestamp", e.timestamp},
                                                      {"flags", int{e.flags}},
                                                      {"size", int{e.size}},
                                                      {"min_distance", e.min_distance}}));
            }
        }
        EXPECT_EQ(j["video"].size(), i);
        i = 0;
        for (const AudioStreamContext *a = c->audio; a; a = a->next, ++i) {
            const json &ja = j["audio"].at(i);
            EXPECT_EQ(ja["codec_name"], a->codec_name);
            EXPECT_EQ(ja["sample_rate"], a->sample_rate);
            EXPECT_EQ(ja["channels"], a->channels);
            EXPECT_EQ(ja["entry_count"], a->entry_count);
        }
        EXPECT_EQ(j["audio"].size(), i);
        free_media_context(c);
    }
}

TEST(Mprobe, PrintsOneReadableBlockPerFile) {
    ToolRun run = mprobe(quoted(fixtures().at("mp4")) + " " + quoted(fixtures().at("mkv")));
    ASSERT_EQ(run.status, 0) << run.err;
    const std::regex block(
        "(.*/mp4\\.mp4)\n"
        "  size       \\d+ bytes\n"
        "  container  mov,mp4,m4a,3gp,3g2,mj2\n"
        "  type       video/mp4\n"
        "  duration   1000 ms\n"
        "  bit rate   unknown\n"
        "  video 0    h264 160x120, 25 fps, \\d+ bit/s, duration 12800, \\d+ config bytes, "
        "25 index entries\n"
        "  audio 0    aac 44100 Hz, 2 channels, \\d+ bit/s, duration \\d+, \\d+ index entries\n"
        "\n"
        ".*/mkv\\.mkv\n(  .*\n){5}"
        "  video 0    h264 160x120, 25 fps, unknown, duration 0, \\d+ config bytes, 1 index "
        "entries\n"
        "  audio 0    aac 44100 Hz, 1 channel, unknown, duration 0, \\d+ index entries\n");
    EXPECT_TRUE(std::regex_match(run.out, block)) << run.out;
    // The library's notes on the streams it does not describe.
    EXPECT_EQ(run.err,
              "================== \ncodec type subtitle \n"
              "================== \ncodec type unknown \n");
}

TEST(Mprobe, NamesEachFailingFileAndExitsNonZero) {
    const std::string dir = MEDIA_FIXTURE_DIR;
    const std::string usage = "usage: mprobe [--json | --json-lines] [-r] [-j N] PATH...\n";
    const struct {
        std::string args;
        int status;
        std::string err;
        bool described;  // standard output holds a block for mp4
    } cases[] = {
        {quoted(dir + "/missing.mp4"), 1, "mprobe: " + dir + "/missing.mp4: not found\n", false},
        {quoted(fixtures().at("random")), 1,
         "mprobe: " + fixtures().at("random") + ": not a media file\n", false},
        {quoted(fixtures().at("empty")) + " " + quoted(fixtures().at("mp4")), 1,
         "mprobe: " + fixtures().at("empty") +
             ": not a media file\nmprobe: 1 of 2 files not described: 1 not a media file\n",
         true},
        {"", 2, usage, false},
        {"--frobnicate x", 2, "mprobe: unknown option --frobnicate\n" + usage, false},
        {"-j 0 x", 2, "mprobe: -j needs a number of threads from 1 to 1024, not 0\n" + usage,
         false},
    };
    for (const auto &c : cases) {
        ToolRun run = mprobe(c.args);
        EXPECT_EQ(run.status, c.status) << c.args;
        EXPECT_EQ(run.err, c.err) << c.args;
        EXPECT_EQ(run.out.find("video/mp4") != std::string::npos, c.described) << c.args;
    }
    ToolRun run =
        mprobe("--json " + quoted(dir + "/missing.mp4") + " " + quoted(fixtures().at("wav")));
    EXPECT_EQ(run.status, 1);
    json all = json::parse(run.out);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0]["result"], -2);
    EXPECT_EQ(all[0]["error"], "not found");
    EXPECT_EQ(all[1]["container_name"], "wav");
}

// A small media library: links to the fixtures under names that sort in a
// known order, in two levels, with a hidden file and two that are not media.
struct Library {
    std::string root;
    std::vector<std::string> top, all;  // files without and with -r, in order
};

Library makeLibrary() {
    namespace fs = std::filesystem;
    Library library;
    library.root = std::string(MEDIA_FIXTURE_DIR) + "/../mprobe-library";
    fs::remove_all(library.root);
    const char *names[] = {"mkv", "mp4", "random", "wav", "ts", "mov", "flv", "empty", "wmv"};
    for (int i = 0; i < 27; ++i) {
        const std::string sub = i < 9 ? "" : i < 18 ? "b/" : "b/c/";
        const std::string path =
            library.root + "/" + sub + std::to_string(10 + i % 9) + "-" + names[i % 9];
        fs::create_directories(fs::path(path).parent_path());
        fs::create_symlink(fixtures().at(names[i % 9]), path);
        (sub.empty() ? library.top : library.all).push_back(path);
    }
    library.all.insert(library.all.begin(), library.top.begin(), library.top.end());
    fs::create_symlink(fixtures().at("mp4"), library.root + "/.hidden.mp4");
    return library;
}

TEST(Mprobe, ProbesDirectoriesInInputOrderWhateverTheThreads) {
    const Library library = makeLibrary();
    const std::string root = quoted(library.root);
    // The notes and failures each file causes on standard error, in input
    // order, and the count at the end.
    auto expectedErr = [](const std::vector<std::string> &files) {
        std::string err;
        size_t failed = 0;
        for (const auto &f : files) {
            if (f.find("-mkv") != std::string::npos) {
                err +=
                    "================== \ncodec type subtitle \n"
                    "================== \ncodec type unknown \n";
            }
            if (f.find("-random") != std::string::npos || f.find("-empty") != std::string::npos) {
                err += "mprobe: " + f + ": not a media file\n";
                ++failed;
            }
        }
        return err + "mprobe: " + std::to_string(failed) + " of " + std::to_string(files.size()) +
               " files not described: " + std::to_string(failed) + " not a media file\n";
    };
    const struct {
        std::string args;
        const std::vector<std::string> &files;
    } cases[] = {
        {"--json-lines -j 1 " + root, library.top},
        {"--json-lines -j 4 " + root, library.top},
        {"--json-lines -r -j 1 " + root, library.all},
        {"--json-lines -r -j 4 " + root, library.all},
        {"--json-lines -r -j 3 " + quoted(library.root + "/b/c") + " " + root, library.all},
    };
    std::string firstOut;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        ToolRun run = mprobe(c.args);
        EXPECT_EQ(run.status, 1);
        std::vector<std::string> files = c.files;
        if (c.args.find("/b/c") != std::string::npos) {
            files.insert(files.begin(), library.all.end() - 9, library.all.end());
        }
        EXPECT_EQ(run.err, expectedErr(files));
        std::istringstream lines(run.out);
        std::string line;
        size_t i = 0;
        for (; std::getline(lines, line); ++i) {
            ASSERT_LT(i, files.size());
            json j = json::parse(line);  // one object per line, nothing else
            EXPECT_EQ(j["filename"], files[i]);
            EXPECT_EQ(j["result"] == 0, j.contains("container_name"));
        }
        EXPECT_EQ(i, files.size());
        if (c.args.find("-r -j 4") != std::string::npos) firstOut = run.out;
    }
    // The same descriptions as one JSON array, and in text blocks.
    ToolRun array = mprobe("--json -r -j 2 " + root);
    auto all = nlohmann::ordered_json::parse(array.out);
    ASSERT_EQ(all.size(), library.all.size());
    std::string joined;
    for (const auto &j : all) joined += j.dump() + "\n";
    EXPECT_TRUE(joined == firstOut) << "--json and --json-lines differ";
    ToolRun text = mprobe("-r -j 2 " + root);
    size_t blocks = 0;
    for (size_t at = text.out.find("\n  size "); at != std::string::npos;
         at = text.out.find("\n  size ", at + 1)) {
        ++blocks;
    }
    EXPECT_EQ(blocks, library.all.size() - 6);  // all but the random and empty files
    EXPECT_EQ(text.out.find("codec type"), std::string::npos);
}

TEST(Mprobe, AnEmptyDirectoryIsAnEmptyResult) {
    const std::string dir = std::string(MEDIA_FIXTURE_DIR) + "/../mprobe-empty";
    std::filesystem::create_directories(dir);
    for (const char *format : {"--json", "--json-lines", ""}) {
        ToolRun run = mprobe(std::string(format) + " " + quoted(dir));
        EXPECT_EQ(run.status, 0) << format;
        EXPECT_EQ(run.out, std::string(format) == "--json" ? "[]\n" : "") << format;
        EXPECT_EQ(run.err, "") << format;
    }
}

}  // namespace
