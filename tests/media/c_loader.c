/* Loads the shared library named by its first argument at run time, as the
 * languages that load C do (Python's ctypes, .NET's P/Invoke, Node's ffi),
 * and describes the file named by its second through it: prints the
 * library's version, the probe's result and the container's name. The
 * header gives the records' layout; nothing is linked. The packaging test
 * builds it against installed and packaged trees. */
#include <dlfcn.h>
#include <media_probe.h>
#include <stdio.h>

/* The address of the function `name`, or NULL after printing why. */
static void *function(void *library, const char *name) {
    void *address = dlsym(library, name);
    if (!address) fprintf(stderr, "%s: %s\n", name, dlerror());
    return address;
}

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    const char *(*version)(void);
    MediaContext *(*create)(void);
    int (*build)(MediaContext *, const char *);
    int (*release)(MediaContext *);
    /* POSIX: a function's address from dlsym is read through a void *. */
    *(void **)&version = function(library, "media_probe_version");
    *(void **)&create = function(library, "create_media_context");
    *(void **)&build = function(library, "build_media_info");
    *(void **)&release = function(library, "free_media_context");
    if (!version || !create || !build || !release) return 1;

    MediaContext *media = create();
    if (!media) return 1;
    int result = build(media, argv[2]);
    printf("%s %d %s\n", version(), result, media->container_name ? media->container_name : "-");
    /* The library stays loaded, as ctypes and the others keep it: unloaded,
     * the lookups it and FFmpeg keep for the process (media_probe(3),
     * ATTRIBUTES) would be left allocated with nothing pointing at them. */
    return release(media) == 0 && result == 0 ? 0 : 1;
}
