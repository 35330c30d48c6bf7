// Builds H.264 and HEVC NAL units, SEI messages among them, and edits Annex B
// byte streams: for test streams that no encoder makes (an ST 2094-40
// message in a later access unit) and for hand-built units. Written apart
// from the library's reader, so that the one checks the other.
#ifndef TESTS_SUPPORT_ANNEXB_EDITOR_H
#define TESTS_SUPPORT_ANNEXB_EDITOR_H

#include <cstdint>
#include <string>
#include <vector>

namespace annexb {

// `rbsp` with an emulation prevention byte (03) after every two zero bytes
// that a byte of 00 to 03 follows, and after two zero bytes that end it.
std::string escape(const std::string &rbsp);

// One SEI message: payload type, payload. Its header codes type and size
// with 0xFF extension bytes.
struct Message {
    unsigned type;
    std::string payload;
};
std::string messageBytes(const Message &message);

// Whole NAL units (no start code): header, escaped body. `body` is the RBSP
// without its trailing bits when `trailing` adds them (the 0x80 stop byte).
std::string hevcUnit(int type, const std::string &body, bool trailing = true, int layer = 0,
                     int temporalIdPlus1 = 1);
std::string h264Unit(int type, const std::string &body, bool trailing = true);
// A prefix (39) or suffix (40) SEI unit, or an H.264 SEI unit (6), holding
// `messages` in order.
std::string hevcSei(const std::vector<Message> &messages, bool suffix = false);
std::string h264Sei(const std::vector<Message> &messages);

// Payloads, the values as the bitstream codes them.
struct MasteringDisplay {
    uint16_t red[2], green[2], blue[2], white[2];  // x, y in units of 0.00002
    uint32_t maxLuminance, minLuminance;           // units of 0.0001 cd/m2
};
std::string masteringDisplayPayload(const MasteringDisplay &display);  // G, B, R order
std::string contentLightPayload(uint16_t maxCll, uint16_t maxFall);

// The user data registered (ITU-T T.35) payload of SMPTE ST 2094-40 dynamic
// metadata: country 0xB5, provider 0x003C, provider-oriented code 0x0001,
// application identifier 4, then the metadata with `windows` processing
// windows (the ones after the first at zero geometry), no actual peak
// luminance tables, no tone mapping or saturation mapping, zero-padded to a
// byte.
struct Hdr10Plus {
    unsigned applicationVersion = 1;
    unsigned windows = 1;
    uint32_t targetedMaxLuminance = 400;  // cd/m2, 27 bits
    uint32_t maxscl[3] = {50000, 45000, 40000};
    uint32_t averageMaxrgb = 10000;
    // (percentage, percentile) pairs, at most 15.
    std::vector<std::pair<unsigned, uint32_t>> percentiles = {
        {1, 100},    {5, 500},    {10, 1000},  {25, 2500}, {50, 5000},
        {75, 10000}, {90, 20000}, {95, 30000}, {99, 45000}};
    unsigned fractionBrightPixels = 0;
};
std::string st2094_40Payload(const Hdr10Plus &metadata);

// A NAL unit found in an Annex B stream.
struct Unit {
    size_t startCode;  // where its start code begins (the 00 of 00 00 00 01 too)
    size_t offset;     // its first byte
    size_t size;       // its bytes, without trailing zero bytes
};
std::vector<Unit> split(const std::string &stream);

// `stream` (HEVC, Annex B) with `unit` inserted, behind a four-byte start
// code, just before the first slice segment of access unit `accessUnit`
// (counted from 0 in decode order). Throws std::runtime_error when the
// stream has fewer access units.
std::string insertBeforeAccessUnit(const std::string &stream, int accessUnit,
                                   const std::string &unit);

// `units` as an Annex B stream (four-byte start codes) or with a big-endian
// length of `lengthSize` bytes before each.
std::string annexB(const std::vector<std::string> &units);
std::string lengthPrefixed(const std::vector<std::string> &units, int lengthSize);

}  // namespace annexb

#endif
