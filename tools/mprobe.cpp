// mprobe: describes media files with the media_probe library.
//
//   mprobe PATH...                 per file a line, then a line per stream, chapter
//                                  and program, on standard output
//   mprobe -l PATH...              every field of the description, a line each
//   mprobe --json PATH...          a JSON array with one object per file
//   mprobe --json-lines PATH...    one JSON object per file and line
//   mprobe --record PATH...        the block of the library's original record fields
//   mprobe --files-from LIST       the paths in LIST ("-": standard input), one a
//                                  line, or NUL-separated with -0
//
// A PATH that is a directory stands for the files in it, in name order
// (names starting with '.' are skipped); with -r also for those in its
// subdirectories, depth first. A path read from a list is probed as it is.
// Files are probed by -j N threads (default: one per core), each with its own
// context, and reported in input order; a list is read while probing goes on.
// Two output forms, or -0 without a list, are a usage error.
//
// Exit status 0 when every file was described, 1 when any failed (each
// failure is named on standard error as it comes, and a count by reason
// follows at the end), 2 on a usage error. The demuxer's own log messages are
// silenced. The library's notes about streams it does not describe as video
// or audio are left out (every output describes those streams), except under
// --record, which shows them as it always did, and with --name-notes, which
// names file and stream in each; they go to standard error, just before the
// file's failure line if it has one, so that standard output holds only the
// descriptions. On a terminal, standard error shows how many files are done.
// Control characters and the backslash in the names and texts of the text
// output and of standard error are shown escaped. A write to standard output
// (or of a message to standard error) that fails ends the run at once with
// status 1 and one message naming the error.
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include "media_fields.h"
#include "media_probe.h"
#include "mprobe_options.h"

namespace {

const char kUsage[] = "usage: mprobe [--json | --json-lines] [-r] [-j N] PATH...\n";
const char kHelp[] =
    "  PATH              a media file, or a directory standing for its files\n"
    "  -r, --recursive   also the files in subdirectories of directories\n"
    "  -j, --jobs N      probe with N threads (default: one per core)\n"
    "\n"
    "  One output form (by default a line per file and per stream):\n"
    "  -l, --long        text with every field of the description\n"
    "      --json        every description in one JSON array\n"
    "      --json-lines  one JSON object per file and line\n"
    "      --record      the block of the library's original record fields\n"
    "\n"
    "      --scan        also read every packet: exact counts, every keyframe, true\n"
    "                    durations, constant or variable frame rate\n"
    "      --no-index    JSON without the seek index and the scan's keyframes (their\n"
    "                    counts stay)\n"
    "      --files-from LIST\n"
    "                    also the paths in the file LIST (- for standard input),\n"
    "                    one a line\n"
    "  -0, --null        the paths in LIST are separated by NUL bytes instead\n"
    "      --name-notes  name file and stream on standard error for each stream the\n"
    "                    library does not describe as video or audio\n"
    "      --version     the version of mprobe and of the FFmpeg libraries\n"
    "  -h, --help        this text\n";

// text: the default view; record: the library's original record fields.
enum class Format { text, record, longText, json, jsonLines };

struct Settings {
    Format format = Format::text;
    bool index = true;
    bool nameNotes = false;
    bool scan = false;

    // What the library is asked for: the index only where it is printed.
    unsigned probeFlags() const {
        const bool printed = index && (format == Format::json || format == Format::jsonLines);
        return (scan ? MEDIA_PROBE_SCAN : 0u) | (printed ? 0u : MEDIA_PROBE_NO_INDEX);
    }
};

// One file to describe, or an input that names none.
struct Input {
    std::string path;
    // Why nothing is probed: a directory that cannot be read, a list line
    // that names no path. Empty for a path to probe.
    std::string error;
};

struct ContextFree {
    void operator()(MediaContext *context) const { free_media_context(context); }
};
using ContextPtr = std::unique_ptr<MediaContext, ContextFree>;

// What one file produced: its text description, or for the JSON outputs
// the probed context itself (written out only when the file's turn comes);
// the library's notes and, on failure, why.
struct Outcome {
    bool described = false;
    std::string output;
    std::string notes;
    std::string error;
    int result = -2;
    ContextPtr context;         // JSON outputs, a described file
    bool hasErrorText = false;  // JSON outputs, a failure: the library's words
    std::string errorText;
};

// The index entries a node holds copied: its seek index and its scan's
// keyframes.
template <typename Node>
int64_t copiedEntries(const Node *node) {
    int64_t entries = node->entries ? node->entry_count : 0;
    if (node->scan && node->scan->keyframes) entries += node->scan->keyframe_count;
    return entries;
}

// The memory an outcome holds until it is reported, roughly: its texts and
// its context's indexes, which dwarf the rest of a context.
size_t heldBytes(const Outcome &outcome) {
    size_t bytes = sizeof outcome + outcome.output.size() + outcome.notes.size();
    if (const MediaContext *c = outcome.context.get()) {
        int64_t entries = 0;
        for (const VideoStreamContext *v = c->video; v; v = v->next) entries += copiedEntries(v);
        for (const AudioStreamContext *a = c->audio; a; a = a->next) entries += copiedEntries(a);
        for (const SubtitleStreamContext *t = c->subtitle; t; t = t->next) {
            entries += t->entries ? t->entry_count : 0;
        }
        bytes += static_cast<size_t>(entries) * sizeof(StreamEntry);
    }
    return bytes;
}

// ---- writing ---------------------------------------------------------------

// Ends the process at once with status 1 after one line on standard error
// naming `stream` and `error`: output that cannot be written must not pass
// for a success, nor go on being produced for nobody. Any thread may call it;
// the first call names its error, later ones wait for the end.
[[noreturn]] void writeFailed(FILE *stream, int error) {
    static std::atomic<bool> failing{false};
    if (failing.exchange(true)) {
        for (;;) pause();
    }
    char words[256];
    const std::string line = std::string("mprobe: ") +
                             (stream == stderr ? "standard error" : "standard output") + ": " +
                             strerror_r(error ? error : EIO, words, sizeof words) + "\n";
    // Past stdio: the stream that failed may be standard error itself.
    if (write(STDERR_FILENO, line.data(), line.size()) < 0) {
        // Nothing is left to tell it on; the status says it.
    }
    _exit(1);
}

// Writes to `stream` or ends the run (writeFailed).
void put(FILE *stream, const char *data, size_t size) {
    if (size > 0 && fwrite(data, 1, size, stream) != size) writeFailed(stream, errno);
}

void put(FILE *stream, const std::string &text) {
    put(stream, text.data(), text.size());
}

void put(FILE *stream, const char *text) {
    put(stream, text, strlen(text));
}

void flushOrFail(FILE *stream) {
    if (fflush(stream) != 0) writeFailed(stream, errno);
}

// A standard descriptor closed at start is held open on /dev/null the other
// way round (standard input for writing, the outputs for reading), so that
// no file mprobe opens takes its number, and reading or writing it fails
// with EBADF as it would have.
void holdClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number, which is `fd` as the lower ones are open.
        const int held = open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (held >= 0 && held != fd) {
            dup2(held, fd);
            close(held);
        }
    }
}

// ---- text ----------------------------------------------------------------

// `text` with control characters (C0, DEL and the C1 range in UTF-8) and the
// backslash written as escapes, so that a crafted name or tag cannot forge
// or rewrite lines, and no two texts read the same.
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

void appendf(std::string &out, const char *format, ...) __attribute__((format(printf, 2, 3)));
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
    std::string line = streamLine(v.stream_index, v.stream_id, cover ? "cover art" : "video",
                                  v.tags, v.tag_count, std::move(items), v.disposition,
                                  cover ? AV_DISPOSITION_ATTACHED_PIC : 0);
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

// ---- JSON ------------------------------------------------------------------

// Writes JSON to a stream as the description is walked, laid out as
// nlohmann's dump lays it out (an indent of 2 under --json, none under
// --json-lines). Nothing is built in memory first: a description with an
// index of millions of entries goes out in blocks of kBlock bytes, and the
// probed context is its only copy.
class JsonWriter {
  public:
    // `depth`: the indentation level of the top value (1 for an element of
    // the --json array); `indent` < 0 for the compact layout.
    JsonWriter(FILE *out, int indent, int depth) : out_(out), indent_(indent), depth_(depth) {
        buffer_.reserve(kBlock + 256);
        if (indent_ > 0) buffer_.append(static_cast<size_t>(indent_ * depth_), ' ');
    }
    ~JsonWriter() { flush(); }
    JsonWriter(const JsonWriter &) = delete;
    JsonWriter &operator=(const JsonWriter &) = delete;

    void beginObject(const char *key) { open(key, '{'); }
    void beginArray(const char *key) { open(key, '['); }
    void end() {
        const Level level = levels_.back();
        levels_.pop_back();
        --depth_;
        if (level.count > 0) newline();
        buffer_ += level.array ? ']' : '}';
        if (buffer_.size() >= kBlock) flush();
    }
    // A value already in JSON form.
    void raw(const char *key, const char *json, size_t length) {
        member(key);
        buffer_.append(json, length);
    }
    template <typename Integer>
    void integer(const char *key, Integer value) {
        char text[24];
        const auto end = std::to_chars(text, text + sizeof text, value).ptr;
        raw(key, text, static_cast<size_t>(end - text));
    }
    // NaN and infinities have no JSON form; they become null.
    void real(const char *key, double value) {
        if (!std::isfinite(value)) return null(key);
        const std::string text = nlohmann::json(value).dump();
        raw(key, text.data(), text.size());
    }
    void text(const char *key, const char *value) {
        member(key);
        buffer_ += quoted(value, strlen(value));
    }
    void text(const char *key, const std::string &value) {
        member(key);
        buffer_ += quoted(value.data(), value.size());
    }
    // A text under a key already in its JSON form (from quoted).
    void textUnderQuotedKey(const std::string &quotedKey, const std::string &value) {
        memberQuoted(quotedKey);
        buffer_ += quoted(value.data(), value.size());
    }
    void null(const char *key) { raw(key, "null", 4); }

    // `text` as a JSON string. Texts need not be UTF-8; undecodable bytes are
    // replaced by U+FFFD, not fatal. Printable ASCII without quotes or
    // backslashes (every key of the field table) goes as it is.
    static std::string quoted(const char *text, size_t length) {
        const bool plain = std::all_of(text, text + length, [](char c) {
            return c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
        });
        if (plain) {
            std::string out;
            out.reserve(length + 2);
            out += '"';
            out.append(text, length);
            out += '"';
            return out;
        }
        return nlohmann::json(std::string(text, length))
            .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }

  private:
    static constexpr size_t kBlock = 64 * 1024;
    struct Level {
        bool array;
        size_t count;
    };

    void flush() {
        put(out_, buffer_);
        buffer_.clear();
    }
    void newline() {
        if (indent_ < 0) return;
        buffer_ += '\n';
        buffer_.append(static_cast<size_t>(indent_ * depth_), ' ');
    }
    // Starts a member of the innermost container: its separator, its
    // indentation and, in an object, its key.
    void member(const char *key) {
        if (!levels_.empty() && !levels_.back().array) {
            memberQuoted(quoted(key ? key : "", key ? strlen(key) : 0));
        } else {
            memberQuoted(std::string());
        }
    }
    void memberQuoted(const std::string &quotedKey) {
        if (levels_.empty()) return;
        Level &level = levels_.back();
        if (level.count++ > 0) buffer_ += ',';
        newline();
        if (!level.array) {
            buffer_ += quotedKey;
            buffer_ += indent_ < 0 ? ":" : ": ";
        }
    }
    void open(const char *key, char bracket) {
        member(key);
        buffer_ += bracket;
        levels_.push_back({bracket == '[', 0});
        ++depth_;
    }

    FILE *out_;
    int indent_;
    int depth_;
    std::string buffer_;
    std::vector<Level> levels_;
};

// The JSON sink. A key repeated in a `tags` object (metadata may hold one
// more than once, and two keys that differ only in bytes that are not UTF-8
// read the same once those are replaced) is written once, with its last
// value, where it first appeared: the tags are gathered first, keyed by the
// key as it is written.
struct JsonSink {
    explicit JsonSink(JsonWriter *to) : writer(to) {}
    JsonWriter *writer;
    size_t depth = 0;
    size_t tagsDepth = 0;  // the depth of the open `tags` object, 0 for none
    std::vector<std::pair<std::string, std::string>> tags;  // quoted key, value
    std::unordered_map<std::string, size_t> tagAt;          // quoted key: its place in tags
};

std::string hex(const uint8_t *bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * length);
    for (size_t i = 0; bytes && i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

MediaFieldSink jsonSink(JsonSink *json) {
    MediaFieldSink sink{};
    sink.opaque = json;
    sink.begin_object = [](void *opaque, const char *key, const char *) {
        auto *j = static_cast<JsonSink *>(opaque);
        j->writer->beginObject(key);
        ++j->depth;
        if (key && strcmp(key, "tags") == 0 && !j->tagsDepth) j->tagsDepth = j->depth;
    };
    sink.begin_array = [](void *opaque, const char *key) {
        auto *j = static_cast<JsonSink *>(opaque);
        j->writer->beginArray(key);
        ++j->depth;
    };
    sink.end_object = sink.end_array = [](void *opaque) {
        auto *j = static_cast<JsonSink *>(opaque);
        if (j->depth == j->tagsDepth) {
            for (const auto &[key, value] : j->tags) j->writer->textUnderQuotedKey(key, value);
            j->tags.clear();
            j->tagAt.clear();
            j->tagsDepth = 0;
        }
        --j->depth;
        j->writer->end();
    };
    sink.integer = [](void *opaque, const char *key, int64_t value, const MediaFieldHint *) {
        static_cast<JsonSink *>(opaque)->writer->integer(key, value);
    };
    sink.unsigned_integer = [](void *opaque, const char *key, uint64_t value,
                               const MediaFieldHint *) {
        static_cast<JsonSink *>(opaque)->writer->integer(key, value);
    };
    sink.real = [](void *opaque, const char *key, double value, const MediaFieldHint *) {
        static_cast<JsonSink *>(opaque)->writer->real(key, value);
    };
    sink.text = [](void *opaque, const char *key, const char *value, const MediaFieldHint *) {
        auto *j = static_cast<JsonSink *>(opaque);
        if (j->depth != j->tagsDepth) return j->writer->text(key, value);
        std::string quotedKey = JsonWriter::quoted(key, strlen(key));
        const auto [at, first] = j->tagAt.emplace(quotedKey, j->tags.size());
        if (first) {
            j->tags.emplace_back(std::move(quotedKey), value);
        } else {
            j->tags[at->second].second = value;
        }
    };
    sink.null = [](void *opaque, const char *key, const MediaFieldHint *) {
        static_cast<JsonSink *>(opaque)->writer->null(key);
    };
    sink.bytes = [](void *opaque, const char *key, const uint8_t *bytes, size_t size,
                    const MediaFieldHint *) {
        static_cast<JsonSink *>(opaque)->writer->text(key, hex(bytes, size).c_str());
    };
    sink.index_entry = [](void *opaque, const StreamEntry *e) {
        JsonWriter &w = *static_cast<JsonSink *>(opaque)->writer;
        w.beginObject(nullptr);
        w.integer("pos", e->pos);
        w.integer("timestamp", e->timestamp);
        w.integer("flags", e->flags);
        w.integer("size", e->size);
        w.integer("min_distance", e->min_distance);
        w.end();
    };
    return sink;
}

// Writes the JSON object of one outcome to `out`.
void writeJson(FILE *out, const Input &input, const Outcome &outcome, const Settings &settings) {
    const bool array = settings.format == Format::json;
    JsonWriter writer(out, array ? 2 : -1, array ? 1 : 0);
    if (outcome.described) {
        JsonSink json(&writer);
        const MediaFieldSink sink = jsonSink(&json);
        const MediaFieldOptions options{settings.index};
        media_fields_describe(outcome.context.get(), &sink, &options);
        return;
    }
    writer.beginObject(nullptr);
    writer.text("filename", input.path);
    if (!media_fields_is_utf8(input.path.data(), input.path.size())) {
        writer.text("filename_bytes",
                    hex(reinterpret_cast<const uint8_t *>(input.path.data()), input.path.size()));
    }
    writer.integer("result", outcome.result);
    writer.text("error", outcome.error.c_str());
    if (outcome.hasErrorText) {
        writer.text("error_text", outcome.errorText.c_str());
    } else {
        writer.null("error_text");
    }
    writer.end();
}

// ---- probing -----------------------------------------------------------------

// The library's note lines of the file being probed on this thread.
thread_local std::vector<std::string> *threadNotes = nullptr;

void collectNote(void *, const char *filename, const char *line) {
    if (threadNotes) {
        threadNotes->emplace_back(line);
    } else {
        put(stderr, "mprobe: " + escaped(filename) + ": " + escaped(line) + "\n");
    }
}

// The notes as they go to standard error: with --name-notes one line per
// stream naming the file and the stream, which the `other` node of the same
// position identifies; under --record the library's own lines, as that form
// always showed them; otherwise none, as every output describes those streams.
std::string formatNotes(const std::vector<std::string> &lines, const std::string &path,
                        const MediaContext *context, const Settings &settings) {
    std::string out;
    if (!settings.nameNotes) {
        if (settings.format != Format::record) return out;
        for (const std::string &line : lines) out += line + "\n";
        return out;
    }
    for (const std::string &stream : media_fields_note_streams(lines, context)) {
        out += "mprobe: " + escaped(path) + ": " + escaped(stream) + " not described\n";
    }
    return out;
}

// The demuxer's words for "no demuxer recognises these bytes", and for an
// allocation failure: the library's error_text says more than these when it
// knows more.
const std::string &errorWords(int error) {
    static const std::string invalid = [] {
        char words[AV_ERROR_MAX_STRING_SIZE] = "";
        av_strerror(AVERROR_INVALIDDATA, words, sizeof words);
        return std::string(words);
    }();
    static const std::string memory = [] {
        char words[AV_ERROR_MAX_STRING_SIZE] = "";
        av_strerror(AVERROR(ENOMEM), words, sizeof words);
        return std::string(words);
    }();
    return error == AVERROR_INVALIDDATA ? invalid : memory;
}

std::string failureReason(int result, int error, const MediaContext *context) {
    if (result == -2) {
        if (error == ENOENT) return "not found";
        return std::string("cannot open: ") + strerror(error);
    }
    if (result == -1) return "out of memory";
    const char *words = context->error_text;
    if (words && words == errorWords(AVERROR(ENOMEM))) return "out of memory";
    if (!context->container_name) {
        if (!words || words == errorWords(AVERROR_INVALIDDATA)) return "not a media file";
        return std::string("not a readable media file (") + words + ")";
    }
    std::string reason = std::string("not a readable media file (") + context->container_name +
                         " container; its streams cannot be read";
    if (words && *words) reason += std::string(": ") + words;  // a limit the probe reached, say
    return reason + ")";
}

// Probes one input with `context` (reused from file to file) and formats the
// result as it will be printed. For the JSON outputs a described file's
// context moves into the outcome and `context` is replaced by a new one.
Outcome describe(const Input &input, ContextPtr &context, const Settings &settings) {
    Outcome outcome;
    int result = -2;
    if (!input.error.empty()) {
        outcome.error = input.error;
    } else {
        std::vector<std::string> notes;
        threadNotes = &notes;
        result = context ? media_probe_file(context.get(), input.path.c_str(),
                                            settings.probeFlags())
                         : -1;
        const int error = errno;
        threadNotes = nullptr;
        if (result != 0) outcome.error = failureReason(result, error, context.get());
        outcome.notes =
            formatNotes(notes, input.path, result >= 0 ? context.get() : nullptr, settings);
    }
    outcome.described = result == 0;
    outcome.result = result;
    if (settings.format != Format::json && settings.format != Format::jsonLines) {
        if (!outcome.described) return outcome;
        if (settings.format == Format::text) {
            outcome.output = view(*context);
        } else if (settings.format == Format::record) {
            outcome.output = textBlock(*context);
        } else {
            TextSink text;
            const MediaFieldSink sink = textSink(&text);
            const MediaFieldOptions options{false};
            media_fields_describe(context.get(), &sink, &options);
            outcome.output = std::move(text.out);
        }
        return outcome;
    }
    if (outcome.described) {
        outcome.context = std::move(context);
        context.reset(create_media_context());
    } else if (result == 1 && context->error_text) {
        outcome.hasErrorText = true;
        outcome.errorText = context->error_text;
    }
    return outcome;
}

// ---- the inputs ------------------------------------------------------------

// Appends the files of `dir` in name order, descending into subdirectories
// when `recursive`. Symbolic links to files count as files; links to
// directories are not followed.
void listDirectory(const std::string &dir, bool recursive, std::vector<Input> &inputs) {
    DIR *stream = opendir(dir.c_str());
    if (!stream) {
        inputs.push_back({dir, std::string("cannot read directory: ") + strerror(errno)});
        return;
    }
    std::vector<std::string> names;
    while (const dirent *entry = readdir(stream)) {
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(stream);
    std::sort(names.begin(), names.end());
    const std::string prefix = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    for (const std::string &name : names) {
        const std::string path = prefix + name;
        struct stat link, target;
        if (lstat(path.c_str(), &link) != 0) continue;
        if (S_ISDIR(link.st_mode)) {
            if (recursive) listDirectory(path, recursive, inputs);
        } else if (stat(path.c_str(), &target) == 0 && S_ISREG(target.st_mode)) {
            inputs.push_back({path, ""});
        }
    }
}

std::vector<Input> expand(char **paths, int count, bool recursive) {
    std::vector<Input> inputs;
    for (int i = 0; i < count; ++i) {
        struct stat info;
        if (stat(paths[i], &info) == 0 && S_ISDIR(info.st_mode)) {
            listDirectory(paths[i], recursive, inputs);
        } else {
            inputs.push_back({paths[i], ""});
        }
    }
    return inputs;
}

// The inputs in order: those of the command line, then the paths of the
// list, read one at a time as probing asks for them.
class InputSource {
  public:
    InputSource(std::vector<Input> fixed, FILE *list, char delimiter)
        : fixed_(std::move(fixed)), list_(list), delimiter_(delimiter) {}
    ~InputSource() { free(line_); }
    InputSource(const InputSource &) = delete;
    InputSource &operator=(const InputSource &) = delete;

    // The number of inputs when known before reading them all.
    bool sized() const { return !list_; }
    size_t size() const { return fixed_.size(); }

    // The next input, false after the last. Not thread-safe.
    bool next(Input &input) {
        if (taken_ < fixed_.size()) {
            input = std::move(fixed_[taken_++]);
            return true;
        }
        while (list_) {
            ssize_t length = getdelim(&line_, &capacity_, delimiter_, list_);
            if (length < 0) {
                if (ferror(list_)) readError_ = errno;
                list_ = nullptr;
                break;
            }
            if (length > 0 && line_[length - 1] == delimiter_) --length;
            if (length == 0) continue;  // an empty line names nothing
            input = {std::string(line_, static_cast<size_t>(length)), ""};
            if (delimiter_ != '\0' && memchr(line_, '\0', static_cast<size_t>(length))) {
                input.error = "not a path (a NUL byte in the list line)";
            }
            return true;
        }
        return false;
    }

    int readError() const { return readError_; }

  private:
    std::vector<Input> fixed_;
    size_t taken_ = 0;
    FILE *list_;
    char delimiter_;
    char *line_ = nullptr;
    size_t capacity_ = 0;
    int readError_ = 0;
};

unsigned coreCount() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
        return static_cast<unsigned>(CPU_COUNT(&set));
    }
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

// ---- reporting -------------------------------------------------------------

// Prints the outcomes in input order as they become available, with the
// progress line on a terminal and the summary of failures at the end.
// `total` is 0 when the number of files is not known in advance (a list).
class Reporter {
  public:
    Reporter(FILE *out, const Settings &settings, bool sized, size_t total)
        : out_(out),
          settings_(settings),
          format_(settings.format),
          sized_(sized),
          total_(total),
          progress_((!sized || total > 1) && isatty(STDERR_FILENO)),
          sharesTerminal_(progress_ && isatty(fileno(out))) {}

    void report(const Input &input, const Outcome &outcome) {
        if (sharesTerminal_ || !outcome.notes.empty() || !outcome.described) clearProgress();
        put(stderr, outcome.notes);
        if (!outcome.described) {
            put(stderr, "mprobe: " + escaped(input.path) + ": " + escaped(outcome.error) + "\n");
            ++failures_;
            auto reason = std::find_if(reasons_.begin(), reasons_.end(),
                                       [&](const auto &r) { return r.first == outcome.error; });
            if (reason == reasons_.end()) {
                reasons_.emplace_back(outcome.error, 1);
            } else {
                ++reason->second;
            }
        }
        if (format_ == Format::json) {
            put(out_, done_ > 0 ? ",\n" : "[\n");
            writeJson(out_, input, outcome, settings_);
        } else if (format_ == Format::jsonLines) {
            writeJson(out_, input, outcome, settings_);
            put(out_, "\n");
        } else if (outcome.described) {
            if (printed_) put(out_, "\n");
            put(out_, outcome.output);
            printed_ = true;
        }
        ++done_;
        showProgress();
    }

    // Ends the output; returns the exit status.
    int end() {
        clearProgress();
        if (format_ == Format::json) put(out_, done_ ? "\n]\n" : "[]\n");
        flushOrFail(out_);
        if (failures_ > 0 && done_ > 1) {
            std::string line;
            appendf(line, "mprobe: %zu of %zu files not described:", failures_, done_);
            for (size_t i = 0; i < reasons_.size(); ++i) {
                appendf(line, "%s %zu %s", i ? "," : "", reasons_[i].second,
                        escaped(reasons_[i].first).c_str());
            }
            put(stderr, line + "\n");
        }
        return failures_ > 0 ? 1 : 0;
    }

  private:
    // Redraws the progress line, at most ten times a second.
    void showProgress() {
        if (!progress_) return;
        const auto time = std::chrono::steady_clock::now();
        if (time - shown_ < std::chrono::milliseconds(100)) return;
        shown_ = time;
        flushOrFail(out_);
        if (sized_) {
            fprintf(stderr, "\rmprobe: %zu of %zu files\033[K", done_, total_);
        } else {
            fprintf(stderr, "\rmprobe: %zu files\033[K", done_);
        }
        showing_ = true;
    }

    void clearProgress() {
        if (!showing_) return;
        flushOrFail(out_);
        fputs("\r\033[K", stderr);
        showing_ = false;
    }

    FILE *out_;
    const Settings &settings_;
    Format format_;
    bool sized_;
    size_t total_;
    bool progress_;
    bool sharesTerminal_;  // descriptions and progress on one terminal
    bool showing_ = false;
    bool printed_ = false;
    size_t done_ = 0, failures_ = 0;
    std::vector<std::pair<std::string, size_t>> reasons_;
    std::chrono::steady_clock::time_point shown_{};
};

// Probes the inputs of `source` on `jobs` threads (this one included) and
// hands the outcomes to the reporter in input order. The thread that
// completes the outcome next in order reports it, with any after it that are
// ready, while the others go on probing: nobody waits just to print. Threads
// run at most `window` files ahead of the reports, and take no new file while
// the finished outcomes waiting for their turn hold more than kHeldLimit
// (a JSON outcome holds its context, index and all), which bounds the memory
// they hold to about kHeldLimit plus one file a thread. Inputs are taken from the source under a
// lock of their own, so that a list being read slowly holds up no report.
void probeInParallel(InputSource &source, unsigned jobs, const Settings &settings,
                     Reporter &reporter) {
    const size_t window = 16 * static_cast<size_t>(jobs);
    constexpr size_t kHeldLimit = size_t{256} << 20;
    size_t held = 0;
    std::map<size_t, std::pair<Input, Outcome>> finished;
    std::mutex lock, inputLock;
    std::condition_variable advanced;
    size_t claimed = 0, reported = 0, numbered = 0;
    bool exhausted = false, reporting = false;

    auto worker = [&] {
        ContextPtr context(create_media_context());
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            advanced.wait(guard, [&] {
                return exhausted || (claimed < reported + window && held <= kHeldLimit);
            });
            if (exhausted) break;
            ++claimed;
            guard.unlock();
            Input input;
            size_t i = 0;
            bool got;
            {
                std::lock_guard<std::mutex> taking(inputLock);
                got = source.next(input);
                if (got) i = numbered++;
            }
            guard.lock();
            if (!got) {
                exhausted = true;
                advanced.notify_all();
                break;
            }
            guard.unlock();
            Outcome outcome = describe(input, context, settings);
            const size_t bytes = heldBytes(outcome);
            guard.lock();
            held += bytes;
            finished.emplace(i, std::make_pair(std::move(input), std::move(outcome)));
            if (reporting) continue;  // the reporting thread will come to it
            reporting = true;
            const size_t before = reported;
            for (auto next = finished.find(reported); next != finished.end();
                 next = finished.find(reported)) {
                auto taken = std::move(next->second);
                finished.erase(next);
                held -= heldBytes(taken.second);
                guard.unlock();
                reporter.report(taken.first, taken.second);
                guard.lock();
                ++reported;
            }
            reporting = false;
            if (reported != before) advanced.notify_all();
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 1; t < jobs; ++t) threads.emplace_back(worker);
    worker();
    for (auto &thread : threads) thread.join();
}

// The output form an option chooses; none for the other options.
std::optional<Format> outputForm(int option) {
    switch (option) {
        case kMprobeJson:
            return Format::json;
        case kMprobeJsonLines:
            return Format::jsonLines;
        case 'l':
            return Format::longText;
        case kMprobeRecord:
            return Format::record;
        default:
            return std::nullopt;
    }
}

int usageError(const char *format, const char *what) {
    fputs("mprobe: ", stderr);
    fprintf(stderr, format, what);
    fprintf(stderr, "\n%s", kUsage);
    return 2;
}

}  // namespace

std::string versionText();  // mprobe_version.cpp

int main(int argc, char **argv) {
    holdClosedStandardDescriptors();
    Settings settings;
    bool recursive = false, nulSeparated = false;
    std::string nulOption;  // -0 or --null, as written
    const char *listPath = nullptr;
    unsigned jobs = 0;
    std::vector<option> longOptions;
    for (const MprobeOption &o : kMprobeOptions) {
        longOptions.push_back({o.name, o.argument, nullptr, o.code});
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});
    const std::string shortOptions = mprobeShortOptions();
    std::string formatOption;  // the option that chose the output form, as written
    opterr = 0;
    for (;;) {
        int longIndex = -1;
        const int opt =
            getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), &longIndex);
        if (opt == -1) break;
        // The option as written: "--long" or "-l".
        const std::string written = longIndex >= 0 ? std::string("--") + longOptions[longIndex].name
                                                   : std::string{'-', static_cast<char>(opt)};
        if (const std::optional<Format> form = outputForm(opt)) {
            // One output form a run: a second one is refused, not preferred.
            if (!formatOption.empty() && *form != settings.format) {
                return usageError("%s", (formatOption + " and " + written +
                                         " cannot be used together: choose one output form")
                                            .c_str());
            }
            settings.format = *form;
            if (formatOption.empty()) formatOption = written;
            continue;
        }
        switch (opt) {
            case kMprobeNoIndex:
                settings.index = false;
                break;
            case kMprobeScan:
                settings.scan = true;
                break;
            case kMprobeFilesFrom:
                listPath = optarg;
                break;
            case '0':
                nulSeparated = true;
                nulOption = written;
                break;
            case kMprobeNameNotes:
                settings.nameNotes = true;
                break;
            case 'r':
                recursive = true;
                break;
            case 'j': {
                char *end = nullptr;
                errno = 0;
                long value = strtol(optarg, &end, 10);
                if (errno || end == optarg || *end || value < 1 || value > 1024) {
                    return usageError("-j needs a number of threads from 1 to 1024, not %s",
                                      optarg);
                }
                jobs = static_cast<unsigned>(value);
                break;
            }
            case 'h':
                put(stdout, std::string(kUsage) + kHelp);
                flushOrFail(stdout);
                return 0;
            case kMprobeVersion: {
                put(stdout, versionText());
                flushOrFail(stdout);
                return 0;
            }
            default: {
                if (optopt == 'j') return usageError("%s needs a number of threads", "-j");
                if (optopt == kMprobeFilesFrom) {
                    return usageError("%s needs a file naming the paths", "--files-from");
                }
                char shortOption[] = {'-', static_cast<char>(optopt), '\0'};
                return usageError("unknown option %s", optopt ? shortOption : argv[optind - 1]);
            }
        }
    }
    if (settings.scan && settings.format == Format::record) {
        return usageError("%s", (formatOption + " and --scan cannot be used together: the "
                                                "original record holds no scan")
                                    .c_str());
    }
    if (nulSeparated && !listPath) {
        return usageError("%s", (nulOption + " needs --files-from: it says how the paths of "
                                             "that list are separated")
                                    .c_str());
    }
    if (optind >= argc && !listPath) {
        fputs(kUsage, stderr);
        return 2;
    }
    FILE *list = nullptr;
    if (listPath) {
        list = strcmp(listPath, "-") == 0 ? stdin : fopen(listPath, "re");
        if (!list) {
            fprintf(stderr, "mprobe: %s: cannot read the list: %s\n", escaped(listPath).c_str(),
                    strerror(errno));
            return 2;
        }
    }

    av_log_set_level(AV_LOG_QUIET);
    media_probe_set_note_handler(collectNote, nullptr);
    InputSource source(expand(argv + optind, argc - optind, recursive), list,
                       nulSeparated ? '\0' : '\n');
    if (jobs == 0) jobs = coreCount();
    if (source.sized()) jobs = static_cast<unsigned>(std::min<size_t>(jobs, source.size()));

    Reporter reporter(stdout, settings, source.sized(), source.size());
    if (jobs <= 1) {
        // One thread: probe here, with no workers to start.
        ContextPtr context(create_media_context());
        for (Input input; source.next(input);) {
            reporter.report(input, describe(input, context, settings));
        }
    } else {
        probeInParallel(source, jobs, settings, reporter);
    }
    int status = reporter.end();
    if (list && list != stdin) fclose(list);
    if (source.readError()) {
        put(stderr, "mprobe: " + escaped(listPath) +
                        ": cannot read the list: " + strerror(source.readError()) + "\n");
        status = 1;
    }
    return status;
}
