// The HDR fixtures say what they are made to say, as ffprobe reads them: what
// the container states (the stream's side data) and what the frames state
// (the side data the decoder takes from their SEI), and ffmpeg's
// trace_headers for what the VUI says. A fixture that lost its signalling to
// a muxer or a changed tool fails here rather than passing unnoticed in the
// tests that use it.
#include "hdr_fixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "process.h"

namespace {

using Json = nlohmann::json;

const std::map<std::string, std::string> &fixtures() {
    static const auto paths = hdr_fixtures::generateHdrFixtures(MEDIA_FIXTURE_DIR);
    return paths;
}

Json ffprobe(const std::vector<std::string> &options, const std::string &path) {
    std::vector<std::string> line = {MEDIA_FFPROBE, "-v", "quiet", "-print_format", "json"};
    line.insert(line.end(), options.begin(), options.end());
    line.push_back(path);
    const qztest::ProcessResult run = qztest::runProcess(line);
    EXPECT_EQ(run.status, 0) << run.err;
    return Json::parse(run.out);
}

std::set<std::string> sideDataTypes(const Json &object) {
    std::set<std::string> types;
    if (object.contains("side_data_list")) {
        for (const Json &entry : object["side_data_list"]) types.insert(entry["side_data_type"]);
    }
    return types;
}

const Json &sideData(const Json &object, const std::string &type) {
    for (const Json &entry : object["side_data_list"]) {
        if (entry["side_data_type"] == type) return entry;
    }
    static const Json none;
    ADD_FAILURE() << "no " << type;
    return none;
}

// "11408507/16777216" as a number.
double fraction(const Json &entry, const char *key) {
    const std::string text = entry.value(key, "0/1");
    const size_t slash = text.find('/');
    return std::stod(text.substr(0, slash)) / std::stod(text.substr(slash + 1));
}

// The transfer characteristics each SPS's VUI codes, by ffmpeg's
// trace_headers bitstream filter.
std::set<int> vuiTransfers(const std::string &path) {
    const qztest::ProcessResult run =
        qztest::runProcess({MEDIA_FFMPEG, "-nostdin", "-v", "info", "-i", path, "-map", "0:v", "-c",
                            "copy", "-bsf:v", "trace_headers", "-f", "null", "-"});
    EXPECT_EQ(run.status, 0) << run.err;
    std::set<int> values;
    const std::string key = " transfer_characteristics ";
    for (size_t at = run.err.find(key); at != std::string::npos; at = run.err.find(key, at + 1)) {
        const size_t equals = run.err.find("= ", at);
        values.insert(std::stoi(run.err.substr(equals + 2)));
    }
    return values;
}

const char kMastering[] = "Mastering display metadata";
const char kLight[] = "Content light level metadata";
const char kDovi[] = "DOVI configuration record";
const char kHdr10Plus[] = "HDR Dynamic Metadata SMPTE2094-40 (HDR10+)";
const char kUnregistered[] = "H.26[45] User Data Unregistered SEI message";

struct FixtureRow {
    const char *name;
    const char *format;  // ffprobe's format_name
    const char *codec;
    const char *tag;       // codec_tag_string
    const char *transfer;  // the stream's and every frame's color_transfer
    int vuiTransfer;       // what the SPS codes
    bool containerHdr10;   // the stream's side data: mastering display, light level
    bool containerDovi;    // ... a Dolby Vision configuration
    bool seiHdr10;         // every frame's side data: mastering display, light level
    bool hdr10plus;        // ST 2094-40 on the frames from kHdr10PlusAccessUnit's on
};

void PrintTo(const FixtureRow &row, std::ostream *out) {
    *out << row.name;
}

const char kMp4[] = "mov,mp4,m4a,3gp,3g2,mj2";
const char kMkv[] = "matroska,webm";
const char kRaw[] = "[0][0][0][0]";

// H.264's mastering display and light level SEI are in the bitstream (the
// SEI reader's test reads them) but FFmpeg 5.1 does not export them.
const FixtureRow kRows[] = {
    {"hdr10_hevc", "hevc", "hevc", kRaw, "smpte2084", 16, false, false, true, false},
    {"hdr10_mkv", kMkv, "hevc", kRaw, "smpte2084", 16, true, false, true, false},
    {"hdr10_mkv_plain", kMkv, "hevc", kRaw, "smpte2084", 16, false, false, true, false},
    {"hdr10_gst_mp4", kMp4, "hevc", "hvc1", "smpte2084", 16, false, false, true, false},
    {"hdr10_mp4", kMp4, "hevc", "hev1", "smpte2084", 16, false, false, true, false},
    {"hdr10_ts", "mpegts", "hevc", "HEVC", "smpte2084", 16, false, false, true, false},
    {"hlg_hevc", "hevc", "hevc", kRaw, "arib-std-b67", 18, false, false, false, false},
    {"hlg_atc_hevc", "hevc", "hevc", kRaw, "arib-std-b67", 14, false, false, false, false},
    {"hlg_mp4", kMp4, "hevc", "hev1", "arib-std-b67", 18, false, false, false, false},
    {"h264_hdr_mp4", kMp4, "h264", "avc1", "smpte2084", 16, false, false, false, false},
    {"hdr10plus_hevc", "hevc", "hevc", kRaw, "smpte2084", 16, false, false, true, true},
    {"hdr10plus_mp4", kMp4, "hevc", "hev1", "smpte2084", 16, false, false, true, true},
    {"hdr10plus_ts", "mpegts", "hevc", "HEVC", "smpte2084", 16, false, false, true, true},
    {"dovi_mp4", kMp4, "hevc", "hev1", "smpte2084", 16, false, true, true, false},
};

class HdrFixtures : public testing::TestWithParam<FixtureRow> {};

TEST_P(HdrFixtures, SayWhatTheyAreMadeToSay) {
    const FixtureRow &row = GetParam();
    const std::string path = fixtures().at(row.name);

    // The container.
    const Json probe = ffprobe({"-show_format", "-show_streams"}, path);
    EXPECT_EQ(probe["format"]["format_name"], row.format);
    ASSERT_EQ(probe["streams"].size(), 1u);
    const Json &stream = probe["streams"][0];
    EXPECT_EQ(stream["codec_name"], row.codec);
    EXPECT_EQ(stream["codec_tag_string"], row.tag);
    EXPECT_EQ(stream["pix_fmt"], "yuv420p10le");
    EXPECT_EQ(stream["width"], 160);
    EXPECT_EQ(stream["color_primaries"], "bt2020");
    EXPECT_EQ(stream["color_space"], "bt2020nc");
    EXPECT_EQ(stream["color_transfer"], row.transfer);
    std::set<std::string> expected;
    if (row.containerHdr10) expected = {kMastering, kLight};
    if (row.containerDovi) expected = {kDovi};
    EXPECT_EQ(sideDataTypes(stream), expected);
    if (row.containerHdr10) {
        // mkvmerge's options: the same display in decimal, stored as floats.
        const Json &m = sideData(stream, kMastering);
        const annexb::MasteringDisplay &d = hdr_fixtures::kMasterDisplay;
        const std::pair<const char *, uint16_t> chromaticity[] = {
            {"red_x", d.red[0]},           {"red_y", d.red[1]},          {"green_x", d.green[0]},
            {"green_y", d.green[1]},       {"blue_x", d.blue[0]},        {"blue_y", d.blue[1]},
            {"white_point_x", d.white[0]}, {"white_point_y", d.white[1]}};
        for (const auto &[key, raw] : chromaticity) {
            EXPECT_NEAR(fraction(m, key), raw / 50000.0, 1e-6) << key;
        }
        EXPECT_NEAR(fraction(m, "max_luminance"), d.maxLuminance / 10000.0, 1e-3);
        EXPECT_NEAR(fraction(m, "min_luminance"), d.minLuminance / 10000.0, 1e-9);
        const Json &light = sideData(stream, kLight);
        EXPECT_EQ(light["max_content"], hdr_fixtures::kMaxCll);
        EXPECT_EQ(light["max_average"], hdr_fixtures::kMaxFall);
    }
    if (row.containerDovi) {
        const Json &dv = sideData(stream, kDovi);
        const hdr_fixtures::DolbyVision &want = hdr_fixtures::kDolbyVision;
        EXPECT_EQ(dv["dv_version_major"], 1);
        EXPECT_EQ(dv["dv_version_minor"], 0);
        EXPECT_EQ(dv["dv_profile"], want.profile);
        EXPECT_EQ(dv["dv_level"], want.level);
        EXPECT_EQ(dv["rpu_present_flag"], int(want.rpu));
        EXPECT_EQ(dv["el_present_flag"], int(want.el));
        EXPECT_EQ(dv["bl_present_flag"], int(want.bl));
        EXPECT_EQ(dv["dv_bl_signal_compatibility_id"], want.compatibilityId);
    }
    EXPECT_EQ(vuiTransfers(path), std::set<int>{row.vuiTransfer});

    // The frames, and the packets they come from (in decode order).
    const Json frames = ffprobe({"-show_frames"}, path)["frames"];
    const Json packets = ffprobe({"-show_packets"}, path)["packets"];
    ASSERT_EQ(frames.size(), size_t(hdr_fixtures::kFrames));
    ASSERT_EQ(packets.size(), size_t(hdr_fixtures::kFrames));
    const std::string firstPacket = packets[0]["pos"];
    const std::string hdr10PlusPacket = packets[hdr_fixtures::kHdr10PlusAccessUnit]["pos"];
    for (const Json &frame : frames) {
        const std::string at = frame["pkt_pos"];
        SCOPED_TRACE("frame of the packet at " + at);
        EXPECT_EQ(frame["color_transfer"], row.transfer);
        std::set<std::string> types = sideDataTypes(frame);
        // The encoders' own user data, on the first frame.
        EXPECT_EQ(types.erase(kUnregistered), at == firstPacket ? 1u : 0u);
        std::set<std::string> want;
        if (row.seiHdr10) want = {kMastering, kLight};
        if (row.hdr10plus && types.count(kHdr10Plus)) want.insert(kHdr10Plus);
        EXPECT_EQ(types, want);
        if (at == hdr10PlusPacket) {
            EXPECT_EQ(types.count(kHdr10Plus), size_t(row.hdr10plus));
        }
        if (at == firstPacket) {
            EXPECT_EQ(types.count(kHdr10Plus), 0u);
        }
        if (types.count(kMastering)) {
            const Json &m = sideData(frame, kMastering);
            EXPECT_EQ(m["red_x"], "34000/50000");
            EXPECT_EQ(m["red_y"], "16000/50000");
            EXPECT_EQ(m["green_x"], "13250/50000");
            EXPECT_EQ(m["green_y"], "34500/50000");
            EXPECT_EQ(m["blue_x"], "7500/50000");
            EXPECT_EQ(m["blue_y"], "3000/50000");
            EXPECT_EQ(m["white_point_x"], "15635/50000");
            EXPECT_EQ(m["white_point_y"], "16450/50000");
            EXPECT_EQ(m["max_luminance"], "10000000/10000");
            EXPECT_EQ(m["min_luminance"], "1/10000");
            const Json &light = sideData(frame, kLight);
            EXPECT_EQ(light["max_content"], hdr_fixtures::kMaxCll);
            EXPECT_EQ(light["max_average"], hdr_fixtures::kMaxFall);
        }
        if (types.count(kHdr10Plus)) {
            const Json &plus = sideData(frame, kHdr10Plus);
            const annexb::Hdr10Plus &want10 = hdr_fixtures::kHdr10Plus;
            EXPECT_EQ(plus["application version"], want10.applicationVersion);
            EXPECT_EQ(plus["num_windows"], want10.windows);
            EXPECT_EQ(plus["targeted_system_display_maximum_luminance"],
                      std::to_string(want10.targetedMaxLuminance) + "/1");
            EXPECT_EQ(plus["average_maxrgb"], std::to_string(want10.averageMaxrgb) + "/100000");
            EXPECT_EQ(plus["num_distribution_maxrgb_percentiles"], want10.percentiles.size());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Hdr, HdrFixtures, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<FixtureRow> &info) {
                             return std::string(info.param.name);
                         });

TEST(HdrFixtures, EveryFixtureHasARow) {
    std::set<std::string> rows;
    for (const FixtureRow &row : kRows) rows.insert(row.name);
    std::set<std::string> names;
    for (const auto &[name, path] : fixtures()) names.insert(name);
    EXPECT_EQ(rows, names);
}

TEST(HdrFixtures, AreMadeOnceAndKept) {
    std::map<std::string, std::filesystem::file_time_type> before;
    for (const auto &[name, path] : fixtures())
        before[name] = std::filesystem::last_write_time(path);
    for (const auto &[name, path] : hdr_fixtures::generateHdrFixtures(MEDIA_FIXTURE_DIR)) {
        EXPECT_EQ(std::filesystem::last_write_time(path), before.at(name)) << name;
    }
}

}  // namespace
