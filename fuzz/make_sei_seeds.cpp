// Makes the SEI fuzzer's starting inputs in SEED_DIR: the extradata and first
// packets of each HDR fixture (made in FIXTURE_DIR), as the library's
// demuxing gives them, and hand-built edge cases. Built with the fuzz
// targets; tools/run-fuzz runs it. The input format is fuzz_sei.cpp's.
//   make_sei_seeds FIXTURE_DIR SEED_DIR
#include <cstdio>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "annexb_editor.h"
#include "hdr_fixtures.h"
#include "process.h"

namespace {

// Each packet is cut to this: the SEI units come first.
constexpr size_t kMostPacketBytes = 4096;
constexpr int kPackets = 3;

enum : uint8_t { kHevc = 1, kLength1 = 2, kLength2 = 4, kLength4 = 6, kExtradata = 8 };

std::string chunk(const std::string &bytes) {
    const std::string cut = bytes.substr(0, 0xFFFF);
    std::string out = {static_cast<char>(cut.size() >> 8), static_cast<char>(cut.size() & 0xFF)};
    return out + cut;
}

std::string seed(uint8_t selector, const std::vector<std::string> &buffers) {
    std::string out(1, static_cast<char>(selector));
    for (const auto &buffer : buffers) out += chunk(buffer);
    return out;
}

// The first video stream's extradata and first packets, as one seed.
std::string streamSeed(const std::string &path) {
    AVFormatContext *format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) != 0) {
        throw std::runtime_error("cannot open " + path);
    }
    std::string out;
    if (avformat_find_stream_info(format, nullptr) >= 0) {
        const int video = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (video >= 0) {
            const AVCodecParameters *par = format->streams[video]->codecpar;
            std::vector<std::string> buffers = {
                par->extradata ? std::string(reinterpret_cast<const char *>(par->extradata),
                                             par->extradata_size)
                               : std::string()};
            AVPacket *packet = av_packet_alloc();
            while (buffers.size() <= kPackets && packet && av_read_frame(format, packet) >= 0) {
                if (packet->stream_index == video) {
                    buffers.emplace_back(reinterpret_cast<const char *>(packet->data),
                                         std::min<size_t>(packet->size, kMostPacketBytes));
                }
                av_packet_unref(packet);
            }
            av_packet_free(&packet);
            const uint8_t codec = par->codec_id == AV_CODEC_ID_HEVC ? kHevc : 0;
            out = seed(codec | kExtradata, buffers);
        }
    }
    avformat_close_input(&format);
    if (out.empty()) throw std::runtime_error("no video stream in " + path);
    return out;
}

std::vector<std::pair<std::string, std::string>> handMade() {
    using annexb::Message;
    const std::string mdcv = annexb::masteringDisplayPayload(hdr_fixtures::kMasterDisplay);
    const std::string cll = annexb::contentLightPayload(1000, 400);
    const std::string plus = annexb::st2094_40Payload({});
    const std::vector<Message> all = {{137, mdcv}, {144, cll}, {147, "\x12"}, {4, plus}};
    const std::string slice = annexb::hevcUnit(1, "\xAF\x12\x34");
    const std::string rpu = annexb::hevcUnit(62, "\x19\x08\x09\x00", false);
    const std::string hevcAll = annexb::hevcSei(all);
    const std::string h264All = annexb::h264Sei(all);
    // x265's own mastering display unit, an emulation prevention byte in it.
    const std::string x265Mdcv = std::string(
        "\x4e\x01\x89\x18\x33\xc2\x86\xc4\x1d\x4c\x0b\xb8"
        "\x84\xd0\x3e\x80\x3d\x13\x40\x42\x00\x98\x96\x80"
        "\x00\x00\x03\x00\x01\x80",
        30);
    std::string empties;
    for (int i = 0; i < 40; ++i) empties += std::string("\0\0\1", 3);
    return {
        {"hevc-annexb-all", seed(kHevc, {annexb::annexB({hevcAll, slice, rpu})})},
        {"hevc-len4-two-packets",
         seed(kHevc | kLength4, {annexb::lengthPrefixed({annexb::hevcSei({{137, mdcv}}), slice}, 4),
                                 annexb::lengthPrefixed({annexb::hevcSei({{4, plus}}, true)}, 4)})},
        {"hevc-len2-x265", seed(kHevc | kLength2, {annexb::lengthPrefixed({x265Mdcv, slice}, 2)})},
        {"hevc-len1-atc",
         seed(kHevc | kLength1, {annexb::lengthPrefixed({annexb::hevcSei({{147, "\x12"}})}, 1)})},
        {"h264-annexb-all", seed(0, {annexb::annexB({h264All})})},
        {"h264-len4-long",
         seed(kLength4, {annexb::lengthPrefixed(
                            {annexb::h264Sei({{5, std::string(600, 'u')}, {137, mdcv}})}, 4)})},
        {"hevc-empties", seed(kHevc, {empties + annexb::annexB({hevcAll})})},
        {"hevc-length-past-end", seed(kHevc | kLength4, {std::string("\0\0\1\0", 4) + hevcAll})},
        // Longer than the reader's scratch.
        {"hevc-long-unit",
         seed(kHevc | kLength4,
              {annexb::lengthPrefixed(
                  {annexb::hevcSei({{137, mdcv}, {5, std::string(20000, 'u')}, {144, cll}})}, 4)})},
        {"hevc-ff-runs",
         seed(kHevc, {annexb::annexB({annexb::hevcSei(
                         {{515, "ab"}, {5, std::string(300, 'x')}, {144, cll}})})})},
    };
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: make_sei_seeds FIXTURE_DIR SEED_DIR\n");
        return 2;
    }
    try {
        av_log_set_level(AV_LOG_QUIET);
        const std::string dir = argv[2];
        std::filesystem::create_directories(dir);
        auto write = [&](const std::string &name, const std::string &bytes) {
            if (!qztest::writeFile(dir + "/" + name, bytes))
                throw std::runtime_error("cannot write the seed " + name);
        };
        for (const auto &[name, path] : hdr_fixtures::generateHdrFixtures(argv[1])) {
            write(name, streamSeed(path));
        }
        for (const auto &[name, bytes] : handMade()) write(name, bytes);
    } catch (const std::exception &error) {
        fprintf(stderr, "make_sei_seeds: %s\n", error.what());
        return 1;
    }
    return 0;
}
