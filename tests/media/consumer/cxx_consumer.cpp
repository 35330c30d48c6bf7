// Prints the codec of each audio stream of the file given, through the
// installed media_probe package.
#include <media_probe.h>

#include <cstdio>

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    MediaContext *media = create_media_context();
    if (!media) return 1;
    int result = build_media_info(media, argv[1]);
    for (const AudioStreamContext *a = media->audio; a; a = a->next) {
        std::printf("%s %d Hz\n", a->codec_name, a->sample_rate);
    }
    free_media_context(media);
    return result == 0 ? 0 : 1;
}
