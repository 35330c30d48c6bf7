// SEI messages of H.264 and HEVC streams; the contract is in sei_reader.h.
#include "sei_reader.h"

#include <algorithm>
#include <cstring>

namespace {

// NAL unit types.
constexpr int kH264Sei = 6;
constexpr int kHevcPrefixSei = 39;
constexpr int kHevcSuffixSei = 40;
constexpr int kHevcUnspecified62 = 62;  // Dolby Vision carries its RPU in these
constexpr uint8_t kRpuPrefix = 0x19;

// SEI payload types.
constexpr uint32_t kUserDataRegistered = 4;
constexpr uint32_t kMasteringDisplay = 137;
constexpr uint32_t kContentLight = 144;
constexpr uint32_t kAlternativeTransfer = 147;

constexpr size_t kMasteringDisplaySize = 24;
constexpr size_t kContentLightSize = 4;
// The ST 2094-40 registration: country, provider, provider-oriented code,
// application identifier.
constexpr uint8_t kSt2094_40[] = {0xB5, 0x00, 0x3C, 0x00, 0x01, 0x04};
// One window after the first: corners, ellipse, overlap option.
constexpr unsigned kHdr10PlusWindowBits = 19 * 8 + 1;

// The avcC and hvcC headers, up to the first NAL unit array.
constexpr size_t kAvccHeader = 6;
constexpr size_t kHvccHeader = 23;

constexpr double kChromaticityUnits = 50000.0;
constexpr double kLuminanceUnits = 10000.0;

uint16_t be16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t be32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The first "00 00 01" at or after `from`: the index of its first byte, or
// `size` when there is none.
size_t find_start_code(const uint8_t *data, size_t size, size_t from) {
    size_t i = from + 2;
    while (i < size) {
        const void *one = memchr(data + i, 0x01, size - i);
        if (!one) return size;
        i = static_cast<size_t>(static_cast<const uint8_t *>(one) - data);
        if (data[i - 1] == 0 && data[i - 2] == 0) return i - 2;
        ++i;
    }
    return size;
}

// Reads bits most significant first; a read past the end gives false.
struct BitReader {
    const uint8_t *data;
    size_t size;
    uint64_t bit;

    bool read(unsigned count, uint32_t *value) {
        if (count > uint64_t(size) * 8 - bit) return false;
        uint32_t result = 0;
        for (unsigned i = 0; i < count; ++i, ++bit) {
            result = result << 1 | ((data[bit >> 3] >> (7 - (bit & 7))) & 1);
        }
        *value = result;
        return true;
    }
    bool skip(uint64_t count) {
        if (count > uint64_t(size) * 8 - bit) return false;
        bit += count;
        return true;
    }
};

// A user data registered message: ST 2094-40 or something else.
bool read_hdr10plus(const uint8_t *payload, size_t size, SeiHdr10Plus *out) {
    if (size < sizeof kSt2094_40 || memcmp(payload, kSt2094_40, sizeof kSt2094_40) != 0)
        return false;
    BitReader bits{payload + sizeof kSt2094_40, size - sizeof kSt2094_40, 0};
    uint32_t version, windows, luminance;
    if (!bits.read(8, &version) || !bits.read(2, &windows)) return false;
    if (windows < 1 || windows > 3) return false;
    if (!bits.skip(uint64_t(windows - 1) * kHdr10PlusWindowBits)) return false;
    if (!bits.read(27, &luminance)) return false;
    out->application_version = static_cast<uint8_t>(version);
    out->num_windows = static_cast<uint8_t>(windows);
    out->targeted_system_display_maximum_luminance = luminance;
    return true;
}

void read_mastering_display(const uint8_t *p, SeiMasteringDisplay *out) {
    // Coded green, blue, red.
    static const int kSlot[3] = {1, 2, 0};
    for (int coded = 0; coded < 3; ++coded) {
        const int c = kSlot[coded];
        out->primaries[c][0] = be16(p + coded * 4);
        out->primaries[c][1] = be16(p + coded * 4 + 2);
    }
    out->white_point[0] = be16(p + 12);
    out->white_point[1] = be16(p + 14);
    out->max_luminance = be32(p + 16);
    out->min_luminance = be32(p + 20);
    for (int c = 0; c < 3; ++c) {
        for (int k = 0; k < 2; ++k)
            out->primaries_xy[c][k] = out->primaries[c][k] / kChromaticityUnits;
    }
    for (int k = 0; k < 2; ++k) out->white_point_xy[k] = out->white_point[k] / kChromaticityUnits;
    out->max_luminance_cd_m2 = out->max_luminance / kLuminanceUnits;
    out->min_luminance_cd_m2 = out->min_luminance / kLuminanceUnits;
}

// One buffer's walk: where its facts count, and what is left of its caps.
struct Walk {
    SeiReader *reader;
    int where;
    int units_left;
    int messages_left;
    bool capped;
};

void read_message(Walk *walk, uint32_t type, const uint8_t *payload, size_t size, bool suffix) {
    SeiFacts &facts = walk->reader->facts;
    SeiStats &stats = walk->reader->stats;
    // Mastering display, light level and transfer belong to prefix SEI.
    switch (type) {
        case kMasteringDisplay:
            if (suffix) return;
            if (size < kMasteringDisplaySize) {
                ++stats.malformed;
            } else if (!facts.mastering_display_found) {
                read_mastering_display(payload, &facts.mastering_display);
                facts.mastering_display_found = true;
                facts.mastering_display_in = walk->where;
            }
            return;
        case kContentLight:
            if (suffix) return;
            if (size < kContentLightSize) {
                ++stats.malformed;
            } else if (!facts.content_light_found) {
                facts.content_light.max_content_light_level = be16(payload);
                facts.content_light.max_pic_average_light_level = be16(payload + 2);
                facts.content_light_found = true;
                facts.content_light_in = walk->where;
            }
            return;
        case kAlternativeTransfer:
            if (suffix) return;
            if (size < 1) {
                ++stats.malformed;
            } else if (!facts.transfer_found) {
                facts.preferred_transfer_characteristics = payload[0];
                facts.transfer_found = true;
                facts.transfer_in = walk->where;
            }
            return;
        case kUserDataRegistered:
            if (!facts.hdr10plus_found && read_hdr10plus(payload, size, &facts.hdr10plus)) {
                facts.hdr10plus_found = true;
                facts.hdr10plus_in = walk->where;
            }
            return;
        default:
            return;
    }
}

// A payload type or size: bytes summed while they are 0xFF. False when the
// end comes first.
bool read_varying(const uint8_t *data, size_t end, size_t *position, uint32_t *value) {
    uint32_t sum = 0;
    for (;;) {
        if (*position >= end) return false;
        const uint8_t byte = data[(*position)++];
        sum += byte;  // at most 255 per byte of a buffer of kSeiScratch bytes
        if (byte != 0xFF) break;
    }
    *value = sum;
    return true;
}

// The SEI messages of one unit's body (after its NAL header, still escaped).
void read_sei_body(Walk *walk, const uint8_t *body, size_t size, bool truncated, bool suffix) {
    SeiReader *reader = walk->reader;
    SeiStats &stats = reader->stats;
    ++stats.sei_units;
    size_t consumed = 0;
    const uint8_t *rbsp = reader->scratch;
    const size_t length = sei_unescape(body, size, reader->scratch, kSeiScratch, &consumed);
    const bool cut = consumed < size;
    if (cut) ++stats.units_cut;

    // The messages end at the stop bit: the last non-zero byte, 0x80 since
    // every message is whole bytes. A unit whose end is missing has none, and
    // a message it breaks off is no fault of the stream (a truncated unit is
    // counted once, as a unit).
    const bool whole = !cut && !truncated;
    size_t end = length;
    if (whole) {
        while (end > 0 && rbsp[end - 1] == 0) --end;
        if (end == 0) {
            ++stats.malformed;
            return;
        }
        if (rbsp[end - 1] == 0x80) {
            --end;
        } else {
            ++stats.malformed;
        }
    }

    size_t position = 0;
    while (position < end) {
        if (walk->messages_left == 0) {
            walk->capped = true;
            return;
        }
        --walk->messages_left;
        uint32_t type = 0, payload_size = 0;
        if (!read_varying(rbsp, end, &position, &type) ||
            !read_varying(rbsp, end, &position, &payload_size) || payload_size > end - position) {
            if (whole) ++stats.malformed;
            return;
        }
        ++stats.messages;
        read_message(walk, type, rbsp + position, payload_size, suffix);
        position += payload_size;
    }
}

void read_unit(Walk *walk, const SeiNalUnit &unit) {
    SeiReader *reader = walk->reader;
    ++reader->stats.units;
    if (unit.size == 0) return;
    const uint8_t *p = unit.data;
    if (p[0] & 0x80) {  // forbidden_zero_bit
        ++reader->stats.malformed;
        return;
    }
    if (reader->codec == SeiCodec::h264) {
        if ((p[0] & 0x1F) == kH264Sei)
            read_sei_body(walk, p + 1, unit.size - 1, unit.truncated, false);
        return;
    }
    if (unit.size < 2) {
        ++reader->stats.malformed;
        return;
    }
    const int type = (p[0] >> 1) & 0x3F;
    const int layer = (p[0] & 1) << 5 | p[1] >> 3;
    const int temporal_id_plus1 = p[1] & 7;
    if (temporal_id_plus1 == 0) {
        ++reader->stats.malformed;
        return;
    }
    if (layer != 0) return;
    if (type == kHevcPrefixSei || type == kHevcSuffixSei) {
        read_sei_body(walk, p + 2, unit.size - 2, unit.truncated, type == kHevcSuffixSei);
    } else if (type == kHevcUnspecified62 && unit.size > 2 && p[2] == kRpuPrefix) {
        SeiFacts &facts = reader->facts;
        if (!facts.dolby_vision_rpu_found) {
            facts.dolby_vision_rpu_found = true;
            facts.dolby_vision_rpu_in = walk->where;
        }
    }
}

// Takes one more unit within the caps; false once they are spent.
bool take_unit(Walk *walk) {
    if (walk->units_left == 0) {
        walk->capped = true;
        return false;
    }
    --walk->units_left;
    return true;
}

void walk_units(Walk *walk, const uint8_t *data, size_t size, int nal_length_size) {
    SeiNalCursor cursor;
    sei_nal_cursor_init(&cursor, data, size, nal_length_size);
    SeiNalUnit unit;
    while (!walk->capped && sei_next_nal_unit(&cursor, &unit)) {
        if (!take_unit(walk)) break;
        if (unit.truncated) ++walk->reader->stats.malformed;
        read_unit(walk, unit);
    }
    // The buffer ended inside a length field.
    if (!walk->capped && nal_length_size > 0 && cursor.position < size) {
        ++walk->reader->stats.malformed;
    }
}

Walk start_walk(SeiReader *reader, int where) {
    ++reader->stats.buffers;
    return Walk{reader, where, kSeiMostUnits, kSeiMostMessages, false};
}

void end_walk(const Walk &walk) {
    if (walk.capped) ++walk.reader->stats.capped;
}

// The units of `count` records of a 16-bit length each, from *position;
// false when one runs past the end.
bool walk_record_units(Walk *walk, const uint8_t *data, size_t size, size_t *position,
                       unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        if (size - *position < 2) return false;
        const size_t length = be16(data + *position);
        *position += 2;
        if (length > size - *position) return false;
        if (!take_unit(walk)) return true;
        read_unit(walk, SeiNalUnit{data + *position, length, false});
        *position += length;
    }
    return true;
}

void walk_avcc(Walk *walk, const uint8_t *data, size_t size) {
    size_t position = kAvccHeader;
    const unsigned sps = data[5] & 0x1F;
    bool whole = walk_record_units(walk, data, size, &position, sps);
    if (whole && !walk->capped) {
        if (position >= size) {
            whole = false;
        } else {
            const unsigned pps = data[position++];
            whole = walk_record_units(walk, data, size, &position, pps);
        }
    }
    if (!whole) ++walk->reader->stats.malformed;
}

void walk_hvcc(Walk *walk, const uint8_t *data, size_t size) {
    size_t position = kHvccHeader;
    const unsigned arrays = data[22];
    for (unsigned a = 0; a < arrays && !walk->capped; ++a) {
        if (size - position < 3) {
            ++walk->reader->stats.malformed;
            return;
        }
        const unsigned count = be16(data + position + 1);
        position += 3;
        if (!walk_record_units(walk, data, size, &position, count)) {
            ++walk->reader->stats.malformed;
            return;
        }
    }
}

bool starts_with_start_code(const uint8_t *data, size_t size) {
    if (size >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1) return true;
    return size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1;
}

}  // namespace

void sei_reader_init(SeiReader *reader, SeiCodec codec, int nal_length_size) {
    reader->codec = codec;
    reader->nal_length_size = nal_length_size >= 0 && nal_length_size <= 4 ? nal_length_size : 0;
    reader->packets = 0;
    reader->facts = SeiFacts{};
    reader->stats = SeiStats{};
}

SeiConfig sei_read_extradata(SeiReader *reader, const uint8_t *data, size_t size) {
    if (!data || size == 0) return SeiConfig::none;
    Walk walk = start_walk(reader, kSeiInExtradata);
    SeiConfig config = SeiConfig::unknown;
    if (starts_with_start_code(data, size)) {
        config = SeiConfig::annex_b;
        reader->nal_length_size = 0;
        walk_units(&walk, data, size, 0);
    } else if (reader->codec == SeiCodec::h264 && size >= kAvccHeader && data[0] == 1) {
        config = SeiConfig::avcc;
        reader->nal_length_size = (data[4] & 3) + 1;
        walk_avcc(&walk, data, size);
    } else if (reader->codec == SeiCodec::hevc && size >= kHvccHeader && data[0] <= 1) {
        // Version 1; a few early muxers wrote 0.
        config = SeiConfig::hvcc;
        reader->nal_length_size = (data[21] & 3) + 1;
        walk_hvcc(&walk, data, size);
    }
    end_walk(walk);
    return config;
}

void sei_read_packet(SeiReader *reader, const uint8_t *data, size_t size) {
    Walk walk = start_walk(reader, reader->packets);
    if (reader->packets < INT32_MAX) ++reader->packets;
    if (data && size > 0) walk_units(&walk, data, size, reader->nal_length_size);
    end_walk(walk);
}

void sei_nal_cursor_init(SeiNalCursor *cursor, const uint8_t *data, size_t size,
                         int nal_length_size) {
    cursor->data = data;
    cursor->size = data ? size : 0;
    cursor->length_size = nal_length_size >= 0 && nal_length_size <= 4 ? nal_length_size : 0;
    cursor->done = false;
    cursor->position = 0;
    if (cursor->length_size == 0) {
        const size_t start = find_start_code(data, cursor->size, 0);
        if (start >= cursor->size) {
            cursor->done = true;
            cursor->position = cursor->size;
        } else {
            cursor->position = start + 3;
        }
    }
}

bool sei_next_nal_unit(SeiNalCursor *cursor, SeiNalUnit *unit) {
    if (cursor->done) return false;
    const uint8_t *data = cursor->data;
    const size_t size = cursor->size;
    if (cursor->length_size == 0) {
        const size_t start = cursor->position;
        const size_t next = find_start_code(data, size, start);
        size_t end = next;
        while (end > start && data[end - 1] == 0) --end;
        *unit = SeiNalUnit{data + start, end - start, false};
        if (next >= size) {
            cursor->done = true;
        } else {
            cursor->position = next + 3;
        }
        return true;
    }
    const size_t width = static_cast<size_t>(cursor->length_size);
    if (size - cursor->position < width) {
        cursor->done = true;
        return false;
    }
    size_t length = 0;
    for (size_t i = 0; i < width; ++i) length = length << 8 | data[cursor->position + i];
    cursor->position += width;
    const size_t left = size - cursor->position;
    if (length > left) {
        *unit = SeiNalUnit{data + cursor->position, left, true};
        cursor->position = size;
        cursor->done = true;
        return true;
    }
    *unit = SeiNalUnit{data + cursor->position, length, false};
    cursor->position += length;
    return true;
}

size_t sei_unescape(const uint8_t *src, size_t size, uint8_t *dst, size_t capacity,
                    size_t *consumed) {
    size_t in = 0, out = 0;
    int zeros = 0;
    while (in < size) {
        const uint8_t byte = src[in];
        if (zeros >= 2 && byte == 3) {
            zeros = 0;
            ++in;
            continue;
        }
        if (out == capacity) break;
        dst[out++] = byte;
        zeros = byte == 0 ? zeros + 1 : 0;
        ++in;
    }
    *consumed = in;
    return out;
}

namespace {

// Reads bits MSB first from an unescaped RBSP; reading past its end fails.
struct SpsBits {
    const uint8_t *data;
    size_t bits;
    size_t at = 0;
    bool failed = false;

    uint32_t bit() {
        if (at >= bits) {
            failed = true;
            return 0;
        }
        const uint32_t value = (data[at / 8] >> (7 - at % 8)) & 1;
        ++at;
        return value;
    }
    uint32_t read(int count) {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i) value = (value << 1) | bit();
        return value;
    }
    void skip(size_t count) {
        if (count > bits - std::min(at, bits)) failed = true;
        at += count;
    }
    // ue(v), up to 31 bits of value.
    uint32_t ue() {
        int zeros = 0;
        while (!failed && bit() == 0) {
            if (++zeros > 31) {
                failed = true;
                return 0;
            }
        }
        return ((1u << zeros) - 1) + read(zeros);
    }
};

struct SpsSize {
    uint32_t id;
    int32_t width;
    int32_t height;
};

// The id and picture size of the SPS NAL unit `unit` (header included);
// false when it is not an SPS or is cut short.
bool read_sps(const uint8_t *unit, size_t size, SpsSize *out) {
    if (size < 3 || ((unit[0] >> 1) & 0x3F) != 33) return false;
    uint8_t rbsp[256];
    size_t consumed = 0;
    const size_t length = sei_unescape(unit + 2, size - 2, rbsp, sizeof rbsp, &consumed);
    SpsBits bits{rbsp, length * 8, 0, false};
    bits.skip(4);  // sps_video_parameter_set_id
    const uint32_t sub_layers = bits.read(3);
    bits.skip(1);
    bits.skip(88 + 8);  // general profile, tier, flags and level
    bool profile_present[8] = {}, level_present[8] = {};
    for (uint32_t i = 0; i < sub_layers; ++i) {
        profile_present[i] = bits.bit();
        level_present[i] = bits.bit();
    }
    if (sub_layers > 0) bits.skip(2 * (8 - sub_layers));
    for (uint32_t i = 0; i < sub_layers; ++i) {
        if (profile_present[i]) bits.skip(88);
        if (level_present[i]) bits.skip(8);
    }
    out->id = bits.ue();
    if (bits.ue() == 3) bits.skip(1);  // chroma_format_idc, separate_colour_plane_flag
    const uint32_t width = bits.ue();
    const uint32_t height = bits.ue();
    if (bits.failed || width > INT32_MAX || height > INT32_MAX) return false;
    out->width = static_cast<int32_t>(width);
    out->height = static_cast<int32_t>(height);
    return true;
}

void keep_lowest(const SpsSize &found, bool *any, SpsSize *best) {
    if (!*any || found.id < best->id) *best = found;
    *any = true;
}

}  // namespace

bool hevc_sps_coded_size(const uint8_t *data, size_t size, int32_t *width, int32_t *height) {
    bool any = false;
    SpsSize best{}, found{};
    if (!data || size <= 3) return false;
    if (data[0] || data[1] || data[2] > 1) {  // hvcC, as the decoder tells them apart
        if (size < kHvccHeader) return false;
        size_t position = kHvccHeader;
        const unsigned arrays = data[22];
        for (unsigned a = 0; a < arrays; ++a) {
            if (size - position < 3) break;
            const unsigned count = be16(data + position + 1);
            position += 3;
            for (unsigned i = 0; i < count; ++i) {
                if (size - position < 2) break;
                const size_t length = be16(data + position);
                position += 2;
                if (length > size - position) {
                    position = size;
                    break;
                }
                if (read_sps(data + position, length, &found)) keep_lowest(found, &any, &best);
                position += length;
            }
        }
    } else {
        SeiNalCursor cursor;
        sei_nal_cursor_init(&cursor, data, size, 0);
        SeiNalUnit unit;
        for (int n = 0; n < kSeiMostUnits && sei_next_nal_unit(&cursor, &unit); ++n) {
            if (read_sps(unit.data, unit.size, &found)) keep_lowest(found, &any, &best);
        }
    }
    if (!any) return false;
    *width = best.width;
    *height = best.height;
    return true;
}
