// The SEI reader: hand-built units in every framing (Annex B with three- and
// four-byte start codes, lengths of 1, 2 and 4 bytes), hostile ones, the
// configuration records, and real streams from x265 and x264 in every
// container the HDR fixtures use, compared with what ffprobe shows of their
// first frames (HEVC) or with the values given to the encoder (H.264, whose
// SEI FFmpeg 5.1 does not export).
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include "annexb_editor.h"
#include "hdr_fixtures.h"
#include "process.h"
#include "sei_reader.h"

namespace {

using annexb::Message;
using Json = nlohmann::json;
using Units = std::vector<std::string>;

// "4e01 8918" as bytes.
std::string hex(const std::string &text) {
    std::string out;
    int high = -1;
    for (char c : text) {
        if (c == ' ') continue;
        const int digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(static_cast<char>(high << 4 | digit));
            high = -1;
        }
    }
    return out;
}

const uint8_t *bytes(const std::string &s) {
    return reinterpret_cast<const uint8_t *>(s.data());
}

std::unique_ptr<SeiReader> newReader(SeiCodec codec, int lengthSize) {
    auto reader = std::make_unique<SeiReader>();
    sei_reader_init(reader.get(), codec, lengthSize);
    return reader;
}

// The facts and the counters a row cares about, in one line.
std::string summary(const SeiReader &reader) {
    std::ostringstream out;
    const SeiFacts &f = reader.facts;
    if (f.mastering_display_found) {
        const SeiMasteringDisplay &m = f.mastering_display;
        out << "mdcv@" << f.mastering_display_in << " R" << m.primaries[0][0] << ","
            << m.primaries[0][1] << " G" << m.primaries[1][0] << "," << m.primaries[1][1] << " B"
            << m.primaries[2][0] << "," << m.primaries[2][1] << " W" << m.white_point[0] << ","
            << m.white_point[1] << " L" << m.max_luminance << "," << m.min_luminance << "; ";
    }
    if (f.content_light_found) {
        out << "cll@" << f.content_light_in << " " << f.content_light.max_content_light_level << ","
            << f.content_light.max_pic_average_light_level << "; ";
    }
    if (f.transfer_found) {
        out << "atc@" << f.transfer_in << " " << int(f.preferred_transfer_characteristics) << "; ";
    }
    if (f.hdr10plus_found) {
        out << "hdr10+@" << f.hdr10plus_in << " v" << int(f.hdr10plus.application_version) << " w"
            << int(f.hdr10plus.num_windows) << " L"
            << f.hdr10plus.targeted_system_display_maximum_luminance << "; ";
    }
    if (f.dolby_vision_rpu_found) out << "rpu@" << f.dolby_vision_rpu_in << "; ";
    out << "messages=" << reader.stats.messages;
    if (reader.stats.malformed) out << " malformed=" << reader.stats.malformed;
    if (reader.stats.capped) out << " capped=" << reader.stats.capped;
    if (reader.stats.units_cut) out << " cut=" << reader.stats.units_cut;
    return out.str();
}

// ---- payloads and units ---------------------------------------------------

const annexb::MasteringDisplay kDisplay = hdr_fixtures::kMasterDisplay;
const annexb::MasteringDisplay kOtherDisplay = {{35400, 14600}, {8500, 39850}, {6550, 2300},
                                                {15635, 16450}, 40000000,      50};

Message mdcv(const annexb::MasteringDisplay &d = kDisplay) {
    return {137, annexb::masteringDisplayPayload(d)};
}
Message cll(uint16_t maxCll = 1000, uint16_t maxFall = 400) {
    return {144, annexb::contentLightPayload(maxCll, maxFall)};
}
Message atc(uint8_t transfer = 18) {
    return {147, std::string(1, static_cast<char>(transfer))};
}
Message hdr10plus(const annexb::Hdr10Plus &m = {}) {
    return {4, annexb::st2094_40Payload(m)};
}
Message unregistered(size_t size) {
    return {5, std::string(size, 'u')};
}

std::string hevc(const std::vector<Message> &messages) {
    return annexb::hevcSei(messages);
}
std::string suffix(const std::vector<Message> &messages) {
    return annexb::hevcSei(messages, true);
}
std::string avc(const std::vector<Message> &messages) {
    return annexb::h264Sei(messages);
}
// A unit that stands for a slice or a parameter set.
const std::string kHevcSlice = annexb::hevcUnit(1, "\xAF\x12\x34");
const std::string kH264Slice = annexb::h264Unit(1, "\x88\x84\x21");

std::string expectDisplay(int in, const annexb::MasteringDisplay &d = kDisplay) {
    std::ostringstream out;
    out << "mdcv@" << in << " R" << d.red[0] << "," << d.red[1] << " G" << d.green[0] << ","
        << d.green[1] << " B" << d.blue[0] << "," << d.blue[1] << " W" << d.white[0] << ","
        << d.white[1] << " L" << d.maxLuminance << "," << d.minLuminance << "; ";
    return out.str();
}
const std::string kMdcv0 = expectDisplay(0);

// ---- rows framed every way ------------------------------------------------

struct Row {
    const char *name;
    SeiCodec codec;
    std::vector<Units> packets;  // the units of each packet
    std::string expected;
};

std::string threeByteAnnexB(const Units &units) {
    std::string out;
    for (const auto &unit : units) out += std::string("\0\0\1", 3) + unit;
    return out;
}

// How a row's packets are framed: 0 is Annex B (four-byte start codes, or
// three-byte ones with `shortStartCodes`), else the length size.
struct Framing {
    const char *name;
    int lengthSize;
    bool shortStartCodes;
};
const Framing kFramings[] = {
    {"annexb4", 0, false}, {"annexb3", 0, true}, {"len1", 1, false},
    {"len2", 2, false},    {"len4", 4, false},
};

bool fits(const std::vector<Units> &packets, int lengthSize) {
    if (lengthSize == 0 || lengthSize == 4) return true;
    for (const auto &units : packets) {
        for (const auto &unit : units) {
            if (unit.size() >> (8 * lengthSize) != 0) return false;
        }
    }
    return true;
}

std::vector<Row> rows() {
    using annexb::hevcUnit;
    const SeiCodec H = SeiCodec::hevc, A = SeiCodec::h264;
    annexb::Hdr10Plus threeWindows;
    threeWindows.windows = 3;
    threeWindows.targetedMaxLuminance = 1000;
    annexb::Hdr10Plus noWindows;
    noWindows.windows = 0;
    annexb::Hdr10Plus version0;
    version0.applicationVersion = 0;
    version0.targetedMaxLuminance = (1u << 27) - 1;
    // ST 2094-40 cut before its targeted luminance ends: registration,
    // version, windows and 20 bits.
    const std::string cutHdr10Plus = annexb::st2094_40Payload({}).substr(0, 6 + 4);
    std::string manyMessages;
    for (int i = 0; i < 300; ++i) manyMessages += annexb::messageBytes({10, ""});
    manyMessages += annexb::messageBytes(mdcv());
    std::string manyEmpty(1100, '\0');

    return {
        // Each message type, alone.
        {"hevc_mastering_display",
         H,
         {{kHevcSlice, hevc({mdcv()}), kHevcSlice}},
         kMdcv0 + "messages=1"},
        {"hevc_content_light", H, {{hevc({cll()})}}, "cll@0 1000,400; messages=1"},
        {"hevc_transfer", H, {{hevc({atc()})}}, "atc@0 18; messages=1"},
        {"hevc_hdr10plus",
         H,
         {{hevc({hdr10plus()}), kHevcSlice}},
         "hdr10+@0 v1 w1 L400; messages=1"},
        {"hevc_hdr10plus_three_windows",
         H,
         {{hevc({hdr10plus(threeWindows)})}},
         "hdr10+@0 v1 w3 L1000; messages=1"},
        {"hevc_hdr10plus_version0_widest",
         H,
         {{hevc({hdr10plus(version0)})}},
         "hdr10+@0 v0 w1 L134217727; messages=1"},
        {"hevc_hdr10plus_in_suffix",
         H,
         {{kHevcSlice, suffix({hdr10plus()})}},
         "hdr10+@0 v1 w1 L400; messages=1"},
        {"hevc_rpu",
         H,
         {{kHevcSlice, hevcUnit(62, "\x19\x08\x09\x00\x15", false)}},
         "rpu@0; messages=0"},
        {"h264_mastering_display", A, {{avc({mdcv()}), kH264Slice}}, kMdcv0 + "messages=1"},
        {"h264_content_light", A, {{avc({cll(4000, 1000)})}}, "cll@0 4000,1000; messages=1"},
        {"h264_transfer", A, {{avc({atc()})}}, "atc@0 18; messages=1"},
        {"h264_hdr10plus", A, {{avc({hdr10plus()})}}, "hdr10+@0 v1 w1 L400; messages=1"},
        // Several messages in one unit; several SEI units (as x264 writes them).
        {"hevc_four_in_one_unit",
         H,
         {{hevc({mdcv(), cll(), atc(), hdr10plus()}), kHevcSlice}},
         kMdcv0 + "cll@0 1000,400; atc@0 18; hdr10+@0 v1 w1 L400; messages=4"},
        {"h264_three_in_one_unit",
         A,
         {{avc({unregistered(20), mdcv(), cll()})}},
         kMdcv0 + "cll@0 1000,400; messages=3"},
        {"h264_units_apart",
         A,
         {{avc({unregistered(40)}), avc({mdcv()}), avc({cll()}), kH264Slice}},
         kMdcv0 + "cll@0 1000,400; messages=3"},
        // First occurrence wins; a fact first found in a later packet still counts.
        {"first_in_unit_wins",
         H,
         {{hevc({mdcv(), mdcv(kOtherDisplay), cll(), cll(1, 2)})}},
         kMdcv0 + "cll@0 1000,400; messages=4"},
        {"first_packet_wins",
         H,
         {{hevc({mdcv()}), kHevcSlice}, {hevc({mdcv(kOtherDisplay), cll()}), kHevcSlice}},
         kMdcv0 + "cll@1 1000,400; messages=3"},
        {"hdr10plus_in_second_packet",
         H,
         {{hevc({mdcv(), cll()}), kHevcSlice}, {hevc({hdr10plus()}), kHevcSlice}, {kHevcSlice}},
         kMdcv0 + "cll@0 1000,400; hdr10+@1 v1 w1 L400; messages=3"},
        {"rpu_in_second_packet",
         H,
         {{kHevcSlice}, {kHevcSlice, hevcUnit(62, "\x19\x08", false)}},
         "rpu@1; messages=0"},
        // Messages that do not count where they are.
        {"hevc_mastering_display_in_suffix", H, {{suffix({mdcv(), cll(), atc()})}}, "messages=3"},
        {"hevc_sei_of_layer_1",
         H,
         {{hevcUnit(39, annexb::messageBytes(mdcv()), true, 1)}},
         "messages=0"},
        {"hevc_unit_62_not_rpu", H, {{hevcUnit(62, "\x20\x01", false)}}, "messages=0"},
        {"h264_unit_is_not_sei",
         A,
         {{annexb::h264Unit(5, annexb::messageBytes(mdcv()))}},
         "messages=0"},
        {"hevc_sei_read_as_h264", A, {{hevc({mdcv()})}}, "messages=0"},
        // T.35 messages that are not ST 2094-40.
        {"t35_atsc_captions",
         H,
         {{hevc({{4, hex("b5 0031 47413934 03 c1 ff fc 9420 fc 942f ff")}})}},
         "messages=1"},
        {"t35_other_application",
         H,
         {{hevc({{4, hex("b5 003c 0001 05 01 40 00 19")}})}},
         "messages=1"},
        {"t35_country_extension",
         H,
         {{hevc({{4, hex("ff 00 003c 0001 04 01 40 00 19")}})}},
         "messages=1"},
        {"t35_other_country", H, {{hevc({{4, hex("26 0004 0005 01 02 03")}})}}, "messages=1"},
        {"hdr10plus_no_windows", H, {{hevc({hdr10plus(noWindows)})}}, "messages=1"},
        {"hdr10plus_cut_short", H, {{hevc({{4, cutHdr10Plus}})}}, "messages=1"},
        // Emulation prevention: in a payload (x265's own mastering display
        // unit), between a payload type and its size, ending a unit.
        {"epb_in_payload",
         H,
         {{hex("4e01 8918 33c2 86c4 1d4c 0bb8 84d0 3e80 3d13 4042 0098 9680 0000 0300 0180")}},
         kMdcv0 + "messages=1"},
        {"epb_before_size",
         H,
         {{hex("4e01 9004 03e8 0100 0003 02aa bb93 0112 80")}},
         "cll@0 1000,256; atc@0 18; messages=3"},
        {"epb_ends_unit", H, {{hex("4e01 9301 1280 0000 03"), kHevcSlice}}, "atc@0 18; messages=1"},
        {"epb_in_every_place",
         A,
         {{avc({{0, std::string(3, '\0')}, {3, std::string(4, '\0')}, cll(0, 0)})}},
         "cll@0 0,0; messages=3"},
        // 0xFF runs in payload types and sizes.
        {"type_and_size_past_255",
         H,
         {{hevc({{515, "\xAA\xBB"}, unregistered(300), {1000, std::string(600, 'x')}, cll()})}},
         "cll@0 1000,400; messages=4"},
        {"ff_run_off_the_end", H, {{hevcUnit(39, "\xFF\xFF\xFF")}}, "messages=0 malformed=1"},
        {"size_ff_run_off_the_end", H, {{hevcUnit(39, "\x89\xFF\xFF")}}, "messages=0 malformed=1"},
        // Broken units and messages.
        {"payload_past_unit",
         H,
         {{hevcUnit(39, "\x89\x18" + std::string(10, '\x11'))}},
         "messages=0 malformed=1"},
        {"payload_past_unit_keeps_earlier",
         H,
         {{hevcUnit(39, annexb::messageBytes(cll()) + "\x89\x18" + std::string(10, '\x11'))}},
         "cll@0 1000,400; messages=1 malformed=1"},
        {"payload_too_short_for_type",
         H,
         {{hevc({{137, std::string(20, '\x11')}, {144, "\x01"}, {147, ""}, cll()})}},
         "cll@0 1000,400; messages=4 malformed=3"},
        {"unit_cut_short",
         H,
         {{hevc({mdcv()}).substr(0, 15), kHevcSlice}},
         "messages=0 malformed=2"},
        {"no_stop_bit",
         H,
         {{hevcUnit(39, annexb::messageBytes(cll()), false)}},
         "cll@0 1000,400; messages=1 malformed=1"},
        {"header_only", H, {{hex("4e01"), hex("4e0180"), hex("06")}}, "messages=0 malformed=2"},
        {"forbidden_bit", H, {{hex("ce01") + hevc({mdcv()}).substr(2)}}, "messages=0 malformed=1"},
        {"temporal_id_zero",
         H,
         {{hex("4e00") + hevc({mdcv()}).substr(2)}},
         "messages=0 malformed=1"},
        {"one_byte_hevc_unit",
         H,
         {{hex("4e"), hevc({cll()})}},
         "cll@0 1000,400; messages=1 malformed=1"},
        // Zero-length units, start codes back to back.
        {"empty_units",
         H,
         {{"", hevc({cll()}), "", "", hevc({atc()}), ""}},
         "cll@0 1000,400; atc@0 18; messages=2"},
        {"empty_packet", H, {{}, {hevc({cll()})}}, "cll@1 1000,400; messages=1"},
        // Caps: units per buffer, messages per buffer, the scratch.
        {"unit_cap",
         H,
         {{std::vector<std::string>(kSeiMostUnits, kHevcSlice)}, {hevc({cll()})}},
         "cll@1 1000,400; messages=1"},
        {"unit_cap_reached",
         H,
         {[] {
             Units units(kSeiMostUnits, "");
             units.push_back(hevc({cll()}));
             return units;
         }()},
         "messages=0 capped=1"},
        {"message_cap",
         H,
         {{hevcUnit(39, manyMessages)}, {hevc({cll()})}},
         "cll@1 1000,400; messages=257 capped=1"},
        {"scratch_cut_after",
         H,
         {{hevc({mdcv(), unregistered(20000)})}},
         kMdcv0 + "messages=1 cut=1"},
        {"scratch_cut_before", H, {{hevc({unregistered(20000), mdcv()})}}, "messages=0 cut=1"},
        // A body of 16377 bytes of user data, 6 of light level, the stop byte:
        // exactly the scratch, then one more byte than it holds.
        {"scratch_exactly_full",
         H,
         {{hevc({unregistered(kSeiScratch - 72), cll()})}},
         "cll@0 1000,400; messages=2"},
        {"scratch_one_byte_short",
         H,
         {{hevc({unregistered(kSeiScratch - 71), cll()})}},
         "cll@0 1000,400; messages=2 cut=1"},
        {"long_zero_run", A, {{manyEmpty, avc({atc()})}}, "atc@0 18; messages=1"},
    };
}

void PrintTo(const Row &row, std::ostream *out) {
    *out << row.name;
}

class FramedRows : public testing::TestWithParam<Row> {};

TEST_P(FramedRows, ReadsTheSameInEveryFraming) {
    const Row &row = GetParam();
    int framed = 0;
    for (const Framing &framing : kFramings) {
        if (!fits(row.packets, framing.lengthSize)) continue;
        ++framed;
        auto reader = newReader(row.codec, framing.lengthSize);
        for (const Units &units : row.packets) {
            const std::string packet = framing.lengthSize > 0
                                           ? annexb::lengthPrefixed(units, framing.lengthSize)
                                       : framing.shortStartCodes ? threeByteAnnexB(units)
                                                                 : annexb::annexB(units);
            sei_read_packet(reader.get(), bytes(packet), packet.size());
        }
        EXPECT_EQ(summary(*reader), row.expected) << "framed as " << framing.name;
        EXPECT_EQ(reader->packets, static_cast<int>(row.packets.size()));
        EXPECT_EQ(reader->stats.buffers, row.packets.size());
    }
    EXPECT_GE(framed, 3);
}

INSTANTIATE_TEST_SUITE_P(Sei, FramedRows, testing::ValuesIn(rows()),
                         [](const testing::TestParamInfo<Row> &info) { return info.param.name; });

// ---- rows of raw bytes, framed as they stand --------------------------------

struct RawRow {
    const char *name;
    SeiCodec codec;
    int lengthSize;
    std::vector<std::string> packets;
    std::string expected;
};

std::vector<RawRow> rawRows() {
    const SeiCodec H = SeiCodec::hevc;
    const std::string unit = hevc({mdcv()});
    const std::string length4 = annexb::lengthPrefixed({unit}, 4);
    return {
        {"garbage_before_first_start_code",
         H,
         0,
         {hex("abcd ef00") + annexb::annexB({unit})},
         kMdcv0 + "messages=1"},
        {"leading_zeros", H, 0, {std::string(7, '\0') + "\x01" + unit}, kMdcv0 + "messages=1"},
        {"trailing_zeros",
         H,
         0,
         {annexb::annexB({unit}) + std::string(9, '\0')},
         kMdcv0 + "messages=1"},
        {"start_code_at_the_end",
         H,
         0,
         {annexb::annexB({unit}) + hex("000001")},
         kMdcv0 + "messages=1"},
        {"three_zeros_inside",
         H,
         0,
         {hex("000001") + unit + hex("000000") + hex("000001") + unit},
         kMdcv0 + "messages=2"},
        {"no_start_code", H, 0, {unit}, "messages=0"},
        // A length past the end: the unit as far as it goes.
        {"length_past_end_whole_message",
         H,
         4,
         {hex("00000100") + unit},
         kMdcv0 + "messages=1 malformed=1"},
        {"length_past_end_cut_message", H, 4, {length4.substr(0, 20)}, "messages=0 malformed=1"},
        {"length_field_cut", H, 4, {length4 + hex("0000")}, kMdcv0 + "messages=1 malformed=1"},
        {"zero_length_units",
         H,
         2,
         {hex("0000 0000") + annexb::lengthPrefixed({unit}, 2)},
         kMdcv0 + "messages=1"},
        {"length_of_three",
         H,
         3,
         {hex("000000") + hex("0000") + char(unit.size()) + unit},
         kMdcv0 + "messages=1"},
    };
}

void PrintTo(const RawRow &row, std::ostream *out) {
    *out << row.name;
}

class RawRows : public testing::TestWithParam<RawRow> {};

TEST_P(RawRows, Read) {
    const RawRow &row = GetParam();
    auto reader = newReader(row.codec, row.lengthSize);
    for (const auto &packet : row.packets)
        sei_read_packet(reader.get(), bytes(packet), packet.size());
    EXPECT_EQ(summary(*reader), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Sei, RawRows, testing::ValuesIn(rawRows()),
                         [](const testing::TestParamInfo<RawRow> &info) {
                             return info.param.name;
                         });

// ---- configuration records -------------------------------------------------

struct ConfigRow {
    const char *name;
    SeiCodec codec;
    int initialLengthSize;
    std::string extradata;
    SeiConfig config;
    int lengthSize;              // after reading the extradata
    std::vector<Units> packets;  // framed as the record says
    std::string expected;
};

// An avcC record: one SPS, one PPS.
std::string avcc(int lengthSize, const std::string &tail = "") {
    const std::string sps = hex("6764001f acd9 4050 0500 0003 0001"), pps = hex("68ebe3cb 22c0");
    std::string out = hex("01 64001f");
    out.push_back(static_cast<char>(0xFC | (lengthSize - 1)));
    out += hex("e1") + annexb::lengthPrefixed({sps}, 2) + hex("01") +
           annexb::lengthPrefixed({pps}, 2) + tail;
    return out;
}

// An hvcC record with one array per unit, each of the unit's own type.
std::string hvcc(int lengthSize, const Units &units, int version = 1) {
    std::string out(23, '\0');
    out[0] = static_cast<char>(version);
    out[1] = 0x02;  // Main 10
    out[21] = static_cast<char>(0xF0 | (lengthSize - 1));
    out[22] = static_cast<char>(units.size());
    for (const auto &unit : units) {
        out.push_back(static_cast<char>(0x80 | ((static_cast<uint8_t>(unit[0]) >> 1) & 0x3F)));
        out += hex("0001") + annexb::lengthPrefixed({unit}, 2);
    }
    return out;
}

std::vector<ConfigRow> configRows() {
    const SeiCodec H = SeiCodec::hevc, A = SeiCodec::h264;
    const std::string vps = hex("40010c01ffff022000000300b0000003000003005d95984090");
    const std::string sps = hex("42010102200000030090000003000003001ea014202000");
    const std::string pps = hex("4401c073c189");
    const std::string seiCll = hevc({cll()});
    const std::string withSei = hvcc(4, {vps, sps, pps, hevc({mdcv()})});
    return {
        {"avcc_4",
         A,
         0,
         avcc(4),
         SeiConfig::avcc,
         4,
         {{avc({mdcv()}), kH264Slice}},
         kMdcv0 + "messages=1"},
        {"avcc_2",
         A,
         0,
         avcc(2),
         SeiConfig::avcc,
         2,
         {{avc({cll()})}},
         "cll@0 1000,400; messages=1"},
        {"avcc_1", A, 4, avcc(1), SeiConfig::avcc, 1, {{avc({atc()})}}, "atc@0 18; messages=1"},
        {"avcc_with_extension_bytes",
         A,
         0,
         avcc(4, hex("fd f8 f8 00")),
         SeiConfig::avcc,
         4,
         {},
         "messages=0"},
        {"avcc_cut_in_pps",
         A,
         0,
         avcc(4).substr(0, avcc(4).size() - 3),
         SeiConfig::avcc,
         4,
         {},
         "messages=0 malformed=1"},
        {"avcc_cut_before_pps_count",
         A,
         0,
         avcc(4).substr(0, 6 + 2 + 14),
         SeiConfig::avcc,
         4,
         {},
         "messages=0 malformed=1"},
        {"hvcc_with_sei_array",
         H,
         0,
         withSei,
         SeiConfig::hvcc,
         4,
         {{seiCll, kHevcSlice}},
         expectDisplay(kSeiInExtradata) + "cll@0 1000,400; messages=2"},
        {"hvcc_2",
         H,
         0,
         hvcc(2, {vps, sps, pps}),
         SeiConfig::hvcc,
         2,
         {{seiCll}},
         "cll@0 1000,400; messages=1"},
        {"hvcc_version_0",
         H,
         0,
         hvcc(4, {vps, sps, pps}, 0),
         SeiConfig::hvcc,
         4,
         {{seiCll}},
         "cll@0 1000,400; messages=1"},
        {"hvcc_cut_in_sei",
         H,
         0,
         withSei.substr(0, withSei.size() - 5),
         SeiConfig::hvcc,
         4,
         {},
         "messages=0 malformed=1"},
        {"hvcc_more_arrays_than_bytes",
         H,
         0,
         [&] {
             std::string record = hvcc(4, {vps});
             record[22] = 9;
             return record;
         }(),
         SeiConfig::hvcc,
         4,
         {},
         "messages=0 malformed=1"},
        {"annexb_extradata",
         H,
         4,
         annexb::annexB({vps, sps, pps, hevc({mdcv()})}),
         SeiConfig::annex_b,
         0,
         {{seiCll, kHevcSlice}},
         expectDisplay(kSeiInExtradata) + "cll@0 1000,400; messages=2"},
        {"annexb_three_byte_extradata",
         A,
         2,
         hex("000001") + avc({atc()}),
         SeiConfig::annex_b,
         0,
         {},
         "atc@-1 18; messages=1"},
        {"unknown_h264",
         A,
         4,
         hex("02 640028 ff e1"),
         SeiConfig::unknown,
         4,
         {{avc({atc()})}},
         "atc@0 18; messages=1"},
        {"hvcc_too_short",
         H,
         2,
         hvcc(4, {}).substr(0, 20),
         SeiConfig::unknown,
         2,
         {},
         "messages=0"},
        {"empty", H, 4, "", SeiConfig::none, 4, {}, "messages=0"},
    };
}

void PrintTo(const ConfigRow &row, std::ostream *out) {
    *out << row.name;
}

class ConfigRows : public testing::TestWithParam<ConfigRow> {};

TEST_P(ConfigRows, SetFramingAndRead) {
    const ConfigRow &row = GetParam();
    auto reader = newReader(row.codec, row.initialLengthSize);
    EXPECT_EQ(sei_read_extradata(reader.get(), bytes(row.extradata), row.extradata.size()),
              row.config);
    EXPECT_EQ(reader->nal_length_size, row.lengthSize);
    for (const Units &units : row.packets) {
        const std::string packet = row.lengthSize > 0
                                       ? annexb::lengthPrefixed(units, row.lengthSize)
                                       : annexb::annexB(units);
        sei_read_packet(reader.get(), bytes(packet), packet.size());
    }
    EXPECT_EQ(summary(*reader), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Sei, ConfigRows, testing::ValuesIn(configRows()),
                         [](const testing::TestParamInfo<ConfigRow> &info) {
                             return info.param.name;
                         });

// ---- the building blocks ---------------------------------------------------

// The units a cursor finds: sizes, "t" after a truncated one.
std::string units(const std::string &buffer, int lengthSize) {
    SeiNalCursor cursor;
    sei_nal_cursor_init(&cursor, bytes(buffer), buffer.size(), lengthSize);
    SeiNalUnit unit;
    std::string out;
    while (sei_next_nal_unit(&cursor, &unit)) {
        EXPECT_GE(unit.data, bytes(buffer));
        EXPECT_LE(unit.data + unit.size, bytes(buffer) + buffer.size());
        out += (out.empty() ? "" : ",") + std::to_string(unit.size) + (unit.truncated ? "t" : "");
    }
    return out;
}

TEST(SeiCursor, SplitsUnits) {
    const struct {
        const char *bytes;
        int lengthSize;
        const char *units;
    } cases[] = {
        {"000001aa 00000001bbcc 00000001", 0, "1,2,0"},
        {"000001aa0000", 0, "1"},
        {"000001 000001 000001dd", 0, "0,0,1"},
        {"0000 0000 01aa 0000 0000 01bb", 0, "1,1"},
        {"aa000001", 0, "0"},
        {"aabb", 0, ""},
        {"", 0, ""},
        {"000001 00000003 00", 0, "4"},
        {"0001aa 0000 0005bb", 2, "1,0,1t"},
        {"02aabb 00 01cc", 1, "2,0,1"},
        {"00000002 aabb 0000", 4, "2"},
        {"ffffffff aa", 4, "1t"},
        {"000003 aabbcc 000001 dd 00", 3, "3,1"},
    };
    for (const auto &c : cases) EXPECT_EQ(units(hex(c.bytes), c.lengthSize), c.units) << c.bytes;
}

TEST(SeiUnescape, RemovesEmulationPrevention) {
    const struct {
        const char *in;
        size_t capacity;
        const char *out;
        size_t consumed;
    } cases[] = {
        {"000003 01", 16, "0000 01", 4},
        {"000003", 16, "0000", 3},
        {"000003 03", 16, "0000 03", 4},
        {"000003 000003 00", 16, "0000 0000 00", 7},
        {"00000003 00", 16, "000000 00", 5},
        {"0003 0000 0300", 16, "0003 0000 00", 6},
        {"01020304", 2, "0102", 2},
        {"0000 03 01", 2, "0000", 3},
        {"", 4, "", 0},
    };
    for (const auto &c : cases) {
        const std::string in = hex(c.in);
        std::string out(c.capacity, '\xEE');
        size_t consumed = 99;
        const size_t written = sei_unescape(
            bytes(in), in.size(), reinterpret_cast<uint8_t *>(&out[0]), c.capacity, &consumed);
        EXPECT_EQ(out.substr(0, written), hex(c.out)) << c.in;
        EXPECT_EQ(consumed, c.consumed) << c.in;
        EXPECT_EQ(out.find_first_not_of('\xEE', written), std::string::npos) << c.in;
    }
}

TEST(SeiReader, GivesChromaticityAndLuminanceAsFfprobeDividesThem) {
    auto reader = newReader(SeiCodec::hevc, 0);
    const std::string packet = annexb::annexB({hevc({mdcv(kOtherDisplay)})});
    sei_read_packet(reader.get(), bytes(packet), packet.size());
    ASSERT_TRUE(reader->facts.mastering_display_found);
    const SeiMasteringDisplay &m = reader->facts.mastering_display;
    const uint16_t *expected[3] = {kOtherDisplay.red, kOtherDisplay.green, kOtherDisplay.blue};
    for (int c = 0; c < 3; ++c) {
        for (int k = 0; k < 2; ++k) {
            EXPECT_EQ(m.primaries[c][k], expected[c][k]);
            EXPECT_DOUBLE_EQ(m.primaries_xy[c][k], expected[c][k] / 50000.0);
        }
    }
    EXPECT_DOUBLE_EQ(m.white_point_xy[0], 0.3127);
    EXPECT_DOUBLE_EQ(m.white_point_xy[1], 0.329);
    EXPECT_DOUBLE_EQ(m.max_luminance_cd_m2, 4000.0);
    EXPECT_DOUBLE_EQ(m.min_luminance_cd_m2, 0.005);
}

TEST(SeiReader, TakesLengthSizesOutsideOneToFourAsAnnexB) {
    for (int size : {-1, 5, 1000}) {
        auto reader = newReader(SeiCodec::hevc, size);
        EXPECT_EQ(reader->nal_length_size, 0);
        const std::string packet = annexb::annexB({hevc({cll()})});
        sei_read_packet(reader.get(), bytes(packet), packet.size());
        EXPECT_EQ(summary(*reader), "cll@0 1000,400; messages=1");
    }
}

TEST(SeiReader, CountsANullPacketAsAnEmptyOne) {
    auto reader = newReader(SeiCodec::h264, 4);
    sei_read_packet(reader.get(), nullptr, 0);
    EXPECT_EQ(sei_read_extradata(reader.get(), nullptr, 0), SeiConfig::none);
    EXPECT_EQ(reader->packets, 1);
    EXPECT_EQ(reader->stats.buffers, 1u);
    EXPECT_EQ(reader->stats.units, 0u);
}

// ---- real streams ------------------------------------------------------------

const std::map<std::string, std::string> &fixtures() {
    static const auto paths = [] {
        av_log_set_level(AV_LOG_QUIET);
        return hdr_fixtures::generateHdrFixtures(MEDIA_FIXTURE_DIR);
    }();
    return paths;
}

// The first video stream's extradata and first `count` packets, as the
// library's demuxing gives them.
struct Demuxed {
    AVCodecID codec = AV_CODEC_ID_NONE;
    std::string extradata;
    std::vector<std::string> packets;
};

Demuxed demux(const std::string &path, int count) {
    Demuxed out;
    AVFormatContext *format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) != 0) return out;
    if (avformat_find_stream_info(format, nullptr) >= 0) {
        const int video = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (video >= 0) {
            const AVCodecParameters *par = format->streams[video]->codecpar;
            out.codec = par->codec_id;
            if (par->extradata) {
                out.extradata.assign(reinterpret_cast<const char *>(par->extradata),
                                     par->extradata_size);
            }
            AVPacket *packet = av_packet_alloc();
            while (static_cast<int>(out.packets.size()) < count &&
                   av_read_frame(format, packet) >= 0) {
                if (packet->stream_index == video) {
                    out.packets.emplace_back(reinterpret_cast<const char *>(packet->data),
                                             packet->size);
                }
                av_packet_unref(packet);
            }
            av_packet_free(&packet);
        }
    }
    avformat_close_input(&format);
    return out;
}

// ffprobe's frames of the first `packets` packets (all when 0).
Json ffprobeFrames(const std::string &path, int packets) {
    std::vector<std::string> line = {MEDIA_FFPROBE,   "-v",   "quiet",
                                     "-print_format", "json", "-show_frames"};
    if (packets > 0) line.insert(line.end(), {"-read_intervals", "%+#" + std::to_string(packets)});
    line.push_back(path);
    const qztest::ProcessResult run = qztest::runProcess(line);
    EXPECT_EQ(run.status, 0) << run.err;
    return Json::parse(run.out)["frames"];
}

const Json *sideData(const Json &frame, const std::string &type) {
    if (!frame.contains("side_data_list")) return nullptr;
    for (const Json &entry : frame["side_data_list"]) {
        if (entry.value("side_data_type", "") == type) return &entry;
    }
    return nullptr;
}

const char kMastering[] = "Mastering display metadata";
const char kLight[] = "Content light level metadata";
const char kHdr10PlusType[] = "HDR Dynamic Metadata SMPTE2094-40 (HDR10+)";

// ffprobe's "34000/50000" against the raw value and its quotient.
void expectFraction(const Json &entry, const char *key, uint32_t raw, double value,
                    const char *denominator) {
    ASSERT_TRUE(entry.contains(key)) << key;
    EXPECT_EQ(entry[key].get<std::string>(), std::to_string(raw) + "/" + denominator) << key;
    EXPECT_DOUBLE_EQ(value, raw / std::stod(denominator)) << key;
}

void expectSameDisplay(const Json &entry, const SeiMasteringDisplay &m) {
    const char *keys[3][2] = {{"red_x", "red_y"}, {"green_x", "green_y"}, {"blue_x", "blue_y"}};
    for (int c = 0; c < 3; ++c) {
        for (int k = 0; k < 2; ++k) {
            expectFraction(entry, keys[c][k], m.primaries[c][k], m.primaries_xy[c][k], "50000");
        }
    }
    expectFraction(entry, "white_point_x", m.white_point[0], m.white_point_xy[0], "50000");
    expectFraction(entry, "white_point_y", m.white_point[1], m.white_point_xy[1], "50000");
    expectFraction(entry, "max_luminance", m.max_luminance, m.max_luminance_cd_m2, "10000");
    expectFraction(entry, "min_luminance", m.min_luminance, m.min_luminance_cd_m2, "10000");
}

struct StreamRow {
    const char *fixture;
    SeiConfig config;
    int lengthSize;
    unsigned extradataSei;  // SEI units in the extradata
    // Where each fact is found: a packet index, kSeiInExtradata, or kAbsent.
    int mastering, light, transfer, hdr10plus;
};
constexpr int kAbsent = -9;

void PrintTo(const StreamRow &row, std::ostream *out) {
    *out << row.fixture;
}

class RealStreams : public testing::TestWithParam<StreamRow> {};

TEST_P(RealStreams, ReadAsFfprobeShowsTheFirstFrames) {
    const StreamRow &row = GetParam();
    const std::string path = fixtures().at(row.fixture);
    const int kPackets = 3;
    const Demuxed demuxed = demux(path, kPackets);
    ASSERT_EQ(demuxed.packets.size(), size_t(kPackets));
    const bool h264 = demuxed.codec == AV_CODEC_ID_H264;
    ASSERT_TRUE(h264 || demuxed.codec == AV_CODEC_ID_HEVC);

    auto reader = newReader(h264 ? SeiCodec::h264 : SeiCodec::hevc, 0);
    EXPECT_EQ(sei_read_extradata(reader.get(), bytes(demuxed.extradata), demuxed.extradata.size()),
              row.config);
    EXPECT_EQ(reader->nal_length_size, row.lengthSize);
    EXPECT_EQ(reader->stats.sei_units, row.extradataSei);
    for (const auto &packet : demuxed.packets) {
        sei_read_packet(reader.get(), bytes(packet), packet.size());
    }
    const SeiFacts &f = reader->facts;
    EXPECT_EQ(reader->stats.malformed, 0u);
    EXPECT_EQ(reader->stats.capped, 0u);
    EXPECT_EQ(f.mastering_display_found ? f.mastering_display_in : kAbsent, row.mastering);
    EXPECT_EQ(f.content_light_found ? f.content_light_in : kAbsent, row.light);
    EXPECT_EQ(f.transfer_found ? f.transfer_in : kAbsent, row.transfer);
    EXPECT_EQ(f.hdr10plus_found ? f.hdr10plus_in : kAbsent, row.hdr10plus);
    EXPECT_FALSE(f.dolby_vision_rpu_found);

    const Json frames = ffprobeFrames(path, kPackets);
    ASSERT_FALSE(frames.empty());
    const Json &first = frames[0];
    if (h264) {
        // FFmpeg 5.1 does not export these from H.264: the encoder's values.
        EXPECT_EQ(sideData(first, kMastering), nullptr);
        EXPECT_EQ(summary(*reader).substr(0, kMdcv0.size()), kMdcv0);
        EXPECT_EQ(f.content_light.max_content_light_level, hdr_fixtures::kMaxCll);
        EXPECT_EQ(f.content_light.max_pic_average_light_level, hdr_fixtures::kMaxFall);
        return;
    }
    const Json *mastering = sideData(first, kMastering);
    ASSERT_EQ(mastering != nullptr, f.mastering_display_found);
    if (mastering) expectSameDisplay(*mastering, f.mastering_display);
    const Json *light = sideData(first, kLight);
    ASSERT_EQ(light != nullptr, f.content_light_found);
    if (light) {
        EXPECT_EQ((*light)["max_content"], f.content_light.max_content_light_level);
        EXPECT_EQ((*light)["max_average"], f.content_light.max_pic_average_light_level);
    }
    if (f.transfer_found) {
        EXPECT_EQ(first["color_transfer"], av_color_transfer_name(AVColorTransferCharacteristic(
                                               f.preferred_transfer_characteristics)));
    }
    // ST 2094-40 shows on one frame of those decoded, whichever is first shown.
    const Json *hdr10plus = nullptr;
    for (const Json &frame : frames) {
        if (const Json *entry = sideData(frame, kHdr10PlusType)) hdr10plus = entry;
    }
    ASSERT_EQ(hdr10plus != nullptr, f.hdr10plus_found);
    if (hdr10plus) {
        EXPECT_EQ((*hdr10plus)["application version"], f.hdr10plus.application_version);
        EXPECT_EQ((*hdr10plus)["num_windows"], f.hdr10plus.num_windows);
        EXPECT_EQ((*hdr10plus)["targeted_system_display_maximum_luminance"],
                  std::to_string(f.hdr10plus.targeted_system_display_maximum_luminance) + "/1");
    }
}

// x265 writes its parameter sets and SEI in the first access unit. mkvmerge
// copies an SEI unit of it (the encoder's user data) into the hvcC record as
// well, and ffmpeg keeps that record when it remuxes; GStreamer's parser
// writes a record of parameter sets only, and ffmpeg's extradata of an
// Annex B stream holds parameter sets only.
const StreamRow kStreams[] = {
    {"hdr10_hevc", SeiConfig::annex_b, 0, 0, 0, 0, kAbsent, kAbsent},
    {"hdr10_mkv", SeiConfig::hvcc, 4, 1, 0, 0, kAbsent, kAbsent},
    {"hdr10_mkv_plain", SeiConfig::hvcc, 4, 1, 0, 0, kAbsent, kAbsent},
    {"hdr10_gst_mp4", SeiConfig::hvcc, 4, 0, 0, 0, kAbsent, kAbsent},
    {"hdr10_mp4", SeiConfig::hvcc, 4, 1, 0, 0, kAbsent, kAbsent},
    {"hdr10_ts", SeiConfig::annex_b, 0, 0, 0, 0, kAbsent, kAbsent},
    {"hlg_hevc", SeiConfig::annex_b, 0, 0, kAbsent, kAbsent, 0, kAbsent},
    {"hlg_atc_hevc", SeiConfig::annex_b, 0, 0, kAbsent, kAbsent, 0, kAbsent},
    {"hlg_mp4", SeiConfig::hvcc, 4, 1, kAbsent, kAbsent, 0, kAbsent},
    {"h264_hdr_mp4", SeiConfig::avcc, 4, 0, 0, 0, kAbsent, kAbsent},
    {"hdr10plus_hevc", SeiConfig::annex_b, 0, 0, 0, 0, kAbsent, hdr_fixtures::kHdr10PlusAccessUnit},
    {"hdr10plus_mp4", SeiConfig::hvcc, 4, 1, 0, 0, kAbsent, hdr_fixtures::kHdr10PlusAccessUnit},
    {"hdr10plus_ts", SeiConfig::annex_b, 0, 0, 0, 0, kAbsent, hdr_fixtures::kHdr10PlusAccessUnit},
    {"dovi_mp4", SeiConfig::hvcc, 4, 1, 0, 0, kAbsent, kAbsent},
};

INSTANTIATE_TEST_SUITE_P(Sei, RealStreams, testing::ValuesIn(kStreams),
                         [](const testing::TestParamInfo<StreamRow> &info) {
                             return std::string(info.param.fixture);
                         });

}  // namespace
