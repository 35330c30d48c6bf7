// The ffprobe document (MEDIA_PROBE_JSON_FFPROBE, mprobe --ffprobe-json)
// against ffprobe itself on every fixture, files from GStreamer and mkvmerge
// among them: the same sections and keys in the same order, every value of
// the same JSON type and text, byte for byte in ffprobe's own layout, apart
// from the differences listed below, each of which must still show.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>
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

// Files whose stream side data the fixtures lack, each with the keys of its
// type: stereo 3D from ffmpeg's Matroska StereoMode, and mkvmerge's
// projections, a cubemap with its padding and pose and a tiled
// equirectangular one with its bounds.
std::map<std::string, std::string> sideDataFiles(const std::string &dir) {
    std::map<std::string, std::string> paths;
    const std::vector<std::string> clip = {"-f", "lavfi", "-i",   "testsrc=size=160x120:rate=25",
                                           "-t", "0.2",   "-c:v", "libx264"};
    std::vector<std::string> stereo = clip;
    stereo.insert(stereo.end(), {"-metadata:s:v:0", "stereo_mode=bottom_top"});
    paths["side stereo3d"] = media_fixtures::makeWithFfmpeg(dir, stereo, "side-stereo.mkv");
    const std::string plain = media_fixtures::makeWithFfmpeg(dir, clip, "side-plain.mkv");
    const struct {
        const char *name, *file, *type, *priv;
        std::vector<std::string> pose;
    } projections[] = {
        {"side cubemap",
         "side-cubemap.mkv",
         "0:2",
         "0:000000000000000000000004",
         {"--projection-pose-yaw", "0:90", "--projection-pose-pitch", "0:-45",
          "--projection-pose-roll", "0:10"}},
        {"side tiled", "side-tiled.mkv", "0:1", "0:0000000020000000100000000800000004000000", {}},
    };
    for (const auto &p : projections) {
        media_fixtures::DirectoryLock lock(dir);
        media_fixtures::makeOnce(dir, p.file, [&](const std::string &temporary) {
            std::vector<std::string> argv = {"mkvmerge",
                                             "-q",
                                             "-o",
                                             temporary,
                                             "--projection-type",
                                             p.type,
                                             "--projection-private",
                                             p.priv};
            argv.insert(argv.end(), p.pose.begin(), p.pose.end());
            argv.push_back(plain);
            media_fixtures::runTool(dir, argv, p.file);
        });
        paths[p.name] = dir + "/" + p.file;
    }
    return paths;
}

const std::map<std::string, std::string> &fixtures() {
    static const auto all = [] {
        av_log_set_level(AV_LOG_QUIET);
        auto paths = media_fixtures::generateAllFixtures(MEDIA_FIXTURE_DIR);
        for (const auto &[name, path] : sideDataFiles(MEDIA_FIXTURE_DIR)) paths.emplace(name, path);
        return paths;
    }();
    return all;
}

// Where the document differs from ffprobe's, and why (docs/description.md
// says the same): a key, by its name, in the document of one fixture.
struct Difference {
    const char *fixture;
    const char *key;
    const char *why;
};
const Difference kDifferences[] = {
    {"scan ts_wrap", "bit_rate",
     "ffprobe asks the MPEG-TS demuxer to scan every PMT (scan_all_pmts), which reads further "
     "before the audio's bit rate is estimated; the library keeps the demuxer's default"},
};

bool anyListed(const std::string &fixture) {
    for (const Difference &d : kDifferences) {
        if (fixture == d.fixture) return true;
    }
    return false;
}

const Difference *listed(const std::string &fixture, const std::string &key) {
    for (const Difference &d : kDifferences) {
        if (fixture == d.fixture && key == d.key) return &d;
    }
    return nullptr;
}

void ignoreNote(void *, const char *, const char *) {}

// media_probe_json of `path` probed, with `flags`.
std::string ours(const std::string &path, unsigned flags) {
    MediaContext *context = create_media_context();
    media_probe_set_note_handler(ignoreNote, nullptr);
    media_probe_file(context, path.c_str(), 0);
    media_probe_set_note_handler(nullptr, nullptr);
    char *text = media_probe_json(context, flags);
    const std::string copy = text ? text : "(null)";
    media_probe_free_json(text);
    free_media_context(context);
    return copy;
}

std::string theirs(const std::string &path) {
    const qztest::ProcessResult run =
        qztest::runProcess({MEDIA_FFPROBE, "-v", "quiet", "-print_format", "json", "-show_format",
                            "-show_streams", "-show_chapters", "-show_programs", path});
    return run.out;
}

// Compares `mine` with ffprobe's `reference` at `where`: the same JSON type
// and value, objects with the same keys in the same order. A difference at a
// listed key is noted in `seen` instead of failing.
void compare(const Json &mine, const Json &reference, const std::string &fixture,
             const std::string &where, std::set<const Difference *> &seen) {
    if (reference.is_object() && mine.is_object()) {
        std::vector<std::string> keys, theirKeys;
        for (const auto &item : mine.items()) keys.push_back(item.key());
        for (const auto &item : reference.items()) theirKeys.push_back(item.key());
        EXPECT_EQ(keys, theirKeys) << fixture << ": the keys of " << where;
        for (const auto &item : reference.items()) {
            if (!mine.contains(item.key())) continue;
            compare(mine[item.key()], item.value(), fixture, where + "/" + item.key(), seen);
        }
        return;
    }
    if (reference.is_array() && mine.is_array()) {
        EXPECT_EQ(mine.size(), reference.size()) << fixture << ": " << where;
        for (size_t i = 0; i < mine.size() && i < reference.size(); ++i) {
            compare(mine[i], reference[i], fixture, where + "/" + std::to_string(i), seen);
        }
        return;
    }
    const bool same = mine.type() == reference.type() && mine == reference;
    if (same) return;
    const std::string key = where.substr(where.rfind('/') + 1);
    if (const Difference *d = listed(fixture, key)) {
        seen.insert(d);
        return;
    }
    ADD_FAILURE() << fixture << ": " << where << " is " << mine.dump() << ", ffprobe says "
                  << reference.dump();
}

// Every fixture, those the library cannot describe included (ffprobe's
// empty document): the parsed documents agree, and where nothing listed
// differs the text is ffprobe's byte for byte. Each listed difference is
// still seen, so that the list stays true.
TEST(FfprobeJson, IsFfprobesDocumentForEveryFixture) {
    std::set<const Difference *> seen;
    size_t identical = 0;
    for (const auto &[name, path] : fixtures()) {
        SCOPED_TRACE(name);
        const std::string reference = theirs(path);
        ASSERT_FALSE(reference.empty()) << "ffprobe printed nothing";
        const std::string pretty = ours(path, MEDIA_PROBE_JSON_FFPROBE | MEDIA_PROBE_JSON_PRETTY);
        const std::string compact = ours(path, MEDIA_PROBE_JSON_FFPROBE);
        EXPECT_EQ(compact.find('\n'), std::string::npos);
        EXPECT_EQ(Json::parse(compact), Json::parse(pretty));
        compare(Json::parse(pretty), Json::parse(reference), name, "", seen);
        if (!anyListed(name)) {
            EXPECT_TRUE(pretty == reference) << "the layout differs from ffprobe's";
            identical += pretty == reference;
        }
    }
    for (const Difference &d : kDifferences) {
        EXPECT_TRUE(seen.count(&d))
            << d.fixture << ": " << d.key << " is listed as differing, but is the same now";
    }
    EXPECT_GT(identical, fixtures().size() / 2);
}

// mprobe --ffprobe-json prints the compact document of each file on a line,
// in input order, "{}" for a file it cannot describe (status 1).
TEST(FfprobeJson, MprobePrintsADocumentALine) {
    const std::vector<std::string> names = {"h264_ntsc", "mkv_tracks", "random", "ts_programs",
                                            "hdr hdr10_mkv"};
    std::vector<std::string> argv = {MPROBE, "--ffprobe-json"};
    for (const std::string &name : names) argv.push_back(fixtures().at(name));
    const qztest::ProcessResult run = qztest::runProcess(argv);
    EXPECT_EQ(run.status, 1) << run.err;
    std::istringstream in(run.out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        const std::string path = fixtures().at(names[i]);
        EXPECT_EQ(lines[i], ours(path, MEDIA_PROBE_JSON_FFPROBE));
        EXPECT_EQ(Json::parse(lines[i]), Json::parse(theirs(path)));
    }
    EXPECT_EQ(lines[2], "{}");
}

// A context never probed is ffprobe's document of a file it cannot read. A
// context's stream list is written from its nodes, in index order, those
// numbered below its stream_count, whatever a caller set that count to.
TEST(FfprobeJson, WritesWhatAContextHoldsWhateverItsCounts) {
    MediaContext *fresh = create_media_context();
    ASSERT_NE(fresh, nullptr);
    char *text = media_probe_json(fresh, MEDIA_PROBE_JSON_FFPROBE);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "{}");
    media_probe_free_json(text);
    text = media_probe_json(fresh, MEDIA_PROBE_JSON_FFPROBE | MEDIA_PROBE_JSON_PRETTY);
    EXPECT_STREQ(text, "{\n\n}\n");
    media_probe_free_json(text);
    EXPECT_EQ(media_probe_json(nullptr, MEDIA_PROBE_JSON_FFPROBE), nullptr);
    free_media_context(fresh);

    MediaContext *c = create_media_context();
    media_probe_set_note_handler(ignoreNote, nullptr);
    ASSERT_EQ(media_probe_file(c, fixtures().at("mkv_tracks").c_str(), 0), 0);
    media_probe_set_note_handler(nullptr, nullptr);
    const Json probed = Json::parse(ours(fixtures().at("mkv_tracks"), MEDIA_PROBE_JSON_FFPROBE));
    c->stream_count = INT32_MAX;
    c->program_count = 0;
    text = media_probe_json(c, MEDIA_PROBE_JSON_FFPROBE);
    ASSERT_NE(text, nullptr);
    const Json widened = Json::parse(text);
    media_probe_free_json(text);
    EXPECT_EQ(widened["streams"], probed["streams"]);
    EXPECT_EQ(widened["format"]["nb_streams"], INT32_MAX);
    c->stream_count = 2;  // the streams numbered 0 and 1 only
    text = media_probe_json(c, MEDIA_PROBE_JSON_FFPROBE);
    ASSERT_NE(text, nullptr);
    const Json narrowed = Json::parse(text);
    media_probe_free_json(text);
    ASSERT_EQ(narrowed["streams"].size(), 2u);
    EXPECT_EQ(narrowed["streams"][1], probed["streams"][1]);
    free_media_context(c);
}

}  // namespace
