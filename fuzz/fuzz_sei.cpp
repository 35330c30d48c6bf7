// Arbitrary bytes through the SEI reader, as extradata and packets of H.264
// or HEVC, and through its building blocks (the NAL unit cursor, the
// emulation prevention remover). Every fact found must be one the input can
// hold, the per-buffer caps must hold, and a second reading must find the
// same.
//
// Input: byte 0 chooses the codec (bit 0: HEVC), the framing of the packets
// (bits 1-2: Annex B, lengths of 1, 2 or 4 bytes) and whether the first chunk
// is the extradata (bit 3), whose record may then change the framing. Then
// chunks: a big-endian 16-bit length and that many bytes (what is left when
// fewer are).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_require.h"
#include "sei_reader.h"

namespace {

struct Chunk {
    const uint8_t *data;
    size_t size;
};

std::vector<Chunk> chunks(const uint8_t *data, size_t size) {
    std::vector<Chunk> out;
    size_t at = 0;
    while (at + 2 <= size) {
        size_t length = size_t(data[at]) << 8 | data[at + 1];
        at += 2;
        if (length > size - at) length = size - at;
        out.push_back({data + at, length});
        at += length;
    }
    return out;
}

bool sameFacts(const SeiFacts &a, const SeiFacts &b) {
    if (a.mastering_display_found != b.mastering_display_found ||
        a.content_light_found != b.content_light_found || a.transfer_found != b.transfer_found ||
        a.hdr10plus_found != b.hdr10plus_found ||
        a.dolby_vision_rpu_found != b.dolby_vision_rpu_found) {
        return false;
    }
    if (a.mastering_display_found &&
        (a.mastering_display_in != b.mastering_display_in ||
         memcmp(a.mastering_display.primaries, b.mastering_display.primaries,
                sizeof a.mastering_display.primaries) != 0 ||
         memcmp(a.mastering_display.white_point, b.mastering_display.white_point,
                sizeof a.mastering_display.white_point) != 0 ||
         a.mastering_display.max_luminance != b.mastering_display.max_luminance ||
         a.mastering_display.min_luminance != b.mastering_display.min_luminance)) {
        return false;
    }
    if (a.content_light_found &&
        (a.content_light_in != b.content_light_in ||
         a.content_light.max_content_light_level != b.content_light.max_content_light_level ||
         a.content_light.max_pic_average_light_level !=
             b.content_light.max_pic_average_light_level)) {
        return false;
    }
    if (a.transfer_found &&
        (a.transfer_in != b.transfer_in ||
         a.preferred_transfer_characteristics != b.preferred_transfer_characteristics)) {
        return false;
    }
    if (a.hdr10plus_found && (a.hdr10plus_in != b.hdr10plus_in ||
                              a.hdr10plus.application_version != b.hdr10plus.application_version ||
                              a.hdr10plus.num_windows != b.hdr10plus.num_windows ||
                              a.hdr10plus.targeted_system_display_maximum_luminance !=
                                  b.hdr10plus.targeted_system_display_maximum_luminance)) {
        return false;
    }
    return !a.dolby_vision_rpu_found || a.dolby_vision_rpu_in == b.dolby_vision_rpu_in;
}

bool sameStats(const SeiStats &a, const SeiStats &b) {
    return a.buffers == b.buffers && a.units == b.units && a.sei_units == b.sei_units &&
           a.messages == b.messages && a.malformed == b.malformed && a.units_cut == b.units_cut &&
           a.capped == b.capped;
}

// Where a fact was found must be a buffer that was read.
void requireIn(bool found, int in, bool extradata, int packets, const char *what) {
    if (!found) return;
    require(in >= (extradata ? kSeiInExtradata : 0) && in < packets, what);
}

void checkFacts(const SeiReader &reader, bool extradata) {
    const SeiFacts &f = reader.facts;
    const int packets = reader.packets;
    requireIn(f.mastering_display_found, f.mastering_display_in, extradata, packets,
              "mastering display found in a buffer read");
    requireIn(f.content_light_found, f.content_light_in, extradata, packets,
              "light level found in a buffer read");
    requireIn(f.transfer_found, f.transfer_in, extradata, packets,
              "transfer found in a buffer read");
    requireIn(f.hdr10plus_found, f.hdr10plus_in, extradata, packets,
              "ST 2094-40 found in a buffer read");
    requireIn(f.dolby_vision_rpu_found, f.dolby_vision_rpu_in, extradata, packets,
              "RPU found in a buffer read");
    if (f.mastering_display_found) {
        const SeiMasteringDisplay &m = f.mastering_display;
        for (int c = 0; c < 3; ++c) {
            for (int k = 0; k < 2; ++k) {
                require(m.primaries_xy[c][k] == m.primaries[c][k] / 50000.0,
                        "chromaticity is the raw value / 50000");
            }
        }
        require(m.white_point_xy[0] == m.white_point[0] / 50000.0 &&
                    m.white_point_xy[1] == m.white_point[1] / 50000.0,
                "white point is the raw value / 50000");
        require(m.max_luminance_cd_m2 == m.max_luminance / 10000.0 &&
                    m.min_luminance_cd_m2 == m.min_luminance / 10000.0,
                "luminance is the raw value / 10000");
    }
    if (f.hdr10plus_found) {
        require(f.hdr10plus.num_windows >= 1 && f.hdr10plus.num_windows <= 3,
                "ST 2094-40 has 1 to 3 windows");
        require(f.hdr10plus.targeted_system_display_maximum_luminance < (1u << 27),
                "the targeted luminance has 27 bits");
    }
    require(reader.nal_length_size >= 0 && reader.nal_length_size <= 4,
            "the NAL length size is 0 to 4");
    const SeiStats &s = reader.stats;
    require(s.sei_units <= s.units && s.units_cut <= s.sei_units && s.capped <= s.buffers,
            "the counts nest");
}

// Reads every chunk; checks the caps of each buffer.
void readAll(SeiReader *reader, const std::vector<Chunk> &all, bool extradata) {
    for (size_t i = 0; i < all.size(); ++i) {
        const SeiStats before = reader->stats;
        if (i == 0 && extradata) {
            const SeiConfig config = sei_read_extradata(reader, all[i].data, all[i].size);
            require(config != SeiConfig::none || all[i].size == 0, "bytes are some config");
            if (config == SeiConfig::none) continue;
        } else {
            sei_read_packet(reader, all[i].data, all[i].size);
        }
        const SeiStats &after = reader->stats;
        require(after.buffers == before.buffers + 1, "one buffer counted per call");
        require(after.units - before.units <= uint32_t(kSeiMostUnits), "units within the cap");
        require(after.messages - before.messages <= uint32_t(kSeiMostMessages),
                "messages within the cap");
    }
}

// The cursor's units lie inside the buffer, in order, and there are no more
// of them than the framing allows.
void checkCursor(const Chunk &chunk, int lengthSize) {
    SeiNalCursor cursor;
    sei_nal_cursor_init(&cursor, chunk.data, chunk.size, lengthSize);
    SeiNalUnit unit;
    const uint8_t *previousEnd = chunk.data;
    size_t count = 0;
    while (sei_next_nal_unit(&cursor, &unit)) {
        require(unit.size == 0 ||
                    (unit.data >= previousEnd && unit.data + unit.size <= chunk.data + chunk.size),
                "a unit lies in its buffer, after the one before");
        if (unit.size > 0) previousEnd = unit.data + unit.size;
        ++count;
        require(count <= chunk.size + 1, "no more units than bytes");
    }
    require(!sei_next_nal_unit(&cursor, &unit), "the cursor stays at its end");
}

void checkUnescape(const Chunk &chunk) {
    uint8_t out[64];
    for (size_t capacity : {size_t(0), size_t(7), sizeof out}) {
        size_t consumed = SIZE_MAX;
        const size_t written = sei_unescape(chunk.data, chunk.size, out, capacity, &consumed);
        require(written <= capacity && consumed <= chunk.size && written <= consumed,
                "unescaping stays within both buffers");
        size_t removed = 0;
        int zeros = 0;
        for (size_t i = 0; i < consumed; ++i) {
            if (zeros >= 2 && chunk.data[i] == 3) {
                ++removed;
                zeros = 0;
                continue;
            }
            zeros = chunk.data[i] == 0 ? zeros + 1 : 0;
        }
        require(written + removed == consumed, "only emulation prevention bytes are dropped");
    }
}

const int kLengthSizes[4] = {0, 1, 2, 4};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const uint8_t selector = data[0];
    const SeiCodec codec = selector & 1 ? SeiCodec::hevc : SeiCodec::h264;
    const int lengthSize = kLengthSizes[(selector >> 1) & 3];
    const bool extradata = selector & 8;
    const std::vector<Chunk> all = chunks(data + 1, size - 1);

    static std::unique_ptr<SeiReader> first = std::make_unique<SeiReader>();
    static std::unique_ptr<SeiReader> second = std::make_unique<SeiReader>();
    sei_reader_init(first.get(), codec, lengthSize);
    readAll(first.get(), all, extradata);
    checkFacts(*first, extradata);

    sei_reader_init(second.get(), codec, lengthSize);
    readAll(second.get(), all, extradata);
    require(sameFacts(first->facts, second->facts) && sameStats(first->stats, second->stats),
            "a second reading finds the same");

    for (const Chunk &chunk : all) {
        for (int framing : kLengthSizes) checkCursor(chunk, framing);
        checkUnescape(chunk);
    }
    return 0;
}
