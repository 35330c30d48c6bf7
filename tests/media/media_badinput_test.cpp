// Hostile inputs, one table: truncated and crafted media files, paths that are
// not regular files, and playlists or lists naming such paths or themselves.
// Each row gives the result the probe must come to. Whatever the row, the
// probe must not hang (a watchdog alarm ends the program), crash, leak or read
// out of bounds (the sanitizer and valgrind runs see to those), and the
// context must still describe a good file afterwards and free cleanly.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "media_fixtures.h"
#include "media_probe.h"
#include "media_summary.h"
#include "process.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using media_summary::summarize;
using qztest::readFile;

const std::map<std::string, std::string> &fixtures() {
    static const auto paths = media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR);
    return paths;
}

// `data` with the bytes after each occurrence of `marker` (skipping `skip`
// bytes) replaced by `bytes`; fails the test when the marker is missing.
std::string patched(std::string data, const std::string &marker, size_t skip,
                    const std::string &bytes) {
    size_t at = data.find(marker);
    EXPECT_NE(at, std::string::npos) << marker;
    for (; at != std::string::npos; at = data.find(marker, at + 1)) {
        data.replace(at + marker.size() + skip, bytes.size(), bytes);
    }
    return data;
}

// A Matroska file written by libavformat's muxer: `count` streams with the
// given parameters and one 64-byte packet of junk in the first.
void muxMatroska(const std::string &path, int count, const AVCodecParameters &par) {
    AVFormatContext *out = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&out, nullptr, "matroska", path.c_str()), 0);
    out->max_streams = count;
    for (int i = 0; i < count; ++i) {
        AVStream *stream = avformat_new_stream(out, nullptr);
        ASSERT_NE(stream, nullptr);
        ASSERT_GE(avcodec_parameters_copy(stream->codecpar, &par), 0);
    }
    AVPacket *packet = av_packet_alloc();
    ASSERT_GE(av_new_packet(packet, 64), 0);
    memset(packet->data, 0x5A, 64);
    packet->pts = packet->dts = 0;
    ASSERT_GE(avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
    ASSERT_GE(avformat_write_header(out, nullptr), 0);
    EXPECT_GE(av_write_frame(out, packet), 0);
    EXPECT_GE(av_write_trailer(out), 0);
    av_packet_free(&packet);
    avio_closep(&out->pb);
    avformat_free_context(out);
}

AVCodecParameters videoParameters(AVCodecID codec, int width, int height) {
    AVCodecParameters par{};
    par.codec_type = AVMEDIA_TYPE_VIDEO;
    par.codec_id = codec;
    par.width = width;
    par.height = height;
    return par;
}

AVCodecParameters pcmParameters() {
    AVCodecParameters par{};
    par.codec_type = AVMEDIA_TYPE_AUDIO;
    par.codec_id = AV_CODEC_ID_PCM_S16LE;
    par.sample_rate = 8000;
    par.ch_layout = AV_CHANNEL_LAYOUT_MONO;
    return par;
}

// A PNG signature and a header chunk claiming `width` x `height` pixels.
std::string pngHeader(uint32_t width, uint32_t height) {
    auto be32 = [](uint32_t v) {
        return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    };
    return std::string("\x89PNG\r\n\x1a\n", 8) + be32(13) + "IHDR" + be32(width) + be32(height) +
           std::string("\x08\x06\0\0\0", 5) + be32(0) + be32(0) + "IEND" + be32(0xAE426082);
}

constexpr int kZeroOrOne = 2;  // either result, as the demuxer makes of the bytes
const char *const kAny = "*";  // any container name, or none

struct Row {
    std::string what;
    std::string path;
    int result;                // 0, 1, kZeroOrOne, or -2 with `error` in errno
    int error;                 // -2 only; get_buffer_from_file returns it too
    const char *container;     // the container name, nullptr for none, or kAny
    bool asOtherUser = false;  // probe as an unprivileged user (root reads anything)
};

// The result and errno of probing `path` with `context` in a child process
// running as user nobody when this one is root; the context in this process
// is left alone. Returns {result, errno}.
std::pair<int, int> probeAsOtherUser(const std::string &path) {
    int pipeEnds[2];
    EXPECT_EQ(pipe(pipeEnds), 0);
    pid_t child = fork();
    if (child == 0) {
        int report[2] = {99, 0};
        if (geteuid() != 0 ||
            (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0)) {
            MediaContext *context = create_media_context();
            report[0] = build_media_info(context, path.c_str());
            report[1] = errno;
            free_media_context(context);
        }
        ssize_t ignored = write(pipeEnds[1], report, sizeof report);
        (void)ignored;
        _exit(0);
    }
    close(pipeEnds[1]);
    int report[2] = {98, 0};
    EXPECT_EQ(read(pipeEnds[0], report, sizeof report), static_cast<ssize_t>(sizeof report));
    close(pipeEnds[0]);
    waitpid(child, nullptr, 0);
    return {report[0], report[1]};
}

std::vector<Row> hostileRows(const qztest::TempDir &dir) {
    const std::string mp4 = fixtures().at("mp4");
    const std::string ts = fixtures().at("ts");
    auto file = [&](const std::string &name) { return dir.file(name); };
    auto write = [&](const std::string &name, const std::string &bytes) {
        return dir.write(name, bytes);
    };
    auto link = [&](const std::string &name, const std::string &to) {
        fs::create_symlink(to, file(name));
        return file(name);
    };
    std::vector<Row> rows;

    // Paths that are no regular file are refused before anything is opened.
    EXPECT_EQ(mkfifo(file("fifo.ts").c_str(), 0644), 0);
    int unixSocket = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", file("socket.ts").c_str());
    EXPECT_EQ(bind(unixSocket, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(unixSocket);
    fs::copy_file(mp4, file("locked.mp4"));
    chmod(file("locked.mp4").c_str(), 0);
    chmod(dir.path().c_str(), 0755);
    rows.insert(
        rows.end(),
        {
            {"directory", dir.path(), -2, EISDIR, nullptr},
            {"FIFO without a writer", file("fifo.ts"), -2, EINVAL, nullptr},
            {"socket", file("socket.ts"), -2, EINVAL, nullptr},
            {"endless device", "/dev/zero", -2, EINVAL, nullptr},
            {"empty device", "/dev/null", -2, EINVAL, nullptr},
            {"link to a FIFO", link("fifo-link.mp4", file("fifo.ts")), -2, EINVAL, nullptr},
            {"link to a device", link("zero.ts", "/dev/zero"), -2, EINVAL, nullptr},
            {"dangling link", link("gone.mp4", file("nothing")), -2, ENOENT, nullptr},
            {"file used as a directory", mp4 + "/x.mp4", -2, ENOTDIR, nullptr},
            {"empty path", "", -2, ENOENT, nullptr},
            {"overlong path", "/" + std::string(5000, 'x'), -2, ENAMETOOLONG, nullptr},
            {"unreadable file", file("locked.mp4"), -2, EACCES, nullptr, true},
            {"link to a media file", link("good.mp4", mp4), 0, 0, "mov,mp4,m4a,3gp,3g2,mj2"},
        });

    // Files that name other files: those must be regular files too, the
    // naming must end, and a live playlist must not be waited for.
    const std::string hls = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:1.0,\n";
    const std::string end = "\n#EXT-X-ENDLIST\n";
    fs::copy_file(ts, file("seg.ts"));
    rows.insert(
        rows.end(),
        {
            {"playlist naming a FIFO", write("fifo.m3u8", hls + "fifo.ts" + end), 1, 0, nullptr},
            {"playlist naming a device", write("zero.m3u8", hls + "zero.ts" + end), 1, 0, nullptr},
            {"playlist naming a directory", write("dir.m3u8", hls + "." + end), 1, 0, nullptr},
            {"master playlist naming itself",
             write("self.m3u8", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nself.m3u8\n"), 0, 0,
             "hls"},
            {"master playlist naming itself twice",
             write("self2.m3u8",
                   "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nself2.m3u8\n"
                   "#EXT-X-STREAM-INF:BANDWIDTH=2\nself2.m3u8\n"),
             0, 0, "hls"},
            {"live playlist whose segment is missing",
             write("live.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:100000\n#EXTINF:1.0,\nnone.ts\n"),
             1, 0, nullptr},
            {"live playlist with a segment",
             write("live-seg.m3u8",
                   "#EXTM3U\n#EXT-X-TARGETDURATION:100000\n#EXTINF:1.0,\nseg.ts\n"),
             0, 0, "hls"},
            {"concatenation list", write("list.ffconcat", "ffconcat version 1.0\nfile seg.ts\n"), 1,
             0, nullptr},
            {"concatenation list naming itself",
             write("self.ffconcat", "ffconcat version 1.0\nfile seg.ts\nfile self.ffconcat\n"), 1,
             0, nullptr},
            {"DASH manifest",
             write("x.mpd",
                   "<?xml version=\"1.0\"?>\n<MPD type=\"static\">"
                   "<BaseURL>fifo.ts</BaseURL></MPD>\n"),
             1, 0, nullptr},
            {"VobSub index beside a FIFO",
             write("fifo.idx", "# VobSub index file, v7\nsize: 720x576\n"), 1, 0, nullptr},
        });
    link("fifo.sub", file("fifo.ts"));

    // Headers claiming more than any file should hold.
    muxMatroska(file("huge.mkv"), 1, videoParameters(AV_CODEC_ID_MPEG4, 65535, 65535));
    muxMatroska(file("streams.mkv"), 3000, pcmParameters());
    AVCodecParameters coloured = videoParameters(AV_CODEC_ID_MPEG4, 64, 64);
    coloured.color_primaries = AVCOL_PRI_BT709;
    coloured.color_trc = AVCOL_TRC_BT709;
    coloured.color_space = AVCOL_SPC_BT709;
    muxMatroska(file("bt709.mkv"), 1, coloured);
    // Primaries, transfer and matrix elements (one-byte values) set to 200.
    std::string colour = readFile(file("bt709.mkv"));
    for (const char *element : {"\x55\xBB\x81", "\x55\xBA\x81", "\x55\xB1\x81"}) {
        colour = patched(colour, element, 0, "\xC8");
    }
    const std::string ffff("\xff\xff\xff\xff", 4);
    rows.insert(
        rows.end(),
        {
            {"Matroska video of 65535x65535", file("huge.mkv"), 0, 0, "matroska,webm"},
            {"Matroska with 3000 streams", file("streams.mkv"), 1, 0, nullptr},
            {"Matroska colour numbers no enumeration has", write("colour.mkv", colour), 0, 0,
             "matroska,webm"},
            {"MP4 sample entry of 65535x65535",
             write("huge.mp4", patched(readFile(mp4), "avc1", 24, ffff)), 0, 0,
             "mov,mp4,m4a,3gp,3g2,mj2"},
            {"MP4 sample table of 2^32-1 sizes",
             write("sizes.mp4", patched(readFile(mp4), "stsz", 8, ffff)), 1, 0, nullptr},
            {"MP4 chunk table of 2^32-1 offsets",
             write("chunks.mp4", patched(readFile(mp4), "stco", 4, ffff)), 1, 0, nullptr},
            {"Matroska element sizes of 2^56-1",
             write("sizes.mkv", patched(readFile(fixtures().at("mkv")), "\x18\x53\x80\x67", 0,
                                        "\x01\xff\xff\xff")),
             0, 0, "matroska,webm"},
            {"Y4M of 65535x65535",
             write("huge.y4m", "YUV4MPEG2 W65535 H65535 F25:1 C420jpeg\nFRAME\n"), 1, 0, nullptr},
            {"PNG of 65535x65535", write("huge.png", pngHeader(65535, 65535)), 0, 0, "png_pipe"},
            {"PNG of 2^31-1 x 1", write("wide.png", pngHeader(0x7FFFFFFF, 1)), 0, 0, "png_pipe"},
        });

    // Every fixture cut short at a few lengths.
    for (const auto &[name, path] : fixtures()) {
        const std::string bytes = readFile(path);
        for (size_t length : {size_t{1}, size_t{16}, size_t{188}, size_t{1024}, bytes.size() / 2}) {
            if (length >= bytes.size()) continue;
            const std::string cut = name + "-" + std::to_string(length);
            rows.push_back({"first " + std::to_string(length) + " bytes of " + name,
                            write(cut, bytes.substr(0, length)), kZeroOrOne, 0, kAny});
        }
    }
    return rows;
}

TEST(HostileInput, EachRowEndsAsExpectedAndLeavesAWorkingContext) {
    av_log_set_level(AV_LOG_QUIET);
    qztest::TempDir dir;
    const std::vector<Row> rows = hostileRows(dir);
    const std::string good = fixtures().at("wav");
    MediaContext *fresh = create_media_context();
    ASSERT_EQ(build_media_info(fresh, good.c_str()), 0);
    const std::string goodSummary = summarize(*fresh);
    free_media_context(fresh);

    testing::internal::CaptureStdout();  // subtitle lines of the cut mkv
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what + ": " + row.path.substr(0, 200));
        alarm(60);  // a hang ends the program with SIGALRM
        MediaContext *context = create_media_context();
        ASSERT_EQ(build_media_info(context, good.c_str()), 0);
        errno = 0;
        auto [result, error] =
            row.asOtherUser
                ? probeAsOtherUser(row.path)
                : std::pair<int, int>{build_media_info(context, row.path.c_str()), errno};
        if (row.result == -2) {
            EXPECT_EQ(result, -2);
            EXPECT_EQ(error, row.error) << strerror(error);
            EXPECT_EQ(summarize(*context), goodSummary) << "the context changed";
            uint8_t buffer[4] = {1, 2, 3, 4};
            if (!row.asOtherUser) {
                EXPECT_EQ(get_buffer_from_file(row.path.c_str(), buffer, sizeof buffer), row.error);
            }
            EXPECT_EQ(buffer[0] + buffer[3], 5) << "the buffer was written";
        } else {
            if (row.result == kZeroOrOne) {
                EXPECT_TRUE(result == 0 || result == 1) << result;
            } else {
                EXPECT_EQ(result, row.result);
            }
            media_summary::expectConsistent(*context, result,
                                            static_cast<int64_t>(fs::file_size(row.path)));
            if (row.container != kAny) {
                EXPECT_STREQ(context->container_name, row.container);
            }
            // The same context describes a good file as a fresh one does.
            EXPECT_EQ(build_media_info(context, good.c_str()), 0);
            EXPECT_EQ(summarize(*context), goodSummary);
        }
        EXPECT_EQ(free_media_context(context), 0);
        alarm(0);
    }
    testing::internal::GetCapturedStdout();
    EXPECT_GT(rows.size(), 70u);
}

}  // namespace
