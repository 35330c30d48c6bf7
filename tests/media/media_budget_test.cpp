// Probes that could exhaust the machine, and probes on a machine that is
// exhausted. First a table of hostile inputs with the limit each probe must
// reach, probed and scanned (MEDIA_PROBE_SCAN), and the inputs only a scan
// reads far enough to meet: every probe runs in a child process, whose
// processor time and peak memory the kernel reports (getrusage of the
// child), and which is killed should it never end. Then probes starved of processor time, by many
// threads on the machine's cores or by being stopped and continued, must
// describe a file exactly as a probe running freely does; a path swapped
// between a file and a FIFO or a device must be read or refused, never hang;
// and the limits themselves are read, set, refused and restored.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "media_fixtures.h"
#include "media_probe.h"
#include "media_summary.h"
#include "process.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::map<std::string, std::string> &fixtures() {
    static const auto paths = media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR);
    return paths;
}

// H.264 in MPEG-TS whose probe decodes frames: at 1080p some 40 ms of
// processor time, so that a probe sharing two cores with 63 others takes a
// second or more; at 2160p some 90 ms, so that one held to a few percent of a
// core takes seconds.
std::string busyFile(const char *size, const char *seconds, const char *name) {
    return media_fixtures::makeWithFfmpeg(
        fs::path(fixtures().at("ts")).parent_path().string(),
        {"-f", "lavfi", "-i", std::string("testsrc=size=") + size + ":rate=25:duration=" + seconds,
         "-c:v", "libx264", "-preset", "ultrafast"},
        name);
}

const std::string &busy1080p() {
    static const std::string path = busyFile("1920x1080", "2", "busy-1080p.ts");
    return path;
}

const std::string &busy2160p() {
    static const std::string path = busyFile("3840x2160", "0.4", "busy-2160p.ts");
    return path;
}

std::string be16(uint16_t v) {
    return {char(v >> 8), char(v)};
}

std::string be32(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string box(const char *type, const std::string &payload) {
    return be32(static_cast<uint32_t>(8 + payload.size())) + type + payload;
}

std::string fullBox(const char *type, uint32_t versionAndFlags, const std::string &payload) {
    return box(type, be32(versionAndFlags) + payload);
}

// An MP4 of one video track whose sample tables declare `samples` samples of
// one byte in a single chunk, followed by `data` as its media data; `after`
// goes in the movie box after the track. With `edits`, the track's edit list
// plays all its samples that many times over.
std::string sampleTableMp4(uint32_t samples, const std::string &data, const std::string &after = "",
                           uint32_t edits = 0) {
    const std::string zeros32(32, '\0');
    std::string matrix;
    for (uint32_t v : {0x10000u, 0u, 0u, 0u, 0x10000u, 0u, 0u, 0u, 0x40000000u}) matrix += be32(v);
    const std::string mvhd =
        fullBox("mvhd", 0,
                be32(0) + be32(0) + be32(1000) + be32(1000) + be32(0x10000) + be16(0x100) +
                    zeros32.substr(0, 10) + matrix + zeros32.substr(0, 24) + be32(2));
    const std::string tkhd =
        fullBox("tkhd", 3,
                be32(0) + be32(0) + be32(1) + be32(0) + be32(1000) + zeros32.substr(0, 16) +
                    matrix + be32(16 << 16) + be32(16 << 16));
    const std::string mdhd =
        fullBox("mdhd", 0, be32(0) + be32(0) + be32(1000) + be32(samples) + be16(0x55c4) + be16(0));
    const std::string hdlr =
        fullBox("hdlr", 0, be32(0) + "vide" + zeros32.substr(0, 12) + std::string("v\0", 2));
    const std::string entry = zeros32.substr(0, 6) + be16(1) + zeros32.substr(0, 16) + be16(16) +
                              be16(16) + be32(0x480000) + be32(0x480000) + be32(0) + be16(1) +
                              zeros32 + be16(24) + be16(0xffff);
    const std::string tables = fullBox("stsd", 0, be32(1) + box("mp4v", entry)) +
                               fullBox("stts", 0, be32(1) + be32(samples) + be32(1)) +
                               fullBox("stsc", 0, be32(1) + be32(1) + be32(samples) + be32(1)) +
                               fullBox("stsz", 0, be32(1) + be32(samples));
    auto moov = [&](uint32_t dataOffset) {
        const std::string dinf = box("dinf", fullBox("dref", 0, be32(1) + fullBox("url ", 1, "")));
        const std::string stbl =
            box("stbl", tables + fullBox("stco", 0, be32(1) + be32(dataOffset)));
        const std::string minf =
            box("minf", fullBox("vmhd", 1, zeros32.substr(0, 8)) + dinf + stbl);
        std::string edts;
        if (edits > 0) {
            std::string list = be32(edits);
            for (uint32_t i = 0; i < edits; ++i) list += be32(samples) + be32(0) + be32(0x10000);
            edts = box("edts", fullBox("elst", 0, list));
        }
        return box("moov",
                   mvhd + box("trak", tkhd + edts + box("mdia", mdhd + hdlr + minf)) + after);
    };
    const std::string ftyp = box("ftyp", std::string("isom") + be32(512) + "isomiso2mp41");
    const auto dataOffset = static_cast<uint32_t>(ftyp.size() + moov(0).size() + 8);
    return ftyp + moov(dataOffset) + box("mdat", data);
}

// EBML, written by hand: an element of `id` (its bytes as written, without
// leading zero bytes) holding `payload`, its size in as few bytes as it takes.
std::string ebml(uint32_t id, const std::string &payload) {
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        if (id >> shift || !out.empty()) out += char(id >> shift);
    }
    const uint64_t size = payload.size();
    int length = 1;
    while (length < 8 && size + 1 >= uint64_t{1} << (7 * length)) ++length;
    for (int i = length - 1; i >= 0; --i) {
        uint8_t byte = uint8_t(size >> (8 * i));
        if (i == length - 1) byte |= uint8_t(0x80 >> (length - 1));
        out += char(byte);
    }
    return out + payload;
}

std::string ebmlUint(uint32_t id, uint64_t value) {
    std::string bytes;
    do {
        bytes.insert(bytes.begin(), char(value & 0xFF));
        value >>= 8;
    } while (value);
    return ebml(id, bytes);
}

// A Matroska file of one SubRip track and one cluster, with `elements`
// (chapters, tags, cues) between its tracks and its cluster.
std::string matroska(const std::string &elements) {
    const std::string header =
        ebml(0x1A45DFA3, ebmlUint(0x4286, 1) + ebmlUint(0x42F7, 1) + ebmlUint(0x42F2, 4) +
                             ebmlUint(0x42F3, 8) + ebml(0x4282, "matroska") + ebmlUint(0x4287, 4) +
                             ebmlUint(0x4285, 2));
    const std::string info =
        ebml(0x1549A966, ebmlUint(0x2AD7B1, 1000000) + ebml(0x4D80, "hand") + ebml(0x5741, "hand"));
    const std::string track = ebml(0xAE, ebmlUint(0xD7, 1) + ebmlUint(0x73C5, 1) +
                                             ebmlUint(0x83, 0x11) + ebml(0x86, "S_TEXT/UTF8"));
    const std::string block =
        ebml(0xA0, ebml(0xA1, std::string("\x81\x00\x00\x80", 4) + "text") + ebmlUint(0x9B, 1000));
    const std::string cluster = ebml(0x1F43B675, ebmlUint(0xE7, 0) + block);
    return header + ebml(0x18538067, info + ebml(0x1654AE6B, track) + elements + cluster);
}

// Simple tags of distinct eight-character names in one tag element: the
// demuxer searches the file's dictionary for each name, then rebuilds it.
std::string matroskaTags(int count) {
    std::string simple;
    char name[16];
    for (int i = 0; i < count; ++i) {
        snprintf(name, sizeof name, "T%07d", i);
        simple += ebml(0x67C8, ebml(0x45A3, name) + ebml(0x4487, "v"));
    }
    return ebml(0x1254C367, ebml(0x7373, ebml(0x63C0, "") + simple));
}

// Simple tags nested `depth` deep, each with a language and marked default,
// around `leaves` more: the demuxer converts each level's children once for
// each of the two keys of their parent, so the entries double at each level
// (some 400,000 from 5 KB).
std::string matroskaNestedTags(int depth, int leaves) {
    auto simple = [](const std::string &name, const std::string &children) {
        return ebml(0x67C8, ebml(0x45A3, name) + ebml(0x4487, "v") + ebml(0x447A, "eng") +
                                ebmlUint(0x4484, 1) + children);
    };
    std::string tags;
    for (int i = 0; i < leaves; ++i) tags += simple("L" + std::to_string(i), "");
    for (int level = 0; level < depth; ++level) tags = simple("N" + std::to_string(level), tags);
    return ebml(0x1254C367, ebml(0x7373, ebml(0x63C0, "") + tags));
}

// Chapters starting one after the other whose ids are not in order, so that
// each new one is searched for among all before it.
std::string matroskaChapters(int count) {
    std::string atoms;
    for (int i = 0; i < count; ++i) {
        const uint64_t uid = i % 2 ? uint64_t(i) : uint64_t(4 * count - i);
        atoms += ebml(0xB6, ebmlUint(0x73C4, uid) + ebmlUint(0x91, uint64_t(i + 1) * 1000000) +
                                ebml(0x80, ebml(0x85, "c")));
    }
    return ebml(0x1043A770, ebml(0x45B9, atoms));
}

// Cues whose times fall, before the cluster: each is inserted at the front of
// the index, moving every entry after it.
std::string matroskaFallingCues(int count) {
    std::string points;
    for (int i = 0; i < count; ++i) {
        points += ebml(0xBB, ebmlUint(0xB3, uint64_t(count - i)) +
                                 ebml(0xB7, ebmlUint(0xF7, 1) + ebmlUint(0xF1, 0)));
    }
    return ebml(0x1C53BB6B, points);
}

// An ID3v2.3 tag of `count` user text frames of distinct descriptions.
std::string id3Tag(int count) {
    std::string frames;
    char description[16];
    for (int i = 0; i < count; ++i) {
        snprintf(description, sizeof description, "K%07d", i);
        const std::string body = std::string(1, '\0') + description + std::string(1, '\0') + "v";
        frames += std::string("TXXX") + be32(static_cast<uint32_t>(body.size())) +
                  std::string(2, '\0') + body;
    }
    const auto size = static_cast<uint32_t>(frames.size());
    const std::string syncsafe = {char(size >> 21 & 0x7F), char(size >> 14 & 0x7F),
                                  char(size >> 7 & 0x7F), char(size & 0x7F)};
    return std::string("ID3\x03\x00\x00", 6) + syncsafe + frames;
}

// MPEG-TS sections and Ogg pages carry a CRC-32 (polynomial 0x04C11DB7, most
// significant bit first), from 0xFFFFFFFF and from 0 respectively.
uint32_t mpegCrc(const std::string &bytes, uint32_t crc = 0xFFFFFFFF) {
    for (unsigned char byte : bytes) {
        crc ^= uint32_t{byte} << 24;
        for (int bit = 0; bit < 8; ++bit) crc = crc & 0x80000000 ? crc << 1 ^ 0x04C11DB7 : crc << 1;
    }
    return crc;
}

// Section `number` of `last` + 1 of `table` with `body`, in 188-byte packets
// of `pid`.
std::string tsSection(uint16_t pid, uint8_t table, uint16_t extension, int number, int last,
                      const std::string &body) {
    const std::string content =
        be16(extension) + std::string{'\xC1', char(number), char(last)} + body;
    const auto length = static_cast<uint16_t>(content.size() + 4);
    std::string section = std::string(1, char(table)) + be16(0xB000 | length) + content;
    section += be32(mpegCrc(section));
    std::string data = std::string(1, '\0') + section, packets;
    for (int counter = 0; !data.empty(); ++counter) {
        std::string payload = data.substr(0, 184);
        data.erase(0, payload.size());
        payload.resize(184, '\xFF');
        packets += std::string(1, '\x47') + be16((counter == 0 ? 0x4000 : 0) | pid) +
                   char(0x10 | (counter & 15)) + payload;
    }
    return packets;
}

// MPEG-TS whose programs declare `count` H.264 streams, 128 a program over
// the PIDs there are; the demuxer makes a stream of each up to 1000, and
// stream-info reading opens a decoder for each.
std::string tsStreams(int count) {
    const int programs = (count + 127) / 128;
    std::string pat, ts;
    for (int p = 0; p < programs; ++p)
        pat += be16(uint16_t(p + 1)) + be16(uint16_t(0xE020 + p % 192));
    const int sections = static_cast<int>((pat.size() + 999) / 1000);
    for (int i = 0; i < sections; ++i) {
        ts += tsSection(0, 0, 1, i, sections - 1, pat.substr(size_t(i) * 1000, 1000));
    }
    for (int p = 0, declared = 0; p < programs; ++p) {
        std::string streams;
        for (int i = 0; i < 128 && declared < count; ++i, ++declared) {
            streams += std::string(1, '\x1B') + be16(uint16_t(0xE000 | (0x100 + declared % 7900))) +
                       be16(0xF000);
        }
        ts += tsSection(uint16_t(0x20 + p % 192), 2, uint16_t(p + 1), 0, 0,
                        be16(0xFFFF) + be16(0xF000) + streams);
    }
    return ts + ts;
}

std::string le32(uint32_t v) {
    return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

// A list of Vorbis comments, `count` of one name when `name` is given, else
// of distinct names.
std::string vorbisComments(int count, const char *name = nullptr) {
    std::string list = le32(1) + "x" + le32(static_cast<uint32_t>(count));
    char comment[32];
    for (int i = 0; i < count; ++i) {
        const int length = name ? snprintf(comment, sizeof comment, "%s=x", name)
                                : snprintf(comment, sizeof comment, "K%07d=v", i);
        list += le32(static_cast<uint32_t>(length)) + std::string(comment, size_t(length));
    }
    return list;
}

// `flac` (a native FLAC file) with its Vorbis comment block replaced by
// `comments`.
std::string flacWithComments(const std::string &flac, const std::string &comments) {
    std::string out = "fLaC", blocks;
    size_t at = 4;
    for (bool last = false; !last && at + 4 <= flac.size();) {
        const auto type = static_cast<uint8_t>(flac[at]);
        const size_t size = size_t(uint8_t(flac[at + 1])) << 16 |
                            size_t(uint8_t(flac[at + 2])) << 8 | uint8_t(flac[at + 3]);
        last = type & 0x80;
        if ((type & 0x7F) != 4) blocks += char(type & 0x7F) + flac.substr(at + 1, 3 + size);
        at += 4 + size;
    }
    const auto size = static_cast<uint32_t>(comments.size());
    blocks += std::string{'\x84', char(size >> 16), char(size >> 8), char(size)} + comments;
    return out + blocks + flac.substr(at);
}

// `ogg` (Ogg Vorbis) with its comment packet replaced by one of `comments`,
// its packets put in pages anew.
std::string oggWithComments(const std::string &ogg, const std::string &comments) {
    std::vector<std::string> packets;
    std::vector<int64_t> granules;
    std::string packet;
    uint32_t serial = 0;
    for (size_t at = 0; at + 27 <= ogg.size();) {
        memcpy(&serial, ogg.data() + at + 14, 4);
        int64_t granule = 0;
        memcpy(&granule, ogg.data() + at + 6, 8);
        const int segments = uint8_t(ogg[at + 26]);
        size_t data = at + 27 + size_t(segments);
        for (int i = 0; i < segments; ++i) {
            const size_t lacing = uint8_t(ogg[at + 27 + size_t(i)]);
            packet += ogg.substr(data, lacing);
            data += lacing;
            if (lacing < 255) {
                packets.push_back(packet);
                granules.push_back(granule);
                packet.clear();
            }
        }
        at = data;
    }
    packets.at(1) = std::string("\x03vorbis") + comments + '\x01';
    std::string out, body, lacing;
    uint32_t sequence = 0;
    bool continued = false;
    auto page = [&](int64_t granule, bool last) {
        std::string header = std::string("OggS\0", 5) +
                             char((continued ? 1 : 0) | (sequence == 0 ? 2 : 0) | (last ? 4 : 0));
        header += std::string(reinterpret_cast<const char *>(&granule), 8) + le32(serial) +
                  le32(sequence++) + le32(0) + char(lacing.size()) + lacing;
        std::string whole = header + body;
        const uint32_t crc = mpegCrc(whole, 0);
        whole.replace(22, 4, le32(crc));
        out += whole;
        body.clear();
        lacing.clear();
    };
    for (size_t p = 0; p < packets.size(); ++p) {
        const std::string &bytes = packets[p];
        for (size_t at = 0;; at += 255) {
            const size_t piece = bytes.size() - at < 255 ? bytes.size() - at : 255;
            lacing += char(piece);
            body += bytes.substr(at, piece);
            if (lacing.size() == 255) {
                page(piece == 255 ? -1 : granules[p], false);
                continued = piece == 255;
            }
            if (piece < 255) break;
        }
        if (p < 3 || p + 1 == packets.size()) {
            if (!lacing.empty()) page(p < 3 ? 0 : granules[p], p + 1 == packets.size());
            continued = false;
        }
    }
    return out;
}

// A MicroDVD subtitle file of `count` one-character events.
std::string microDvd(int count) {
    std::string text;
    char line[48];
    for (int i = 0; i < count; ++i) {
        text.append(line,
                    static_cast<size_t>(snprintf(line, sizeof line, "{%d}{%d}a\n", i, i + 1)));
    }
    return text;
}

std::string cues(int first, int count) {
    std::string text;
    char cue[320];
    for (int i = first; i < first + count; ++i) {
        snprintf(cue, sizeof cue, "%d\n00:00:%02d,000 --> 00:00:%02d,500\n%s\n\n", i, i % 60,
                 i % 60, std::string(200, 'x').c_str());
        text += cue;
    }
    return text;
}

// A process that appends subtitle cues to `path` at some 200 MB/s, several
// times what a probe reads of them, up to 512 MiB. Kill it with SIGKILL.
pid_t startAppending(const std::string &path) {
    const std::string block = cues(1, 4500);  // about 1 MiB
    const pid_t writer = fork();
    if (writer != 0) return writer;
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    for (size_t written = 0; fd >= 0 && written < (size_t{512} << 20); written += block.size()) {
        if (write(fd, block.data(), block.size()) < 0) break;
        usleep(5000);
    }
    _exit(0);
}

struct ChildProbe {
    bool ended = false;  // false when it was killed, still probing after 60 s
    int result = -99;
    int64_t packets = -1;  // a scan's packets over all streams; -1 without a scan
    std::string errorText;
    double probeSeconds = 0;  // build_media_info's wall time, as the child measured it
    double cpuSeconds = 0;    // the child's processor time, user and system
    long peakKiB = 0;         // the child's peak resident set
};

// The packets a scan counted over all streams; -1 when nothing was scanned.
int64_t scannedPackets(const MediaContext &context) {
    int64_t packets = -1;
    auto add = [&](const MediaScan *scan) {
        if (scan) packets = (packets < 0 ? 0 : packets) + scan->packets;
    };
    for (const VideoStreamContext *v = context.video; v; v = v->next) add(v->scan);
    for (const AudioStreamContext *a = context.audio; a; a = a->next) add(a->scan);
    for (const OtherStreamContext *o = context.other; o; o = o->next) add(o->scan);
    return packets;
}

// What a child runs before it probes (a note handler to set, say).
using ChildSetup = std::function<void(MediaContext *context)>;

// Probes `path` in a child process with `limits` in force, with
// media_probe_file's `flags`.
ChildProbe probeInChild(const std::string &path, const MediaProbeLimits &limits, unsigned flags = 0,
                        const ChildSetup &setup = nullptr) {
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        if (media_probe_set_limits(&limits) != 0) _exit(2);
        MediaContext *context = create_media_context();
        if (setup) setup(context);
        const auto start = Clock::now();
        const int result = media_probe_file(context, path.c_str(), flags);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        char report[512];
        const int length = snprintf(report, sizeof report, "%d %lld %.6f %s", result,
                                    static_cast<long long>(scannedPackets(*context)), seconds,
                                    context->error_text ? context->error_text : "");
        ssize_t ignored = write(ends[1], report, static_cast<size_t>(length));
        (void)ignored;
        _exit(0);  // only the probe is measured: nothing is freed
    }
    close(ends[1]);
    ChildProbe probe;
    std::string report;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd readable = {ends[0], POLLIN, 0};
        const int ready = left.count() > 0 ? poll(&readable, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[512];
        const ssize_t count = read(ends[0], buffer, sizeof buffer);
        if (count <= 0) {
            probe.ended = count == 0;
            break;
        }
        report.append(buffer, static_cast<size_t>(count));
    }
    close(ends[0]);
    if (!probe.ended) kill(child, SIGKILL);
    rusage usage{};
    int status = 0;
    while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    probe.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    probe.peakKiB = usage.ru_maxrss;
    int consumed = 0;
    long long packets = -1;
    if (sscanf(report.c_str(), "%d %lld %lf %n", &probe.result, &packets, &probe.probeSeconds,
               &consumed) >= 3) {
        probe.errorText = report.substr(static_cast<size_t>(consumed));
        probe.packets = packets;
    }
    return probe;
}

MediaProbeLimits defaultLimits() {
    EXPECT_EQ(media_probe_set_limits(nullptr), 0);
    MediaProbeLimits limits;
    media_probe_get_limits(&limits);
    return limits;
}

struct BudgetRow {
    std::string what;
    std::string path;
    std::function<void(MediaProbeLimits &)> change;  // to the defaults; none keeps them
    std::string error;   // the limit the probe must reach: how error_text begins
    bool grows = false;  // appended to while it is probed
    ChildSetup setup = nullptr;
};

// The stop of a file whose index would have more entries than it has bytes.
std::string entriesPerByte(size_t fileSize) {
    return "probe stopped at more than " + std::to_string(fileSize) +
           " index entries in one stream, one per byte of the file";
}

std::vector<BudgetRow> budgetRows(const qztest::TempDir &dir) {
    std::string master = "#EXTM3U\n";
    for (int i = 1; i <= 1000; ++i) {
        master += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(i) + "\nself.m3u8\n";
    }
    std::string wide = "#EXTM3U\n";
    for (int i = 0; i < 300; ++i) {
        const std::string name = "v" + std::to_string(i) + ".m3u8";
        dir.write(name, "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\nseg.ts\n#EXT-X-ENDLIST\n");
        wide += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(i + 1) + "\n" + name + "\n";
    }
    fs::copy_file(fixtures().at("ts"), dir.file("seg.ts"));
    const std::string bomb = sampleTableMp4(50000000, std::string(16, '\0'));
    const std::string repeated = sampleTableMp4(1000, std::string(1000, '\0'), "", 2000);
    const std::string idle = "probe stopped after the demuxer waited over a second for data";
    // The stop of a probe whose predicted work would not fit in `limit`.
    auto predicted = [](const char *limit, const char *what) {
        return std::string("probe stopped at more than ") + limit +
               " of processor time (predicted from the file's " + what + ")";
    };
    auto oneSecond = [](MediaProbeLimits &l) { l.cpu_ms = 1000; };
    const std::string flac = media_fixtures::makeWithFfmpeg(
        dir.path(), {"-f", "lavfi", "-i", "sine=duration=1", "-c:a", "flac"}, "tone.flac");
    const std::string vorbis = media_fixtures::makeWithFfmpeg(
        dir.path(), {"-f", "lavfi", "-i", "sine=duration=1", "-c:a", "libvorbis"}, "tone.ogg");
    const std::string tags = dir.write("tags.mkv", matroska(matroskaTags(100000)));
    const std::string chapters = dir.write("chapters.mkv", matroska(matroskaChapters(200000)));
    // 608 bytes, as small as such a file gets with its media data.
    const std::string small = sampleTableMp4(15999999, "");
    const std::string declared =
        sampleTableMp4(15999999, std::string(small.size() < 608 ? 608 - small.size() : 0, '\0'));
    std::vector<BudgetRow> rows = {
        {"Matroska of 100,000 tags, each looked for among the others", tags, nullptr,
         predicted("10 s", "Matroska tags")},
        {"the same held to 1 s of processor time", tags, oneSecond,
         predicted("1 s", "Matroska tags")},
        {"HLS playlist whose segment is that Matroska",
         dir.write("tags.m3u8",
                   "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\ntags.mkv\n#EXT-X-ENDLIST\n"),
         nullptr, predicted("10 s", "Matroska tags")},
        {"Matroska of 5 KB whose tags nest ten deep, each level doubling the entries",
         dir.write("nested.mkv", matroska(matroskaNestedTags(10, 200))), nullptr,
         predicted("10 s", "Matroska tags")},
        {"Matroska of 200,000 chapters whose ids are out of order", chapters, nullptr,
         predicted("10 s", "Matroska chapters")},
        {"the same held to 1 s of processor time", chapters, oneSecond,
         predicted("1 s", "Matroska chapters")},
        {"Matroska of 200,000 cues in falling order, each moving the index",
         dir.write("cues.mkv", matroska(matroskaFallingCues(200000))), nullptr,
         predicted("10 s", "Matroska cues")},
        {"MP3 behind an ID3v2 tag of 100,000 frames",
         dir.write("frames.mp3", id3Tag(100000) + qztest::readFile(fixtures().at("mp3_long"))),
         nullptr, predicted("10 s", "ID3v2 frames")},
        {"FLAC of 200,000 Vorbis comments of distinct names",
         dir.write("distinct.flac",
                   flacWithComments(qztest::readFile(flac), vorbisComments(200000))),
         nullptr, predicted("10 s", "Vorbis comments")},
        {"FLAC of 1,000,000 Vorbis comments of one name, each appended to the others",
         dir.write("same.flac",
                   flacWithComments(qztest::readFile(flac), vorbisComments(1000000, "A"))),
         nullptr, predicted("10 s", "Vorbis comments")},
        {"Ogg Vorbis of 200,000 comments of distinct names",
         dir.write("comments.ogg",
                   oggWithComments(qztest::readFile(vorbis), vorbisComments(200000))),
         nullptr, predicted("10 s", "Vorbis comments")},
        {"MPEG-TS declaring 50,000 H.264 streams", dir.write("streams.ts", tsStreams(50000)),
         nullptr, "probe stopped at more than 1024 MiB of memory"},
        {"MicroDVD subtitles of 2 million events, with 256 MiB",
         dir.write("events.sub", microDvd(2000000)),
         [](MediaProbeLimits &l) { l.memory = 256 << 20; },
         "probe stopped at more than 256 MiB of memory"},
        {"MP4 of " + std::to_string(declared.size()) + " bytes declaring 15,999,999 samples",
         dir.write("declared.mp4", declared), nullptr, entriesPerByte(declared.size())},
        {"HLS master playlist of 1000 variants, each naming the playlist itself",
         dir.write("self.m3u8", master), nullptr, "probe stopped at more than 1000 playlists"},
        {"HLS master playlist naming 300 playlists", dir.write("wide.m3u8", wide), nullptr,
         "probe stopped at more than 256 files to open"},
        {"MP4 whose sample tables declare 50 million samples in a few bytes",
         dir.write("bomb.mp4", bomb), nullptr, entriesPerByte(bomb.size())},
        // Two million entries of a few kilobytes: no scan reaches its packets.
        {"MP4 whose edit list plays its 1000 samples 2000 times",
         dir.write("repeated.mp4", repeated), nullptr, entriesPerByte(repeated.size())},
        {"MP4 whose 3000 samples fit in the file, over a limit of 1000",
         dir.write("fits.mp4", sampleTableMp4(3000, std::string(3000, '\0'))),
         [](MediaProbeLimits &l) { l.index_entries = 1000; },
         "probe stopped at more than 1000 index entries in one stream"},
        {"live playlist that does not grow",
         dir.write("live.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:100000\n#EXTINF:1.0,\nnone.ts\n"),
         nullptr, idle},
        {"H.264 video allowed 1 ms of processor time", busy1080p(),
         [](MediaProbeLimits &l) { l.cpu_ms = 1; },
         "probe stopped at more than 0.001 s of processor time"},
        {"subtitle file that grows while it is probed", dir.write("growing.srt", cues(1, 18000)),
         [](MediaProbeLimits &l) { l.bytes = 32 << 20; }, "probe stopped at more than 32 MiB read",
         true},
    };
    // Reading /proc/kmsg takes the messages it returns from the kernel's
    // queue (dmesg still shows them); it is opened only as the probe opens it.
    const int kmsg = open("/proc/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (kmsg >= 0) {
        close(kmsg);
        fs::create_symlink("/proc/kmsg", dir.file("kmsg.ts"));
        rows.push_back({"/proc/kmsg, a regular file with no end", "/proc/kmsg", nullptr, idle});
        rows.push_back({"playlist naming /proc/kmsg",
                        dir.write("kmsg.m3u8",
                                  "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n"
                                  "kmsg.ts\n#EXT-X-ENDLIST\n"),
                        nullptr, idle});
    } else {
        printf("note: /proc/kmsg is not readable here; its rows are left out\n");
    }
    return rows;
}

// Probes `row` with `flags` in a child, which must stop at the row's limit
// within its processor time, its waiting and a gibibyte.
void expectStopsAtItsLimit(const BudgetRow &row, unsigned flags) {
    MediaProbeLimits limits = defaultLimits();
    if (row.change) row.change(limits);
    const pid_t writer = row.grows ? startAppending(row.path) : -1;
    const ChildProbe probe = probeInChild(row.path, limits, flags, row.setup);
    if (writer > 0) {
        kill(writer, SIGKILL);
        waitpid(writer, nullptr, 0);
    }
    ASSERT_TRUE(probe.ended) << "still probing after 60 s";
    EXPECT_EQ(probe.result, 1);
    EXPECT_EQ(probe.packets, -1) << "no scan is left of a stopped one";
    // The demuxer's words follow, as it took being stopped.
    const std::string error = row.error + (row.error.back() == ' ' ? "" : ": ");
    EXPECT_EQ(probe.errorText.rfind(error, 0), 0u) << probe.errorText;
    EXPECT_LE(probe.cpuSeconds, static_cast<double>(limits.cpu_ms) / 1000 + 1);
    if (row.error.find("waited") != std::string::npos) {
        EXPECT_LE(probe.probeSeconds, static_cast<double>(limits.idle_ms) / 1000 + 1);
    }
    EXPECT_LT(probe.peakKiB, 1L << 20) << "peak resident set in KiB";
    printf("  %-4s %-72s %5.2f s processor, %5.2f s probing, %4ld MiB peak\n",
           flags & MEDIA_PROBE_SCAN ? "scan" : "", row.what.c_str(), probe.cpuSeconds,
           probe.probeSeconds, probe.peakKiB / 1024);
}

// Each hostile input probed, and scanned: the scan stops where the probe does.
TEST(Budget, EachHostileInputStopsAtItsLimitWithinItsTimeAndAGibibyte) {
    av_log_set_level(AV_LOG_QUIET);
    for (unsigned flags : {0u, MEDIA_PROBE_SCAN}) {
        qztest::TempDir dir;
        for (const BudgetRow &row : budgetRows(dir)) {
            SCOPED_TRACE(row.what + (flags ? ", scanned" : ""));
            expectStopsAtItsLimit(row, flags);
        }
    }
}

// Appends `bytes` zero bytes to `path` the first time the library hands a
// note to the handler: on the probing thread, once the probe has described
// the streams and before the scan reads on. Matroska's demuxer reads through
// the zeros looking for its next element.
void appendOnFirstNote(void *opaque, const char *, const char *) {
    static bool appended = false;
    if (appended) return;
    appended = true;
    const auto *path = static_cast<const std::string *>(opaque);
    const int fd = open(path->c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    const std::string block(1 << 20, '\0');
    for (int i = 0; fd >= 0 && i < 64; ++i) {
        if (write(fd, block.data(), block.size()) < 0) break;
    }
    if (fd >= 0) close(fd);
}

// Inputs that only a scan reads far enough to stop at a limit: the probe of
// each describes it (result 0), the scan stops.
TEST(Budget, EachInputAScanReadsOnStopsAtItsLimit) {
    av_log_set_level(AV_LOG_QUIET);
    qztest::TempDir dir;
    // Matroska with a subtitle track, for the note the handler below takes,
    // and more video than the probe reads, so that it has not met the end.
    const std::string subtitled = media_fixtures::makeWithFfmpeg(
        fs::path(fixtures().at("mkv")).parent_path().string(),
        {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration=20", "-i", "subs.srt", "-c:v",
         "libx264", "-preset", "ultrafast", "-c:s", "srt"},
        "subtitled-20s.mkv");
    fs::copy_file(subtitled, dir.file("growing.mkv"));
    static std::string growing;
    growing = dir.file("growing.mkv");
    // A live playlist whose one segment holds more than the probe reads: the
    // scan reads it all and then waits for the playlist to grow.
    fs::copy_file(busy1080p(), dir.file("segment.ts"));
    const std::string live =
        dir.write("live.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2.0,\nsegment.ts\n");
    const BudgetRow rows[] = {
        {"Matroska that grows by 64 MiB once the probe has read it", growing,
         [](MediaProbeLimits &l) { l.bytes = 1 << 20; },
         "probe stopped at more than 1 MiB read beyond the file's size", false,
         [](MediaContext *) { media_probe_set_note_handler(appendOnFirstNote, &growing); }},
        {"live playlist whose segment has been read", live, nullptr,
         "probe stopped after the demuxer waited over a second for data"},
        {"MPEG-TS with more key frames than 1 index entry", fixtures().at("ts"),
         [](MediaProbeLimits &l) { l.index_entries = 1; },
         "probe stopped at more than 1 index entry in one stream"},
    };
    for (const BudgetRow &row : rows) {
        SCOPED_TRACE(row.what);
        MediaProbeLimits limits = defaultLimits();
        if (row.change) row.change(limits);
        const ChildProbe probed = probeInChild(row.path, limits);
        ASSERT_TRUE(probed.ended);
        EXPECT_EQ(probed.result, 0) << "the probe alone describes it: " << probed.errorText;
        expectStopsAtItsLimit(row, MEDIA_PROBE_SCAN);
    }
}

// Files near the limits that must still be described, and scanned: what the
// sample-table watch must not take for a table, and a table it must let
// through.

// A Matroska file remuxed by mkvmerge with 300 chapters, 100 tags for the
// file and a title tag on each chapter: far more than real files have, far
// less than what the predictions stop.
std::string mkvmergeChapters(const qztest::TempDir &dir) {
    const std::string source = media_fixtures::makeWithFfmpeg(
        dir.path(),
        {"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=20", "-c:v", "libx264",
         "-preset", "ultrafast"},
        "plain.mkv");
    std::string chapters = "<?xml version=\"1.0\"?>\n<Chapters><EditionEntry>\n";
    std::string tags =
        "<?xml version=\"1.0\"?>\n<Tags><Tag><Targets><TargetTypeValue>50"
        "</TargetTypeValue></Targets>\n";
    char line[320];
    for (int i = 0; i < 100; ++i) {
        snprintf(line, sizeof line,
                 "<Simple><Name>KEY%03d</Name><String>value %d</String></Simple>\n", i, i);
        tags += line;
    }
    tags += "</Tag>\n";
    for (int i = 0; i < 300; ++i) {
        snprintf(line, sizeof line,
                 "<ChapterAtom><ChapterUID>%d</ChapterUID><ChapterTimeStart>00:00:%02d.%03d"
                 "</ChapterTimeStart><ChapterDisplay><ChapterString>Chapter %d</ChapterString>"
                 "<ChapterLanguage>eng</ChapterLanguage></ChapterDisplay></ChapterAtom>\n",
                 1000 + i, i * 60 / 1000, i * 60 % 1000, i);
        chapters += line;
        snprintf(line, sizeof line,
                 "<Tag><Targets><ChapterUID>%d</ChapterUID></Targets><Simple><Name>TITLE</Name>"
                 "<String>Chapter %d</String><TagLanguage>eng</TagLanguage></Simple></Tag>\n",
                 1000 + i, i);
        tags += line;
    }
    chapters += "</EditionEntry></Chapters>\n";
    tags += "</Tags>\n";
    const std::string out = dir.file("chapters.mkv");
    const qztest::ProcessResult made = qztest::runProcess(
        {"mkvmerge", "-q", "-o", out, "--chapters", dir.write("ch.xml", chapters), "--global-tags",
         dir.write("tags.xml", tags), source});
    EXPECT_EQ(made.status, 0) << made.err;
    return out;
}

// A Matroska file of `count` small H.264 streams, each a map of one picture
// source.
std::string manyStreams(const qztest::TempDir &dir, int count) {
    std::vector<std::string> args = {"-f", "lavfi", "-i",
                                     "testsrc=size=64x48:rate=25:duration=0.4"};
    for (int i = 0; i < count; ++i) {
        args.push_back("-map");
        args.push_back("0:v");
    }
    for (const char *option : {"-c:v", "libx264", "-preset", "ultrafast"}) args.push_back(option);
    return media_fixtures::makeWithFfmpeg(dir.path(), args, "streams.mkv");
}

// Files near the limits that must still be described: what the sample-table
// watch must not take for a table, and a table it must let through.
TEST(Budget, FilesWithinTheirLimitsAreDescribed) {
    av_log_set_level(AV_LOG_QUIET);
    qztest::TempDir dir;
    // Media data is never parsed as boxes, whatever its bytes; a table outside
    // every track (here in a free box) would not be applied.
    const std::string sizes = fullBox("stsz", 0, be32(1) + be32(0xFFFFFFFF));
    const std::string media = std::string(64, '\0') + fullBox("tfhd", 0, be32(1)) +
                              fullBox("trun", 0, be32(0xFFFFFFFF)) + sizes + std::string(64, '\0');
    // Sound of constant sample size is indexed by chunks: 8000 samples here.
    const std::string pcm = media_fixtures::makeWithFfmpeg(
        dir.path(),
        {"-f", "lavfi", "-i", "sine=sample_rate=8000:duration=1", "-c:a", "pcm_s16le", "-f", "mov"},
        "pcm.mov");
    // A last box of size 0 runs to the end of the file.
    std::string toTheEnd = sampleTableMp4(50, std::string(64, '\0'));
    toTheEnd.replace(toTheEnd.size() - 64 - 8, 4, be32(0));
    const struct {
        std::string what;
        std::string path;
        int64_t indexEntries;
    } rows[] = {
        {"Matroska from mkvmerge with 300 chapters, 100 tags and one on each chapter",
         mkvmergeChapters(dir), 16000000},
        {"Matroska with 15,000 cues ahead of its clusters",
         media_fixtures::makeWithFfmpeg(
             dir.path(),
             {"-f", "lavfi", "-i", "color=c=blue:size=32x32:rate=25:duration=600", "-c:v",
              "libx264", "-preset", "ultrafast", "-g", "1", "-reserve_index_space", "400000"},
             "cues.mkv"),
         16000000},
        {"Matroska of 300 H.264 streams", manyStreams(dir, 300), 16000000},
        {"MP4 whose media data runs to the end of the file", dir.write("to-the-end.mp4", toTheEnd),
         16000000},
        {"MP4 holding sample tables of 2^32-1 samples outside its tracks",
         dir.write("lookalike.mp4", sampleTableMp4(50, media, box("free", sizes))), 16000000},
        {"PCM in QuickTime, 8000 samples over a limit of 1000 index entries", pcm, 1000},
    };
    for (const auto &row : rows) {
        for (unsigned flags : {0u, MEDIA_PROBE_SCAN}) {
            SCOPED_TRACE(std::string(row.what) + (flags ? ", scanned" : ""));
            MediaProbeLimits limits = defaultLimits();
            limits.index_entries = row.indexEntries;
            const ChildProbe probe = probeInChild(row.path, limits, flags);
            ASSERT_TRUE(probe.ended);
            EXPECT_EQ(probe.result, 0) << probe.errorText;
            printf("  %-4s %-76s %5.2f s processor, %4ld MiB peak\n",
                   flags & MEDIA_PROBE_SCAN ? "scan" : "", row.what.c_str(), probe.cpuSeconds,
                   probe.peakKiB / 1024);
        }
    }
}

// A scan reads a file of any size whole: one larger than the byte limit in
// force, one that takes more processor time than the limit (the scan's
// allowance grows with what it reads), a playlist's hundred segments. Each
// counts what a scan under the default limits counts.
TEST(Budget, AScanReadsAFileOfAnySizeWhole) {
    av_log_set_level(AV_LOG_QUIET);
    qztest::TempDir dir;
    const std::string ts = qztest::readFile(fixtures().at("ts"));
    const std::string large = dir.file("large.ts");  // 226 MB
    const int copies = 2500;
    {
        std::string hundred;
        for (int i = 0; i < 100; ++i) hundred += ts;
        const int fd = open(large.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        for (int i = 0; i < copies / 100; ++i) {
            ASSERT_EQ(write(fd, hundred.data(), hundred.size()),
                      static_cast<ssize_t>(hundred.size()));
        }
        close(fd);
    }
    fs::copy_file(fixtures().at("ts"), dir.file("segment.ts"));
    std::string list = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n";
    for (int i = 0; i < 100; ++i) list += "#EXTINF:1.0,\nsegment.ts\n";
    const std::string vod = dir.write("vod.m3u8", list + "#EXT-X-ENDLIST\n");

    const ChildProbe whole = probeInChild(large, defaultLimits(), MEDIA_PROBE_SCAN);
    ASSERT_EQ(whole.result, 0) << whole.errorText;
    const ChildProbe one = probeInChild(fixtures().at("ts"), defaultLimits(), MEDIA_PROBE_SCAN);
    ASSERT_EQ(one.result, 0) << one.errorText;
    EXPECT_EQ(whole.packets, copies * one.packets);
    // The processor time a probe of the large file takes, and a limit a few
    // times that: the probe fits in it, the scan does not.
    const ChildProbe probed = probeInChild(large, defaultLimits());
    ASSERT_EQ(probed.result, 0);
    const int64_t cpuMs = std::max<int64_t>(20, std::llround(probed.cpuSeconds * 3000));
    ASSERT_GT(whole.cpuSeconds * 1000, 2.0 * cpuMs) << "the scan must take more than the limit";

    const struct {
        const char *what;
        std::string path;
        std::function<void(MediaProbeLimits &)> change;
        int64_t packets;
    } rows[] = {
        {"226 MB of MPEG-TS over a limit of 1 MiB read", large,
         [](MediaProbeLimits &l) { l.bytes = 1 << 20; }, whole.packets},
        {"226 MB of MPEG-TS, processor time limited to 3 times what its probe takes", large,
         [&](MediaProbeLimits &l) { l.cpu_ms = cpuMs; }, whole.packets},
        {"a playlist naming 100 segments", vod, nullptr, 100 * one.packets},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        MediaProbeLimits limits = defaultLimits();
        if (row.change) row.change(limits);
        const ChildProbe probe = probeInChild(row.path, limits, MEDIA_PROBE_SCAN);
        ASSERT_TRUE(probe.ended);
        EXPECT_EQ(probe.result, 0) << probe.errorText;
        EXPECT_EQ(probe.packets, row.packets);
        printf("  %-72s %5.2f s processor, %5.2f s scanning\n", row.what, probe.cpuSeconds,
               probe.probeSeconds);
    }
}

// mprobe's JSON line for one file without its name, which is all that links
// to one file differ in.
std::string withoutName(const std::string &line) {
    nlohmann::ordered_json description = nlohmann::ordered_json::parse(line);
    description.erase("filename");
    return description.dump();
}

std::string describedAlone(const std::string &path) {
    const qztest::ProcessResult alone =
        qztest::runProcess({MPROBE, "--json-lines", "-j", "1", path});
    EXPECT_EQ(alone.status, 0);
    return withoutName(alone.out);
}

TEST(Starved, SixtyFourThreadsOnTwoCoresDescribeTheFileAsOneDoes) {
    qztest::TempDir dir;
    const std::string expected = describedAlone(busy1080p());
    std::vector<std::string> argv = {MPROBE, "--json-lines", "-j", "64"};
    for (int i = 0; i < 64; ++i) {
        argv.push_back(dir.file("link-" + std::to_string(i) + ".ts"));
        fs::create_symlink(busy1080p(), argv.back());
    }
    const qztest::ProcessResult many = qztest::runProcess(argv);
    EXPECT_EQ(many.status, 0);
    std::istringstream lines(many.out);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_EQ(withoutName(line), expected) << "file " << count;
    }
    EXPECT_EQ(count, 64);
}

TEST(Starved, AProbeStoppedAndContinuedDescribesTheFileAsOneRunningFreely) {
    const std::string expected = describedAlone(busy2160p());
    qztest::StartedProcess child = qztest::startProcess({MPROBE, "--json-lines", busy2160p()});
    ASSERT_GT(child.pid, 0);
    // 3 ms of every 100 until it exits: a few percent of a core.
    bool exited = false;
    for (int cycle = 0; cycle < 600 && !exited; ++cycle) {
        usleep(3000);
        kill(child.pid, SIGSTOP);
        usleep(97000);
        kill(child.pid, SIGCONT);
        siginfo_t info{};
        exited =
            waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == child.pid;
    }
    EXPECT_TRUE(exited) << "still probing after 600 cycles";
    const qztest::ProcessResult throttled = qztest::finishProcess(child);
    EXPECT_EQ(throttled.status, 0);
    EXPECT_EQ(withoutName(throttled.out), expected);
}

// The path is replaced, as fast as can be, by a link to a media file, to a
// FIFO without a writer and to a device, in turn, while it is probed: each
// probe describes the media file or refuses the path, and none hangs.
TEST(Race, APathSwappedBetweenAFileAFifoAndADeviceIsDescribedOrRefused) {
    av_log_set_level(AV_LOG_QUIET);
    qztest::TempDir dir;
    const std::string path = dir.file("swapped.wav");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    fs::create_symlink(fixtures().at("wav"), path);
    MediaContext *context = create_media_context();
    ASSERT_EQ(build_media_info(context, path.c_str()), 0);
    const std::string described = media_summary::summarize(*context);

    // Each link stays a few microseconds: long enough for some probes to
    // find the media file at both the check and the open, short enough that
    // the path often changes in between.
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        const std::string targets[] = {fixtures().at("wav"), dir.file("fifo"), fixtures().at("wav"),
                                       "/dev/zero"};
        const std::string next = dir.file("next");
        for (unsigned i = 0; !done.load(); ++i) {
            unlink(next.c_str());
            if (symlink(targets[i % 4].c_str(), next.c_str()) == 0) {
                rename(next.c_str(), path.c_str());
            }
            usleep(5);
        }
    });
    // Until each outcome was seen often, within a bound.
    std::map<int, int> outcomes;
    int probes = 0;
    for (; probes < 20000 && (probes < 600 || outcomes[0] < 20 || outcomes[-2] < 20); ++probes) {
        alarm(60);  // a hang ends the program with SIGALRM
        errno = 0;
        const int result = build_media_info(context, path.c_str());
        const int error = errno;
        ++outcomes[result];
        if (result == 0) {
            EXPECT_EQ(media_summary::summarize(*context), described);
        } else {
            EXPECT_EQ(result, -2);
            EXPECT_EQ(error, EINVAL) << strerror(error);
        }
    }
    alarm(0);
    done = true;
    swapper.join();
    free_media_context(context);
    EXPECT_GT(outcomes[0], 0) << "of " << probes;
    EXPECT_GT(outcomes[-2], 0) << "of " << probes;
    EXPECT_EQ(outcomes[0] + outcomes[-2], probes);
}

TEST(Limits, AreReadSetRefusedOutOfRangeAndRestored) {
    const MediaProbeLimits defaults = defaultLimits();
    EXPECT_EQ(defaults.cpu_ms, 10000);
    EXPECT_EQ(defaults.bytes, int64_t{4} << 30);
    EXPECT_EQ(defaults.index_entries, 16000000);
    EXPECT_EQ(defaults.playlists, 1000);
    EXPECT_EQ(defaults.files, 256);
    EXPECT_EQ(defaults.idle_ms, 1000);
    EXPECT_EQ(defaults.memory, int64_t{1} << 30);

    struct Field {
        const char *name;
        int64_t MediaProbeLimits::*field;
        int64_t most;  // the largest value accepted
    };
    const Field fields[] = {
        {"cpu_ms", &MediaProbeLimits::cpu_ms, INT64_MAX / 1000},
        {"bytes", &MediaProbeLimits::bytes, INT64_MAX},
        {"index_entries", &MediaProbeLimits::index_entries, 178956970},
        {"playlists", &MediaProbeLimits::playlists, INT64_MAX},
        {"files", &MediaProbeLimits::files, INT64_MAX},
        {"idle_ms", &MediaProbeLimits::idle_ms, INT64_MAX / 1000},
        {"memory", &MediaProbeLimits::memory, INT64_MAX},
    };
    for (const Field &f : fields) {
        SCOPED_TRACE(f.name);
        std::vector<int64_t> refused = {INT64_MIN, -1, 0};
        if (f.most < INT64_MAX) refused.push_back(f.most + 1);
        for (int64_t value : refused) {
            MediaProbeLimits changed = defaults;
            changed.*f.field = value;
            EXPECT_EQ(media_probe_set_limits(&changed), -1) << value;
            MediaProbeLimits now;
            media_probe_get_limits(&now);
            EXPECT_EQ(now.*f.field, defaults.*f.field) << "changed by a refused " << value;
        }
        for (int64_t value : {int64_t{1}, f.most}) {
            MediaProbeLimits changed = defaults;
            changed.*f.field = value;
            EXPECT_EQ(media_probe_set_limits(&changed), 0) << value;
            MediaProbeLimits now;
            media_probe_get_limits(&now);
            EXPECT_EQ(now.*f.field, value);
            EXPECT_EQ(media_probe_set_limits(nullptr), 0);
            media_probe_get_limits(&now);
            EXPECT_EQ(now.*f.field, defaults.*f.field) << "not restored";
        }
    }
    media_probe_get_limits(nullptr);  // does nothing
}

}  // namespace
