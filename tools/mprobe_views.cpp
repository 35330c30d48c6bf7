// The text views. Every name and text in them goes through escaped().
#include "mprobe_views.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include "media_fields.h"

std::string escaped(const char *text, size_t length) {
    std::string out;
    const auto *c = reinterpret_cast<const unsigned char *>(text);
    for (size_t i = 0; text && i < length; ++i) {
        char escape[8];
        if (c[i] == '\\') {
            out += "\\\\";
        } else if (c[i] == '\n') {
            out += "\\n";
        } else if (c[i] == '\t') {
            out += "\\t";
        } else if (c[i] == '\r') {
            out += "\\r";
        } else if (c[i] < 0x20 || c[i] == 0x7F) {
            snprintf(escape, sizeof escape, "\\x%02x", c[i]);
            out += escape;
        } else if (c[i] == 0xC2 && i + 1 < length && c[i + 1] >= 0x80 && c[i + 1] <= 0x9F) {
            snprintf(escape, sizeof escape, "\\u%04x", c[i + 1]);
            out += escape;
            ++i;
        } else {
            out += static_cast<char>(c[i]);
        }
    }
    return out;
}

std::string escaped(const char *text) {
    return escaped(text, text ? strlen(text) : 0);
}

std::string escaped(const std::string &text) {
    return escaped(text.data(), text.size());
}

void appendf(std::string &out, const char *format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length < 0) return;
    if (static_cast<size_t>(length) < sizeof buffer) {
        out.append(buffer, static_cast<size_t>(length));
        return;
    }
    std::string large(static_cast<size_t>(length) + 1, '\0');
    va_start(args, format);
    vsnprintf(&large[0], large.size(), format, args);
    va_end(args);
    large.pop_back();
    out += large;
}

namespace {

std::string framesPerSecond(double fps) {
    if (!std::isfinite(fps)) return "unknown";
    char text[32];
    snprintf(text, sizeof text, "%.6g", fps);
    return text;
}

// "unknown" for the 0 the library stores when a value is not known.
std::string orUnknown(long long value, const char *unit) {
    return value ? std::to_string(value) + unit : "unknown";
}

// A stream's 32-bit duration as the summary has always shown it, or the full
// value where the 32 bits wrapped (a long MP3 in ticks of 1/14112000 s).
std::string streamDuration(int32_t duration, int64_t full) {
    if (full != MEDIA_PROBE_NO_VALUE && full != duration) return std::to_string(full);
    return std::to_string(duration);
}

// The --record block: the lines of the original record fields that mprobe
// printed by default before it had its view.
std::string textBlock(const MediaContext &c) {
    std::string out;
    appendf(out, "%s\n", escaped(c.filename).c_str());
    appendf(out, "  size       %lld bytes\n", static_cast<long long>(c.file_size));
    appendf(out, "  container  %s\n", escaped(c.container_name).c_str());
    appendf(out, "  type       %s\n", escaped(c.mime_type_str).c_str());
    appendf(out, "  duration   %s\n", orUnknown(c.duration, " ms").c_str());
    appendf(out, "  bit rate   %s\n", orUnknown(c.bit_rate, " bit/s").c_str());
    int n = 0;
    for (const VideoStreamContext *v = c.video; v; v = v->next) {
        appendf(out,
                "  video %d    %s %dx%d, %s fps, %s, duration %s, %d config bytes, %lld index "
                "entries\n",
                n++, v->codec_name ? escaped(v->codec_name).c_str() : "(no decoder)", v->width,
                v->height, framesPerSecond(v->fps).c_str(),
                orUnknown(v->bit_rate, " bit/s").c_str(),
                streamDuration(v->duration, v->duration_ts).c_str(), v->spspps_len,
                static_cast<long long>(v->entry_count));
    }
    n = 0;
    for (const AudioStreamContext *a = c.audio; a; a = a->next) {
        appendf(out, "  audio %d    %s %d Hz, %d channel%s, %s, duration %s, %lld index entries\n",
                n++, a->codec_name ? escaped(a->codec_name).c_str() : "(no decoder)",
                a->sample_rate, a->channels, a->channels == 1 ? "" : "s",
                orUnknown(a->bit_rate, " bit/s").c_str(),
                streamDuration(a->duration, a->duration_ts).c_str(),
                static_cast<long long>(a->entry_count));
    }
    return out;
}

// ---- the default view ------------------------------------------------------
//
// A line for the file, then one per stream in stream order, per chapter and
// per program, and one when the duration is an estimate, all read from the
// complete description (never from the original fields' truncated frame
// rates, 32-bit tick durations or zeros meaning unknown, save a stream's bit
// rate, which is left out when 0). An unknown value is left out of its line.
// docs/man/mprobe.1 gives the layout; keep the two in step.

// Milliseconds as h:mm:ss.fff.
std::string clockText(int64_t ms) {
    const bool negative = ms < 0;
    const uint64_t magnitude =
        negative ? static_cast<uint64_t>(-(ms + 1)) + 1 : static_cast<uint64_t>(ms);
    char text[48];
    snprintf(text, sizeof text, "%s%" PRIu64 ":%02" PRIu64 ":%02" PRIu64 ".%03" PRIu64,
             negative ? "-" : "", magnitude / 3600000, magnitude / 60000 % 60,
             magnitude / 1000 % 60, magnitude % 1000);
    return text;
}

// `ticks` of num/den seconds as h:mm:ss.fff, rounded to the millisecond.
std::string clockText(int64_t ticks, int32_t num, int32_t den) {
    return clockText(av_rescale(ticks, int64_t{num} * 1000, den));
}

// `value` / 1000, rounded half away from zero, for any value.
int64_t thousandths(int64_t value) {
    const int64_t rest = value % 1000;
    return value / 1000 + (rest >= 500 ? 1 : rest <= -500 ? -1 : 0);
}

// "176 kb/s", rounded to the kilobit; below 1000 bit/s in bit/s.
std::string bitRateText(int64_t bitsPerSecond) {
    if (bitsPerSecond < 1000) return std::to_string(bitsPerSecond) + " bit/s";
    return std::to_string(thousandths(bitsPerSecond)) + " kb/s";
}

// A frame rate as its value: "29.97", "23.976", "25"; "0.01667" below 1.
std::string frameRateText(double rate) {
    char text[48];
    if (rate < 1) {
        snprintf(text, sizeof text, "%.4g", rate);
        return text;
    }
    snprintf(text, sizeof text, "%.3f", rate);
    std::string value = text;
    value.erase(value.find_last_not_of('0') + 1);
    if (value.back() == '.') value.pop_back();
    return value;
}

std::string frameRateText(int32_t num, int32_t den) {
    return frameRateText(static_cast<double>(num) / den);
}

// The value of the first tag named `key`, or NULL.
const char *tagValue(const MediaTag *tags, int32_t count, const char *key) {
    for (int32_t i = 0; tags && i < count; ++i) {
        if (tags[i].key && tags[i].value && strcmp(tags[i].key, key) == 0) return tags[i].value;
    }
    return nullptr;
}

std::string quoted(const char *text) {
    return "\"" + escaped(text) + "\"";
}

// A codec's level as its documents name it: H.264 and HEVC as 4.1, MPEG-2
// by its name, the others by their number.
std::string levelText(const char *codec, int32_t level) {
    const std::string name = codec ? codec : "";
    char text[32];
    if (name == "h264" && level > 0) {
        if (level == 9) return "1b";
        snprintf(text, sizeof text, "%d.%d", level / 10, level % 10);
        return text;
    }
    if (name == "hevc" && level > 0 && level % 3 == 0) {
        snprintf(text, sizeof text, "%d.%d", level / 30, level % 30 / 3);
        return text;
    }
    if (name == "mpeg2video") {
        switch (level) {
            case 4:
                return "High";
            case 6:
                return "High 1440";
            case 8:
                return "Main";
            case 10:
                return "Low";
            default:
                break;
        }
    }
    return std::to_string(level);
}

// "h264 (High, level 4.1)": the codec (not the decoder), its profile and level.
std::string codecText(const char *codec, const char *decoder, uint32_t tag, const char *profile,
                      int32_t level) {
    std::string text;
    if (codec || decoder) {
        text = escaped(codec ? codec : decoder);
    } else {
        text = "unknown codec";
        if (tag) {
            char fourcc[AV_FOURCC_MAX_STRING_SIZE] = "";
            av_fourcc_make_string(fourcc, tag);
            text += " (" + escaped(fourcc) + ")";
        }
    }
    std::vector<std::string> details;
    if (profile) details.push_back(escaped(profile));
    if (level != -99) details.push_back("level " + levelText(codec, level));
    for (size_t i = 0; i < details.size(); ++i) {
        text += (i == 0 ? " (" : ", ") + details[i];
    }
    return details.empty() ? text : text + ")";
}

// The interlacing, in the words of FFmpeg's own stream lines.
std::string fieldOrderText(const char *order) {
    static const std::pair<const char *, const char *> kWords[] = {
        {"tt", "top first"},
        {"bb", "bottom first"},
        {"tb", "top coded first (swapped)"},
        {"bt", "bottom coded first (swapped)"},
    };
    for (const auto &[name, words] : kWords) {
        if (strcmp(order, name) == 0) return words;
    }
    return escaped(order);
}

// "yuv420p(tv, bt709, progressive)": the pixel format with the colour range,
// the colour space/primaries/transfer (one name when all three are the
// same) and the field order; as separate items when the format is unknown.
void appendPixels(const VideoStreamContext &v, std::vector<std::string> &items) {
    std::vector<std::string> details;
    if (v.color_range) details.push_back(escaped(v.color_range));
    const char *colour[] = {v.color_space, v.color_primaries, v.color_transfer};
    if (colour[0] || colour[1] || colour[2]) {
        if (colour[0] && colour[1] && colour[2] && strcmp(colour[0], colour[1]) == 0 &&
            strcmp(colour[0], colour[2]) == 0) {
            details.push_back(escaped(colour[0]));
        } else {
            std::string triple;
            for (int i = 0; i < 3; ++i) {
                triple += (i ? "/" : "") + (colour[i] ? escaped(colour[i]) : "unknown");
            }
            details.push_back(triple);
        }
    }
    if (v.field_order) details.push_back(fieldOrderText(v.field_order));
    if (!v.pix_fmt) {
        items.insert(items.end(), details.begin(), details.end());
        return;
    }
    std::string text = escaped(v.pix_fmt);
    for (size_t i = 0; i < details.size(); ++i) text += (i == 0 ? "(" : ", ") + details[i];
    items.push_back(details.empty() ? text : text + ")");
}

// " (default) (forced)": the disposition's names but those in `leaveOut`.
std::string dispositionText(int32_t disposition, int32_t leaveOut) {
    std::string text;
    for (int bit = 0; bit < 32; ++bit) {
        const int flag = static_cast<int>(1u << bit);
        if (!(disposition & flag) || (leaveOut & flag)) continue;
        const char *name = av_disposition_to_string(flag);
        text += " (" + (name ? std::string(name) : "bit " + std::to_string(bit)) + ")";
    }
    return text;
}

// "  #1[0x102](eng) audio: " and the items, the title and the disposition.
std::string streamLine(int32_t index, int32_t id, const char *kind, const MediaTag *tags,
                       int32_t tagCount, std::vector<std::string> items, int32_t disposition,
                       int32_t leaveOut) {
    std::string line = "  #" + std::to_string(index);
    if (id >= 0) {
        char hexId[16];
        snprintf(hexId, sizeof hexId, "[0x%" PRIx32 "]", static_cast<uint32_t>(id));
        line += hexId;
    }
    const char *language = tagValue(tags, tagCount, "language");
    if (language && strcmp(language, "und") != 0) line += "(" + escaped(language) + ")";
    line += std::string(" ") + kind + ":";
    if (const char *title = tagValue(tags, tagCount, "title")) {
        items.push_back("title " + quoted(title));
    }
    for (size_t i = 0; i < items.size(); ++i) line += (i == 0 ? " " : ", ") + items[i];
    return line + dispositionText(disposition, leaveOut) + "\n";
}

// What a scan found of a stream, on a line below the stream's own: its
// packets (frames, for video), keyframes, frame rate as measured (constant,
// or the range it varies in), longest GOP, size, bit rate and duration.
std::string scanLine(const MediaScan &scan, int32_t num, int32_t den, bool video) {
    std::vector<std::string> items;
    items.push_back(std::to_string(scan.packets) +
                    (video ? (scan.packets == 1 ? " frame" : " frames")
                           : (scan.packets == 1 ? " packet" : " packets")));
    const bool timed = num > 0 && den > 0 && scan.duration_ts > 0;
    if (video) {
        items.push_back(std::to_string(scan.keyframe_count) +
                        (scan.keyframe_count == 1 ? " keyframe" : " keyframes"));
        if (scan.vfr) {
            items.push_back("variable frame rate " + frameRateText(scan.frame_rate_min) + " to " +
                            frameRateText(scan.frame_rate_max) + " fps");
        } else if (scan.frame_rate_max > 0) {
            // Constant: the frames over the time they take, which rounding
            // of each timestamp does not change.
            const double rate = timed ? static_cast<double>(scan.packets) * den /
                                            (static_cast<double>(scan.duration_ts) * num)
                                      : scan.frame_rate_max;
            items.push_back("constant frame rate " + frameRateText(rate) + " fps");
        }
        if (scan.gop_max > 0) items.push_back("longest GOP " + std::to_string(scan.gop_max));
    }
    items.push_back(std::to_string(scan.bytes) + " bytes");
    if (scan.bit_rate > 0) items.push_back(bitRateText(scan.bit_rate));
    if (timed) items.push_back(clockText(scan.duration_ts, num, den));
    std::string line = "      scanned:";
    for (size_t i = 0; i < items.size(); ++i) line += (i == 0 ? " " : ", ") + items[i];
    return line + "\n";
}

std::string videoLine(const VideoStreamContext &v) {
    const bool cover = v.disposition & AV_DISPOSITION_ATTACHED_PIC;
    std::vector<std::string> items = {
        codecText(v.codec_id_name, v.codec_name, v.codec_tag, v.profile, v.level)};
    appendPixels(v, items);
    if (v.width > 0 && v.height > 0) {
        std::string size = std::to_string(v.width) + "x" + std::to_string(v.height);
        if (v.sar_num > 0 && v.sar_den > 0) {
            size += " [SAR " + std::to_string(v.sar_num) + ":" + std::to_string(v.sar_den);
            if (v.dar_num > 0 && v.dar_den > 0) {
                size += " DAR " + std::to_string(v.dar_num) + ":" + std::to_string(v.dar_den);
            }
            size += "]";
        }
        items.push_back(size);
    }
    if (!cover) {
        if (v.avg_frame_rate_num > 0 && v.avg_frame_rate_den > 0) {
            items.push_back(frameRateText(v.avg_frame_rate_num, v.avg_frame_rate_den) + " fps");
        } else if (v.r_frame_rate_num > 0 && v.r_frame_rate_den > 0) {
            items.push_back(frameRateText(v.r_frame_rate_num, v.r_frame_rate_den) + " fps");
        }
    }
    if (v.hdr_format) items.push_back(escaped(v.hdr_format));
    if (!cover && v.bit_rate > 0) items.push_back(bitRateText(v.bit_rate));
    if (std::isfinite(v.rotation) && v.rotation != 0) {
        items.push_back("rotation " + framesPerSecond(v.rotation));
    }
    std::string line =
        streamLine(v.stream_index, v.stream_id, cover ? "cover art" : "video", v.tags, v.tag_count,
                   std::move(items), v.disposition, cover ? AV_DISPOSITION_ATTACHED_PIC : 0);
    if (v.scan) line += scanLine(*v.scan, v.time_base_num, v.time_base_den, !cover);
    return line;
}

std::string audioLine(const AudioStreamContext &a) {
    std::vector<std::string> items = {
        codecText(a.codec_id_name, a.codec_name, a.codec_tag, a.profile, -99)};
    if (a.sample_rate > 0) items.push_back(std::to_string(a.sample_rate) + " Hz");
    if (a.channel_layout) {
        items.push_back(escaped(a.channel_layout));
    } else if (a.channels > 0) {
        items.push_back(std::to_string(a.channels) + (a.channels == 1 ? " channel" : " channels"));
    }
    if (a.sample_fmt) items.push_back(escaped(a.sample_fmt));
    if (a.bit_rate > 0) items.push_back(bitRateText(a.bit_rate));
    std::string line = streamLine(a.stream_index, a.stream_id, "audio", a.tags, a.tag_count,
                                  std::move(items), a.disposition, 0);
    if (a.scan) line += scanLine(*a.scan, a.time_base_num, a.time_base_den, false);
    return line;
}

std::string otherLine(const OtherStreamContext &o) {
    std::vector<std::string> items = {
        codecText(o.codec_id_name, nullptr, o.codec_tag, nullptr, -99)};
    const bool attachment = o.kind && strcmp(o.kind, "attachment") == 0;
    const char *file = attachment ? tagValue(o.tags, o.tag_count, "filename") : nullptr;
    if (file) items.push_back("file " + quoted(file));
    std::string line =
        streamLine(o.stream_index, o.stream_id, o.kind ? escaped(o.kind).c_str() : "unknown",
                   o.tags, o.tag_count, std::move(items), o.disposition, 0);
    if (o.scan) line += scanLine(*o.scan, o.time_base_num, o.time_base_den, false);
    return line;
}

std::string programLine(const MediaProgram &p) {
    std::string line = "  program " + std::to_string(p.program_num) + " (id " +
                       std::to_string(p.program_id) + "):";
    std::vector<std::string> items;
    char pid[32];
    if (p.pmt_pid > 0) {
        snprintf(pid, sizeof pid, "PMT PID 0x%" PRIx32, static_cast<uint32_t>(p.pmt_pid));
        items.push_back(pid);
    }
    if (p.pcr_pid > 0) {
        snprintf(pid, sizeof pid, "PCR PID 0x%" PRIx32, static_cast<uint32_t>(p.pcr_pid));
        items.push_back(pid);
    }
    if (const char *name = tagValue(p.tags, p.tag_count, "service_name")) {
        items.push_back("service " + quoted(name));
    }
    if (const char *provider = tagValue(p.tags, p.tag_count, "service_provider")) {
        items.push_back("provider " + quoted(provider));
    }
    if (p.stream_indexes && p.stream_count > 0) {
        std::string streams = "streams";
        for (int32_t i = 0; i < p.stream_count; ++i) {
            streams += " #" + std::to_string(p.stream_indexes[i]);
        }
        items.push_back(streams);
    }
    for (size_t i = 0; i < items.size(); ++i) line += (i == 0 ? " " : ", ") + items[i];
    return line + "\n";
}

std::string chapterLine(const MediaChapter &chapter, int n) {
    std::string line = "  chapter " + std::to_string(n) + ":";
    std::vector<std::string> items;
    if (chapter.time_base_num > 0 && chapter.time_base_den > 0) {
        items.push_back(clockText(chapter.start, chapter.time_base_num, chapter.time_base_den) +
                        " to " +
                        clockText(chapter.end, chapter.time_base_num, chapter.time_base_den));
    }
    if (chapter.title) items.push_back("title " + quoted(chapter.title));
    for (size_t i = 0; i < items.size(); ++i) line += (i == 0 ? " " : ", ") + items[i];
    return line + "\n";
}

// The default view of a described file.
std::string view(const MediaContext &c) {
    std::string out = escaped(c.filename) + ": " + escaped(c.container_name);
    const bool declared = c.duration_us != MEDIA_PROBE_NO_VALUE;
    const bool scanned = c.scan_duration_us != MEDIA_PROBE_NO_VALUE;
    if (declared) out += ", " + clockText(thousandths(c.duration_us));
    // The length the packets give, where the container says another or none.
    if (scanned && (!declared || thousandths(c.scan_duration_us) != thousandths(c.duration_us))) {
        out += (declared ? " (scanned " : ", scanned ") +
               clockText(thousandths(c.scan_duration_us)) + (declared ? ")" : "");
    }
    if (c.total_bit_rate > 0) out += ", " + bitRateText(c.total_bit_rate);
    out += ", " + std::to_string(c.file_size) + " bytes";
    if (const char *title = tagValue(c.tags, c.tag_count, "title")) {
        out += ", title " + quoted(title);
    }
    out += "\n";
    std::vector<std::pair<int32_t, std::string>> streams;
    for (const VideoStreamContext *v = c.video; v; v = v->next) {
        streams.emplace_back(v->stream_index, videoLine(*v));
    }
    for (const AudioStreamContext *a = c.audio; a; a = a->next) {
        streams.emplace_back(a->stream_index, audioLine(*a));
    }
    for (const OtherStreamContext *o = c.other; o; o = o->next) {
        streams.emplace_back(o->stream_index, otherLine(*o));
    }
    std::stable_sort(streams.begin(), streams.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &stream : streams) out += stream.second;
    for (int32_t i = 0; c.chapters && i < c.chapter_count; ++i) {
        out += chapterLine(c.chapters[i], i);
    }
    for (int32_t i = 0; c.programs && i < c.program_count; ++i) out += programLine(c.programs[i]);
    if (c.duration_estimate && strcmp(c.duration_estimate, "bit rate") == 0) {
        out += "  duration estimated from the bit rate (inexact)\n";
    }
    return out;
}

// Seconds with up to six decimals, trailing zeros dropped: "0.5005 s".
std::string seconds(double value) {
    char text[64];
    snprintf(text, sizeof text, "%.6f", value);
    std::string s = text;
    if (s.find('.') != std::string::npos) {
        s.erase(s.find_last_not_of('0') + 1);
        if (s.back() == '.') s.pop_back();
    }
    if (s == "-0") s = "0";
    return s + " s";
}

// The long text: one line per field the table labels, each list element
// under its title, nesting shown by indentation, values in one column. The
// stream lists follow the file's own fields.
struct TextSink {
    std::string out;
    std::string streams;  // the top-level lists, printed last
    std::string *target = &out;
    int depth = 0;
    // Titles and headings not printed until their object gets a line.
    std::vector<std::string> pendingHeadings;

    void line(const char *label, const std::string &value) {
        flushHeadings();
        const int width = std::max(0, 23 - 2 * depth);
        appendf(*target, "%*s%-*s %s\n", 2 * depth, "", width, escaped(label).c_str(),
                value.c_str());
    }
    void flushHeadings() {
        const int first = depth - static_cast<int>(pendingHeadings.size());
        for (size_t i = 0; i < pendingHeadings.size(); ++i) {
            appendf(*target, "%*s%s\n", 2 * (first + static_cast<int>(i)), "",
                    pendingHeadings[i].c_str());
        }
        pendingHeadings.clear();
    }
};

std::string integerText(int64_t value, const MediaFieldHint &hint) {
    char text[160];
    switch (hint.unit) {
        case MEDIA_UNIT_BYTES:
            return std::to_string(value) + " bytes";
        case MEDIA_UNIT_MS_OR_ZERO:
            return orUnknown(value, " ms");
        case MEDIA_UNIT_BPS_OR_ZERO:
            return orUnknown(value, " bit/s");
        case MEDIA_UNIT_BPS:
            return std::to_string(value) + " bit/s";
        case MEDIA_UNIT_HZ:
            return std::to_string(value) + " Hz";
        case MEDIA_UNIT_MICROSECONDS:
            return seconds(static_cast<double>(value) / 1e6);
        case MEDIA_UNIT_TICKS:
            if (hint.time_base_num > 0 && hint.time_base_den > 0) {
                snprintf(text, sizeof text, " (%" PRId64 " ticks of %" PRId32 "/%" PRId32 " s)",
                         value, hint.time_base_num, hint.time_base_den);
                return seconds(static_cast<double>(value) * hint.time_base_num /
                               hint.time_base_den) +
                       text;
            }
            return std::to_string(value) + " ticks";
        case MEDIA_UNIT_RATE:
            snprintf(text, sizeof text, "%" PRId64 "/%" PRId64, hint.pair, value);
            if (value != 0) {
                char rate[64];
                snprintf(rate, sizeof rate, " (%.4g)", static_cast<double>(hint.pair) / value);
                return text + std::string(rate);
            }
            return text;
        case MEDIA_UNIT_ASPECT:
            return std::to_string(hint.pair) + ":" + std::to_string(value);
        case MEDIA_UNIT_TIME_BASE:
            return std::to_string(hint.pair) + "/" + std::to_string(value);
        case MEDIA_UNIT_SIZE:
            return std::to_string(hint.pair) + "x" + std::to_string(value);
        case MEDIA_UNIT_DISPOSITION:
            media_fields_disposition_text(static_cast<int32_t>(value), text, sizeof text);
            return text;
        case MEDIA_UNIT_ID:
            if (value < 0) return std::to_string(value);
            snprintf(text, sizeof text, "%" PRId64 " (0x%" PRIx64 ")", value, value);
            return text;
        case MEDIA_UNIT_NITS:
            return std::to_string(value) + " cd/m2";
        case MEDIA_UNIT_VERSION:
            return std::to_string(hint.pair) + "." + std::to_string(value);
        case MEDIA_UNIT_FLAG:
            return value ? "yes" : "no";
        default:
            return std::to_string(value);
    }
}

MediaFieldSink textSink(TextSink *text) {
    MediaFieldSink sink{};
    sink.opaque = text;
    sink.begin_object = [](void *opaque, const char *key, const char *title) {
        auto *t = static_cast<TextSink *>(opaque);
        if (t->depth++ == 0) {
            appendf(t->out, "%s\n", escaped(title).c_str());  // the file's name
        } else {
            t->pendingHeadings.push_back(escaped(title ? title : key));
        }
    };
    sink.end_object = [](void *opaque) {
        auto *t = static_cast<TextSink *>(opaque);
        if (!t->pendingHeadings.empty()) t->pendingHeadings.pop_back();
        if (--t->depth == 0) t->out += t->streams;
    };
    sink.begin_array = [](void *opaque, const char *) {
        auto *t = static_cast<TextSink *>(opaque);
        if (t->depth == 1) t->target = &t->streams;
    };
    sink.end_array = [](void *opaque) {
        auto *t = static_cast<TextSink *>(opaque);
        if (t->depth == 1) t->target = &t->out;
    };
    sink.integer = [](void *opaque, const char *, int64_t value, const MediaFieldHint *hint) {
        if (!hint->label || (hint->hide_zero && value == 0)) return;
        static_cast<TextSink *>(opaque)->line(hint->label, integerText(value, *hint));
    };
    sink.unsigned_integer = [](void *opaque, const char *, uint64_t value,
                               const MediaFieldHint *hint) {
        if (!hint->label) return;
        std::string text = std::to_string(value);
        if (hint->unit == MEDIA_UNIT_FOURCC) {
            char fourcc[AV_FOURCC_MAX_STRING_SIZE] = "";
            av_fourcc_make_string(fourcc, static_cast<uint32_t>(value));
            char hex[16];
            snprintf(hex, sizeof hex, "0x%08" PRIx64, value);
            text = value ? escaped(fourcc) + " (" + hex + ")" : "none";
        }
        static_cast<TextSink *>(opaque)->line(hint->label, text);
    };
    sink.real = [](void *opaque, const char *, double value, const MediaFieldHint *hint) {
        if (!hint->label || (hint->hide_zero && value == 0)) return;
        std::string text = framesPerSecond(value);
        if (hint->unit == MEDIA_UNIT_DEGREES) text += " degrees";
        if (hint->unit == MEDIA_UNIT_XY) text = framesPerSecond(hint->real_pair) + ", " + text;
        if (hint->unit == MEDIA_UNIT_LUMINANCE) {
            text = framesPerSecond(hint->real_pair) + " to " + text + " cd/m2";
        }
        static_cast<TextSink *>(opaque)->line(hint->label, text);
    };
    sink.text = [](void *opaque, const char *, const char *value, const MediaFieldHint *hint) {
        if (hint->label) static_cast<TextSink *>(opaque)->line(hint->label, escaped(value));
    };
    sink.null = [](void *opaque, const char *, const MediaFieldHint *hint) {
        if (hint->label && !hint->hide_zero) {
            static_cast<TextSink *>(opaque)->line(hint->label, "unknown");
        }
    };
    sink.bytes = [](void *, const char *, const uint8_t *, size_t, const MediaFieldHint *) {};
    sink.index_entry = [](void *, const StreamEntry *) {};
    return sink;
}

}  // namespace

std::string viewText(const MediaContext &c) {
    return view(c);
}

std::string longText(const MediaContext &c) {
    TextSink text;
    const MediaFieldSink sink = textSink(&text);
    const MediaFieldOptions options{false};
    media_fields_describe(&c, &sink, &options);
    return std::move(text.out);
}

std::string recordText(const MediaContext &c) {
    return textBlock(c);
}
