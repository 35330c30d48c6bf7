// media_probe_json: the library's JSON of a description against mprobe's,
// byte for byte, on every fixture (indexes and scans included) and with each
// flag; the object of a probe that returned 1; what it refuses; the same
// from the C program built in this tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "media_fixtures.h"
#include "media_probe.h"
#include "process.h"
#include "scan_fixtures.h"
#include "temp_dir.h"

namespace {

using Json = nlohmann::ordered_json;
using qztest::ProcessResult;
using qztest::shellQuoted;

// Every fixture the media tests make, by name.
const std::map<std::string, std::string> &fixtures() {
    static const auto all = [] {
        av_log_set_level(AV_LOG_QUIET);
        auto paths = media_fixtures::generateAllFixtures(MEDIA_FIXTURE_DIR);
        return paths;
    }();
    return all;
}

void ignoreNote(void *, const char *, const char *) {}

// A context probed with `flags`, freed with the test.
struct Probed {
    Probed(const std::string &path, unsigned flags) : context(create_media_context()) {
        media_probe_set_note_handler(ignoreNote, nullptr);
        result = media_probe_file(context, path.c_str(), flags);
        media_probe_set_note_handler(nullptr, nullptr);
    }
    ~Probed() { free_media_context(context); }
    Probed(const Probed &) = delete;
    Probed &operator=(const Probed &) = delete;
    MediaContext *context;
    int result;
};

// media_probe_json's text as a string; "(null)" for NULL.
std::string jsonOf(const MediaContext *context, unsigned flags) {
    char *text = media_probe_json(context, flags);
    const std::string copy = text ? text : "(null)";
    media_probe_free_json(text);
    return copy;
}

// `text` with every line indented by two more spaces: a top-level value as an
// element of mprobe --json's array.
std::string indented(const std::string &text) {
    std::string out = "  ";
    for (char c : text) {
        out += c;
        if (c == '\n') out += "  ";
    }
    return out;
}

// mprobe with `options` over the paths of `paths`, given as a list.
ProcessResult mprobeOver(const std::vector<std::string> &paths, const std::string &options,
                         const qztest::TempDir &dir) {
    std::string list;
    for (const std::string &path : paths) list += path + '\0';
    const std::string listFile = dir.file("paths.list");
    if (!qztest::writeFile(listFile, list)) return {};
    return qztest::runShell(std::string(MPROBE) + " -j 2 -0 --files-from " +
                            shellQuoted(listFile) + " " + options);
}

std::vector<std::string> linesOf(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The keys of `object`, in order.
Json keysOf(const Json &object) {
    Json keys = Json::array();
    for (const auto &item : object.items()) keys.push_back(item.key());
    return keys;
}

// Each flag of media_probe_json, and the mprobe options that print the same.
const struct {
    unsigned flags;
    const char *options;
} kForms[] = {
    {0, "--json-lines"},
    {MEDIA_PROBE_JSON_NO_INDEX, "--json-lines --no-index"},
    {MEDIA_PROBE_JSON_PRETTY, "--json"},
    {MEDIA_PROBE_JSON_PRETTY | MEDIA_PROBE_JSON_NO_INDEX, "--json --no-index"},
};

// Every fixture described, probed and scanned: for each flag, the texts of
// all of them are what mprobe prints for the same files, byte for byte, the
// compact ones as its lines, the indented ones as the elements of its array.
TEST(MediaJson, IsWhatMprobePrintsForEveryFixtureWithEachFlag) {
    qztest::TempDir dir;
    for (const bool scan : {false, true}) {
        SCOPED_TRACE(scan ? "scanned" : "probed");
        std::vector<std::string> described, failed;
        std::vector<std::vector<std::string>> texts(std::size(kForms));
        for (const auto &[name, path] : fixtures()) {
            Probed probed(path, scan ? MEDIA_PROBE_SCAN : 0);
            if (probed.result != 0) {
                failed.push_back(name);
                continue;
            }
            described.push_back(path);
            for (size_t f = 0; f < std::size(kForms); ++f) {
                texts[f].push_back(jsonOf(probed.context, kForms[f].flags));
            }
        }
        EXPECT_EQ(failed, (std::vector<std::string>{"empty", "mp4_truncated", "random"}));
        for (size_t f = 0; f < std::size(kForms); ++f) {
            const std::string options = std::string(kForms[f].options) + (scan ? " --scan" : "");
            SCOPED_TRACE(options);
            const ProcessResult printed = mprobeOver(described, options, dir);
            ASSERT_EQ(printed.status, 0) << printed.err;
            if (kForms[f].flags & MEDIA_PROBE_JSON_PRETTY) {
                std::string array = "[\n";
                for (size_t i = 0; i < texts[f].size(); ++i) {
                    array += (i ? ",\n" : "") + indented(texts[f][i]);
                }
                EXPECT_TRUE(array + "\n]\n" == printed.out) << "the arrays differ";
                continue;
            }
            const std::vector<std::string> lines = linesOf(printed.out);
            ASSERT_EQ(lines.size(), described.size());
            for (size_t i = 0; i < lines.size(); ++i) {
                EXPECT_TRUE(texts[f][i] == lines[i]) << described[i];
            }
        }
    }
}

// A probe that returned 1 gives the fields as far as they were set, in the
// same keys and order as a description, with "result" 1 and the library's
// error_text, the one mprobe's failure object names too.
TEST(MediaJson, APartialDescriptionSaysResultOneAndWhy) {
    qztest::TempDir dir;
    const Json keys = [] {
        Probed described(fixtures().at("mp4"), 0);
        return keysOf(Json::parse(jsonOf(described.context, 0)));
    }();
    // A playlist whose 300 segments hold tables but no stream data: the
    // demuxer opens it, and reading the streams' parameters goes on from
    // segment to segment until the limit on files opened stops it.
    const std::string tables = qztest::readFile(fixtures().at("ts")).substr(0, 3 * 188);
    ASSERT_EQ(dir.write("tables.ts", tables), dir.file("tables.ts"));
    std::string playlist = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n";
    for (int i = 0; i < 300; ++i) playlist += "#EXTINF:0.01,\ntables.ts\n";
    const std::string opened = dir.write("tables.m3u8", playlist + "#EXT-X-ENDLIST\n");
    const struct {
        std::string path;
        bool opened;  // the demuxer opened the file: its name and container are set
    } cases[] = {
        {fixtures().at("random"), false},
        {fixtures().at("empty"), false},
        {fixtures().at("mp4_truncated"), false},
        {opened, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        const std::string &path = c.path;
        Probed probed(path, 0);
        ASSERT_EQ(probed.result, 1);
        ASSERT_NE(probed.context->error_text, nullptr);
        const std::string text = jsonOf(probed.context, 0);
        const Json object = Json::parse(text);
        EXPECT_EQ(keysOf(object), keys);
        EXPECT_EQ(object["result"], 1);
        EXPECT_EQ(object["error_text"], probed.context->error_text);
        EXPECT_EQ(object["file_size"], probed.context->file_size);
        EXPECT_EQ(object["filename"], c.opened ? Json(path) : Json());
        EXPECT_EQ(object["container_name"].is_null(), !c.opened);
        // The no-index and indented forms of the same object.
        EXPECT_EQ(Json::parse(jsonOf(probed.context, MEDIA_PROBE_JSON_PRETTY)), object);
        EXPECT_EQ(text.find('\n'), std::string::npos);

        // mprobe's own failure object names the same reason.
        const ProcessResult printed = mprobeOver({path}, "--json-lines", dir);
        EXPECT_EQ(printed.status, 1);
        const Json failure = Json::parse(printed.out);
        EXPECT_EQ(failure["result"], 1);
        EXPECT_EQ(failure["error_text"], object["error_text"]);
    }
}

// NULL for a NULL context and for any flag bit not defined; a context never
// probed (or left as it was by a file that could not be opened) gives its
// zeros, with "result" 0.
TEST(MediaJson, RefusesWhatItCannotWrite) {
    EXPECT_EQ(media_probe_json(nullptr, 0), nullptr);
    EXPECT_EQ(media_probe_json(nullptr, MEDIA_PROBE_JSON_PRETTY), nullptr);
    media_probe_free_json(nullptr);
    Probed probed(fixtures().at("mp4"), 0);
    ASSERT_EQ(probed.result, 0);
    const unsigned defined =
        MEDIA_PROBE_JSON_NO_INDEX | MEDIA_PROBE_JSON_PRETTY | MEDIA_PROBE_JSON_FFPROBE;
    for (unsigned bit = 0; bit < 32; ++bit) {
        const unsigned flag = 1u << bit;
        if (flag & defined) continue;
        SCOPED_TRACE(bit);
        EXPECT_EQ(media_probe_json(probed.context, flag), nullptr);
        EXPECT_EQ(media_probe_json(probed.context, flag | MEDIA_PROBE_JSON_PRETTY), nullptr);
    }
    // media_probe_file's own flags are not these.
    EXPECT_EQ(media_probe_json(probed.context, MEDIA_PROBE_NO_INDEX), nullptr);
    EXPECT_EQ(media_probe_json(probed.context, MEDIA_PROBE_SCAN), nullptr);

    MediaContext *fresh = create_media_context();
    ASSERT_NE(fresh, nullptr);
    const Json never = Json::parse(jsonOf(fresh, 0));
    EXPECT_TRUE(never["filename"].is_null());
    EXPECT_EQ(never["result"], 0);
    EXPECT_EQ(never["file_size"], 0);
    EXPECT_EQ(never["video"], Json::array());
    EXPECT_EQ(media_probe_file(fresh, (std::string(MEDIA_FIXTURE_DIR) + "/missing").c_str(), 0),
              -2);
    EXPECT_EQ(Json::parse(jsonOf(fresh, 0)), never);
    free_media_context(fresh);
}

// The C program of tests/media (c_consumer.c, linked as C) prints
// media_probe_json's text for each file: mprobe's line for a described file,
// the partial description for one whose probe returned 1.
TEST(MediaJson, ACProgramGetsTheSameText) {
    qztest::TempDir dir;
    std::vector<std::string> paths;
    for (const char *name : {"mp4", "mkv_tracks", "ts_programs", "mp3_cover", "random"}) {
        paths.push_back(fixtures().at(name));
    }
    std::string arguments;
    for (const std::string &path : paths) arguments += " " + shellQuoted(path);
    const ProcessResult c = qztest::runShell(std::string(MEDIA_C_CONSUMER) + " --json" + arguments);
    EXPECT_EQ(c.status, 1);  // random.bin is no media
    const std::vector<std::string> lines = linesOf(c.out);
    ASSERT_EQ(lines.size(), paths.size()) << c.err;
    const std::vector<std::string> printed =
        linesOf(mprobeOver({paths.begin(), paths.end() - 1}, "--json-lines", dir).out);
    ASSERT_EQ(printed.size(), paths.size() - 1);
    for (size_t i = 0; i + 1 < paths.size(); ++i) {
        EXPECT_TRUE(lines[i] == printed[i]) << paths[i];
    }
    Probed random(paths.back(), 0);
    EXPECT_EQ(lines.back(), jsonOf(random.context, 0));
}

}  // namespace
