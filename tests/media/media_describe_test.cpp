// The extended description against ffprobe's report on the same files: every
// extension field of every fixture equals what ffprobe shows under its key,
// and a table of spot checks makes sure that the fixtures carry what they are
// made to show (so that a field both sides leave unknown cannot pass alone).
// The failure texts and the field table of mprobe are checked here too.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "media_fields.h"
#include "hdr_fixtures.h"
#include "media_fixtures.h"
#include "media_probe.h"
#include "process.h"
#include "temp_dir.h"

namespace {

using Json = nlohmann::ordered_json;

const std::map<std::string, std::string> &fixtures() {
    static const auto paths = [] {
        av_log_set_level(AV_LOG_QUIET);
        return media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR);
    }();
    return paths;
}

// ffprobe's JSON report of `path`: format, streams, chapters and programs.
Json ffprobe(const std::string &path) {
    const qztest::ProcessResult run =
        qztest::runProcess({MEDIA_FFPROBE, "-v", "quiet", "-print_format", "json", "-show_format",
                            "-show_streams", "-show_chapters", "-show_programs", path});
    return Json::parse(run.out);
}

// How the demuxer found the duration of `path` as ffprobe's trace log names
// it ("... (estimate from bit rate) ..."); null when it does not say.
Json ffprobeDurationEstimate(const std::string &path) {
    const qztest::ProcessResult run = qztest::runProcess(
        {MEDIA_FFPROBE, "-v", "trace", "-show_entries", "format=duration", path});
    static const std::string kFrom = "(estimate from ";
    const size_t at = run.err.find(kFrom);
    if (at == std::string::npos) return Json();
    const size_t start = at + kFrom.size();
    return run.err.substr(start, run.err.find(')', start) - start);
}

// Owns a probed context for the length of a test.
struct Probed {
    explicit Probed(const std::string &path) : context(create_media_context()) {
        testing::internal::CaptureStdout();  // the notes on other streams
        result = build_media_info(context, path.c_str());
        testing::internal::GetCapturedStdout();
    }
    ~Probed() { free_media_context(context); }
    Probed(const Probed &) = delete;
    Probed &operator=(const Probed &) = delete;
    MediaContext *context;
    int result;
};

// ---- ffprobe's values in the library's terms -------------------------------

Json textOrNull(const Json &object, const char *key) {
    return object.contains(key) ? object[key] : Json();
}

// "30000/1001" or "4:3" as [num, den]; `absent` when ffprobe shows none.
Json ratio(const Json &object, const char *key, char separator, Json absent) {
    if (!object.contains(key)) return absent;
    const std::string text = object[key];
    const size_t at = text.find(separator);
    return {std::stoi(text.substr(0, at)), std::stoi(text.substr(at + 1))};
}

// A decimal in a text ("62753"), or `absent`.
Json number(const Json &object, const char *key, Json absent) {
    return object.contains(key) ? Json(std::stoll(object[key].get<std::string>())) : absent;
}

// Seconds printed with six decimals, as microseconds.
Json microseconds(const Json &object, const char *key) {
    if (!object.contains(key)) return MEDIA_PROBE_NO_VALUE;
    return std::llround(std::stod(object[key].get<std::string>()) * 1e6);
}

Json tagsOf(const Json &object) {
    Json tags = Json::array();
    if (object.contains("tags")) {
        for (const auto &[key, value] : object["tags"].items()) tags.push_back({key, value});
    }
    return tags;
}

// "34000/50000" as the double the library computes from it.
double fractionValue(const Json &text) {
    const std::string t = text;
    const size_t at = t.find('/');
    return static_cast<double>(std::stoll(t.substr(0, at))) /
           static_cast<double>(std::stoll(t.substr(at + 1)));
}

// The entry of ffprobe's side data list of `type`; null when there is none.
Json sideData(const Json &stream, const char *type) {
    for (const auto &side : stream.value("side_data_list", Json::array())) {
        if (side.value("side_data_type", "") == type) return side;
    }
    return Json();
}

// The HDR format the rule of docs/description.md gives for what ffprobe
// reports of `stream`.
Json hdrFormatOf(const Json &stream) {
    const Json dovi = sideData(stream, "DOVI configuration record");
    if (!dovi.is_null()) {
        const int compatibility = dovi["dv_bl_signal_compatibility_id"];
        std::string name = "Dolby Vision " + std::to_string(dovi["dv_profile"].get<int>());
        if (compatibility != 0) name += "." + std::to_string(compatibility);
        if (compatibility == 1 || compatibility == 6) name += " (HDR10 compatible)";
        if (compatibility == 2) name += " (SDR compatible)";
        if (compatibility == 4) name += " (HLG compatible)";
        return name;
    }
    const std::string transfer = stream.value("color_transfer", "");
    if (transfer == "smpte2084") {
        const bool stated = !sideData(stream, "Mastering display metadata").is_null() ||
                            !sideData(stream, "Content light level metadata").is_null();
        return stated ? "HDR10" : "PQ";
    }
    return transfer == "arib-std-b67" ? Json("HLG") : Json();
}

int dispositionOf(const Json &stream) {
    int bits = 0;
    for (const auto &[name, set] : stream["disposition"].items()) {
        if (set == 1) bits |= av_disposition_from_string(name.c_str());
    }
    return bits;
}

// The bits ffprobe lists, to compare the library's value on them only.
int dispositionMask(const Json &stream) {
    int bits = 0;
    for (const auto &item : stream["disposition"].items()) {
        bits |= av_disposition_from_string(item.key().c_str());
    }
    return bits;
}

Json commonFromFfprobe(const Json &s) {
    Json expected;
    expected["stream_id"] =
        s.contains("id") ? std::stoll(s["id"].get<std::string>(), nullptr, 16) : -1;
    Json types = Json::array();
    for (const auto &side : s.value("side_data_list", Json::array())) {
        types.push_back(side["side_data_type"]);
    }
    expected["side_data_types"] = types;
    expected["stream_index"] = s["index"];
    expected["codec_id_name"] = textOrNull(s, "codec_name");
    expected["codec_tag"] = std::stoul(s["codec_tag"].get<std::string>(), nullptr, 16);
    expected["time_base"] = ratio(s, "time_base", '/', Json());
    expected["start_time"] = s.contains("start_pts") ? s["start_pts"] : Json(MEDIA_PROBE_NO_VALUE);
    expected["duration_ts"] =
        s.contains("duration_ts") ? s["duration_ts"] : Json(MEDIA_PROBE_NO_VALUE);
    expected["disposition"] = dispositionOf(s);
    expected["tags"] = tagsOf(s);
    return expected;
}

Json videoFromFfprobe(const Json &s) {
    Json expected = commonFromFfprobe(s);
    expected["profile"] = textOrNull(s, "profile");
    expected["level"] = s["level"];
    expected["pix_fmt"] = textOrNull(s, "pix_fmt");
    expected["bits_per_raw_sample"] = number(s, "bits_per_raw_sample", 0);
    expected["frame_count"] = number(s, "nb_frames", 0);
    expected["avg_frame_rate"] = ratio(s, "avg_frame_rate", '/', Json());
    expected["r_frame_rate"] = ratio(s, "r_frame_rate", '/', Json());
    expected["sar"] = ratio(s, "sample_aspect_ratio", ':', {0, 1});
    expected["dar"] = ratio(s, "display_aspect_ratio", ':', {0, 1});
    for (const char *key :
         {"field_order", "color_range", "color_space", "color_transfer", "color_primaries"}) {
        expected[key] = textOrNull(s, key);
    }
    double rotation = 0;
    for (const auto &side : s.value("side_data_list", Json::array())) {
        if (side.contains("rotation")) rotation = side["rotation"];
    }
    expected["rotation"] = rotation;

    const Json mastering = sideData(s, "Mastering display metadata");
    if (!mastering.is_null()) {
        Json m;
        const bool primaries = mastering.contains("red_x");
        const bool luminance = mastering.contains("min_luminance");
        for (const char *key : {"red_x", "red_y", "green_x", "green_y", "blue_x", "blue_y",
                                "white_point_x", "white_point_y"}) {
            m[key] = primaries ? fractionValue(mastering[key]) : 0.0;
        }
        for (const char *key : {"min_luminance", "max_luminance"}) {
            m[key] = luminance ? fractionValue(mastering[key]) : 0.0;
        }
        m["has"] = {primaries, luminance};
        m["source"] = "container";
        expected["mastering_display"] = m;
    }
    const Json light = sideData(s, "Content light level metadata");
    if (!light.is_null()) {
        expected["content_light"] = {{"max_cll", light["max_content"]},
                                     {"max_fall", light["max_average"]},
                                     {"source", "container"}};
    }
    const Json dovi = sideData(s, "DOVI configuration record");
    if (!dovi.is_null()) {
        Json d = Json::array();
        for (const char *key :
             {"dv_version_major", "dv_version_minor", "dv_profile", "dv_level", "rpu_present_flag",
              "el_present_flag", "bl_present_flag", "dv_bl_signal_compatibility_id"}) {
            d.push_back(dovi[key]);
        }
        expected["dovi"] = d;
    }
    expected["hdr_format"] = hdrFormatOf(s);
    return expected;
}

Json audioFromFfprobe(const Json &s) {
    Json expected = commonFromFfprobe(s);
    expected["profile"] = textOrNull(s, "profile");
    expected["sample_fmt"] = textOrNull(s, "sample_fmt");
    expected["channel_layout"] = textOrNull(s, "channel_layout");
    expected["bits_per_sample"] = s["bits_per_sample"];
    expected["bits_per_raw_sample"] = number(s, "bits_per_raw_sample", 0);
    expected["frame_count"] = number(s, "nb_frames", 0);
    return expected;
}

Json otherFromFfprobe(const Json &s) {
    Json expected = commonFromFfprobe(s);
    expected["kind"] = s["codec_type"];
    return expected;
}

// ---- the library's values in the same terms --------------------------------

Json text(const char *value) {
    return value ? Json(value) : Json();
}

Json tagsOf(const MediaTag *tags, int32_t count) {
    Json array = Json::array();
    for (int32_t i = 0; i < count; ++i) array.push_back({tags[i].key, tags[i].value});
    return array;
}

template <typename Node>
Json common(const Node &n, int mask) {
    Json ours;
    ours["stream_id"] = n.stream_id;
    Json types = Json::array();
    for (int32_t i = 0; n.side_data_types && i < n.side_data_count; ++i) {
        types.push_back(n.side_data_types[i]);
    }
    ours["side_data_types"] = types;
    ours["stream_index"] = n.stream_index;
    ours["codec_id_name"] = text(n.codec_id_name);
    ours["codec_tag"] = n.codec_tag;
    ours["time_base"] = {n.time_base_num, n.time_base_den};
    ours["start_time"] = n.start_time;
    ours["duration_ts"] = n.duration_ts;
    ours["disposition"] = n.disposition & mask;
    ours["tags"] = tagsOf(n.tags, n.tag_count);
    return ours;
}

Json ours(const VideoStreamContext &v, int mask) {
    Json j = common(v, mask);
    j["profile"] = text(v.profile);
    j["level"] = v.level;
    j["pix_fmt"] = text(v.pix_fmt);
    j["bits_per_raw_sample"] = v.bits_per_raw_sample;
    j["frame_count"] = v.frame_count;
    j["avg_frame_rate"] = {v.avg_frame_rate_num, v.avg_frame_rate_den};
    j["r_frame_rate"] = {v.r_frame_rate_num, v.r_frame_rate_den};
    j["sar"] = {v.sar_num, v.sar_den};
    j["dar"] = {v.dar_num, v.dar_den};
    j["field_order"] = text(v.field_order);
    j["color_range"] = text(v.color_range);
    j["color_space"] = text(v.color_space);
    j["color_transfer"] = text(v.color_transfer);
    j["color_primaries"] = text(v.color_primaries);
    j["rotation"] = v.rotation;
    if (const MediaMasteringDisplay *m = v.mastering_display) {
        j["mastering_display"] = {{"red_x", m->red_x},
                                  {"red_y", m->red_y},
                                  {"green_x", m->green_x},
                                  {"green_y", m->green_y},
                                  {"blue_x", m->blue_x},
                                  {"blue_y", m->blue_y},
                                  {"white_point_x", m->white_x},
                                  {"white_point_y", m->white_y},
                                  {"min_luminance", m->min_luminance},
                                  {"max_luminance", m->max_luminance},
                                  {"has", {m->has_primaries != 0, m->has_luminance != 0}},
                                  {"source", text(m->source)}};
    }
    if (const MediaContentLight *l = v.content_light) {
        j["content_light"] = {
            {"max_cll", l->max_cll}, {"max_fall", l->max_fall}, {"source", text(l->source)}};
    }
    if (const MediaDoviConfig *d = v.dovi) {
        j["dovi"] = {d->version_major, d->version_minor, d->profile,    d->level,
                     d->rpu_present,   d->el_present,    d->bl_present, d->bl_compatibility_id};
    }
    j["hdr_format"] = text(v.hdr_format);
    return j;
}

Json ours(const AudioStreamContext &a, int mask) {
    Json j = common(a, mask);
    j["profile"] = text(a.profile);
    j["sample_fmt"] = text(a.sample_fmt);
    j["channel_layout"] = text(a.channel_layout);
    j["bits_per_sample"] = a.bits_per_sample;
    j["bits_per_raw_sample"] = a.bits_per_raw_sample;
    j["frame_count"] = a.frame_count;
    return j;
}

Json ours(const OtherStreamContext &o, int mask) {
    Json j = common(o, mask);
    j["kind"] = text(o.kind);
    return j;
}

// Key by key, so that a failure names the field; a key only one side has
// fails too (an HDR record the library has and ffprobe does not show).
void expectSame(const Json &actual, const Json &expected, const std::string &where) {
    for (const auto &[key, value] : expected.items()) {
        EXPECT_EQ(actual.value(key, Json()), value) << where << " " << key;
    }
    for (const auto &[key, value] : actual.items()) {
        if (!expected.contains(key)) ADD_FAILURE() << where << " " << key << ": " << value;
    }
}

// ffprobe's chapters and programs in the library's terms.
Json chaptersFromFfprobe(const Json &ff) {
    Json chapters = Json::array();
    for (const Json &c : ff.value("chapters", Json::array())) {
        const Json title = c.contains("tags") ? textOrNull(c["tags"], "title") : Json();
        chapters.push_back(
            {c["id"], ratio(c, "time_base", '/', Json()), c["start"], c["end"], title, tagsOf(c)});
    }
    return chapters;
}

Json chaptersOf(const MediaContext &c) {
    Json chapters = Json::array();
    for (int32_t i = 0; c.chapters && i < c.chapter_count; ++i) {
        const MediaChapter &ch = c.chapters[i];
        chapters.push_back({ch.id, Json::array({ch.time_base_num, ch.time_base_den}), ch.start,
                            ch.end, text(ch.title), tagsOf(ch.tags, ch.tag_count)});
    }
    return chapters;
}

Json programsFromFfprobe(const Json &ff) {
    Json programs = Json::array();
    for (const Json &p : ff.value("programs", Json::array())) {
        Json streams = Json::array();
        for (const Json &s : p["streams"]) streams.push_back(s["index"]);
        programs.push_back(
            {p["program_id"], p["program_num"], p["pmt_pid"], p["pcr_pid"], streams, tagsOf(p)});
    }
    return programs;
}

Json programsOf(const MediaContext &c) {
    Json programs = Json::array();
    for (int32_t i = 0; c.programs && i < c.program_count; ++i) {
        const MediaProgram &p = c.programs[i];
        Json streams = Json::array();
        for (int32_t k = 0; p.stream_indexes && k < p.stream_count; ++k) {
            streams.push_back(p.stream_indexes[k]);
        }
        programs.push_back({p.program_id, p.program_num, p.pmt_pid, p.pcr_pid, streams,
                            tagsOf(p.tags, p.tag_count)});
    }
    return programs;
}

template <typename Node>
const Node *byIndex(const Node *head, int index) {
    const Node *found = nullptr;
    for (const Node *n = head; n; n = n->next) {
        if (n->stream_index == index) {
            EXPECT_EQ(found, nullptr) << "stream " << index << " listed twice";
            found = n;
        }
    }
    return found;
}

const char *const kDescribed[] = {
    "mp4",          "mov",          "mkv",         "flv",
    "wmv",          "ts",           "wav",         "three_video",
    "h264_only",    "long",         "h264_ntsc",   "hevc_main10",
    "rotated",      "mp3_long",     "mkv_tracks",  "ts_interlaced",
    "mov_no_brand", "hevc_hlg",     "hevc_dovi",   "mkv_hdr10_no_sei",
    "mp4_chapters", "mkv_chapters", "ts_programs", "mp3_vbr",
    "mp3_vbr_xing", "hls_master",
};

TEST(Describe, EveryExtensionFieldIsWhatFfprobeReports) {
    for (const char *name : kDescribed) {
        SCOPED_TRACE(name);
        const std::string &path = fixtures().at(name);
        const Json ff = ffprobe(path);
        Probed probed(path);
        ASSERT_EQ(probed.result, 0);
        const MediaContext &c = *probed.context;
        const Json &format = ff["format"];
        EXPECT_EQ(text(c.format_long_name), textOrNull(format, "format_long_name"));
        EXPECT_EQ(c.stream_count, format["nb_streams"]);
        EXPECT_EQ(c.duration_us, microseconds(format, "duration"));
        EXPECT_EQ(c.start_time_us, microseconds(format, "start_time"));
        EXPECT_EQ(c.total_bit_rate, number(format, "bit_rate", 0));
        EXPECT_EQ(c.chapter_count, static_cast<int>(ff["chapters"].size()));
        EXPECT_EQ(tagsOf(c.tags, c.tag_count), tagsOf(format));
        EXPECT_EQ(c.tags == nullptr, c.tag_count == 0);
        EXPECT_EQ(chaptersOf(c), chaptersFromFfprobe(ff));
        EXPECT_EQ(programsOf(c), programsFromFfprobe(ff));
        EXPECT_EQ(c.program_count, format["nb_programs"]);
        EXPECT_EQ(text(c.duration_estimate),
                  format.contains("duration") ? ffprobeDurationEstimate(path) : Json());

        size_t others = 0;
        for (const Json &s : ff["streams"]) {
            const int index = s["index"];
            const std::string where = "stream " + std::to_string(index);
            const int mask = dispositionMask(s);
            const VideoStreamContext *v = byIndex(c.video, index);
            const AudioStreamContext *a = byIndex(c.audio, index);
            const OtherStreamContext *o = byIndex(c.other, index);
            EXPECT_EQ((v ? 1 : 0) + (a ? 1 : 0) + (o ? 1 : 0), 1) << where;
            if (s["codec_type"] == "video") {
                ASSERT_NE(v, nullptr) << where;
                expectSame(ours(*v, mask), videoFromFfprobe(s), where);
            } else if (s["codec_type"] == "audio") {
                ASSERT_NE(a, nullptr) << where;
                expectSame(ours(*a, mask), audioFromFfprobe(s), where);
            } else {
                ASSERT_NE(o, nullptr) << where;
                expectSame(ours(*o, mask), otherFromFfprobe(s), where);
                ++others;
            }
        }
        int previous = -1;  // the other nodes come in stream order
        size_t listed = 0;
        for (const OtherStreamContext *o = c.other; o; o = o->next, ++listed) {
            EXPECT_GT(o->stream_index, previous);
            previous = o->stream_index;
        }
        EXPECT_EQ(listed, others);
    }
}

// ---- what each fixture is made to show -------------------------------------

std::string orNull(const char *text) {
    return text ? text : "(null)";
}

std::string tag(const MediaTag *tags, int32_t count, const char *key) {
    for (int32_t i = 0; i < count; ++i) {
        if (strcmp(tags[i].key, key) == 0) return tags[i].value;
    }
    return "(none)";
}

template <typename Node>
const Node &nth(const Node *head, int n) {
    for (; head && n > 0; --n) head = head->next;
    if (!head) throw std::runtime_error("no such node");
    return *head;
}

std::string fraction(int64_t num, int64_t den, char separator = '/') {
    return std::to_string(num) + separator + std::to_string(den);
}

// The side data types of a stream, comma separated.
template <typename Node>
std::string side(const Node &n) {
    std::string text;
    for (int32_t i = 0; n.side_data_types && i < n.side_data_count; ++i) {
        text += (i ? ", " : "") + std::string(n.side_data_types[i]);
    }
    return text;
}

// "title start-end/den, ..." for the chapters.
std::string chapters(const MediaContext &c) {
    std::string text;
    for (int32_t i = 0; c.chapters && i < c.chapter_count; ++i) {
        const MediaChapter &ch = c.chapters[i];
        text += (i ? ", " : "") + orNull(ch.title) + " " + std::to_string(ch.start) + "-" +
                std::to_string(ch.end) + "/" + std::to_string(ch.time_base_den);
    }
    return text;
}

// "id/num pmt PID pcr PID [streams] NAME; " for each program, NAME from
// `name`.
std::string programs(const MediaContext &c, std::string (*name)(const MediaProgram &)) {
    std::string text;
    for (int32_t i = 0; c.programs && i < c.program_count; ++i) {
        const MediaProgram &p = c.programs[i];
        text += std::to_string(p.program_id) + "/" + std::to_string(p.program_num) + " pmt " +
                std::to_string(p.pmt_pid) + " pcr " + std::to_string(p.pcr_pid) + " [";
        for (int32_t k = 0; p.stream_indexes && k < p.stream_count; ++k) {
            text += (k ? "," : "") + std::to_string(p.stream_indexes[k]);
        }
        text += "] " + name(p) + "; ";
    }
    return text;
}

struct Spot {
    const char *fixture;
    const char *what;
    std::function<std::string(const MediaContext &)> value;
    std::string expected;
};

using C = const MediaContext &;
const Spot kSpots[] = {
    {"h264_ntsc", "profile", [](C c) { return orNull(c.video->profile); }, "High"},
    {"h264_ntsc", "pixel format", [](C c) { return orNull(c.video->pix_fmt); }, "yuv420p"},
    {"h264_ntsc", "bits", [](C c) { return std::to_string(c.video->bits_per_raw_sample); }, "8"},
    {"h264_ntsc", "frame rate",
     [](C c) { return fraction(c.video->avg_frame_rate_num, c.video->avg_frame_rate_den); },
     "30000/1001"},
    {"h264_ntsc", "colour", [](C c) { return orNull(c.video->color_primaries); }, "bt709"},
    {"h264_ntsc", "colour space", [](C c) { return orNull(c.video->color_space); }, "bt709"},
    {"h264_ntsc", "title", [](C c) { return tag(c.tags, c.tag_count, "title"); }, "Test title"},
    {"h264_ntsc", "creation time", [](C c) { return tag(c.tags, c.tag_count, "creation_time"); },
     "2024-01-02T03:04:05.000000Z"},
    {"h264_ntsc", "data track",
     [](C c) { return orNull(c.other->kind) + " " + orNull(c.other->codec_id_name); },
     "data (null)"},
    {"h264_ntsc", "stream count", [](C c) { return std::to_string(c.stream_count); }, "3"},
    {"hevc_main10", "profile", [](C c) { return orNull(c.video->profile); }, "Main 10"},
    {"hevc_main10", "codec", [](C c) { return orNull(c.video->codec_id_name); }, "hevc"},
    {"hevc_main10", "pixel format", [](C c) { return orNull(c.video->pix_fmt); }, "yuv420p10le"},
    {"hevc_main10", "transfer", [](C c) { return orNull(c.video->color_transfer); }, "smpte2084"},
    {"hevc_main10", "primaries", [](C c) { return orNull(c.video->color_primaries); }, "bt2020"},
    {"ts_interlaced", "field order", [](C c) { return orNull(c.video->field_order); }, "tt"},
    {"ts_interlaced", "SAR", [](C c) { return fraction(c.video->sar_num, c.video->sar_den, ':'); },
     "4:3"},
    {"ts_interlaced", "DAR", [](C c) { return fraction(c.video->dar_num, c.video->dar_den, ':'); },
     "16:9"},
    {"ts_interlaced", "start", [](C c) { return std::to_string(c.start_time_us); }, "11400000"},
    {"rotated", "rotation", [](C c) { return std::to_string(c.video->rotation); }, "90.000000"},
    {"mp3_long", "duration ticks", [](C c) { return std::to_string(c.audio->duration_ts); },
     "3389589504"},
    {"mp3_long", "32-bit duration", [](C c) { return std::to_string(c.audio->duration); },
     "-905377792"},
    {"mp3_long", "duration", [](C c) { return std::to_string(c.duration_us); }, "240192000"},
    {"mp3_long", "bit rate", [](C c) { return std::to_string(c.total_bit_rate); }, "8008"},
    {"mkv_tracks", "5.1", [](C c) { return orNull(c.audio->channel_layout); }, "5.1(side)"},
    {"mkv_tracks", "first title",
     [](C c) { return tag(c.audio->tags, c.audio->tag_count, "title"); }, "Surround"},
    {"mkv_tracks", "second language",
     [](C c) { return tag(nth(c.audio, 1).tags, nth(c.audio, 1).tag_count, "language"); }, "fra"},
    {"mkv_tracks", "second title",
     [](C c) { return tag(nth(c.audio, 1).tags, nth(c.audio, 1).tag_count, "title"); },
     "Commentaire"},
    {"mkv_tracks", "subtitle",
     [](C c) {
         return orNull(c.other->kind) + " " + std::to_string(c.other->stream_index) + " " +
                orNull(c.other->codec_id_name) + " " +
                tag(c.other->tags, c.other->tag_count, "language");
     },
     "subtitle 3 subrip eng"},
    {"mkv_tracks", "attachment",
     [](C c) {
         const OtherStreamContext &o = nth(c.other, 1);
         return orNull(o.kind) + " " + orNull(o.codec_id_name) + " " +
                tag(o.tags, o.tag_count, "mimetype") + (o.next ? " and more" : "");
     },
     "attachment ttf application/x-truetype-font"},
    {"mkv_tracks", "chapters", [](C c) { return std::to_string(c.chapter_count); }, "2"},
    {"mkv", "attachment", [](C c) { return orNull(nth(c.other, 1).kind); }, "attachment"},
    {"wav", "bits per sample", [](C c) { return std::to_string(c.audio->bits_per_sample); }, "16"},
    // Stream ids: MP4 track ids and MPEG-TS PIDs; Matroska has none.
    {"mp4", "stream ids",
     [](C c) {
         return std::to_string(c.video->stream_id) + " " + std::to_string(c.audio->stream_id);
     },
     "1 2"},
    {"mkv_tracks", "no stream ids", [](C c) { return std::to_string(c.video->stream_id); }, "-1"},
    {"ts_programs", "PIDs",
     [](C c) {
         return std::to_string(c.video->stream_id) + " " + std::to_string(c.audio->stream_id) +
                " " + std::to_string(nth(c.video, 1).stream_id);
     },
     "257 258 513"},
    {"rotated", "side data", [](C c) { return side(*c.video); }, "Display Matrix"},
    {"mkv_hdr10_no_sei", "side data", [](C c) { return side(*c.video); },
     "Content light level metadata, Mastering display metadata"},
    {"h264_ntsc", "no side data", [](C c) { return side(*c.video) + side(*c.audio); }, ""},
    // HDR: the format by the rule, and the records it follows from.
    {"hevc_dovi", "HDR format", [](C c) { return orNull(c.video->hdr_format); },
     "Dolby Vision 8.1 (HDR10 compatible)"},
    {"hevc_dovi", "configuration",
     [](C c) {
         const MediaDoviConfig *d = c.video->dovi;
         if (!d) return std::string("none");
         return fraction(d->version_major, d->version_minor, '.') + " " +
                fraction(d->profile, d->level, '.') + " " + std::to_string(d->rpu_present) +
                std::to_string(d->el_present) + std::to_string(d->bl_present) + " " +
                std::to_string(d->bl_compatibility_id);
     },
     "1.0 8.4 101 1"},
    {"mkv_hdr10_no_sei", "HDR format", [](C c) { return orNull(c.video->hdr_format); }, "HDR10"},
    {"mkv_hdr10_no_sei", "mastering display",
     [](C c) {
         const MediaMasteringDisplay *m = c.video->mastering_display;
         if (!m) return std::string("none");
         char text[256];
         snprintf(text, sizeof text, "%.4g,%.4g %.4g,%.4g %.4g,%.4g white %.4g,%.4g %g-%g %s",
                  m->red_x, m->red_y, m->green_x, m->green_y, m->blue_x, m->blue_y, m->white_x,
                  m->white_y, m->min_luminance, m->max_luminance, orNull(m->source).c_str());
         return std::string(text);
     },
     "0.68,0.32 0.265,0.69 0.15,0.06 white 0.3127,0.329 0.0001-1000 container"},
    {"mkv_hdr10_no_sei", "content light",
     [](C c) {
         const MediaContentLight *l = c.video->content_light;
         return l ? std::to_string(l->max_cll) + "/" + std::to_string(l->max_fall) + " " +
                        orNull(l->source)
                  : "none";
     },
     "1000/400 container"},
    {"hevc_main10", "HDR format", [](C c) { return orNull(c.video->hdr_format); }, "PQ"},
    {"hevc_hlg", "HDR format", [](C c) { return orNull(c.video->hdr_format); }, "HLG"},
    {"h264_ntsc", "SDR", [](C c) { return orNull(c.video->hdr_format); }, "(null)"},
    {"hevc_main10", "no HDR records",
     [](C c) {
         const VideoStreamContext &v = *c.video;
         return std::to_string(!!v.mastering_display + !!v.content_light + !!v.dovi);
     },
     "0"},
    // Chapters from ffmpeg (MP4, Matroska) and mkvmerge.
    {"mp4_chapters", "chapters", [](C c) { return chapters(c); },
     "One 0-100/1000, Two 100-200/1000"},
    {"mkv_tracks", "chapters", [](C c) { return chapters(c); },
     "One 0-100000000/1000000000, Two 100000000-200000000/1000000000"},
    {"mkv_chapters", "chapters", [](C c) { return chapters(c); },
     "Opening 0-120000000/1000000000, Ending 120000000-200000000/1000000000"},
    {"mp4", "no chapters", [](C c) { return chapters(c); }, ""},
    // Programs.
    {"ts_programs", "programs",
     [](C c) {
         return programs(c, [](const MediaProgram &p) {
             return tag(p.tags, p.tag_count, "service_name") + " by " +
                    tag(p.tags, p.tag_count, "service_provider");
         });
     },
     "10/10 pmt 4096 pcr 257 [0,1] First by Probe tests; "
     "20/20 pmt 4097 pcr 513 [2,3] Second by FFmpeg; "},
    // HLS: a program per variant, its id the variant's number.
    {"hls_master", "programs",
     [](C c) {
         return programs(
             c, [](const MediaProgram &p) { return tag(p.tags, p.tag_count, "variant_bitrate"); });
     },
     "0/0 pmt 0 pcr 0 [0,1] 1100000; 1/0 pmt 0 pcr 0 [2,3] 2200000; "},
    {"ts", "one program", [](C c) { return std::to_string(c.program_count); }, "1"},
    {"mp4", "no programs",
     [](C c) { return std::to_string(c.program_count) + (c.programs ? " array" : ""); }, "0"},
    // How the duration was found.
    {"mp3_vbr", "duration from", [](C c) { return orNull(c.duration_estimate); }, "bit rate"},
    {"mp3_vbr_xing", "duration from", [](C c) { return orNull(c.duration_estimate); }, "stream"},
    {"ts_programs", "duration from", [](C c) { return orNull(c.duration_estimate); }, "pts"},
    {"mp4", "duration from", [](C c) { return orNull(c.duration_estimate); }, "stream"},
    {"mkv_chapters", "duration from", [](C c) { return orNull(c.duration_estimate); }, "stream"},
};

TEST(Describe, EachFixtureShowsWhatItIsMadeFor) {
    for (const Spot &spot : kSpots) {
        Probed probed(fixtures().at(spot.fixture));
        ASSERT_EQ(probed.result, 0) << spot.fixture;
        EXPECT_EQ(spot.value(*probed.context), spot.expected) << spot.fixture << ": " << spot.what;
    }
}

// ---- HDR from the first pictures ---------------------------------------------

// The side data of the first `frames` frames ffprobe decodes of `path`'s
// first video stream, merged as the library merges the pictures' facts: the
// first of each type counts.
Json frameSideData(const std::string &path, int frames) {
    const qztest::ProcessResult run = qztest::runProcess(
        {MEDIA_FFPROBE, "-v", "quiet", "-print_format", "json", "-select_streams", "v:0",
         "-show_frames", "-read_intervals", "%+#" + std::to_string(frames), path});
    Json merged = {{"side_data_list", Json::array()}};
    for (const auto &frame : Json::parse(run.out).value("frames", Json::array())) {
        for (const auto &side : frame.value("side_data_list", Json::array())) {
            if (sideData(merged, side.value("side_data_type", "").c_str()).is_null()) {
                merged["side_data_list"].push_back(side);
            }
        }
    }
    return merged;
}

// A mastering display in the library's terms from an entry of ffprobe's side
// data (fractions), or from the values given to an encoder.
Json masteringOf(const Json &side, const char *source) {
    if (side.is_null()) return Json();
    Json out = {{"source", source}};
    for (const char *key : {"red_x", "red_y", "green_x", "green_y", "blue_x", "blue_y"}) {
        out[key] = fractionValue(side[key]);
    }
    out["white_x"] = fractionValue(side["white_point_x"]);
    out["white_y"] = fractionValue(side["white_point_y"]);
    out["min_luminance"] = fractionValue(side["min_luminance"]);
    out["max_luminance"] = fractionValue(side["max_luminance"]);
    return out;
}

Json masteringOf(const annexb::MasteringDisplay &d, const char *source) {
    const auto xy = [](unsigned value) { return value / 50000.0; };
    return {{"source", source},
            {"red_x", xy(d.red[0])},
            {"red_y", xy(d.red[1])},
            {"green_x", xy(d.green[0])},
            {"green_y", xy(d.green[1])},
            {"blue_x", xy(d.blue[0])},
            {"blue_y", xy(d.blue[1])},
            {"white_x", xy(d.white[0])},
            {"white_y", xy(d.white[1])},
            {"min_luminance", d.minLuminance / 10000.0},
            {"max_luminance", d.maxLuminance / 10000.0}};
}

Json masteringOf(const MediaMasteringDisplay *m) {
    if (!m) return Json();
    return {{"source", orNull(m->source)}, {"red_x", m->red_x},     {"red_y", m->red_y},
            {"green_x", m->green_x},       {"green_y", m->green_y}, {"blue_x", m->blue_x},
            {"blue_y", m->blue_y},         {"white_x", m->white_x}, {"white_y", m->white_y},
            {"min_luminance", m->min_luminance}, {"max_luminance", m->max_luminance}};
}

Json lightOf(const Json &side, const char *source) {
    if (side.is_null()) return Json();
    return {{"source", source}, {"max_cll", side["max_content"]}, {"max_fall", side["max_average"]}};
}

Json lightOf(const MediaContentLight *l) {
    if (!l) return Json();
    return {{"source", orNull(l->source)}, {"max_cll", l->max_cll}, {"max_fall", l->max_fall}};
}

// Where each HDR fixture states its signalling, and what it comes to.
struct HdrRow {
    const char *fixture;
    const char *format;  // hdr_format
    bool container;      // the container states the mastering display and light level
    bool pictures;       // ... the first pictures do (what ffprobe decodes of them)
    bool encoderValues;  // H.264: ffprobe 5.1 shows none; the values given to x264
    int hdr10plus;
};

const HdrRow kHdrRows[] = {
    {"hdr10_hevc", "HDR10", false, true, false, 0},
    {"hdr10_mkv", "HDR10", true, true, false, 0},
    {"hdr10_mkv_plain", "HDR10", false, true, false, 0},
    {"hdr10_gst_mp4", "HDR10", false, true, false, 0},
    {"hdr10_mp4", "HDR10", false, true, false, 0},
    {"hdr10_ts", "HDR10", false, true, false, 0},
    {"hlg_hevc", "HLG", false, false, false, 0},
    {"hlg_atc_hevc", "HLG", false, false, false, 0},
    {"hlg_mp4", "HLG", false, false, false, 0},
    {"h264_hdr_mp4", "HDR10", false, false, true, 0},
    {"hdr10plus_hevc", "HDR10+", false, true, false, 1},
    {"hdr10plus_mp4", "HDR10+", false, true, false, 1},
    {"hdr10plus_ts", "HDR10+", false, true, false, 1},
    {"dovi_mp4", "Dolby Vision 8.1 (HDR10 compatible)", false, true, false, 0},
};

// What the first pictures state (read without decoding them) is what ffprobe
// shows of the frames it decodes, where the container is silent; what the
// container states wins where both do; an ST 2094-40 message in the second
// picture counts.
TEST(Describe, HdrOfTheFirstPicturesIsWhatTheirFramesShow) {
    const auto hdr = hdr_fixtures::generateHdrFixtures(MEDIA_FIXTURE_DIR);
    for (const HdrRow &row : kHdrRows) {
        SCOPED_TRACE(row.fixture);
        const std::string &path = hdr.at(row.fixture);
        Probed probed(path);
        ASSERT_EQ(probed.result, 0);
        const VideoStreamContext &v = *probed.context->video;
        EXPECT_STREQ(v.hdr_format, row.format);
        EXPECT_EQ(v.hdr10plus, row.hdr10plus);

        Json mastering, light;
        if (row.container) {
            const Json stream = ffprobe(path)["streams"][0];
            mastering = masteringOf(sideData(stream, "Mastering display metadata"), "container");
            light = lightOf(sideData(stream, "Content light level metadata"), "container");
        } else if (row.pictures) {
            const Json frames = frameSideData(path, 3);
            mastering = masteringOf(sideData(frames, "Mastering display metadata"), "bitstream");
            light = lightOf(sideData(frames, "Content light level metadata"), "bitstream");
            const bool dynamic =
                !sideData(frames, "HDR Dynamic Metadata SMPTE2094-40 (HDR10+)").is_null();
            EXPECT_EQ(v.hdr10plus, dynamic ? 1 : 0);
        } else if (row.encoderValues) {
            mastering = masteringOf(hdr_fixtures::kMasterDisplay, "bitstream");
            light = {{"source", "bitstream"},
                     {"max_cll", hdr_fixtures::kMaxCll},
                     {"max_fall", hdr_fixtures::kMaxFall}};
        }
        EXPECT_EQ(masteringOf(v.mastering_display), mastering);
        EXPECT_EQ(lightOf(v.content_light), light);
        if (row.container || row.pictures || row.encoderValues) {
            EXPECT_FALSE(mastering.is_null()) << "a fixture that states a mastering display";
        }
    }
}

// ---- failures --------------------------------------------------------------

TEST(Describe, AFailureSaysWhyAndASuccessClearsIt) {
    qztest::TempDir dir;
    const std::string list = dir.write("list.ffconcat", "ffconcat version 1.0\nfile x.ts\n");
    const std::string live =
        dir.write("live.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:100000\n#EXTINF:1.0,\nnone.ts\n");
    const struct {
        std::string path;
        int result;
        const char *errorText;
        bool prefix = false;  // errorText starts error_text
    } cases[] = {
        {fixtures().at("empty"), 1, "Invalid data found when processing input"},
        {fixtures().at("random"), 1, "Invalid data found when processing input"},
        {fixtures().at("mp4_truncated"), 1,
         "mov,mp4,m4a,3gp,3g2,mj2 demuxer: Invalid data found when processing input"},
        {list, 1, "concat demuxer: not used, it opens the files it names on its own"},
        // The demuxer's own words after it depend on when the wait ended.
        {live, 1, "probe stopped after the demuxer waited over a second for data: ", true},
        {fixtures().at("wav"), 0, nullptr},
    };
    av_log_set_level(AV_LOG_QUIET);
    MediaContext *context = create_media_context();
    for (const auto &c : cases) {
        // One context for all: each result replaces the text the last left.
        EXPECT_EQ(build_media_info(context, c.path.c_str()), c.result) << c.path;
        if (c.errorText && c.prefix) {
            ASSERT_NE(context->error_text, nullptr) << c.path;
            EXPECT_EQ(std::string(context->error_text).rfind(c.errorText, 0), 0u)
                << context->error_text;
        } else if (c.errorText) {
            EXPECT_STREQ(context->error_text, c.errorText) << c.path;
        } else {
            EXPECT_EQ(context->error_text, nullptr) << c.path;
        }
    }
    free_media_context(context);
}

// ---- the field table -------------------------------------------------------

// Collects every key and value the table hands over, flattened to
// "video.0.profile" = "High"; texts, numbers and null as JSON would print them.
struct Flat {
    std::vector<std::string> path;
    std::vector<int> counters;  // per open array: the next element's number
    std::map<std::string, std::string> values;
    std::vector<std::string> order;
    std::map<std::string, std::string> timeBases;  // of the values in ticks, "1/1000"

    std::string name(const char *key) {
        std::string out;
        for (const auto &p : path) out += p + ".";
        if (key) return out + key;
        return out + std::to_string(counters.back()++);
    }
    void put(const char *key, std::string value) {
        const std::string at = name(key);
        order.push_back(at);
        values[at] = std::move(value);
    }
};

MediaFieldSink flatSink(Flat *flat) {
    MediaFieldSink s{};
    s.opaque = flat;
    s.begin_object = [](void *o, const char *key, const char *) {
        auto *f = static_cast<Flat *>(o);
        if (f->path.empty() && f->counters.empty() && !key) {
            f->path.push_back("file");
        } else {
            f->path.push_back(f->name(key));
            f->path.back().erase(0, f->path.back().rfind('.') + 1);
        }
        f->counters.push_back(-1);  // objects count nothing
    };
    s.end_object = [](void *o) {
        auto *f = static_cast<Flat *>(o);
        f->path.pop_back();
        f->counters.pop_back();
    };
    s.begin_array = [](void *o, const char *key) {
        auto *f = static_cast<Flat *>(o);
        f->path.push_back(key);
        f->counters.push_back(0);
    };
    s.end_array = s.end_object;
    s.integer = [](void *o, const char *key, int64_t v, const MediaFieldHint *hint) {
        auto *f = static_cast<Flat *>(o);
        if (hint->unit == MEDIA_UNIT_TICKS) {
            f->timeBases[f->name(key)] =
                std::to_string(hint->time_base_num) + "/" + std::to_string(hint->time_base_den);
        }
        f->put(key, std::to_string(v));
    };
    s.unsigned_integer = [](void *o, const char *key, uint64_t v, const MediaFieldHint *) {
        static_cast<Flat *>(o)->put(key, std::to_string(v));
    };
    s.real = [](void *o, const char *key, double v, const MediaFieldHint *) {
        static_cast<Flat *>(o)->put(key, std::to_string(v));
    };
    s.text = [](void *o, const char *key, const char *v, const MediaFieldHint *) {
        static_cast<Flat *>(o)->put(key, v);
    };
    s.null = [](void *o, const char *key, const MediaFieldHint *) {
        static_cast<Flat *>(o)->put(key, "null");
    };
    s.bytes = [](void *o, const char *key, const uint8_t *, size_t size, const MediaFieldHint *) {
        static_cast<Flat *>(o)->put(key, std::to_string(size) + " bytes");
    };
    s.index_entry = [](void *o, const StreamEntry *e) {
        static_cast<Flat *>(o)->put(nullptr, std::to_string(e->pos));
    };
    return s;
}

TEST(FieldTable, HandsOverEveryFieldWithUnknownsAsNull) {
    Probed probed(fixtures().at("mkv_tracks"));
    ASSERT_EQ(probed.result, 0);
    const MediaContext &c = *probed.context;
    Flat flat;
    const MediaFieldSink sink = flatSink(&flat);
    const MediaFieldOptions withIndex{true};
    media_fields_describe(&c, &sink, &withIndex);
    const std::map<std::string, std::string> expected = {
        {"file.filename", c.filename},
        {"file.result", "0"},
        {"file.container_name", "matroska,webm"},
        {"file.duration", std::to_string(c.duration)},
        {"file.stream_count", "5"},
        {"file.chapter_count", "2"},
        {"file.tags.title", "Chaptered"},
        {"file.error_text", "null"},
        {"file.scan_duration_us", "null"},
        {"file.video.0.scan", "null"},
        {"file.video.0.codec_name", "h264"},
        {"file.video.0.spspps", std::to_string(c.video->spspps_len) + " bytes"},
        {"file.video.0.entries.0", std::to_string(c.video->entries[0].pos)},
        {"file.video.0.frame_count", "null"},  // Matroska counts no frames
        {"file.video.0.color_primaries", "null"},
        {"file.video.0.sar_num", "1"},
        {"file.audio.0.channel_layout", "5.1(side)"},
        {"file.audio.0.duration_ts", "null"},
        {"file.audio.1.tags.title", "Commentaire"},
        {"file.other.0.kind", "subtitle"},
        {"file.other.1.codec_id_name", "ttf"},
        {"file.other.1.tags.mimetype", "application/x-truetype-font"},
        {"file.chapters.0.title", "One"},
        {"file.chapters.1.start", "100000000"},
        {"file.chapters.1.time_base_den", "1000000000"},
        {"file.chapters.1.tags.title", "Two"},
        {"file.program_count", "0"},
        {"file.duration_estimate", "stream"},
        {"file.video.0.stream_id", "null"},
        {"file.video.0.side_data_count", "0"},
        {"file.video.0.mastering_display", "null"},
        {"file.video.0.content_light", "null"},
        {"file.video.0.dovi", "null"},
        {"file.video.0.hdr10plus", "0"},
        {"file.video.0.hdr_format", "null"},
        {"file.audio.1.stream_id", "null"},
        {"file.other.1.side_data_count", "0"},
    };
    for (const auto &[key, value] : expected) {
        ASSERT_TRUE(flat.values.count(key)) << key;
        EXPECT_EQ(flat.values[key], value) << key;
    }
    // Record order: the original fields first, the extension after them.
    ASSERT_GE(flat.order.size(), 3u);
    EXPECT_EQ(flat.order[0], "file.filename");
    EXPECT_EQ(flat.order[1], "file.result");
    EXPECT_EQ(flat.order.back(), "file.probe_score");

    // The last block of each record follows error_text and tags.
    const auto after = [&](const std::string &earlier, const std::string &later) {
        const auto at = [&](const std::string &key) {
            return std::find(flat.order.begin(), flat.order.end(), key) - flat.order.begin();
        };
        EXPECT_LT(at(earlier), at(later)) << earlier << " before " << later;
    };
    after("file.error_text", "file.chapters.0.id");
    after("file.chapters.1.tags.title", "file.program_count");
    after("file.video.0.tag_count", "file.video.0.stream_id");
    after("file.audio.0.tag_count", "file.audio.0.stream_id");
    after("file.other.0.tag_count", "file.other.0.stream_id");
    after("file.duration_estimate", "file.scan_duration_us");

    Flat noIndex;
    const MediaFieldSink sink2 = flatSink(&noIndex);
    const MediaFieldOptions withoutIndex{false};
    media_fields_describe(&c, &sink2, &withoutIndex);
    EXPECT_EQ(noIndex.values.count("file.video.0.entries.0"), 0u);
    EXPECT_EQ(noIndex.values["file.video.0.entry_count"], std::to_string(c.video->entry_count));
}

// The records a field points at, arrays of records, texts and integers.
TEST(FieldTable, HandsOverTheRecordsAndArraysFieldsPointAt) {
    const struct {
        const char *fixture;
        const char *key;
        std::string value;
    } cases[] = {
        {"mkv_hdr10_no_sei", "file.video.0.side_data_types.0", "Content light level metadata"},
        {"mkv_hdr10_no_sei", "file.video.0.side_data_types.1", "Mastering display metadata"},
        {"mkv_hdr10_no_sei", "file.video.0.mastering_display.red_x", std::to_string(0.68f)},
        {"mkv_hdr10_no_sei", "file.video.0.mastering_display.white_y", std::to_string(0.329f)},
        {"mkv_hdr10_no_sei", "file.video.0.mastering_display.max_luminance",
         std::to_string(1000.0)},
        {"mkv_hdr10_no_sei", "file.video.0.mastering_display.has_primaries", "1"},
        {"mkv_hdr10_no_sei", "file.video.0.mastering_display.source", "container"},
        {"mkv_hdr10_no_sei", "file.video.0.content_light.max_cll", "1000"},
        {"mkv_hdr10_no_sei", "file.video.0.content_light.max_fall", "400"},
        {"mkv_hdr10_no_sei", "file.video.0.content_light.source", "container"},
        {"mkv_hdr10_no_sei", "file.video.0.dovi", "null"},
        {"mkv_hdr10_no_sei", "file.video.0.hdr_format", "HDR10"},
        {"hevc_dovi", "file.video.0.dovi.version_major", "1"},
        {"hevc_dovi", "file.video.0.dovi.profile", "8"},
        {"hevc_dovi", "file.video.0.dovi.level", "4"},
        {"hevc_dovi", "file.video.0.dovi.rpu_present", "1"},
        {"hevc_dovi", "file.video.0.dovi.el_present", "0"},
        {"hevc_dovi", "file.video.0.dovi.bl_compatibility_id", "1"},
        {"hevc_dovi", "file.video.0.mastering_display", "null"},
        {"hevc_dovi", "file.video.0.stream_id", "1"},
        {"ts_programs", "file.program_count", "2"},
        {"ts_programs", "file.programs.0.program_id", "10"},
        {"ts_programs", "file.programs.0.pmt_pid", "4096"},
        {"ts_programs", "file.programs.0.pcr_pid", "257"},
        {"ts_programs", "file.programs.0.stream_count", "2"},
        {"ts_programs", "file.programs.0.stream_indexes.1", "1"},
        {"ts_programs", "file.programs.1.stream_indexes.0", "2"},
        {"ts_programs", "file.programs.0.tags.service_provider", "Probe tests"},
        {"ts_programs", "file.programs.1.tags.service_name", "Second"},
        {"ts_programs", "file.audio.1.stream_id", "514"},
        {"ts_programs", "file.duration_estimate", "pts"},
        {"mp3_vbr", "file.duration_estimate", "bit rate"},
        {"hls_master", "file.programs.1.program_id", "1"},
        {"hls_master", "file.programs.1.program_num", "0"},
        {"hls_master", "file.programs.1.stream_indexes.1", "3"},
        {"hls_master", "file.programs.1.tags.variant_bitrate", "2200000"},
    };
    std::map<std::string, Flat> walked;
    for (const auto &c : cases) {
        if (!walked.count(c.fixture)) {
            Probed probed(fixtures().at(c.fixture));
            ASSERT_EQ(probed.result, 0) << c.fixture;
            const MediaFieldSink sink = flatSink(&walked[c.fixture]);
            const MediaFieldOptions options{false};
            media_fields_describe(probed.context, &sink, &options);
        }
        Flat &flat = walked[c.fixture];
        ASSERT_TRUE(flat.values.count(c.key)) << c.fixture << " " << c.key;
        EXPECT_EQ(flat.values[c.key], c.value) << c.fixture << " " << c.key;
    }
    // Exactly the elements there are.
    EXPECT_EQ(walked["mkv_hdr10_no_sei"].values.count("file.video.0.side_data_types.2"), 0u);
    EXPECT_EQ(walked["ts_programs"].values.count("file.programs.2.program_id"), 0u);
    EXPECT_EQ(walked["ts_programs"].values.count("file.programs.1.stream_indexes.2"), 0u);
    EXPECT_EQ(walked["hls_master"].values.count("file.programs.1.stream_indexes.2"), 0u);
    EXPECT_EQ(walked["hls_master"].values.count("file.programs.1.tags.variant_bitrate"), 1u);
}

// A mastering display that states its luminances but not its primaries: the
// coordinates it does not state are null, not the zeros the record holds.
TEST(FieldTable, HandsOverUnstatedMasteringValuesAsNull) {
    MediaContext context{};
    context.filename = const_cast<char *>("made.mkv");
    VideoStreamContext video{};
    video.stream_id = -1;
    MediaMasteringDisplay display{};
    display.has_luminance = 1;
    display.min_luminance = 0.005;
    display.max_luminance = 4000;
    display.source = const_cast<char *>("bitstream");
    video.mastering_display = &display;
    context.video = &video;
    Flat flat;
    const MediaFieldSink sink = flatSink(&flat);
    const MediaFieldOptions options{false};
    media_fields_describe(&context, &sink, &options);
    const std::map<std::string, std::string> expected = {
        {"file.video.0.mastering_display.red_x", "null"},
        {"file.video.0.mastering_display.white_y", "null"},
        {"file.video.0.mastering_display.min_luminance", std::to_string(0.005)},
        {"file.video.0.mastering_display.max_luminance", std::to_string(4000.0)},
        {"file.video.0.mastering_display.has_primaries", "0"},
        {"file.video.0.mastering_display.source", "bitstream"},
        {"file.video.0.content_light", "null"},
        {"file.video.0.stream_id", "null"},
        {"file.video.0.side_data_count", "0"},
    };
    for (const auto &[key, value] : expected) {
        ASSERT_TRUE(flat.values.count(key)) << key;
        EXPECT_EQ(flat.values[key], value) << key;
    }
    EXPECT_EQ(flat.values.count("file.video.0.side_data_types.0"), 0u);
}

// A name that is not UTF-8 comes twice: as the text it is, then right after
// it as bytes, "filename_bytes", which a binding keeps as bytes (JSON as hex).
TEST(FieldTable, HandsOverANameThatIsNotUtf8AsBytesToo) {
    qztest::TempDir dir;
    const std::string latin1 = dir.file("caf\xe9.mp4"), utf8 = dir.file("caf\xc3\xa9.mp4");
    for (const std::string &name : {latin1, utf8}) {
        ASSERT_EQ(symlink(fixtures().at("mp4").c_str(), name.c_str()), 0) << name;
        Probed probed(name);
        ASSERT_EQ(probed.result, 0);
        Flat flat;
        const MediaFieldSink sink = flatSink(&flat);
        const MediaFieldOptions options{false};
        media_fields_describe(probed.context, &sink, &options);
        ASSERT_GE(flat.order.size(), 3u);
        EXPECT_EQ(flat.order[0], "file.filename");
        if (name == latin1) {
            EXPECT_EQ(flat.order[1], "file.filename_bytes");
            EXPECT_EQ(flat.values["file.filename_bytes"], std::to_string(name.size()) + " bytes");
        } else {
            EXPECT_EQ(flat.order[1], "file.result");
            EXPECT_EQ(flat.values.count("file.filename_bytes"), 0u);
        }
    }
}

// media_fields_is_utf8 says whether JSON shows a text without replacing a
// byte: it agrees with the JSON writer's own decoder.
TEST(FieldTable, TellsUtf8AsJsonDecodesIt) {
    const std::string cases[] = {
        // Valid, up to U+10FFFF and around the surrogates.
        "", "plain", "caf\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xef\xbf\xbd",
        "\xf4\x8f\xbf\xbf", "\xed\x9f\xbf",
        // Latin-1; overlong forms; surrogates; beyond U+10FFFF.
        "caf\xe9", "\xc0\x80", "\xc1\xbf", "\xe0\x9f\xbf", "\xf0\x8f\xbf\xbf", "\xed\xa0\x80",
        "\xed\xbf\xbf", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xff", "\xfe",
        // A continuation byte alone; a sequence cut short or not continued.
        "\x80", "a\xbf", "\xe2\x82", "\xf0\x9f\x98", "\xc3", "\xe2\x28\xa1", "\xc3\x28"};
    for (const std::string &text : cases) {
        bool decodes = true;
        try {
            nlohmann::json(text).dump();
        } catch (const nlohmann::json::type_error &) {
            decodes = false;
        }
        EXPECT_EQ(media_fields_is_utf8(text.data(), text.size()), decodes)
            << testing::PrintToString(text);
    }
}

// A scanned stream's scan is an object of its record's fields, its times in
// ticks of the stream's time base; its keyframes are an index, left out with
// the index, their count kept.
TEST(FieldTable, HandsOverAScanAsAnObjectWithItsKeyframesAsAnIndex) {
    MediaContext *context = create_media_context();
    testing::internal::CaptureStdout();  // the notes on other streams
    const int result =
        media_probe_file(context, fixtures().at("mkv_tracks").c_str(), MEDIA_PROBE_SCAN);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(result, 0);
    const MediaContext &c = *context;
    const MediaScan &video = *c.video->scan;
    Flat flat;
    const MediaFieldSink sink = flatSink(&flat);
    const MediaFieldOptions withIndex{true};
    media_fields_describe(&c, &sink, &withIndex);
    const std::map<std::string, std::string> expected = {
        {"file.scan_duration_us", std::to_string(c.scan_duration_us)},
        {"file.video.0.scan.packets", std::to_string(video.packets)},
        {"file.video.0.scan.key_packets", std::to_string(video.key_packets)},
        {"file.video.0.scan.bytes", std::to_string(video.bytes)},
        {"file.video.0.scan.start", std::to_string(video.start)},
        {"file.video.0.scan.duration_ts", std::to_string(video.duration_ts)},
        {"file.video.0.scan.bit_rate", std::to_string(video.bit_rate)},
        {"file.video.0.scan.keyframe_count", "1"},
        {"file.video.0.scan.keyframes.0", std::to_string(video.keyframes[0].pos)},
        {"file.video.0.scan.frame_rate_min", std::to_string(25.0)},
        {"file.video.0.scan.frame_rate_max", std::to_string(25.0)},
        {"file.video.0.scan.vfr", "0"},
        {"file.video.0.scan.gop_max", "5"},
        {"file.audio.1.scan.packets", std::to_string(c.audio->next->scan->packets)},
        // The attachment has no packets: no start, no bit rate.
        {"file.other.1.scan.packets", "0"},
        {"file.other.1.scan.start", "null"},
        {"file.other.1.scan.duration_ts", "0"},
        {"file.other.1.scan.bit_rate", "null"},
    };
    for (const auto &[key, value] : expected) {
        ASSERT_TRUE(flat.values.count(key)) << key;
        EXPECT_EQ(flat.values[key], value) << key;
    }
    EXPECT_EQ(flat.timeBases["file.video.0.scan.start"], "1/1000");
    EXPECT_EQ(flat.timeBases["file.other.1.scan.duration_ts"], "1/90000");
    EXPECT_EQ(flat.order.back(), "file.probe_score");

    Flat noIndex;
    const MediaFieldSink sink2 = flatSink(&noIndex);
    const MediaFieldOptions withoutIndex{false};
    media_fields_describe(&c, &sink2, &withoutIndex);
    EXPECT_EQ(noIndex.values.count("file.video.0.scan.keyframes.0"), 0u);
    EXPECT_EQ(noIndex.values["file.video.0.scan.keyframe_count"], "1");
    free_media_context(context);
}

}  // namespace
