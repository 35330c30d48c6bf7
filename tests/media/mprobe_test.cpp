// The mprobe tool run as a user runs it, on the fixtures: its JSON against the
// library's own description, its text blocks, its failures and exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "media_fixtures.h"
#include "media_probe.h"
#include "process.h"

namespace {

using nlohmann::json;
using qztest::ProcessResult;
using qztest::shellQuoted;

const std::map<std::string, std::string> &fixtures() {
    static const auto paths = media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR);
    return paths;
}

// Runs mprobe with `args` (each already quoted for the shell).
ProcessResult mprobe(const std::string &args) {
    return qztest::runShell(std::string(MPROBE) + " " + args);
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
        ProcessResult run = mprobe("--json " + shellQuoted(path));
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
    ProcessResult run =
        mprobe(shellQuoted(fixtures().at("mp4")) + " " + shellQuoted(fixtures().at("mkv")));
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
        {shellQuoted(dir + "/missing.mp4"), 1, "mprobe: " + dir + "/missing.mp4: not found\n",
         false},
        {shellQuoted(fixtures().at("random")), 1,
         "mprobe: " + fixtures().at("random") + ": not a media file\n", false},
        {shellQuoted(fixtures().at("empty")) + " " + shellQuoted(fixtures().at("mp4")), 1,
         "mprobe: " + fixtures().at("empty") +
             ": not a media file\nmprobe: 1 of 2 files not described: 1 not a media file\n",
         true},
        {"", 2, usage, false},
        {"--frobnicate x", 2, "mprobe: unknown option --frobnicate\n" + usage, false},
        {"-j 0 x", 2, "mprobe: -j needs a number of threads from 1 to 1024, not 0\n" + usage,
         false},
    };
    for (const auto &c : cases) {
        ProcessResult run = mprobe(c.args);
        EXPECT_EQ(run.status, c.status) << c.args;
        EXPECT_EQ(run.err, c.err) << c.args;
        EXPECT_EQ(run.out.find("video/mp4") != std::string::npos, c.described) << c.args;
    }
    ProcessResult run = mprobe("--json " + shellQuoted(dir + "/missing.mp4") + " " +
                               shellQuoted(fixtures().at("wav")));
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
    const std::string root = shellQuoted(library.root);
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
        {"--json-lines -r -j 3 " + shellQuoted(library.root + "/b/c") + " " + root, library.all},
    };
    std::string firstOut;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        ProcessResult run = mprobe(c.args);
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
    ProcessResult array = mprobe("--json -r -j 2 " + root);
    auto all = nlohmann::ordered_json::parse(array.out);
    ASSERT_EQ(all.size(), library.all.size());
    std::string joined;
    for (const auto &j : all) joined += j.dump() + "\n";
    EXPECT_TRUE(joined == firstOut) << "--json and --json-lines differ";
    ProcessResult text = mprobe("-r -j 2 " + root);
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
        ProcessResult run = mprobe(std::string(format) + " " + shellQuoted(dir));
        EXPECT_EQ(run.status, 0) << format;
        EXPECT_EQ(run.out, std::string(format) == "--json" ? "[]\n" : "") << format;
        EXPECT_EQ(run.err, "") << format;
    }
}

// ---- the extended description ---------------------------------------------

// The keys of each record in the JSON: every field of the record, in order.
const std::vector<std::string> kContextKeys = {
    "filename",       "result",           "file_size",     "container_name", "duration",
    "bit_rate",       "mime_type",        "mime_type_str", "video",          "audio",
    "subtitle",       "format_long_name", "stream_count",  "duration_us",    "start_time_us",
    "total_bit_rate", "chapter_count",    "tag_count",     "tags",           "other",
    "error_text",     "scan_duration_us"};
const std::vector<std::string> kVideoKeys = {"codec_name",
                                             "width",
                                             "height",
                                             "fps",
                                             "bit_rate",
                                             "duration",
                                             "spspps_len",
                                             "spspps",
                                             "entry_count",
                                             "entries",
                                             "stream_index",
                                             "codec_id_name",
                                             "codec_tag",
                                             "profile",
                                             "level",
                                             "pix_fmt",
                                             "bits_per_raw_sample",
                                             "time_base_num",
                                             "time_base_den",
                                             "start_time",
                                             "duration_ts",
                                             "frame_count",
                                             "avg_frame_rate_num",
                                             "avg_frame_rate_den",
                                             "r_frame_rate_num",
                                             "r_frame_rate_den",
                                             "sar_num",
                                             "sar_den",
                                             "dar_num",
                                             "dar_den",
                                             "field_order",
                                             "color_range",
                                             "color_space",
                                             "color_transfer",
                                             "color_primaries",
                                             "rotation",
                                             "disposition",
                                             "tag_count",
                                             "tags",
                                             "scan"};
const std::vector<std::string> kAudioKeys = {"codec_name",
                                             "sample_rate",
                                             "channels",
                                             "bit_rate",
                                             "duration",
                                             "entry_count",
                                             "entries",
                                             "stream_index",
                                             "codec_id_name",
                                             "codec_tag",
                                             "profile",
                                             "sample_fmt",
                                             "channel_layout",
                                             "bits_per_sample",
                                             "bits_per_raw_sample",
                                             "time_base_num",
                                             "time_base_den",
                                             "start_time",
                                             "duration_ts",
                                             "frame_count",
                                             "disposition",
                                             "tag_count",
                                             "tags",
                                             "scan"};
const std::vector<std::string> kOtherKeys = {
    "kind",       "stream_index", "codec_id_name", "codec_tag", "time_base_num", "time_base_den",
    "start_time", "duration_ts",  "disposition",   "tag_count", "tags",          "scan"};

std::vector<std::string> keysOf(const nlohmann::ordered_json &object) {
    std::vector<std::string> keys;
    for (const auto &item : object.items()) keys.push_back(item.key());
    return keys;
}

TEST(Mprobe, JsonHoldsEveryRecordFieldUnderItsNameWithUnknownsAsNull) {
    for (const char *name : {"h264_ntsc", "mkv_tracks", "mp3_long", "ts_interlaced", "wav"}) {
        SCOPED_TRACE(name);
        ProcessResult run = mprobe("--json-lines " + shellQuoted(fixtures().at(name)));
        ASSERT_EQ(run.status, 0) << run.err;
        const auto j = nlohmann::ordered_json::parse(run.out);
        EXPECT_EQ(keysOf(j), kContextKeys);
        for (const auto &v : j["video"]) EXPECT_EQ(keysOf(v), kVideoKeys);
        for (const auto &a : j["audio"]) EXPECT_EQ(keysOf(a), kAudioKeys);
        for (const auto &o : j["other"]) EXPECT_EQ(keysOf(o), kOtherKeys);
    }
    // Values, the unknown ones included, as the library holds them.
    const struct {
        const char *fixture;
        const char *pointer;
        json expected;
    } cases[] = {
        {"h264_ntsc", "/video/0/profile", "High"},
        {"h264_ntsc", "/video/0/avg_frame_rate_num", 30000},
        {"h264_ntsc", "/video/0/avg_frame_rate_den", 1001},
        {"h264_ntsc", "/video/0/codec_tag", 0x31637661},
        {"h264_ntsc", "/tags/title", "Test title"},
        {"h264_ntsc", "/tag_count", 6},
        {"h264_ntsc", "/other/0/kind", "data"},
        {"h264_ntsc", "/other/0/codec_id_name", nullptr},
        {"h264_ntsc", "/start_time_us", 0},
        {"h264_ntsc", "/error_text", nullptr},
        {"h264_ntsc", "/video/0/scan", nullptr},  // not scanned
        {"h264_ntsc", "/other/0/scan", nullptr},
        {"h264_ntsc", "/scan_duration_us", nullptr},
        {"mp3_long", "/audio/0/duration", -905377792},
        {"mp3_long", "/audio/0/duration_ts", 3389589504LL},
        {"mp3_long", "/duration_us", 240192000},
        {"mp3_long", "/duration", 0},  // unknown when the file is opened
        {"mp3_long", "/audio/0/frame_count", nullptr},
        {"mkv_tracks", "/audio/0/channel_layout", "5.1(side)"},
        {"mkv_tracks", "/audio/0/duration_ts", nullptr},
        {"mkv_tracks", "/audio/1/tags/title", "Commentaire"},
        {"mkv_tracks", "/other/0/tags/language", "eng"},
        {"mkv_tracks", "/other/1/kind", "attachment"},
        {"mkv_tracks", "/chapter_count", 2},
        {"mkv_tracks", "/subtitle", json::array()},
        {"mkv_tracks", "/video/0/color_space", nullptr},
        {"mkv_tracks", "/video/0/frame_count", nullptr},
        {"ts_interlaced", "/start_time_us", 11400000},
        {"ts_interlaced", "/video/0/field_order", "tt"},
        {"ts_interlaced", "/video/0/dar_num", 16},
        {"ts_interlaced", "/video/0/bits_per_raw_sample", nullptr},
        {"wav", "/video", json::array()},
        {"wav", "/audio/0/bits_per_sample", 16},
        {"wav", "/audio/0/profile", nullptr},
    };
    std::map<std::string, json> runs;
    for (const auto &c : cases) {
        if (!runs.count(c.fixture)) {
            runs[c.fixture] =
                json::parse(mprobe("--json " + shellQuoted(fixtures().at(c.fixture))).out);
        }
        EXPECT_EQ(runs[c.fixture][0].at(json::json_pointer(c.pointer)), c.expected)
            << c.fixture << " " << c.pointer;
    }
}

TEST(Mprobe, NoIndexLeavesTheEntriesOutButKeepsTheirCounts) {
    const std::string path = shellQuoted(fixtures().at("mp4"));
    const json with = json::parse(mprobe("--json-lines " + path).out);
    const json without = json::parse(mprobe("--json-lines --no-index " + path).out);
    ASSERT_EQ(with["video"][0]["entries"].size(), 25u);
    EXPECT_FALSE(without["video"][0].contains("entries"));
    EXPECT_FALSE(without["audio"][0].contains("entries"));
    EXPECT_EQ(without["video"][0]["entry_count"], 25);
    json stripped = with;
    stripped["video"][0].erase("entries");
    stripped["audio"][0].erase("entries");
    EXPECT_EQ(stripped, without);
}

// Lines of `mprobe -l`: each row a line that must appear (or must not).
TEST(Mprobe, LongTextShowsEveryFieldInUnitsWithUnknownsSaidSo) {
    const struct {
        const char *fixture;
        std::string line;
        bool shown;
    } cases[] = {
        {"h264_ntsc", "  format                QuickTime / MOV\n", true},
        {"h264_ntsc", "  duration              0.501 s\n", true},
        {"h264_ntsc", "\n  start ", false},  // the file starts at 0
        {"h264_ntsc", "    frame rate          30000/1001 (29.97)\n", true},
        {"h264_ntsc", "    duration            0.5005 s (15015 ticks of 1/30000 s)\n", true},
        {"h264_ntsc", "    profile             High\n", true},
        {"h264_ntsc", "    codec tag           avc1 (0x31637661)\n", true},
        {"h264_ntsc", "    colour primaries    bt709\n", true},
        {"h264_ntsc", "    tags\n      creation_time     2024-01-02T03:04:05.000000Z\n", true},
        {"h264_ntsc", "  data 2  unknown codec, language eng\n", true},
        {"h264_ntsc", "    channel layout      mono\n", true},
        {"hevc_main10", "    profile             Main 10\n", true},
        {"hevc_main10", "    pixel format        yuv420p10le\n", true},
        {"hevc_main10", "    colour transfer     smpte2084\n", true},
        {"ts_interlaced", "  start                 11.4 s\n", true},
        {"ts_interlaced", "    sample aspect       4:3\n    display aspect      16:9\n", true},
        {"ts_interlaced", "    field order         tt\n", true},
        {"ts_interlaced", "    colour space        unknown\n", true},
        {"rotated", "    rotation            90 degrees\n", true},
        {"mp3_long", "    duration            240.192 s (3389589504 ticks of 1/14112000 s)\n",
         true},
        {"mp3_long", " -", false},  // nothing negative, no wrapped number
        {"mkv_tracks", "  subtitle 3  subrip, language eng\n", true},
        {"mkv_tracks", "  attachment 4  ttf\n", true},
        {"mkv_tracks", "    channel layout      5.1(side)\n", true},
        {"mkv_tracks", "      title             Surround\n", true},
        {"mkv_tracks", "  chapters              2\n", true},
        {"mkv_tracks", "    duration            unknown\n", true},
    };
    std::map<std::string, ProcessResult> runs;
    for (const auto &c : cases) {
        if (!runs.count(c.fixture))
            runs[c.fixture] = mprobe("-l " + shellQuoted(fixtures().at(c.fixture)));
        const ProcessResult &run = runs[c.fixture];
        ASSERT_EQ(run.status, 0) << run.err;
        std::string body = run.out.substr(run.out.find('\n') + 1);  // past the file's name
        EXPECT_EQ(body.find(c.line) != std::string::npos, c.shown)
            << c.fixture << ": " << c.line << "\n"
            << run.out;
    }
}

TEST(Mprobe, SummaryShowsALongStreamsFullDurationNotItsWrapped32Bits) {
    ProcessResult run = mprobe(shellQuoted(fixtures().at("mp3_long")));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(", duration 3389589504, "), std::string::npos) << run.out;
    const std::string body = run.out.substr(run.out.find('\n'));  // past the file's name
    EXPECT_FALSE(std::regex_search(body, std::regex("-[0-9]"))) << run.out;
}

// Each failure as standard error names it, and its JSON object's two texts.
TEST(Mprobe, FailuresSayWhichFilesAreMediaThatCannotBeRead) {
    // A playlist whose 300 segments hold tables but no stream data: reading
    // the streams' parameters goes on from segment to segment until the
    // limit on files opened stops it.
    const std::string dir = std::string(MEDIA_FIXTURE_DIR) + "/../mprobe-failures";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(qztest::writeFile(dir + "/tables.ts",
                                  qztest::readFile(fixtures().at("ts")).substr(0, 3 * 188)));
    std::string playlist = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n";
    for (int i = 0; i < 300; ++i) playlist += "#EXTINF:0.01,\ntables.ts\n";
    ASSERT_TRUE(qztest::writeFile(dir + "/tables.m3u8", playlist + "#EXT-X-ENDLIST\n"));
    const std::string limit =
        "probe stopped at more than 256 files to open: Immediate exit requested";
    const std::string demuxer =
        "mov,mp4,m4a,3gp,3g2,mj2 demuxer: Invalid data found when processing input";
    const struct {
        std::string path, error, errorText;
    } cases[] = {
        {fixtures().at("mp4_truncated"), "not a readable media file (" + demuxer + ")", demuxer},
        {fixtures().at("empty"), "not a media file", "Invalid data found when processing input"},
        {dir + "/tables.m3u8",
         "not a readable media file (hls container; its streams cannot be read: " + limit + ")",
         limit},
    };
    std::string paths, err;
    for (const auto &c : cases) {
        paths += " " + shellQuoted(c.path);
        err += "mprobe: " + c.path + ": " + c.error + "\n";
    }
    ProcessResult run = mprobe("-j 1" + paths);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, err + "mprobe: 3 of 3 files not described: 1 " + cases[0].error + ", 1 " +
                           cases[1].error + ", 1 " + cases[2].error + "\n");
    std::istringstream lines(mprobe("--json-lines" + paths).out);
    std::string line;
    for (const auto &c : cases) {
        ASSERT_TRUE(std::getline(lines, line)) << c.path;
        const json object = json::parse(line);
        EXPECT_EQ(object["result"], 1) << c.path;
        EXPECT_EQ(object["error"], c.error);
        EXPECT_EQ(object["error_text"], c.errorText);
    }
}

TEST(Mprobe, NamedNotesSayWhichFileAndStream) {
    ProcessResult run = mprobe("--name-notes " + shellQuoted(fixtures().at("mkv")) + " " +
                               shellQuoted(fixtures().at("h264_ntsc")));
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "mprobe: " + fixtures().at("mkv") +
                           ": subtitle stream 2 not described\nmprobe: " + fixtures().at("mkv") +
                           ": attachment stream 3 not described\nmprobe: " +
                           fixtures().at("h264_ntsc") + ": data stream 2 not described\n");
}

// A list of paths on standard input or in a file, NUL- or newline-separated;
// a name holding a newline only survives the NUL-separated form.
TEST(Mprobe, ReadsThePathsToProbeFromAList) {
    const std::string dir = std::string(MEDIA_FIXTURE_DIR) + "/../mprobe-list";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string odd = dir + "/two\nlines.mp4";
    std::filesystem::create_symlink(fixtures().at("mp4"), odd);
    const std::vector<std::string> paths = {fixtures().at("wav"), odd, fixtures().at("ts")};
    std::string nul, newline;
    for (const auto &p : paths) nul += p + '\0';
    for (const auto &p : {fixtures().at("wav"), fixtures().at("ts")}) newline += p + "\n\n";
    ASSERT_TRUE(qztest::writeFile(dir + "/nul.list", nul));
    ASSERT_TRUE(qztest::writeFile(dir + "/lines.list", newline));
    const struct {
        std::string args;
        std::vector<std::string> files;
    } cases[] = {
        {"-0 --files-from - --json-lines -j 2 < " + shellQuoted(dir + "/nul.list"), paths},
        {"--null --files-from " + shellQuoted(dir + "/nul.list") + " --json-lines -j 1", paths},
        {"--files-from " + shellQuoted(dir + "/lines.list") + " --json-lines " +
             shellQuoted(fixtures().at("mkv")),
         {fixtures().at("mkv"), fixtures().at("wav"), fixtures().at("ts")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        ProcessResult run = mprobe(c.args);
        EXPECT_EQ(run.status, 0) << run.err;
        std::istringstream lines(run.out);
        std::vector<std::string> names;
        for (std::string line; std::getline(lines, line);) {
            names.push_back(json::parse(line)["filename"]);
        }
        EXPECT_EQ(names, c.files);
    }
    // Any number of paths: they are read as probing goes.
    std::string many;
    for (int i = 0; i < 100000; ++i) many += dir + "/missing-" + std::to_string(i) + '\0';
    ASSERT_TRUE(qztest::writeFile(dir + "/many.list", many));
    ProcessResult run =
        mprobe("-0 --files-from - --json-lines < " + shellQuoted(dir + "/many.list"));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 100000);
    EXPECT_NE(run.err.find("mprobe: 100000 of 100000 files not described: 100000 not found\n"),
              std::string::npos);
    EXPECT_EQ(mprobe("--files-from " + shellQuoted(dir + "/none.list")).status, 2);
}

// A crafted file name or tag cannot forge lines or send escape sequences to
// a terminal: the text shows their control characters escaped.
TEST(Mprobe, TextShowsControlCharactersEscaped) {
    const std::string dir = std::string(MEDIA_FIXTURE_DIR) + "/../mprobe-escape";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string tagged =
        media_fixtures::makeWithFfmpeg(dir,
                                       {"-i", fixtures().at("h264_only"), "-c", "copy", "-metadata",
                                        "title=evil\nmprobe: forged\x1b[2J"},
                                       "tagged.mp4");
    const std::string named = dir + "/x\n  size       1 bytes\x1b[31m.mp4";
    std::filesystem::create_symlink(tagged, named);
    const std::string missing = dir + "/gone\r\x07.mp4";
    ProcessResult run = mprobe("-l " + shellQuoted(named) + " " + shellQuoted(missing));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(run.out.rfind(dir + "/x\\n  size       1 bytes\\x1b[31m.mp4\n", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("    title" + std::string(15, ' ') + "evil\\nmprobe: forged\\x1b[2J\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.err, "mprobe: " + dir +
                           "/gone\\r\\x07.mp4: not found\n"
                           "mprobe: 1 of 2 files not described: 1 not found\n");
    ProcessResult summary = mprobe(shellQuoted(named));
    EXPECT_EQ(summary.out.rfind(dir + "/x\\n  size       1 bytes\\x1b[31m.mp4\n", 0), 0u);
    // JSON carries the texts as they are, in its own escapes.
    json j = json::parse(mprobe("--json-lines " + shellQuoted(named)).out);
    EXPECT_EQ(j["filename"], named);
    EXPECT_EQ(j["tags"]["title"], "evil\nmprobe: forged\x1b[2J");
}

}  // namespace
