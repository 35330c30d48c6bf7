/* A C program using media_probe: compiled as C in the build to keep the
 * header C-clean, and against the installed library through pkg-config by
 * the packaging test. Prints one line per file. */
#include <media_probe.h>
#include <stdio.h>

int main(int argc, char **argv) {
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        MediaContext *media = create_media_context();
        if (!media) return 1;
        int result = build_media_info(media, argv[i]);
        int videos = 0;
        for (const VideoStreamContext *v = media->video; v; v = v->next) ++videos;
        printf("%d %s %s videos=%d\n", result, media->container_name ? media->container_name : "-",
               media->mime_type_str ? media->mime_type_str : "-", videos);
        if (result != 0) status = 1;
        free_media_context(media);
    }
    return status;
}
