// mprobe's checked output: every write to standard output or standard error
// either succeeds or ends the run at once with status 1 and one message.
#ifndef TOOLS_MPROBE_OUTPUT_H
#define TOOLS_MPROBE_OUTPUT_H

#include <cstddef>
#include <cstdio>
#include <string>

// Ends the process at once with status 1 after one line on standard error
// naming `stream` and `error`: output that cannot be written must not pass
// for a success, nor go on being produced for nobody. Any thread may call it;
// the first call names its error, later ones wait for the end.
[[noreturn]] void writeFailed(FILE *stream, int error);

// Writes to `stream` or ends the run (writeFailed).
void put(FILE *stream, const char *data, size_t size);
void put(FILE *stream, const std::string &text);
void put(FILE *stream, const char *text);
void flushOrFail(FILE *stream);

// A MediaJsonOutput writing to the FILE `stream` with put: never refuses.
bool putJson(void *stream, const char *data, size_t size);

// A standard descriptor closed at start is held open on /dev/null the other
// way round (standard input for writing, the outputs for reading), so that
// no file mprobe opens takes its number, and reading or writing it fails
// with EBADF as it would have.
void holdClosedStandardDescriptors();

#endif
