// build_media_info on real files made at test time, checked against what the
// fixtures were made with and against what libavformat itself reports.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
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

const std::map<std::string, std::string> &fixtures() {
    static const auto paths = media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR);
    return paths;
}

// Owns a context for the length of a test.
struct Context {
    Context() : context(create_media_context()) {}
    ~Context() { free_media_context(context); }
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;
    MediaContext *operator->() const { return context; }
    MediaContext *context;
};

// libavformat's own view of a file: the container values as they stand right
// after opening, then the streams once their parameters have been read.
struct Demuxer {
    explicit Demuxer(const std::string &path) {
        if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return;
        openDuration = format->duration;
        openBitRate = format->bit_rate;
        if (avformat_find_stream_info(format, nullptr) < 0) avformat_close_input(&format);
    }
    ~Demuxer() { avformat_close_input(&format); }
    AVFormatContext *format = nullptr;
    int64_t openDuration = 0;
    int64_t openBitRate = 0;
};

template <typename Node>
void expectSameIndex(const Node *node, AVStream *stream) {
    int count = avformat_index_get_entries_count(stream);
    ASSERT_EQ(node->entry_count, count);
    for (int i = 0; i < count; ++i) {
        const AVIndexEntry *expected = avformat_index_get_entry(stream, i);
        EXPECT_EQ(node->entries[i].pos, expected->pos);
        EXPECT_EQ(node->entries[i].timestamp, expected->timestamp);
        EXPECT_EQ(node->entries[i].flags, expected->flags);
        EXPECT_EQ(node->entries[i].size, expected->size);
        EXPECT_EQ(node->entries[i].min_distance, expected->min_distance);
    }
}

void expectMatchesDemuxer(const MediaContext &c, const std::string &path) {
    Demuxer demuxer(path);
    ASSERT_NE(demuxer.format, nullptr);
    EXPECT_STREQ(c.filename, path.c_str());
    EXPECT_EQ(c.file_size, static_cast<int64_t>(fs::file_size(path)));
    EXPECT_STREQ(c.container_name, demuxer.format->iformat->name);
    EXPECT_EQ(c.duration, demuxer.openDuration == AV_NOPTS_VALUE ? 0 : demuxer.openDuration / 1000);
    EXPECT_EQ(c.bit_rate, demuxer.openBitRate);
    const VideoStreamContext *video = c.video;
    const AudioStreamContext *audio = c.audio;
    for (unsigned i = 0; i < demuxer.format->nb_streams; ++i) {
        AVStream *stream = demuxer.format->streams[i];
        const AVCodecParameters *par = stream->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            ASSERT_NE(video, nullptr) << "stream " << i;
            EXPECT_STREQ(video->codec_name, avcodec_find_decoder(par->codec_id)->name);
            EXPECT_EQ(video->width, par->width);
            EXPECT_EQ(video->height, par->height);
            EXPECT_EQ(video->bit_rate, par->bit_rate);
            EXPECT_EQ(video->duration, static_cast<int32_t>(stream->duration));
            ASSERT_EQ(video->spspps_len, par->extradata_size);
            EXPECT_TRUE(par->extradata_size == 0 ||
                        memcmp(video->spspps, par->extradata, par->extradata_size) == 0);
            expectSameIndex(video, stream);
            video = video->next;
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            ASSERT_NE(audio, nullptr) << "stream " << i;
            EXPECT_STREQ(audio->codec_name, avcodec_find_decoder(par->codec_id)->name);
            EXPECT_EQ(audio->sample_rate, par->sample_rate);
            EXPECT_EQ(audio->channels, par->ch_layout.nb_channels);
            EXPECT_EQ(audio->bit_rate, par->bit_rate);
            EXPECT_EQ(audio->duration, static_cast<int32_t>(stream->duration));
            expectSameIndex(audio, stream);
            audio = audio->next;
        }
    }
    EXPECT_EQ(video, nullptr);
    EXPECT_EQ(audio, nullptr);
    EXPECT_EQ(c.subtitle, nullptr);
}

struct Expected {
    const char *fixture;
    InternetMediaType type;
    const char *mime;
    bool durationKnown;         // when the file is opened
    std::vector<int> widths;    // of the video nodes, in stream order
    std::vector<int> channels;  // of the audio nodes
    int sampleRate;             // of every audio node
};

const std::string kMov = "mov,mp4,m4a,3gp,3g2,mj2";

TEST(Probe, DescribesEachKindOfFileAsTheDemuxerSeesIt) {
    const Expected cases[] = {
        {"mp4", INTERNET_MEDIA_TYPE_VIDEO_MP4, "video/mp4", true, {160}, {2}, 44100},
        {"mov", INTERNET_MEDIA_TYPE_VIDEO_QUICKTIME, "video/quicktime", true, {160}, {1}, 44100},
        {"mkv", INTERNET_MEDIA_TYPE_VIDEO_X_MATROSKA, "video/x-matroska", true, {160}, {1}, 44100},
        {"flv", INTERNET_MEDIA_TYPE_VIDEO_X_FLV, "video/x-flv", false, {160}, {1}, 44100},
        {"wmv", INTERNET_MEDIA_TYPE_VIDEO_X_MS_WMV, "video/x-ms-wmv", false, {160}, {1}, 44100},
        {"ts", INTERNET_MEDIA_TYPE_VIDEO_MPEGTS, "video/mp2t", false, {160}, {1}, 44100},
        {"wav", INTERNET_MEDIA_TYPE_UNKNOWN, "application/octet-stream", false, {}, {1}, 8000},
        {"three_video", INTERNET_MEDIA_TYPE_VIDEO_MP4, "video/mp4", true, {64, 96, 128}, {}, 0},
        {"h264_only", INTERNET_MEDIA_TYPE_VIDEO_MP4, "video/mp4", true, {160}, {}, 0},
    };
    for (const auto &e : cases) {
        SCOPED_TRACE(e.fixture);
        const std::string &path = fixtures().at(e.fixture);
        Context context;
        testing::internal::CaptureStdout();
        ASSERT_EQ(build_media_info(context.context, path.c_str()), 0);
        testing::internal::GetCapturedStdout();
        expectMatchesDemuxer(*context.context, path);
        EXPECT_EQ(context->mime_type, e.type);
        EXPECT_STREQ(context->mime_type_str, e.mime);
        EXPECT_EQ(context->duration != 0, e.durationKnown);
        std::vector<int> widths, channels;
        for (auto *v = context->video; v; v = v->next) {
            widths.push_back(v->width);
            EXPECT_EQ(v->fps, 25.0);
        }
        for (auto *a = context->audio; a; a = a->next) {
            channels.push_back(a->channels);
            EXPECT_EQ(a->sample_rate, e.sampleRate);
        }
        EXPECT_EQ(widths, e.widths);
        EXPECT_EQ(channels, e.channels);
    }
}

TEST(Probe, DurationBeyond2To31MicrosecondsIsKeptInMilliseconds) {
    Context context;
    ASSERT_EQ(build_media_info(context.context, fixtures().at("long").c_str()), 0);
    EXPECT_EQ(context->duration, 2400000);
    ASSERT_NE(context->video, nullptr);
    EXPECT_NEAR(context->video->fps, 1.0 / 60, 1e-9);
}

TEST(Probe, OnlyTheExactQuickTimeBrandMakesAQuickTimeFile) {
    const struct {
        const char *fixture;
        InternetMediaType type;
        const char *mime;
    } cases[] = {
        {"mov", INTERNET_MEDIA_TYPE_VIDEO_QUICKTIME, "video/quicktime"},
        {"mov_QT", INTERNET_MEDIA_TYPE_VIDEO_MP4, "video/mp4"},
        {"mov_qt_short", INTERNET_MEDIA_TYPE_VIDEO_MP4, "video/mp4"},
        {"mov_no_brand", INTERNET_MEDIA_TYPE_VIDEO_MP4, "video/mp4"},
        {"mp4", INTERNET_MEDIA_TYPE_VIDEO_MP4, "video/mp4"},
    };
    for (const auto &c : cases) {
        Context context;
        ASSERT_EQ(build_media_info(context.context, fixtures().at(c.fixture).c_str()), 0)
            << c.fixture;
        EXPECT_EQ(context->container_name, kMov) << c.fixture;
        EXPECT_EQ(context->mime_type, c.type) << c.fixture;
        EXPECT_STREQ(context->mime_type_str, c.mime) << c.fixture;
    }
}

TEST(Probe, SubtitleAndAttachmentStreamsArePrintedNotListed) {
    Context context;
    testing::internal::CaptureStdout();
    ASSERT_EQ(build_media_info(context.context, fixtures().at("mkv").c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "================== \ncodec type subtitle \n"
              "================== \ncodec type unknown \n");
    EXPECT_EQ(context->subtitle, nullptr);
}

TEST(Probe, FailuresReturnTheirCodes) {
    const fs::path dir = fs::path(fixtures().at("mp4")).parent_path();
    const struct {
        std::string path;
        int result;
        int64_t fileSize;
    } cases[] = {
        {fixtures().at("random"), 1, 4096},
        {fixtures().at("empty"), 1, 0},
        {(dir / "no such file.mp4").string(), -2, 0},
    };
    for (const auto &c : cases) {
        Context context;
        EXPECT_EQ(build_media_info(context.context, c.path.c_str()), c.result) << c.path;
        EXPECT_EQ(context->file_size, c.fileSize) << c.path;
        EXPECT_EQ(context->filename, nullptr) << c.path;
        EXPECT_EQ(context->container_name, nullptr) << c.path;
        EXPECT_EQ(context->video, nullptr) << c.path;
    }
    EXPECT_EQ(build_media_info(nullptr, fixtures().at("mp4").c_str()), -1);
}

TEST(Probe, ASecondProbeDescribesTheNewFileAlone) {
    Context context;
    testing::internal::CaptureStdout();
    ASSERT_EQ(build_media_info(context.context, fixtures().at("mkv").c_str()), 0);
    testing::internal::GetCapturedStdout();
    // A file that cannot be opened leaves the earlier description as it was.
    EXPECT_EQ(build_media_info(context.context, "/nonexistent/x.mp4"), -2);
    EXPECT_EQ(context->mime_type, INTERNET_MEDIA_TYPE_VIDEO_X_MATROSKA);
    ASSERT_EQ(build_media_info(context.context, fixtures().at("wav").c_str()), 0);
    expectMatchesDemuxer(*context.context, fixtures().at("wav"));
    EXPECT_EQ(context->video, nullptr);
    ASSERT_NE(context->audio, nullptr);
    EXPECT_EQ(context->audio->next, nullptr);
    ASSERT_EQ(build_media_info(context.context, fixtures().at("random").c_str()), 1);
    EXPECT_EQ(context->audio, nullptr);
    EXPECT_EQ(context->mime_type_str, nullptr);
}

// media_probe_file with each flag against build_media_info of the same file;
// a flag bit the library does not know does nothing at all.
TEST(Probe, FlagsLeaveOutWhatTheyNameAndUnknownBitsAreRefused) {
    testing::internal::CaptureStdout();
    for (const auto &[name, path] : fixtures()) {
        SCOPED_TRACE(name);
        Context plain, flagged, noIndex;
        const int result = build_media_info(plain.context, path.c_str());
        EXPECT_EQ(media_probe_file(flagged.context, path.c_str(), 0), result);
        EXPECT_EQ(media_summary::summarize(*flagged.context),
                  media_summary::summarize(*plain.context));

        EXPECT_EQ(media_probe_file(noIndex.context, path.c_str(), MEDIA_PROBE_NO_INDEX), result);
        media_summary::expectConsistent(*noIndex.context, result, plain->file_size,
                                        MEDIA_PROBE_NO_INDEX);
        // The same description, but for the index arrays, whose counts stay.
        int64_t counted = 0;
        VideoStreamContext *pv = plain->video;
        for (VideoStreamContext *v = noIndex->video; v; v = v->next, pv = pv->next) {
            EXPECT_EQ(v->entries, nullptr);
            EXPECT_EQ(v->entry_count, pv->entry_count);
            counted += v->entry_count;
            free(pv->entries);
            pv->entries = nullptr;
        }
        AudioStreamContext *pa = plain->audio;
        for (AudioStreamContext *a = noIndex->audio; a; a = a->next, pa = pa->next) {
            EXPECT_EQ(a->entries, nullptr);
            EXPECT_EQ(a->entry_count, pa->entry_count);
            counted += a->entry_count;
            free(pa->entries);
            pa->entries = nullptr;
        }
        EXPECT_EQ(media_summary::summarize(*noIndex.context),
                  media_summary::summarize(*plain.context));
        if (name == "mp4") {
            EXPECT_GT(counted, 0) << "a fixture with an index";
        }
    }
    testing::internal::GetCapturedStdout();

    const std::string mp4 = fixtures().at("mp4");
    for (unsigned unknown : {0x4u, 0x100u, 0x80000000u, ~0u}) {
        SCOPED_TRACE(unknown);
        Context context;
        ASSERT_EQ(build_media_info(context.context, mp4.c_str()), 0);
        const std::string before = media_summary::summarize(*context.context);
        EXPECT_EQ(media_probe_file(context.context, fixtures().at("wav").c_str(), unknown), -1);
        EXPECT_EQ(media_summary::summarize(*context.context), before);
    }
    EXPECT_EQ(media_probe_file(nullptr, mp4.c_str(), 0), -1);
}

// A TCP listener on 127.0.0.1 that counts (and drops) every connection.
struct Listener {
    Listener() : fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        auto *raw = reinterpret_cast<sockaddr *>(&address);
        EXPECT_EQ(bind(fd, raw, length) | listen(fd, 8) | getsockname(fd, raw, &length), 0);
        port = std::to_string(ntohs(address.sin_port));
        thread = std::thread([this] {
            for (pollfd ready{fd, POLLIN, 0}; !stop; ready.revents = 0) {
                if (poll(&ready, 1, 20) == 1) {
                    close(accept(fd, nullptr, nullptr));
                    ++connections;
                }
            }
        });
    }
    ~Listener() {
        stop = true;
        thread.join();
        close(fd);
    }
    int fd;
    std::string port;
    std::atomic<int> connections{0};
    std::atomic<bool> stop{false};
    std::thread thread;
};

// Runs in a fresh directory, the working directory for the test's paths.
class LocalOnly : public testing::Test {
  protected:
    void SetUp() override {
        startDir_ = fs::current_path();
        fs::current_path(dir_.path());
    }
    void TearDown() override { fs::current_path(startDir_); }
    static void copy(const std::string &fixture, const fs::path &to) {
        fs::create_directories(fs::absolute(to).parent_path());
        fs::copy_file(fixtures().at(fixture), to);
    }
    fs::path startDir_;
    qztest::TempDir dir_;
};

TEST_F(LocalOnly, PathsThatParseAsUrlsAreReadAsLocalFiles) {
    Listener listener;
    const std::string http = "http://127.0.0.1:" + listener.port + "/x.ts";
    const struct {
        std::string path;
        const char *local;  // fixture copied to that path
        const char *container;
    } cases[] = {
        {http, "ts", "mpegts"},
        {"concat:a.ts|b.ts", "wav", "wav"},
        {"subfile,,start,0,end,0,,:a.ts", "wav", "wav"},
    };
    copy("ts", "a.ts");
    copy("ts", "b.ts");
    for (const auto &c : cases) {
        copy(c.local, c.path);
        Context context;
        EXPECT_EQ(build_media_info(context.context, c.path.c_str()), 0) << c.path;
        EXPECT_STREQ(context->container_name, c.container) << c.path;
        EXPECT_EQ(context->file_size, static_cast<int64_t>(fs::file_size(c.path))) << c.path;
    }
    EXPECT_EQ(listener.connections, 0);
}

// Whatever a playlist or manifest names on the network (a segment, a variant,
// a key, an initialisation section) is not fetched; local entries are read.
TEST_F(LocalOnly, PlaylistEntriesStayOnLocalFiles) {
    Listener listener;
    const std::string remote = "127.0.0.1:" + listener.port;
    const std::string head = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n";
    const std::string local = "#EXTINF:1.0,\nseg.ts\n#EXT-X-ENDLIST\n";
    const struct {
        const char *file;
        std::string text;
        int result;
        bool video;
    } cases[] = {
        {"local.m3u8", head + local, 0, true},
        {"segment.m3u8", head + "#EXTINF:1.0,\nhttp://" + remote + "/seg.ts\n#EXT-X-ENDLIST\n", 1,
         false},
        {"tcp.m3u8", head + "#EXTINF:1.0,\ntcp://" + remote + "\n#EXT-X-ENDLIST\n", 1, false},
        {"variant.m3u8", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nhttp://" + remote + "/v.m3u8\n",
         1, false},
        {"key.m3u8", head + "#EXT-X-KEY:METHOD=AES-128,URI=\"http://" + remote + "/k\"\n" + local,
         1, false},
        {"map.m3u8", head + "#EXT-X-MAP:URI=\"http://" + remote + "/init.mp4\"\n" + local, 1,
         false},
        {"manifest.mpd",
         "<?xml version=\"1.0\"?>\n<MPD type=\"static\" mediaPresentationDuration=\"PT1S\">"
         "<BaseURL>http://" +
             remote +
             "/</BaseURL><Period><AdaptationSet mimeType=\"video/mp2t\">"
             "<Representation id=\"1\" bandwidth=\"1\"><BaseURL>seg.ts</BaseURL></Representation>"
             "</AdaptationSet></Period></MPD>\n",
         1, false},
    };
    copy("ts", "seg.ts");
    for (const auto &c : cases) {
        ASSERT_TRUE(qztest::writeFile(c.file, c.text));
        Context context;
        EXPECT_EQ(build_media_info(context.context, c.file), c.result) << c.file;
        EXPECT_EQ(context->video != nullptr, c.video) << c.file;
    }
    EXPECT_EQ(listener.connections, 0);
}

}  // namespace
