// mprobe: describes media files with the media_probe library.
//
//   mprobe FILE...          one readable block per file on standard output
//   mprobe --json FILE...   a JSON array with one object per file
//
// Exit status 0 when every file was described, 1 when any failed (each
// failure is named on standard error), 2 on a usage error. The demuxer's own
// log messages are silenced; the library's notes about streams it does not
// describe go to standard error, so that standard output holds only the
// descriptions.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "media_probe.h"

namespace {

using Json = nlohmann::ordered_json;

const char kUsage[] = "usage: mprobe [--json] FILE...\n";

// Outcome of probing one file: the context (freed by the caller) and, on
// failure, why.
struct Probe {
    MediaContext *context = nullptr;
    int result = 0;
    std::string error;
};

// Runs build_media_info with the library's standard output lines sent to
// standard error.
int buildDiverted(MediaContext *context, const char *path, int *error) {
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    if (saved >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
    int result = build_media_info(context, path);
    *error = errno;
    fflush(stdout);
    if (saved >= 0) {
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }
    return result;
}

std::string failureReason(const char *path, const Probe &probe, int error) {
    if (probe.result == -2) {
        if (error == ENOENT) return "not found";
        return std::string("cannot open: ") + strerror(error);
    }
    struct stat info;
    if (stat(path, &info) == 0 && S_ISDIR(info.st_mode)) return "is a directory";
    if (!probe.context->container_name) return "not a media file";
    return std::string("not a readable media file (") + probe.context->container_name +
           " container; its streams cannot be read)";
}

Probe probe(const char *path) {
    Probe probe;
    probe.context = create_media_context();
    if (!probe.context) {
        probe.result = -1;
        probe.error = "out of memory";
        return probe;
    }
    int error = 0;
    probe.result = buildDiverted(probe.context, path, &error);
    if (probe.result != 0) probe.error = failureReason(path, probe, error);
    return probe;
}

std::string hex(const uint8_t *bytes, int32_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (int32_t i = 0; bytes && i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

Json index(const StreamEntry *entries, int64_t count) {
    Json array = Json::array();
    for (int64_t i = 0; entries && i < count; ++i) {
        const StreamEntry &e = entries[i];
        array.push_back({{"pos", e.pos},
                         {"timestamp", e.timestamp},
                         {"flags", static_cast<int>(e.flags)},
                         {"size", static_cast<int>(e.size)},
                         {"min_distance", e.min_distance}});
    }
    return array;
}

Json text(const char *value) {
    return value ? Json(value) : Json(nullptr);
}

// NaN and infinities have no JSON form; they become null.
Json number(double value) {
    return std::isfinite(value) ? Json(value) : Json(nullptr);
}

Json toJson(const char *path, const Probe &probe) {
    if (probe.result != 0) {
        return {{"filename", path}, {"result", probe.result}, {"error", probe.error}};
    }
    const MediaContext &c = *probe.context;
    Json video = Json::array(), audio = Json::array(), subtitle = Json::array();
    for (const VideoStreamContext *v = c.video; v; v = v->next) {
        video.push_back({{"codec_name", text(v->codec_name)},
                         {"width", v->width},
                         {"height", v->height},
                         {"fps", number(v->fps)},
                         {"bit_rate", v->bit_rate},
                         {"duration", v->duration},
                         {"spspps_len", v->spspps_len},
                         {"spspps", hex(v->spspps, v->spspps_len)},
                         {"entry_count", v->entry_count},
                         {"entries", index(v->entries, v->entry_count)}});
    }
    for (const AudioStreamContext *a = c.audio; a; a = a->next) {
        audio.push_back({{"codec_name", text(a->codec_name)},
                         {"sample_rate", a->sample_rate},
                         {"channels", a->channels},
                         {"bit_rate", a->bit_rate},
                         {"duration", a->duration},
                         {"entry_count", a->entry_count},
                         {"entries", index(a->entries, a->entry_count)}});
    }
    for (const SubtitleStreamContext *s = c.subtitle; s; s = s->next) {
        subtitle.push_back({{"codec_name", text(s->codec_name)},
                            {"duration", s->duration},
                            {"entry_count", s->entry_count},
                            {"entries", index(s->entries, s->entry_count)}});
    }
    return {{"filename", text(c.filename)},
            {"result", probe.result},
            {"file_size", c.file_size},
            {"container_name", text(c.container_name)},
            {"duration", c.duration},
            {"bit_rate", c.bit_rate},
            {"mime_type", static_cast<int>(c.mime_type)},
            {"mime_type_str", text(c.mime_type_str)},
            {"video", video},
            {"audio", audio},
            {"subtitle", subtitle}};
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

void printText(const Probe &probe) {
    const MediaContext &c = *probe.context;
    printf("%s\n", c.filename);
    printf("  size       %lld bytes\n", static_cast<long long>(c.file_size));
    printf("  container  %s\n", c.container_name);
    printf("  type       %s\n", c.mime_type_str ? c.mime_type_str : "");
    printf("  duration   %s\n", orUnknown(c.duration, " ms").c_str());
    printf("  bit rate   %s\n", orUnknown(c.bit_rate, " bit/s").c_str());
    int n = 0;
    for (const VideoStreamContext *v = c.video; v; v = v->next) {
        printf(
            "  video %d    %s %dx%d, %s fps, %s, duration %d, %d config bytes, %lld index "
            "entries\n",
            n++, v->codec_name ? v->codec_name : "(no decoder)", v->width, v->height,
            framesPerSecond(v->fps).c_str(), orUnknown(v->bit_rate, " bit/s").c_str(), v->duration,
            v->spspps_len, static_cast<long long>(v->entry_count));
    }
    n = 0;
    for (const AudioStreamContext *a = c.audio; a; a = a->next) {
        printf("  audio %d    %s %d Hz, %d channel%s, %s, duration %d, %lld index entries\n", n++,
               a->codec_name ? a->codec_name : "(no decoder)", a->sample_rate, a->channels,
               a->channels == 1 ? "" : "s", orUnknown(a->bit_rate, " bit/s").c_str(), a->duration,
               static_cast<long long>(a->entry_count));
    }
}

}  // namespace

int main(int argc, char **argv) {
    bool json = false;
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; ++first) {
        if (strcmp(argv[first], "--json") == 0) {
            json = true;
        } else if (strcmp(argv[first], "--") == 0) {
            ++first;
            break;
        } else if (strcmp(argv[first], "--help") == 0 || strcmp(argv[first], "-h") == 0) {
            fputs(kUsage, stdout);
            return 0;
        } else {
            fprintf(stderr, "mprobe: unknown option %s\n%s", argv[first], kUsage);
            return 2;
        }
    }
    if (first >= argc) {
        fputs(kUsage, stderr);
        return 2;
    }

    av_log_set_level(AV_LOG_QUIET);
    int status = 0;
    bool printed = false;
    Json all = Json::array();
    for (int i = first; i < argc; ++i) {
        Probe result = probe(argv[i]);
        if (result.result != 0) {
            fprintf(stderr, "mprobe: %s: %s\n", argv[i], result.error.c_str());
            status = 1;
        }
        if (json) {
            all.push_back(toJson(argv[i], result));
        } else if (result.result == 0) {
            if (printed) putchar('\n');
            printText(result);
            printed = true;
        }
        free_media_context(result.context);
    }
    // Paths need not be UTF-8; undecodable bytes are replaced, not fatal.
    if (json) printf("%s\n", all.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
    return status;
}
