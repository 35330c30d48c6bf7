// Host configuration: the table of hosts the console can talk to, loaded from
// a key-value text file.
#ifndef MONITOR_CMD_CONFIG_H
#define MONITOR_CMD_CONFIG_H

#include <cstdint>
#include <cstdio>
#include <cstring>

#define CMD_MAX_HOST 20

#define CMD_CFG_LINE_LEN 256  // a line holds at most 255 characters
#define CMD_CFG_TOKEN_LEN 64  // a key or value holds at most 63 characters
// A host file is read no further than this, far beyond any real one: a file
// that stats as regular can still be endless (/proc/self/pagemap).
#define CMD_CFG_MAX_BYTES (1024 * 1024)
#define CMD_CFG_MAX_LINES 10000

// One configured host.
struct CmdCfgRecord {
    int32_t index;    // position in the table (0 for a group without a PRCS line)
    char name[10];    // at most 9 characters
    char ipAddr[30];  // dotted IPv4 text, "127.0.0.1" once PRCS is seen
    int32_t rxPort;   // the port on which the host receives
    int32_t txPort;   // the port to which the host sends its replies
};

// Copies `src` into `dst` of `size` (at least 1) bytes, cut to fit and
// always terminated.
inline void copyText(char *dst, size_t size, const char *src) {
    size_t length = strnlen(src, size - 1);
    memcpy(dst, src, length);
    dst[length] = '\0';
}

extern CmdCfgRecord stCmdCfgInfo[CMD_MAX_HOST];
extern int32_t maxHost;  // complete records in stCmdCfgInfo

// Zeroes stCmdCfgInfo, loads the host file at `path` and prints the table on
// standard output, or "can't found configfile=..." when the file cannot be
// opened. Problems in the content (cut lines or names, hosts past the table's
// size, out-of-range ports) are reported as "[WARNING] file:line: ..." lines.
// Anything but a regular file (a directory, FIFO or device) is not read: a
// "[WARNING] file: not a regular file, not read" line and the empty table.
// Past CMD_CFG_MAX_BYTES or CMD_CFG_MAX_LINES, whichever comes first, the
// rest (a line cut by the bound included) is not read: "[WARNING] file: more
// than 1 MiB or 10000 lines, the rest not read" before the table.
// Returns 0 after loading, -1 when nothing was read.
int initConfig(const char *path);

// Reads one physical line from `stream` into `buffer` (`size` bytes, at least 1)
// without its '\n'. A longer line is cut to size - 1 characters and the rest
// of it is consumed and discarded. Returns 1 when the line is significant (its
// first character is not '#' and it is longer than 2 characters), else 0.
// `*cut`, when given, is set to whether the line was cut.
int cmd_readLine(FILE *stream, char *buffer, size_t size, bool *cut = nullptr);

#endif
