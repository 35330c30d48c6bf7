#include "annexb_editor.h"

#include <stdexcept>

namespace annexb {
namespace {

// Writes bits most significant first.
class BitWriter {
  public:
    void put(uint32_t value, unsigned bits) {
        for (unsigned i = bits; i-- > 0;) {
            current_ = static_cast<uint8_t>(current_ << 1 | ((value >> i) & 1));
            if (++used_ == 8) flush();
        }
    }
    // Zero bits up to the next byte.
    std::string bytes() {
        while (used_ != 0) put(0, 1);
        return out_;
    }

  private:
    void flush() {
        out_.push_back(static_cast<char>(current_));
        current_ = 0;
        used_ = 0;
    }
    std::string out_;
    uint8_t current_ = 0;
    unsigned used_ = 0;
};

void putBe(std::string &out, uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::string withTrailing(const std::string &body, bool trailing) {
    return trailing ? body + '\x80' : body;
}

// Is there a start code (00 00 01) at `at`?
bool startCodeAt(const std::string &s, size_t at) {
    return at + 3 <= s.size() && s[at] == 0 && s[at + 1] == 0 && s[at + 2] == 1;
}

}  // namespace

std::string escape(const std::string &rbsp) {
    std::string out;
    int zeros = 0;
    for (char c : rbsp) {
        const auto byte = static_cast<uint8_t>(c);
        if (zeros >= 2 && byte <= 3) {
            out.push_back('\x03');
            zeros = 0;
        }
        out.push_back(c);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    if (zeros >= 2) out.push_back('\x03');
    return out;
}

std::string messageBytes(const Message &message) {
    std::string out;
    for (unsigned left = message.type;; left -= 255) {
        if (left < 255) {
            out.push_back(static_cast<char>(left));
            break;
        }
        out.push_back('\xFF');
    }
    for (size_t left = message.payload.size();; left -= 255) {
        if (left < 255) {
            out.push_back(static_cast<char>(left));
            break;
        }
        out.push_back('\xFF');
    }
    return out + message.payload;
}

std::string hevcUnit(int type, const std::string &body, bool trailing, int layer,
                     int temporalIdPlus1) {
    std::string out;
    out.push_back(static_cast<char>((type & 0x3F) << 1 | ((layer >> 5) & 1)));
    out.push_back(static_cast<char>((layer & 0x1F) << 3 | (temporalIdPlus1 & 7)));
    return out + escape(withTrailing(body, trailing));
}

std::string h264Unit(int type, const std::string &body, bool trailing) {
    std::string out(1, static_cast<char>(type & 0x1F));
    return out + escape(withTrailing(body, trailing));
}

std::string hevcSei(const std::vector<Message> &messages, bool suffix) {
    std::string body;
    for (const auto &message : messages) body += messageBytes(message);
    return hevcUnit(suffix ? 40 : 39, body);
}

std::string h264Sei(const std::vector<Message> &messages) {
    std::string body;
    for (const auto &message : messages) body += messageBytes(message);
    return h264Unit(6, body);
}

std::string masteringDisplayPayload(const MasteringDisplay &d) {
    std::string out;
    for (const uint16_t *xy : {d.green, d.blue, d.red, d.white}) {
        putBe(out, xy[0], 2);
        putBe(out, xy[1], 2);
    }
    putBe(out, d.maxLuminance, 4);
    putBe(out, d.minLuminance, 4);
    return out;
}

std::string contentLightPayload(uint16_t maxCll, uint16_t maxFall) {
    std::string out;
    putBe(out, maxCll, 2);
    putBe(out, maxFall, 2);
    return out;
}

std::string st2094_40Payload(const Hdr10Plus &m) {
    std::string out = {'\xB5', '\x00', '\x3C', '\x00', '\x01', '\x04'};
    BitWriter bits;
    bits.put(m.applicationVersion, 8);
    bits.put(m.windows, 2);
    for (unsigned w = 1; w < m.windows; ++w) {
        for (int i = 0; i < 6; ++i) bits.put(0, 16);  // corners, ellipse centre
        bits.put(0, 8);                               // rotation angle
        for (int i = 0; i < 3; ++i) bits.put(0, 16);  // ellipse axes
        bits.put(0, 1);                               // overlap process option
    }
    bits.put(m.targetedMaxLuminance, 27);
    bits.put(0, 1);  // no actual peak luminance of the targeted display
    for (unsigned w = 0; w < m.windows; ++w) {
        for (uint32_t value : m.maxscl) bits.put(value, 17);
        bits.put(m.averageMaxrgb, 17);
        bits.put(static_cast<uint32_t>(m.percentiles.size()), 4);
        for (const auto &[percentage, percentile] : m.percentiles) {
            bits.put(percentage, 7);
            bits.put(percentile, 17);
        }
        bits.put(m.fractionBrightPixels, 10);
    }
    bits.put(0, 1);  // no actual peak luminance of the mastering display
    for (unsigned w = 0; w < m.windows; ++w) {
        bits.put(0, 1);  // tone_mapping_flag
        bits.put(0, 1);  // color_saturation_mapping_flag
    }
    return out + bits.bytes();
}

std::vector<Unit> split(const std::string &stream) {
    std::vector<Unit> units;
    size_t at = 0;
    while (at < stream.size() && !startCodeAt(stream, at)) ++at;
    while (at < stream.size()) {
        const size_t offset = at + 3;
        size_t next = offset;
        while (next < stream.size() && !startCodeAt(stream, next)) ++next;
        size_t end = next;
        while (end > offset && stream[end - 1] == 0) --end;
        size_t startCode = at;
        if (startCode > 0 && stream[startCode - 1] == 0) --startCode;
        units.push_back({startCode, offset, end - offset});
        at = next;
    }
    return units;
}

std::string insertBeforeAccessUnit(const std::string &stream, int accessUnit,
                                   const std::string &unit) {
    int seen = -1;
    for (const Unit &u : split(stream)) {
        if (u.size < 3) continue;
        const int type = (static_cast<uint8_t>(stream[u.offset]) >> 1) & 0x3F;
        const bool firstSlice = (static_cast<uint8_t>(stream[u.offset + 2]) & 0x80) != 0;
        if (type >= 32 || !firstSlice) continue;
        if (++seen == accessUnit) {
            return stream.substr(0, u.startCode) + std::string("\0\0\0\1", 4) + unit +
                   stream.substr(u.startCode);
        }
    }
    throw std::runtime_error("the stream has no access unit " + std::to_string(accessUnit));
}

std::string annexB(const std::vector<std::string> &units) {
    std::string out;
    for (const auto &unit : units) out += std::string("\0\0\0\1", 4) + unit;
    return out;
}

std::string lengthPrefixed(const std::vector<std::string> &units, int lengthSize) {
    std::string out;
    for (const auto &unit : units) {
        if (lengthSize < 4 && unit.size() >> (8 * lengthSize) != 0) {
            throw std::runtime_error("a unit of " + std::to_string(unit.size()) +
                                     " bytes needs a longer length field");
        }
        putBe(out, static_cast<uint32_t>(unit.size()), lengthSize);
        out += unit;
    }
    return out;
}

}  // namespace annexb
