// What the SEI messages of a video stream's first pictures say about HDR,
// read from the codec's configuration bytes (extradata) and the first few
// packets without decoding anything. H.264 and HEVC. Internal to the library
// (not installed).
//
// Contract
//  - Use: sei_reader_init, then sei_read_extradata once if the stream has
//    extradata (an avcC or hvcC record sets the NAL length size the packets
//    use; Annex B extradata, as MPEG-TS streams have, leaves start codes),
//    then sei_read_packet for each of the first packets in decode order. The
//    facts accumulate: the first occurrence of each wins, whichever buffer
//    it is in, so a fact that only a later access unit carries is still
//    recorded. The caller decides how many packets to hand over.
//  - Framing: a buffer is Annex B (start codes 00 00 01 or 00 00 00 01;
//    bytes before the first start code are skipped) when nal_length_size is
//    0, else a sequence of units each preceded by a big-endian length of
//    nal_length_size bytes (1 to 4; the records allow 1, 2 and 4).
//  - What is read: H.264 SEI units (type 6) and HEVC prefix and suffix SEI
//    units (39, 40) of layer 0; their messages (payload type and size with
//    0xFF extension bytes, several per unit, up to the RBSP stop bit) after
//    the emulation prevention bytes are removed. Mastering display colour
//    volume (137), content light level (144) and alternative transfer
//    characteristics (147) count in H.264 SEI and HEVC prefix SEI; user data
//    registered by ITU-T T.35 (4) in either HEVC kind too. An HEVC NAL unit
//    of type 62 that starts as a Dolby Vision RPU does (prefix byte 0x19)
//    is noted. Nothing else is interpreted.
//  - Hostile input: every length is checked against what is left; a unit
//    whose length runs past its buffer is read as far as the buffer goes; a
//    message that runs past its unit, or is too short for its type, is not
//    recorded (and stats.malformed counts it). Per buffer at most
//    kSeiMostUnits NAL units and kSeiMostMessages SEI messages are examined
//    (stats.capped counts the buffers a cap ended). An SEI unit is unescaped
//    into the reader's own scratch of kSeiScratch bytes; a longer one is
//    read as far as the scratch holds (stats.units_cut). Work is linear in
//    the buffer's size; no recursion.
//  - Memory: a SeiReader holds everything it needs, the scratch included
//    (a little over 16 KiB: allocate it rather than put it on a small
//    stack). No function allocates or keeps a pointer to the caller's bytes.
//    Readers are independent of each other; one reader is not for several
//    threads.
#ifndef MEDIA_PARSER_SEI_READER_H
#define MEDIA_PARSER_SEI_READER_H

#include <cstddef>
#include <cstdint>

constexpr int kSeiMostUnits = 1024;
constexpr int kSeiMostMessages = 256;
constexpr size_t kSeiScratch = 16384;

enum class SeiCodec { h264, hevc };

// What sei_read_extradata found.
enum class SeiConfig {
    none,     // no bytes
    annex_b,  // start codes: packets are Annex B too
    avcc,     // an AVCDecoderConfigurationRecord
    hvcc,     // an HEVCDecoderConfigurationRecord
    unknown,  // neither: the NAL length size is left as it was
};

// The mastering display colour volume. Indexes 0, 1, 2 are red, green and
// blue (the bitstream sends them as green, blue, red); [i][0] is x, [i][1] y.
struct SeiMasteringDisplay {
    // As coded: chromaticity in units of 0.00002, luminance of 0.0001 cd/m2.
    uint16_t primaries[3][2];
    uint16_t white_point[2];
    uint32_t max_luminance;
    uint32_t min_luminance;
    // The same divided out, as ffprobe's fractions show them ("34000/50000",
    // "10000000/10000"): CIE 1931 x and y, and cd/m2.
    double primaries_xy[3][2];
    double white_point_xy[2];
    double max_luminance_cd_m2;
    double min_luminance_cd_m2;
};

// Content light level information, in cd/m2.
struct SeiContentLight {
    uint16_t max_content_light_level;      // MaxCLL
    uint16_t max_pic_average_light_level;  // MaxFALL
};

// The head of SMPTE ST 2094-40 dynamic metadata (user data registered by
// ITU-T T.35: country 0xB5, provider 0x003C, provider-oriented code 0x0001,
// application identifier 4). Recorded when its fields up to
// targeted_system_display_maximum_luminance are there and num_windows is 1
// to 3, as the decoder requires.
struct SeiHdr10Plus {
    uint8_t application_version;
    uint8_t num_windows;
    uint32_t targeted_system_display_maximum_luminance;  // cd/m2
};

// Where a fact was first found: in the extradata, or in the packet with this
// index (0 for the first one read).
constexpr int kSeiInExtradata = -1;

struct SeiFacts {
    bool mastering_display_found;
    int mastering_display_in;
    SeiMasteringDisplay mastering_display;

    bool content_light_found;
    int content_light_in;
    SeiContentLight content_light;

    // Alternative transfer characteristics: 18 is HLG (arib-std-b67).
    bool transfer_found;
    int transfer_in;
    uint8_t preferred_transfer_characteristics;

    bool hdr10plus_found;
    int hdr10plus_in;
    SeiHdr10Plus hdr10plus;

    bool dolby_vision_rpu_found;
    int dolby_vision_rpu_in;
};

// Counts over everything read so far.
struct SeiStats {
    uint32_t buffers;    // the extradata and the packets read
    uint32_t units;      // NAL units examined
    uint32_t sei_units;  // of those, SEI units read
    uint32_t messages;   // SEI messages whose header and payload were whole
    // Units and messages that broke off: a length running past its buffer, a
    // message past its unit, a payload too short for its type, no stop bit.
    uint32_t malformed;
    uint32_t units_cut;  // SEI units longer than the scratch
    uint32_t capped;     // buffers whose walk a cap ended
};

struct SeiReader {
    SeiCodec codec;
    int nal_length_size;  // 0: Annex B
    int packets;          // packets read so far
    SeiFacts facts;
    SeiStats stats;
    uint8_t scratch[kSeiScratch];
};

// Starts a reader for `codec` whose packets are framed as `nal_length_size`
// says (0 for Annex B; a value outside 0..4 is taken as 0).
void sei_reader_init(SeiReader *reader, SeiCodec codec, int nal_length_size);

// Reads the codec's extradata: an avcC (H.264) or hvcC (HEVC) record, whose
// NAL unit arrays are walked and whose NAL length size the packets are then
// read with, or Annex B. SEI units found there count as kSeiInExtradata.
SeiConfig sei_read_extradata(SeiReader *reader, const uint8_t *data, size_t size);

// Reads one packet (an access unit) framed as reader->nal_length_size says.
void sei_read_packet(SeiReader *reader, const uint8_t *data, size_t size);

// The building blocks, for the tests and whoever needs them on their own.

// A NAL unit as it stands in its buffer: its header, emulation prevention
// bytes and all. Annex B units lose their trailing zero bytes (the first byte
// of a four-byte start code, trailing_zero_8bits).
struct SeiNalUnit {
    const uint8_t *data;
    size_t size;
    bool truncated;  // its length ran past the buffer: this is what is left
};

struct SeiNalCursor {
    const uint8_t *data;
    size_t size;
    size_t position;
    int length_size;
    bool done;
};

void sei_nal_cursor_init(SeiNalCursor *cursor, const uint8_t *data, size_t size,
                         int nal_length_size);
// The next unit, possibly empty (start codes back to back, a zero length);
// false at the end. A length field cut by the end of the buffer ends it.
bool sei_next_nal_unit(SeiNalCursor *cursor, SeiNalUnit *unit);

// Copies `src` to `dst` without its emulation prevention bytes (the 03 of
// each 00 00 03), at most `capacity` bytes. Returns how many were written;
// *consumed says how many of `src` they came from (size when all fitted).
size_t sei_unescape(const uint8_t *src, size_t size, uint8_t *dst, size_t capacity,
                    size_t *consumed);

// The coded picture size of an HEVC stream's configuration bytes (an hvcC
// record, or Annex B when the bytes start as FFmpeg's decoder takes Annex B
// extradata): pic_width_in_luma_samples and pic_height_in_luma_samples of the
// sequence parameter set with the lowest id, the size the decoder sets when
// it opens on them. False when no whole SPS is found that far.
bool hevc_sps_coded_size(const uint8_t *data, size_t size, int32_t *width, int32_t *height);

#endif
