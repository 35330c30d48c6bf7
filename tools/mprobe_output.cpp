#include "mprobe_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

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

bool putJson(void *stream, const char *data, size_t size) {
    put(static_cast<FILE *>(stream), data, size);
    return true;
}

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
