/* The floor for a probing process: a C program making only the libavformat
 * calls any probe must make (open, read the stream information, close) and
 * printing nothing. Exit status 1 when a file could not be opened or read. */
#include <libavformat/avformat.h>
#include <libavutil/log.h>

int main(int argc, char **argv) {
    int status = 0;
    av_log_set_level(AV_LOG_QUIET);
    for (int i = 1; i < argc; ++i) {
        AVFormatContext *format = NULL;
        if (avformat_open_input(&format, argv[i], NULL, NULL) < 0) {
            status = 1;
            continue;
        }
        if (avformat_find_stream_info(format, NULL) < 0) status = 1;
        avformat_close_input(&format);
    }
    return status;
}
