/* A C program using media_probe: compiled as C in the build to keep the
 * header C-clean, and against the installed library through pkg-config by
 * the packaging test. Prints one line per file; with --json first, the
 * file's description as media_probe_json gives it (a probe that returned 1
 * included), or "result N" for a file that could not be opened. */
#include <media_probe.h>
#include <stdio.h>
#include <string.h>

static void ignore_note(void *opaque, const char *filename, const char *line) {
    (void)opaque;
    (void)filename;
    (void)line;
}

int main(int argc, char **argv) {
    int status = 0;
    int json = argc > 1 && strcmp(argv[1], "--json") == 0;
    if (json) media_probe_set_note_handler(ignore_note, NULL);
    for (int i = 1 + json; i < argc; ++i) {
        MediaContext *media = create_media_context();
        if (!media) return 1;
        int result = build_media_info(media, argv[i]);
        if (json && result >= 0) {
            char *text = media_probe_json(media, 0);
            if (!text) return 1;
            printf("%s\n", text);
            media_probe_free_json(text);
        } else if (json) {
            printf("result %d\n", result);
        } else {
            int videos = 0;
            for (const VideoStreamContext *v = media->video; v; v = v->next) ++videos;
            printf("%d %s %s videos=%d\n", result,
                   media->container_name ? media->container_name : "-",
                   media->mime_type_str ? media->mime_type_str : "-", videos);
        }
        if (result != 0) status = 1;
        free_media_context(media);
    }
    return status;
}
