#include "hdr_fixtures.h"

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <vector>

#include "media_fixtures.h"
#include "process.h"

namespace hdr_fixtures {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

void fail(const std::string &what) {
    throw std::runtime_error("HDR fixtures: " + what);
}

std::string readOrFail(const fs::path &path) {
    if (!fs::exists(path)) fail("missing " + path.string());
    return qztest::readFile(path);
}

void writeOrFail(const fs::path &path, const std::string &bytes) {
    if (!qztest::writeFile(path, bytes)) fail("cannot write " + path.string());
}

// The 10-bit picture every encoder starts from.
const char kSource[] = "hdr_source.y4m";

Args operator+(Args a, const Args &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string frames() {
    return std::to_string(kFrames);
}

// x265 on the source with the colour description every stream shares.
void x265(const fs::path &dir, const Args &options, const std::string &output) {
    Args line = {MEDIA_FIXTURES_X265, "--input", kSource, "--output", output};
    for (const Args &more :
         {x265CommonOptions(), Args{"--profile", "main10", "--range", "limited"}, options}) {
        line.insert(line.end(), more.begin(), more.end());
    }
    media_fixtures::runTool(dir, line, output);
}

void mkvmerge(const fs::path &dir, const Args &options, const std::string &input,
              const std::string &output) {
    Args line = {MEDIA_FIXTURES_MKVMERGE, "--quiet", "-o", output};
    line.insert(line.end(), options.begin(), options.end());
    line.push_back(input);
    media_fixtures::runTool(dir, line, output);
}

// ---- the Dolby Vision configuration box -----------------------------------

uint32_t be32(const std::string &s, size_t at) {
    return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 |
           uint32_t(uint8_t(s[at + 2])) << 8 | uint8_t(s[at + 3]);
}

void putBe32(std::string &s, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(value >> (24 - 8 * i));
}

struct Box {
    size_t offset;
    size_t size;
};

// The first box of `type` among the boxes in [from, to) of `file`.
Box findBox(const std::string &file, size_t from, size_t to, const char *type) {
    for (size_t at = from; at + 8 <= to;) {
        const size_t size = be32(file, at);
        if (size < 8 || at + size > to)
            fail("a box with an unusable size at " + std::to_string(at));
        if (file.compare(at + 4, 4, type) == 0) return {at, size};
        at += size;
    }
    fail(std::string("no ") + type + " box");
    return {};
}

// The box ffmpeg's demuxer reads as a Dolby Vision decoder configuration.
std::string dvccBox(const DolbyVision &dv) {
    std::string box(32, '\0');
    putBe32(box, 0, 32);
    box.replace(4, 4, "dvcC");
    box[8] = 1;  // dv_version_major
    box[9] = 0;  // dv_version_minor
    const unsigned bits = unsigned(dv.profile) << 9 | unsigned(dv.level) << 3 |
                          unsigned(dv.rpu) << 2 | unsigned(dv.el) << 1 | unsigned(dv.bl);
    box[10] = static_cast<char>(bits >> 8);
    box[11] = static_cast<char>(bits & 0xFF);
    box[12] = static_cast<char>(dv.compatibilityId << 4);
    return box;
}

}  // namespace

std::vector<std::string> x265CommonOptions() {
    return {"--preset",      "ultrafast",       "--log-level", "error",
            "--no-progress", "--frame-threads", "1",           "--pools",
            "none",          "--output-depth",  "10",          "--colorprim",
            "bt2020",        "--colormatrix",   "bt2020nc"};
}

std::vector<std::string> mkvmergeColourOptions() {
    return {"--max-content-light",
            "0:" + std::to_string(kMaxCll),
            "--max-frame-light",
            "0:" + std::to_string(kMaxFall),
            "--chromaticity-coordinates",
            "0:0.68,0.32,0.265,0.69,0.15,0.06",
            "--white-colour-coordinates",
            "0:0.3127,0.329",
            "--max-luminance",
            "0:1000",
            "--min-luminance",
            "0:0.0001",
            "--colour-transfer-characteristics",
            "0:16",
            "--colour-primaries",
            "0:9"};
}

std::string withDolbyVision(const std::string &mp4, const DolbyVision &dv) {
    const Box moov = findBox(mp4, 0, mp4.size(), "moov");
    const Box mdat = findBox(mp4, 0, mp4.size(), "mdat");
    if (moov.offset < mdat.offset) fail("the MP4 index comes before its media data");
    std::vector<Box> path = {moov};
    for (const char *type : {"trak", "mdia", "minf", "stbl", "stsd"}) {
        const Box &parent = path.back();
        path.push_back(findBox(mp4, parent.offset + 8, parent.offset + parent.size, type));
    }
    // stsd: version, flags and entry count before the entries.
    const Box &stsd = path.back();
    const size_t entry = stsd.offset + 16;
    if (entry + 8 > stsd.offset + stsd.size) fail("an empty sample description");
    const std::string format = mp4.substr(entry + 4, 4);
    if (format != "hev1" && format != "hvc1") fail("the sample entry is " + format + ", not HEVC");
    path.push_back({entry, be32(mp4, entry)});

    const std::string box = dvccBox(dv);
    std::string out = mp4;
    for (const Box &b : path) putBe32(out, b.offset, static_cast<uint32_t>(b.size + box.size()));
    out.insert(path.back().offset + path.back().size, box);
    return out;
}

std::map<std::string, std::string> generateHdrFixtures(const std::string &directory) {
    const fs::path dir = fs::absolute(directory);
    fs::create_directories(dir);
    const media_fixtures::DirectoryLock lock(dir);
    const std::string d = dir.string();
    auto make = [&](const std::string &file, const std::function<void(const std::string &)> &f) {
        media_fixtures::makeOnce(d, file, f);
    };

    media_fixtures::makeWithFfmpeg(
        d,
        {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25", "-frames:v", frames(), "-pix_fmt",
         "yuv420p10le", "-strict", "-1", "-f", "yuv4mpegpipe"},
        kSource);

    const Args hdr10 = {
        "--transfer",       "smpte2084",
        "--master-display", kMasterDisplayOption,
        "--max-cll",        std::to_string(kMaxCll) + "," + std::to_string(kMaxFall)};
    make("hdr10.hevc", [&](const std::string &out) { x265(dir, hdr10, out); });
    make("hlg.hevc", [&](const std::string &out) {
        x265(dir, {"--transfer", "arib-std-b67", "--atc-sei", std::to_string(kHlgTransfer)}, out);
    });
    make("hlg_atc.hevc", [&](const std::string &out) {
        x265(dir, {"--transfer", "bt2020-10", "--atc-sei", std::to_string(kHlgTransfer)}, out);
    });
    make("hdr10plus.hevc", [&](const std::string &out) {
        const std::string unit = annexb::hevcSei({{4, annexb::st2094_40Payload(kHdr10Plus)}});
        writeOrFail(dir / out, annexb::insertBeforeAccessUnit(readOrFail(dir / "hdr10.hevc"),
                                                              kHdr10PlusAccessUnit, unit));
    });

    make("hdr10.mkv", [&](const std::string &out) {
        mkvmerge(dir, mkvmergeColourOptions(), "hdr10.hevc", out);
    });
    // Plain copies: the containers ffmpeg and GStreamer start from, since a
    // raw stream with B-frames has no timestamps for their muxers.
    for (const char *name : {"hdr10", "hlg", "hdr10plus"}) {
        const std::string plain = std::string(name) + "_plain.mkv";
        make(plain,
             [&](const std::string &out) { mkvmerge(dir, {}, std::string(name) + ".hevc", out); });
    }
    make("hdr10_gst.mp4", [&](const std::string &out) {
        media_fixtures::runTool(
            d,
            {MEDIA_FIXTURES_GST_LAUNCH, "-q", "filesrc", "location=hdr10_plain.mkv", "!",
             "matroskademux", "!", "h265parse", "!", "mp4mux", "!", "filesink", "location=" + out},
            out);
    });
    const Args copy = {"-c", "copy"};
    for (const char *name : {"hdr10", "hdr10plus"}) {
        const std::string plain = std::string(name) + "_plain.mkv";
        media_fixtures::makeWithFfmpeg(d, Args{"-i", plain} + copy, std::string(name) + ".mp4");
        media_fixtures::makeWithFfmpeg(d, Args{"-i", plain} + copy, std::string(name) + ".ts");
    }
    media_fixtures::makeWithFfmpeg(d, Args{"-i", "hlg_plain.mkv"} + copy, "hlg.mp4");
    media_fixtures::makeWithFfmpeg(
        d,
        {"-f",
         "lavfi",
         "-i",
         "testsrc=size=160x120:rate=25",
         "-frames:v",
         frames(),
         "-c:v",
         "libx264",
         "-preset",
         "ultrafast",
         "-pix_fmt",
         "yuv420p10le",
         "-profile:v",
         "high10",
         "-color_primaries",
         "bt2020",
         "-color_trc",
         "smpte2084",
         "-colorspace",
         "bt2020nc",
         "-x264-params",
         std::string("mastering-display=") + kMasterDisplayOption +
             ":cll=" + std::to_string(kMaxCll) + "," + std::to_string(kMaxFall)},
        "h264_hdr.mp4");
    make("dovi.mp4", [&](const std::string &out) {
        writeOrFail(dir / out, withDolbyVision(readOrFail(dir / "hdr10.mp4"), kDolbyVision));
    });

    std::map<std::string, std::string> paths;
    for (const auto &[name, file] : std::map<std::string, std::string>{
             {"hdr10_hevc", "hdr10.hevc"},
             {"hdr10_mkv", "hdr10.mkv"},
             {"hdr10_mkv_plain", "hdr10_plain.mkv"},
             {"hdr10_gst_mp4", "hdr10_gst.mp4"},
             {"hdr10_mp4", "hdr10.mp4"},
             {"hdr10_ts", "hdr10.ts"},
             {"hlg_hevc", "hlg.hevc"},
             {"hlg_atc_hevc", "hlg_atc.hevc"},
             {"hlg_mp4", "hlg.mp4"},
             {"h264_hdr_mp4", "h264_hdr.mp4"},
             {"hdr10plus_hevc", "hdr10plus.hevc"},
             {"hdr10plus_mp4", "hdr10plus.mp4"},
             {"hdr10plus_ts", "hdr10plus.ts"},
             {"dovi_mp4", "dovi.mp4"},
         }) {
        paths[name] = (dir / file).string();
    }
    return paths;
}

}  // namespace hdr_fixtures
