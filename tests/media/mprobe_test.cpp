// The mprobe tool run as a user runs it, on the fixtures: its JSON against the
// library's own description, its text blocks, its failures and exit status.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "hdr_fixtures.h"
#include "scan_fixtures.h"
#include "media_fixtures.h"
#include "media_probe.h"
#include "mprobe_options.h"
#include "process.h"

#if defined(__SANITIZE_ADDRESS__)
#define MPROBE_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MPROBE_TEST_ASAN 1
#endif
#endif

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

// --record: the block of the library's original fields, with its notes.
TEST(Mprobe, RecordPrintsOneReadableBlockPerFile) {
    ProcessResult run = mprobe("--record " + shellQuoted(fixtures().at("mp4")) + " " +
                               shellQuoted(fixtures().at("mkv")));
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
    // A line of a newline-separated list names no path past a NUL byte, and
    // the path before it was not asked for.
    const std::string lists = dir + "/../mprobe-nul-line";
    std::filesystem::create_directories(lists);
    const std::string nulLine = fixtures().at("mp4") + std::string(1, '\0') + "x.mkv";
    ASSERT_TRUE(qztest::writeFile(lists + "/nul.list", nulLine + "\n"));
    const std::string nulError = "not a path (a NUL byte in the list line)";
    const struct {
        std::string args;
        int status;
        std::string err;
        bool described;  // standard output describes mp4
    } cases[] = {
        {shellQuoted(dir + "/missing.mp4"), 1, "mprobe: " + dir + "/missing.mp4: not found\n",
         false},
        {shellQuoted(fixtures().at("random")), 1,
         "mprobe: " + fixtures().at("random") + ": not a media file\n", false},
        {shellQuoted(fixtures().at("empty")) + " " + shellQuoted(fixtures().at("mp4")), 1,
         "mprobe: " + fixtures().at("empty") +
             ": not a media file\nmprobe: 1 of 2 files not described: 1 not a media file\n",
         true},
        {"--files-from " + shellQuoted(lists + "/nul.list"), 1,
         "mprobe: " + fixtures().at("mp4") + "\\x00x.mkv: " + nulError + "\n", false},
        {"", 2, usage, false},
        {"--frobnicate x", 2, "mprobe: unknown option --frobnicate\n" + usage, false},
        {"-j 0 x", 2, "mprobe: -j needs a number of threads from 1 to 1024, not 0\n" + usage,
         false},
    };
    for (const auto &c : cases) {
        ProcessResult run = mprobe(c.args);
        EXPECT_EQ(run.status, c.status) << c.args;
        EXPECT_EQ(run.err, c.err) << c.args;
        EXPECT_EQ(run.out.find(fixtures().at("mp4") + ": mov,mp4") != std::string::npos,
                  c.described)
            << c.args;
    }
    ProcessResult run = mprobe("--json " + shellQuoted(dir + "/missing.mp4") + " " +
                               shellQuoted(fixtures().at("wav")));
    EXPECT_EQ(run.status, 1);
    json all = json::parse(run.out);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0]["result"], -2);
    EXPECT_EQ(all[0]["error"], "not found");
    EXPECT_EQ(all[1]["container_name"], "wav");
    run = mprobe("--json-lines --files-from " + shellQuoted(lists + "/nul.list"));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(
        nlohmann::ordered_json::parse(run.out),
        nlohmann::ordered_json(
            {{"filename", nulLine}, {"result", -2}, {"error", nulError}, {"error_text", nullptr}}));
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
    // The failures on standard error, in input order, and the count at the
    // end; no notes on the streams the library does not describe (every
    // output describes them).
    auto expectedErr = [](const std::vector<std::string> &files) {
        std::string err;
        size_t failed = 0;
        for (const auto &f : files) {
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
    ProcessResult text = mprobe("--record -r -j 2 " + root);
    size_t blocks = 0;
    for (size_t at = text.out.find("\n  size "); at != std::string::npos;
         at = text.out.find("\n  size ", at + 1)) {
        ++blocks;
    }
    EXPECT_EQ(blocks, library.all.size() - 6);  // all but the random and empty files
    EXPECT_EQ(text.out.find("codec type"), std::string::npos);
    // The view: each described file's line, in input order.
    ProcessResult view = mprobe("-r -j 2 " + root);
    std::vector<std::string> described, viewed;
    for (const auto &f : library.all) {
        if (f.find("-random") == std::string::npos && f.find("-empty") == std::string::npos) {
            described.push_back(f);
        }
    }
    std::istringstream lines(view.out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != ' ') viewed.push_back(line.substr(0, line.find(": ")));
    }
    EXPECT_EQ(viewed, described);
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
    "filename",         "result",           "file_size",     "container_name", "duration",
    "bit_rate",         "mime_type",        "mime_type_str", "video",          "audio",
    "subtitle",         "format_long_name", "stream_count",  "duration_us",    "start_time_us",
    "total_bit_rate",   "chapter_count",    "tag_count",     "tags",           "other",
    "error_text",       "chapters",         "program_count", "programs",       "duration_estimate",
    "scan_duration_us", "probe_score"};
// The keys of a text that lists them separated by spaces.
std::vector<std::string> keyList(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> keys;
    for (std::string key; in >> key;) keys.push_back(key);
    return keys;
}
const std::vector<std::string> kVideoKeys = keyList(
    "codec_name width height fps bit_rate duration spspps_len spspps entry_count "
    "entries stream_index codec_id_name codec_tag profile level pix_fmt "
    "bits_per_raw_sample time_base_num time_base_den start_time duration_ts "
    "frame_count avg_frame_rate_num avg_frame_rate_den r_frame_rate_num "
    "r_frame_rate_den sar_num sar_den dar_num dar_den field_order color_range "
    "color_space color_transfer color_primaries rotation disposition tag_count tags "
    "stream_id side_data_count side_data_types mastering_display content_light dovi "
    "hdr10plus hdr_format scan has_b_frames chroma_location bit_rate_full "
    "raw_side_data_count raw_side_data coded_width coded_height is_avc "
    "nal_length_size");
const std::vector<std::string> kAudioKeys = keyList(
    "codec_name sample_rate channels bit_rate duration entry_count entries "
    "stream_index codec_id_name codec_tag profile sample_fmt channel_layout "
    "bits_per_sample bits_per_raw_sample time_base_num time_base_den start_time "
    "duration_ts frame_count disposition tag_count tags stream_id side_data_count "
    "side_data_types scan bit_rate_full extradata_size r_frame_rate_num "
    "r_frame_rate_den avg_frame_rate_num avg_frame_rate_den raw_side_data_count "
    "raw_side_data");
const std::vector<std::string> kOtherKeys = keyList(
    "kind stream_index codec_id_name codec_tag time_base_num time_base_den "
    "start_time duration_ts disposition tag_count tags stream_id side_data_count "
    "side_data_types scan bit_rate_full extradata_size r_frame_rate_num "
    "r_frame_rate_den avg_frame_rate_num avg_frame_rate_den raw_side_data_count "
    "raw_side_data profile frame_count bits_per_raw_sample width height");

std::vector<std::string> keysOf(const nlohmann::ordered_json &object) {
    std::vector<std::string> keys;
    for (const auto &item : object.items()) keys.push_back(item.key());
    return keys;
}

TEST(Mprobe, JsonHoldsEveryRecordFieldUnderItsNameWithUnknownsAsNull) {
    for (const char *name : {"h264_ntsc", "mkv_tracks", "mp3_long", "ts_interlaced", "wav",
                             "mkv_hdr10_no_sei", "ts_programs"}) {
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
        {"h264_ntsc", "/video/0/stream_id", 1},
        {"h264_ntsc", "/video/0/side_data_types", json::array()},
        {"h264_ntsc", "/video/0/mastering_display", nullptr},
        {"h264_ntsc", "/video/0/hdr_format", nullptr},
        {"h264_ntsc", "/programs", json::array()},
        {"h264_ntsc", "/duration_estimate", "stream"},
        {"mkv_tracks", "/video/0/stream_id", nullptr},
        {"mkv_tracks", "/chapters/1/title", "Two"},
        {"mkv_tracks", "/chapters/1/end", 200000000},
        {"mkv_tracks", "/chapters/0/tags", {{"title", "One"}}},
        {"mkv_hdr10_no_sei", "/video/0/side_data_types/1", "Mastering display metadata"},
        {"mkv_hdr10_no_sei", "/video/0/mastering_display/max_luminance", 1000.0},
        {"mkv_hdr10_no_sei", "/video/0/mastering_display/has_luminance", 1},
        {"mkv_hdr10_no_sei", "/video/0/mastering_display/source", "container"},
        {"mkv_hdr10_no_sei",
         "/video/0/content_light",
         {{"max_cll", 1000}, {"max_fall", 400}, {"source", "container"}}},
        {"mkv_hdr10_no_sei", "/video/0/dovi", nullptr},
        {"mkv_hdr10_no_sei", "/video/0/hdr10plus", 0},
        {"mkv_hdr10_no_sei", "/video/0/hdr_format", "HDR10"},
        {"hevc_dovi", "/video/0/dovi/profile", 8},
        {"hevc_dovi", "/video/0/hdr_format", "Dolby Vision 8.1 (HDR10 compatible)"},
        {"ts_programs", "/program_count", 2},
        {"ts_programs", "/programs/1/stream_indexes", {2, 3}},
        {"ts_programs", "/programs/0/tags/service_name", "First"},
        {"ts_programs", "/programs/0/pcr_pid", 257},
        {"ts_programs", "/audio/1/stream_id", 514},
        {"ts_programs", "/duration_estimate", "pts"},
        {"mp3_vbr", "/duration_estimate", "bit rate"},
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
        {"mkv_tracks", "\n  chapter 1  Two\n    id                  2\n", true},
        {"mkv_tracks",
         "    start               0.1 s (100000000 ticks of 1/1000000000 s)\n"
         "    end                 0.2 s (200000000 ticks of 1/1000000000 s)\n"
         "    title               Two\n",
         true},
        {"mkv_tracks", "stream id", false},  // Matroska gives its streams no ids
        {"mkv_tracks", "HDR", false},
        {"mkv_hdr10_no_sei",
         "    side data           Content light level metadata\n"
         "    side data           Mastering display metadata\n"
         "    mastering display\n"
         "      red               0.68, 0.32\n"
         "      green             0.265, 0.69\n"
         "      blue              0.15, 0.06\n"
         "      white point       0.3127, 0.329\n"
         "      luminance         0.0001 to 1000 cd/m2\n"
         "      source            container\n"
         "    content light\n"
         "      MaxCLL            1000 cd/m2\n"
         "      MaxFALL           400 cd/m2\n"
         "      source            container\n"
         "    HDR format          HDR10\n",
         true},
        {"hevc_dovi",
         "    Dolby Vision\n"
         "      version           1.0\n"
         "      profile.level     8.4\n"
         "      RPU present       yes\n"
         "      EL present        no\n"
         "      BL present        yes\n"
         "      BL compatibility  1\n"
         "    HDR format          Dolby Vision 8.1 (HDR10 compatible)\n",
         true},
        {"hevc_dovi", "    stream id           1 (0x1)\n", true},
        {"ts_programs", "  programs              2\n", true},
        {"ts_programs", "  duration from         pts\n", true},
        {"ts_programs", "    stream id           513 (0x201)\n", true},
        {"ts_programs",
         "  program 10  First\n"
         "    program id          10\n"
         "    program number      10\n"
         "    PMT PID             4096 (0x1000)\n"
         "    PCR PID             257 (0x101)\n"
         "    stream              0\n"
         "    stream              1\n"
         "    tags\n"
         "      service_name      First\n"
         "      service_provider  Probe tests\n",
         true},
        {"mp3_vbr", "  duration from         bit rate\n", true},
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

TEST(Mprobe, RecordShowsALongStreamsFullDurationNotItsWrapped32Bits) {
    ProcessResult run = mprobe("--record " + shellQuoted(fixtures().at("mp3_long")));
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

// The library's notes on the streams it does not describe as video or audio:
// left out in every output form, which all describe those streams, except
// under --record, which keeps the library's own lines; named whatever the
// form with --name-notes.
TEST(Mprobe, NotesAreLeftOutUnlessNamedOrTheRecordIsAsked) {
    const std::string mkv = fixtures().at("mkv"), ntsc = fixtures().at("h264_ntsc");
    const std::string named = "mprobe: " + mkv + ": subtitle stream 2 not described\n" +
                              "mprobe: " + mkv + ": attachment stream 3 not described\n" +
                              "mprobe: " + ntsc + ": data stream 2 not described\n";
    const std::string library =
        "================== \ncodec type subtitle \n================== \ncodec type unknown \n"
        "================== \ncodec type unknown \n";
    const struct {
        std::string options, err;
    } cases[] = {
        {"", ""},
        {"-l", ""},
        {"--json", ""},
        {"--json-lines", ""},
        {"--record", library},
        {"--name-notes", named},
        {"--name-notes -l", named},
        {"--name-notes --json", named},
        {"--name-notes --json-lines", named},
        {"--record --name-notes", named},
    };
    for (const auto &c : cases) {
        ProcessResult run =
            mprobe(c.options + " -j 2 " + shellQuoted(mkv) + " " + shellQuoted(ntsc));
        EXPECT_EQ(run.status, 0) << c.options;
        EXPECT_EQ(run.err, c.err) << c.options;
    }
}

// `text` as a regular expression matching itself, but for the placeholders
// {rate} (a bit rate), {size} (a size in bytes) and {time} (h:mm:ss.fff).
std::string viewPattern(const std::string &text) {
    static const std::pair<std::string, std::string> kHoles[] = {
        {"{rate}", "\\d+ (kb|bit)/s"},
        {"{size}", "\\d+ bytes"},
        {"{time}", "\\d+:\\d\\d:\\d\\d\\.\\d\\d\\d"},
    };
    static const std::string kSpecial = "\\^$.|?*+()[]{}";
    std::string pattern;
    for (size_t at = 0; at < text.size();) {
        size_t next = std::string::npos;
        const std::pair<std::string, std::string> *hole = nullptr;
        for (const auto &h : kHoles) {
            const size_t found = text.find(h.first, at);
            if (found < next) {
                next = found;
                hole = &h;
            }
        }
        for (size_t i = at; i < std::min(next, text.size()); ++i) {
            if (kSpecial.find(text[i]) != std::string::npos) pattern += '\\';
            pattern += text[i];
        }
        if (!hole) break;
        pattern += hole->second;
        at = next + hole->first.size();
    }
    return pattern;
}

// The default view of files of every kind: each row the whole output for one
// file after its name, exact but for what follows the encoders (bit rates,
// sizes, a duration estimated from them).
TEST(Mprobe, ViewDescribesEveryStreamChapterAndProgramOnALine) {
    const auto hdr = hdr_fixtures::generateHdrFixtures(MEDIA_FIXTURE_DIR);
    const struct {
        const char *fixture;
        std::string view;
    } cases[] = {
        {"h264_ntsc",
         ": mov,mp4,m4a,3gp,3g2,mj2, 0:00:00.501, {rate}, {size}, title \"Test title\"\n"
         "  #0[0x1] video: h264 (High, level 1.1), yuv420p(tv, bt709, progressive), "
         "160x120 [SAR 1:1 DAR 4:3], 29.97 fps, {rate} (default)\n"
         "  #1[0x2] audio: aac (LC), 44100 Hz, mono, fltp, {rate} (default)\n"
         "  #2[0x3](eng) data: unknown codec (tmcd)\n"},
        {"hdr10_mkv",
         ": matroska,webm, 0:00:00.400, {rate}, {size}\n"
         "  #0 video: hevc (Main 10, level 1.0), yuv420p10le(tv, bt2020nc/bt2020/smpte2084), "
         "160x120 [SAR 1:1 DAR 4:3], 25 fps, HDR10 (default)\n"},
        {"dovi_mp4",
         ": mov,mp4,m4a,3gp,3g2,mj2, 0:00:00.400, {rate}, {size}\n"
         "  #0[0x1] video: hevc (Main 10, level 1.0), yuv420p10le(tv, bt2020nc/bt2020/smpte2084), "
         "160x120 [SAR 1:1 DAR 4:3], 25 fps, Dolby Vision 8.1 (HDR10 compatible), {rate} "
         "(default)\n"},
        {"ts_programs",
         ": mpegts, 0:00:00.410, {rate}, {size}\n"
         "  #0[0x101] video: mpeg2video (Main, level Main), yuv420p(tv, progressive), "
         "64x48 [SAR 1:1 DAR 4:3], 25 fps\n"
         "  #1[0x102] audio: mp2, 48000 Hz, mono, fltp, {rate}\n"
         "  #2[0x201] video: mpeg2video (Main, level Main), yuv420p(tv, progressive), "
         "64x48 [SAR 1:1 DAR 4:3], 25 fps\n"
         "  #3[0x202] audio: mp2, 48000 Hz, mono, s16p, {rate}\n"
         "  program 10 (id 10): PMT PID 0x1000, PCR PID 0x101, service \"First\", "
         "provider \"Probe tests\", streams #0 #1\n"
         "  program 20 (id 20): PMT PID 0x1001, PCR PID 0x201, service \"Second\", "
         "provider \"FFmpeg\", streams #2 #3\n"},
        {"ts_interlaced",
         ": mpegts, 0:00:00.200, {rate}, {size}\n"
         "  #0[0x100] video: mpeg2video (Main, level Main), yuv420p(tv, top first), "
         "160x120 [SAR 4:3 DAR 16:9], 25 fps\n"
         "  program 1 (id 1): PMT PID 0x1000, PCR PID 0x100, service \"Service01\", "
         "provider \"FFmpeg\", streams #0\n"},
        {"mkv_tracks",
         ": matroska,webm, 0:00:00.521, {rate}, {size}, title \"Chaptered\"\n"
         "  #0 video: h264 (High 4:4:4 Predictive, level 1.0), yuv444p(tv, progressive), "
         "64x48 [SAR 1:1 DAR 4:3], 25 fps\n"
         "  #1(eng) audio: flac, 48000 Hz, 5.1(side), s16, title \"Surround\" (default)\n"
         "  #2(fra) audio: aac (LC), 48000 Hz, mono, fltp, title \"Commentaire\"\n"
         "  #3(eng) subtitle: subrip\n"
         "  #4 attachment: ttf, file \"font.ttf\"\n"
         "  chapter 0: 0:00:00.000 to 0:00:00.100, title \"One\"\n"
         "  chapter 1: 0:00:00.100 to 0:00:00.200, title \"Two\"\n"},
        {"mkv_chapters",
         ": matroska,webm, 0:00:00.200, {rate}, {size}\n"
         "  #0 video: h264 (High 4:4:4 Predictive, level 1.0), yuv444p(progressive), "
         "64x48 [SAR 1:1 DAR 4:3], 25 fps (default)\n"
         "  chapter 0: 0:00:00.000 to 0:00:00.120, title \"Opening\"\n"
         "  chapter 1: 0:00:00.120 to 0:00:00.200, title \"Ending\"\n"},
        {"mp4_chapters",
         ": mov,mp4,m4a,3gp,3g2,mj2, 0:00:00.200, {rate}, {size}, title \"Chaptered\"\n"
         "  #0[0x1] video: h264 (High 4:4:4 Predictive, level 1.0), yuv444p(progressive), "
         "64x48 [SAR 1:1 DAR 4:3], 25 fps, {rate} (default)\n"
         "  #1[0x2](eng) data: bin_data\n"
         "  chapter 0: 0:00:00.000 to 0:00:00.100, title \"One\"\n"
         "  chapter 1: 0:00:00.100 to 0:00:00.200, title \"Two\"\n"},
        {"mp3_cover",
         ": mp3, 0:00:01.045, {rate}, {size}\n"
         "  #0 audio: mp3, 44100 Hz, mono, fltp, {rate}\n"
         "  #1 cover art: png, rgb24(pc), 64x48 [SAR 1:1 DAR 4:3], title \"Front\"\n"},
        {"mp3_vbr",
         ": mp3, {time}, {rate}, {size}\n"
         "  #0 audio: mp3, 44100 Hz, mono, fltp, {rate}\n"
         "  duration estimated from the bit rate (inexact)\n"},
        {"mp3_long",
         ": mp3, 0:04:00.192, {rate}, {size}\n"
         "  #0 audio: mp3, 8000 Hz, mono, fltp, {rate}\n"},
        {"wav",
         ": wav, 0:00:01.000, {rate}, {size}\n"
         "  #0 audio: pcm_s16le, 8000 Hz, 1 channel, s16, {rate}\n"},
        {"flv",
         ": flv, 0:00:01.023, {rate}, {size}\n"
         "  #0 audio: aac (LC), 44100 Hz, mono, fltp, {rate}\n"
         "  #1 video: flv1, yuv420p, 160x120, 25 fps, {rate}\n"},
        {"wmv",
         ": asf, 0:00:01.092, {rate}, {size}\n"
         "  #0 video: wmv2, yuv420p, 160x120 [SAR 1:1 DAR 4:3], 25 fps\n"
         "  #1 audio: wmav2, 44100 Hz, 1 channel, fltp, {rate}\n"},
        {"rotated",
         ": mov,mp4,m4a,3gp,3g2,mj2, 0:00:01.000, {rate}, {size}\n"
         "  #0[0x1] video: h264 (High 4:4:4 Predictive, level 1.1), yuv444p(progressive), "
         "160x120 [SAR 1:1 DAR 4:3], 25 fps, {rate}, rotation 90 (default)\n"},
    };
    for (const auto &c : cases) {
        const std::string path =
            fixtures().count(c.fixture) ? fixtures().at(c.fixture) : hdr.at(c.fixture);
        ProcessResult run = mprobe(shellQuoted(path));
        ASSERT_EQ(run.status, 0) << c.fixture << ": " << run.err;
        EXPECT_EQ(run.err, "") << c.fixture;
        EXPECT_TRUE(run.out.rfind(path + ": ", 0) == 0 &&
                    std::regex_match(run.out.substr(path.size()), std::regex(viewPattern(c.view))))
            << c.fixture << ":\n"
            << run.out;
        // None of the original fields' quirks: no truncated rate, no ticks.
        EXPECT_EQ(run.out.find("90000 fps"), std::string::npos) << c.fixture;
        EXPECT_EQ(run.out.find("unknown,"), std::string::npos) << c.fixture;
    }
    // Files are separated by an empty line.
    ProcessResult two =
        mprobe(shellQuoted(fixtures().at("wav")) + " " + shellQuoted(fixtures().at("wav")));
    const std::string one = mprobe(shellQuoted(fixtures().at("wav"))).out;
    EXPECT_EQ(two.out, one + "\n" + one);
}

// With --scan, each stream's line is followed by what reading every packet
// found, and the file's line gives the length the packets give where the
// container says another or none; JSON carries each stream's scan, its
// keyframes an index that --no-index leaves out.
TEST(Mprobe, ScanShowsTheCountedFactsBelowEachStream) {
    const auto scanned = media_fixtures::generateScanFixtures(MEDIA_FIXTURE_DIR);
    const struct {
        const char *fixture;
        std::string view;
    } cases[] = {
        {"vfr_mkvmerge",
         ": matroska,webm, 0:00:03.673, {rate}, {size}\n"
         "  #0 video: h264 (High 4:4:4 Predictive, level 1.1), yuv444p(progressive), "
         "160x120 [SAR 1:1 DAR 4:3], 25 fps (default)\n"
         "      scanned: 100 frames, 4 keyframes, variable frame rate 25 to 30.303 fps, "
         "longest GOP 25, {size}, {rate}, 0:00:03.673\n"},
        {"ntsc_mkv",
         ": matroska,webm, 0:00:03.003, {rate}, {size}\n"
         "  #0 video: h264 (High 4:4:4 Predictive, level 1.1), yuv444p(tv, progressive), "
         "160x120 [SAR 1:1 DAR 4:3], 29.97 fps\n"
         "      scanned: 90 frames, 1 keyframe, constant frame rate 29.97 fps, longest GOP 90, "
         "{size}, {rate}, 0:00:03.003\n"},
        {"webm_live",
         ": matroska,webm, scanned 0:00:02.000, {size}\n"
         "  #0(eng) video: vp8 (0), yuv420p(tv, smpte170m, progressive), 160x120 [SAR 1:1 DAR "
         "4:3], 30 fps, title \"Video\" (default)\n"
         "      scanned: 60 frames, 1 keyframe, constant frame rate 30 fps, longest GOP 60, "
         "{size}, {rate}, 0:00:02.000\n"},
        {"mp3_no_xing",
         ": mp3, {time} (scanned 0:00:10.031), {rate}, {size}\n"
         "  #0 audio: mp3, 44100 Hz, mono, fltp, {rate}\n"
         "      scanned: 384 packets, {size}, {rate}, 0:00:10.031\n"
         "  duration estimated from the bit rate (inexact)\n"},
    };
    for (const auto &c : cases) {
        const std::string &path = scanned.at(c.fixture);
        ProcessResult run = mprobe("--scan " + shellQuoted(path));
        ASSERT_EQ(run.status, 0) << c.fixture << ": " << run.err;
        EXPECT_TRUE(run.out.rfind(path + ": ", 0) == 0 &&
                    std::regex_match(run.out.substr(path.size()), std::regex(viewPattern(c.view))))
            << c.fixture << ":\n"
            << run.out;
        // Without --scan, no scanned line and no scanned length.
        EXPECT_EQ(mprobe(shellQuoted(path)).out.find("scanned"), std::string::npos);
    }

    // JSON: the library's scan of the file, keyframe by keyframe.
    const std::string &mkv = scanned.at("mkv_mkvmerge");
    MediaContext *context = create_media_context();
    ASSERT_EQ(media_probe_file(context, mkv.c_str(), MEDIA_PROBE_SCAN), 0);
    const MediaScan &video = *context->video->scan;
    const json full = json::parse(mprobe("--scan --json-lines " + shellQuoted(mkv)).out);
    const json &scan = full["video"][0]["scan"];
    EXPECT_EQ(scan["packets"], video.packets);
    EXPECT_EQ(scan["key_packets"], video.key_packets);
    EXPECT_EQ(scan["bytes"], video.bytes);
    EXPECT_EQ(scan["duration_ts"], video.duration_ts);
    EXPECT_EQ(scan["gop_max"], video.gop_max);
    EXPECT_EQ(full["scan_duration_us"], context->scan_duration_us);
    ASSERT_EQ(scan["keyframes"].size(), static_cast<size_t>(video.keyframe_count));
    for (int64_t i = 0; i < video.keyframe_count; ++i) {
        EXPECT_EQ(scan["keyframes"][i]["pos"], video.keyframes[i].pos);
        EXPECT_EQ(scan["keyframes"][i]["timestamp"], video.keyframes[i].timestamp);
    }
    EXPECT_GT(video.keyframe_count, 3) << "more keyframes than the file's cues list";
    free_media_context(context);
    const json bare = json::parse(mprobe("--scan --no-index --json-lines " + shellQuoted(mkv)).out);
    EXPECT_FALSE(bare["video"][0]["scan"].contains("keyframes"));
    EXPECT_EQ(bare["video"][0]["scan"]["keyframe_count"], scan["keyframe_count"]);
    EXPECT_TRUE(json::parse(mprobe("--json-lines " + shellQuoted(mkv)).out)["video"][0]["scan"]
                    .is_null());
}

// Two output forms, or -0 without a list, are refused before anything is
// probed: status 2, the conflict named, the usage line.
TEST(Mprobe, RefusesConflictingOptionsAsUsageErrors) {
    const std::string usage = "usage: mprobe [--json | --json-lines] [-r] [-j N] PATH...\n";
    const std::string together = " cannot be used together: choose one output form";
    const std::string needsList =
        " needs --files-from: it says how the paths of that list are separated";
    const struct {
        std::string options, message;
    } cases[] = {
        {"-l --json", "-l and --json" + together},
        {"--json -l", "--json and -l" + together},
        {"--long --json-lines", "--long and --json-lines" + together},
        {"-l --record", "-l and --record" + together},
        {"--json --json-lines", "--json and --json-lines" + together},
        {"--json-lines --json", "--json-lines and --json" + together},
        {"--json --record", "--json and --record" + together},
        {"--record --json-lines", "--record and --json-lines" + together},
        {"--record --long", "--record and --long" + together},
        {"-rl --record", "-l and --record" + together},
        {"--json --json -l", "--json and -l" + together},
        {"-0", "-0" + needsList},
        {"--null --json", "--null" + needsList},
        {"-r0", "-0" + needsList},
        {"--record --scan", "--record and --scan cannot be used together: the original record "
                            "holds no scan"},
        {"--scan --record", "--record and --scan cannot be used together: the original record "
                            "holds no scan"},
        {"--ffprobe-json --json", "--ffprobe-json and --json" + together},
        {"--scan --ffprobe-json", "--ffprobe-json and --scan cannot be used together: ffprobe's "
                                  "document holds no scan"},
    };
    const std::string clip = shellQuoted(fixtures().at("mp4"));
    for (const auto &c : cases) {
        ProcessResult run = mprobe(c.options + " " + clip + " " + shellQuoted("missing.mp4"));
        EXPECT_EQ(run.status, 2) << c.options;
        EXPECT_EQ(run.err, "mprobe: " + c.message + "\n" + usage) << c.options;
        EXPECT_EQ(run.out, "") << c.options;  // nothing probed
    }
    // One form named twice, or in both its spellings, is one form.
    for (const char *options : {"--json --json", "-l --long", "--record --record", "-0 --null"}) {
        const std::string list =
            std::string(options).find('0') != std::string::npos ? " --files-from /dev/null " : " ";
        ProcessResult run = mprobe(options + list + clip);
        EXPECT_EQ(run.status, 0) << options << ": " << run.err;
        EXPECT_NE(run.out, "") << options;
    }
}

// --help names every option of the parser's table, each at the start of its
// line, and no option the table does not have.
TEST(Mprobe, HelpListsEveryOption) {
    ProcessResult run = mprobe("--help");
    ASSERT_EQ(run.status, 0);
    std::set<std::string> known;
    for (const MprobeOption &o : kMprobeOptions) {
        const std::string name = std::string("--") + o.name;
        known.insert(name);
        const std::string head = mprobeHasShortName(o)
                                     ? std::string("  -") + static_cast<char>(o.code) + ", " + name
                                     : "      " + name;
        const std::regex line("(^|\n)" + viewPattern(head) + "[ \n]");
        EXPECT_TRUE(std::regex_search(run.out, line)) << name << "\n" << run.out;
    }
    const std::regex option("--[a-z0-9-]+");
    for (auto it = std::sregex_iterator(run.out.begin(), run.out.end(), option);
         it != std::sregex_iterator(); ++it) {
        EXPECT_TRUE(known.count(it->str())) << it->str();
    }
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

// One mprobe kept running as a worker: a program writes a path into its
// list, reads that path's line, and only then writes the next, a thousand
// times, described files and failures mixed, whatever the threads. Each
// answer is the line a run over the whole list prints for that path.
TEST(Mprobe, AnswersEachPathOfAListBeforeTheNextIsWritten) {
    const std::string dir = std::string(MEDIA_FIXTURE_DIR) + "/../mprobe-worker";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string odd = dir + "/two\nlines.mp4";
    std::filesystem::create_symlink(fixtures().at("mkv_tracks"), odd);
    const std::vector<std::string> lines = {
        fixtures().at("mp4"),
        fixtures().at("mkv_tracks"),
        dir + "/missing.mp4",
        fixtures().at("ts_programs"),
        fixtures().at("random"),
        fixtures().at("wav"),
        fixtures().at("mp3_cover"),
        fixtures().at("mp4_truncated"),
        dir,  // not a file: "cannot open: Is a directory"
        fixtures().at("empty"),
        fixtures().at("mp4") + std::string(1, '\0') + "x.mkv",  // names no path
    };
    const struct {
        std::vector<std::string> options;
        char delimiter;
        std::vector<std::string> paths;
    } runs[] = {
        {{"-j", "1"}, '\n', lines},
        {{"-j", "2"}, '\n', lines},
        {{"-j", "2", "-0"}, '\0', {fixtures().at("h264_ntsc"), odd, dir + "/missing.mp4"}},
    };
    constexpr int kAsked = 1000;
    for (const auto &r : runs) {
        std::string options;
        for (const std::string &o : r.options) options += " " + shellQuoted(o);
        SCOPED_TRACE(options);
        // What a run given every path at once prints for each.
        std::string list;
        for (const std::string &path : r.paths) list += path + r.delimiter;
        ASSERT_TRUE(qztest::writeFile(dir + "/all.list", list));
        ProcessResult all =
            mprobe("--json-lines --files-from " + shellQuoted(dir + "/all.list") + options);
        std::vector<std::string> expected;
        std::istringstream printed(all.out);
        for (std::string line; std::getline(printed, line);) expected.push_back(line);
        ASSERT_EQ(expected.size(), r.paths.size()) << all.err;

        std::vector<std::string> argv = {MPROBE, "--files-from", "-", "--json-lines"};
        argv.insert(argv.end(), r.options.begin(), r.options.end());
        qztest::Coprocess worker = qztest::startCoprocess(argv, dir + "/errors");
        ASSERT_GT(worker.pid, 0);
        size_t failures = 0;
        for (int i = 0; i < kAsked; ++i) {
            const size_t n = static_cast<size_t>(i) % r.paths.size();
            ASSERT_TRUE(qztest::writeTo(worker, r.paths[n] + r.delimiter)) << i;
            std::string answer;
            // Far longer than any of these probes takes on a loaded machine:
            // an answer held back for more input never comes.
            ASSERT_TRUE(qztest::readLine(worker, answer, 60000))
                << "no answer to path " << i << " (" << r.paths[n]
                << "), only: " << answer.substr(0, 200);
            ASSERT_EQ(answer, expected[n]) << i;
            failures += json::parse(answer)["result"] != 0;
        }
        const ProcessResult ended = qztest::finishCoprocess(worker);
        EXPECT_EQ(ended.status, 1);
        EXPECT_EQ(ended.out, "");
        const std::string errors = qztest::readFile(dir + "/errors");
        EXPECT_NE(errors.find("mprobe: " + std::to_string(failures) + " of " +
                              std::to_string(kAsked) + " files not described: "),
                  std::string::npos)
            << errors.substr(errors.size() > 500 ? errors.size() - 500 : 0);
    }
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
    ProcessResult summary = mprobe("--record " + shellQuoted(named));
    EXPECT_EQ(summary.out.rfind(dir + "/x\\n  size       1 bytes\\x1b[31m.mp4\n", 0), 0u);
    ProcessResult view = mprobe(shellQuoted(named));
    EXPECT_EQ(view.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(view.out.rfind(dir + "/x\\n  size       1 bytes\\x1b[31m.mp4: mov,mp4", 0), 0u)
        << view.out;
    EXPECT_NE(view.out.find(", title \"evil\\nmprobe: forged\\x1b[2J\"\n"), std::string::npos)
        << view.out;
    // JSON carries the texts as they are, in its own escapes.
    json j = json::parse(mprobe("--json-lines " + shellQuoted(named)).out);
    EXPECT_EQ(j["filename"], named);
    EXPECT_EQ(j["tags"]["title"], "evil\nmprobe: forged\x1b[2J");

    // A backslash is escaped too, so that a title holding a backslash and an
    // n reads otherwise than one holding a line end, and a name holding the
    // four characters \x07 otherwise than one holding a bell.
    const struct {
        std::string title, shown;
    } titles[] = {{"two\\nlines", "two\\\\nlines"}, {"two\nlines", "two\\nlines"}};
    for (const auto &t : titles) {
        const std::string file = media_fixtures::makeWithFfmpeg(
            dir, {"-i", fixtures().at("h264_only"), "-c", "copy", "-metadata", "title=" + t.title},
            std::string(t.title.find('\\') != std::string::npos ? "backslash" : "newline") +
                ".mp4");
        ProcessResult longText = mprobe("-l " + shellQuoted(file));
        EXPECT_NE(longText.out.find("    title" + std::string(15, ' ') + t.shown + "\n"),
                  std::string::npos)
            << longText.out;
    }
    const std::string backslashes = dir + "/c:\\gone\\x07\a.mp4";
    ProcessResult gone = mprobe(shellQuoted(backslashes));
    EXPECT_EQ(gone.err, "mprobe: " + dir + "/c:\\\\gone\\\\x07\\x07.mp4: not found\n");
}

// A name that is not UTF-8 reads in JSON with U+FFFD in place of the bytes it
// lost; "filename_bytes" right after it keeps the bytes, for the described
// files and the failures alike. Other names have no such key.
TEST(Mprobe, JsonKeepsTheBytesOfANameThatIsNotUtf8) {
    const std::string dir = std::string(MEDIA_FIXTURE_DIR) + "/../mprobe-bytes";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string clip = dir + "/\xff\xfe clip.mp4", notMedia = dir + "/\xff\xfe random";
    std::filesystem::create_symlink(fixtures().at("mp4"), clip);
    std::filesystem::create_symlink(fixtures().at("random"), notMedia);
    const std::string gone = dir + "/caf\xe9.mp4", utf8Gone = dir + "/caf\xc3\xa9.mp4";
    const struct {
        std::string path;
        int result;
        bool bytes;
    } cases[] = {{clip, 0, true}, {notMedia, 1, true}, {gone, -2, true}, {utf8Gone, -2, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        ProcessResult run = mprobe("--json-lines " + shellQuoted(c.path));
        const auto j = nlohmann::ordered_json::parse(run.out);
        std::vector<std::string> keys = keysOf(j);
        keys.resize(3);
        EXPECT_EQ(keys, (std::vector<std::string>{"filename", c.bytes ? "filename_bytes" : "result",
                                                  c.bytes ? "result" : "error"}));
        EXPECT_EQ(j["result"], c.result);
        if (c.bytes) {
            EXPECT_EQ(j["filename_bytes"], hex(reinterpret_cast<const uint8_t *>(c.path.data()),
                                               static_cast<int>(c.path.size())));
        }
        EXPECT_NE(j["filename"].get<std::string>().find(c.bytes ? "\xef\xbf\xbd" : "caf\xc3\xa9"),
                  std::string::npos);
    }
}

// Two tag keys that differ only in bytes that are not UTF-8 read the same
// in JSON: the key is written once, with the last value, where it first
// appeared, so that no object holds one key twice.
TEST(Mprobe, JsonWritesATagKeyOnceWhateverItsInvalidBytes) {
    const std::string dir = std::string(MEDIA_FIXTURE_DIR) + "/../mprobe-tag-keys";
    std::filesystem::create_directories(dir);
    const std::string audio = media_fixtures::makeWithFfmpeg(
        dir,
        {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=8000:duration=1", "-c:a",
         "libmp3lame", "-b:a", "8k", "-id3v2_version", "0", "-write_xing", "0"},
        "untagged.mp3");
    // An ID3v2.4 tag of TXXX frames declared UTF-8 (encoding 3), their
    // descriptions (the keys) in Latin-1.
    std::string frames;
    for (const auto &[key, value] : std::vector<std::pair<std::string, std::string>>{
             {"caf\xe9", "first"}, {"plain", "p"}, {"caf\xe8", "last"}}) {
        const std::string body = std::string(1, '\x03') + key + '\0' + value;
        frames += "TXXX" + std::string(3, '\0') + static_cast<char>(body.size()) +
                  std::string(2, '\0') + body;
    }
    const std::string tag = "ID3" + std::string{'\x04', '\0', '\0', '\0', '\0', '\0'} +
                            static_cast<char>(frames.size()) + frames;
    const std::string tagged = dir + "/tagged.mp3";
    ASSERT_TRUE(qztest::writeFile(tagged, tag + qztest::readFile(audio)));
    const std::string replaced = "caf\xef\xbf\xbd";
    for (const char *format : {"--json", "--json-lines"}) {
        SCOPED_TRACE(format);
        ProcessResult run = mprobe(std::string(format) + " " + shellQuoted(tagged));
        ASSERT_EQ(run.status, 0) << run.err;
        size_t count = 0;
        for (size_t at = run.out.find('"' + replaced + '"'); at != std::string::npos;
             at = run.out.find('"' + replaced + '"', at + 1)) {
            ++count;
        }
        EXPECT_EQ(count, 1u) << run.out;
        auto j = nlohmann::ordered_json::parse(run.out);
        if (j.is_array()) j = j[0];
        EXPECT_EQ(keysOf(j["tags"]), (std::vector<std::string>{replaced, "plain"}));
        EXPECT_EQ(j["tags"][replaced], "last");
    }
}

// Duplicate tag keys are found through a hash map: a file with 40,000 tags
// costs JSON about nothing beyond its probe (measured in processor time, the
// --record block's run standing for the probe alone). Under AddressSanitizer, whose
// realloc always moves the block, FFmpeg's dictionary alone would take the
// probe past its processor budget: a quarter as many tags there.
// Many tags, but fewer than the library refuses: the demuxer's own
// dictionary makes their cost grow as their square, and its processor budget
// predicts that from above (20,000 such tags are refused). An mprobe that
// looked for a repeated key among those gathered spent some 0.5 s more on
// 14,000 (3.8 s on 40,000).
TEST(Mprobe, JsonWritesFourteenThousandTagsInLinearTime) {
#ifdef MPROBE_TEST_ASAN
    const int tags = 10000;
#else
    const int tags = 14000;
#endif
    const std::string dir = std::string(MEDIA_FIXTURE_DIR) + "/../mprobe-many-tags";
    std::filesystem::create_directories(dir);
    std::string metadata = ";FFMETADATA1\n";
    for (int i = 0; i < tags; ++i) {
        std::string digits = std::to_string(100000 + i).substr(1);
        std::reverse(digits.begin(), digits.end());  // keys that differ early
        metadata += digits + "=" + std::to_string(i) + "\n";
    }
    const std::string name = "tags-" + std::to_string(tags);
    ASSERT_TRUE(qztest::writeFile(dir + "/" + name + ".txt", metadata));
    const std::string file = media_fixtures::makeWithFfmpeg(
        dir,
        {"-f", "lavfi", "-i", "color=c=blue:size=16x16:rate=25:duration=1", "-i", name + ".txt",
         "-map", "0", "-map_metadata", "1", "-c:v", "libx264", "-preset", "ultrafast"},
        name + ".mkv");
    auto processorSeconds = [&](const std::string &args, ProcessResult *run) {
        rusage before{}, after{};
        getrusage(RUSAGE_CHILDREN, &before);
        *run = mprobe(args + " " + shellQuoted(file));
        getrusage(RUSAGE_CHILDREN, &after);
        auto seconds = [](const rusage &r) {
            return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
                   static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
        };
        return seconds(after) - seconds(before);
    };
    ProcessResult summary, json;
    const double probe = processorSeconds("--record", &summary);
    const double described = processorSeconds("--json-lines", &json);
    ASSERT_EQ(summary.status, 0) << summary.err;
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(nlohmann::json::parse(json.out)["tags"].size(), tags + 1u);  // and the encoder's
    EXPECT_LT(described - probe, 0.25) << "probe " << probe << " s, with JSON " << described;
}

// A run whose standard output is a pipe its reader closes after `keep`
// bytes: its status, standard error and the number of write calls it made,
// read from /proc before it is reaped.
struct CutRun {
    int status = -1;
    std::string err;
    long writeCalls = -1;
};

CutRun runWithOutputCut(const std::string &line, size_t keep) {
    qztest::StartedProcess started = qztest::startProcess({"/bin/sh", "-c", line});
    std::string head(keep, '\0');
    for (size_t got = 0; got < keep;) {
        const ssize_t n = read(started.out, &head[got], keep - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(started.out);
    started.out = -1;
    CutRun run;
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(started.pid), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    std::ifstream io("/proc/" + std::to_string(started.pid) + "/io");
    std::string field;
    long value = 0;
    while (io >> field >> value) {
        if (field == "syscw:") run.writeCalls = value;
    }
    const ProcessResult finished = qztest::finishProcess(started);
    run.status = finished.status;
    run.err = finished.err;
    return run;
}

// Output that cannot be written ends the run at once with status 1 and one
// message: a full device, a pipe whose reader left (SIGPIPE ignored, as
// under many supervisors; at its default the signal ends mprobe), a closed
// standard output. The large index gives 16 MB of JSON, over 250 blocks.
TEST(Mprobe, OutputThatCannotBeWrittenEndsTheRunWithStatusOne) {
    const std::string dir = std::string(MEDIA_FIXTURE_DIR) + "/../mprobe-output";
    std::filesystem::create_directories(dir);
    const std::string large = shellQuoted(media_fixtures::makeWithFfmpeg(
        dir,
        {"-f", "lavfi", "-i", "color=c=blue:size=16x16:rate=1000:duration=100", "-c:v", "libx264",
         "-preset", "ultrafast"},
        "large-index.mp4"));
    const std::string small = shellQuoted(fixtures().at("mp4"));
    const std::string run = "exec " + std::string(MPROBE) + " ";
    const std::string ignorePipe = "trap '' PIPE; " + run;
    const std::string full = "mprobe: standard output: No space left on device\n";
    const std::string broken = "mprobe: standard output: Broken pipe\n";
    const std::string closed = "mprobe: standard output: Bad file descriptor\n";
    const struct {
        std::string line;
        int status;
        std::string err;
    } cases[] = {
        {run + small + " > /dev/full", 1, full},
        {run + "-l " + small + " > /dev/full", 1, full},
        {run + "--json " + large + " > /dev/full", 1, full},
        {run + "--json-lines " + large + " > /dev/full", 1, full},
        {run + "--json -j 2 " + large + " " + large + " " + small + " > /dev/full", 1, full},
        {ignorePipe + "--json " + large, 1, broken},
        {ignorePipe + "--json-lines -j 2 " + large + " " + large + " " + large, 1, broken},
        {run + "--json " + large, 128 + SIGPIPE, ""},
        {run + small + " >&-", 1, closed},
        {run + "--json " + small + " >&-", 1, closed},
        {run + "--version >&-", 1, closed},
    };
    const auto disposition = signal(SIGPIPE, SIG_DFL);  // what mprobe inherits
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        const CutRun cut = runWithOutputCut(c.line, 10);
        EXPECT_EQ(cut.status, c.status);
        EXPECT_EQ(cut.err, c.err);
        EXPECT_GE(cut.writeCalls, 0);
        EXPECT_LT(cut.writeCalls, 16);
    }
    signal(SIGPIPE, disposition);
}

}  // namespace
