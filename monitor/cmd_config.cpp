#include "cmd_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

CmdCfgRecord stCmdCfgInfo[CMD_MAX_HOST];
int32_t maxHost = 0;

int cmd_readLine(FILE *stream, char *buffer, size_t size, bool *cut) {
    size_t used = 0;
    bool wasCut = false;
    int c;
    while ((c = getc(stream)) != EOF && c != '\n') {
        if (used + 1 < size) {
            buffer[used++] = static_cast<char>(c);
        } else {
            wasCut = true;
        }
    }
    buffer[used] = '\0';
    if (cut) *cut = wasCut;
    return buffer[0] != '#' && strlen(buffer) > 2 ? 1 : 0;
}

namespace {

// Copies the next blank-separated word at *cursor into `out` (cut to fit) and
// moves the cursor past the whole word. Returns whether the word was cut.
bool nextToken(const char *&cursor, char *out, size_t outSize) {
    while (*cursor && isspace(static_cast<unsigned char>(*cursor))) ++cursor;
    size_t used = 0;
    bool cut = false;
    for (; *cursor && !isspace(static_cast<unsigned char>(*cursor)); ++cursor) {
        if (used + 1 < outSize) {
            out[used++] = *cursor;
        } else {
            cut = true;
        }
    }
    out[used] = '\0';
    return cut;
}

// Decimal conversion of the leading digits with an optional sign; 0 when there
// are none. Values beyond the 32-bit range saturate instead of overflowing.
int32_t toPort(const char *text) {
    long value = strtol(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

void checkPortRange(const char *path, int lineNo, const char *key, int32_t port) {
    if (port < 0 || port > 65535) {
        printf("[WARNING] %s:%d: %s %d is outside 0..65535\n", path, lineNo, key, port);
    }
}

// A multiple of 8 bytes: /proc/self/pagemap refuses reads of any other size.
constexpr size_t kReadChunk = 8192;

// Reads the host file open at `fd` into `buffer` (CMD_CFG_MAX_BYTES +
// kReadChunk bytes) up to its end or a read error and returns how much of it
// the loader parses: at most CMD_CFG_MAX_BYTES bytes and CMD_CFG_MAX_LINES
// lines. A file that goes on past the bound is cut after its last whole line
// within it, so that no line is read short (a port cut to fewer digits would
// still parse), and *cut is set.
size_t readBounded(int fd, char *buffer, bool *cut) {
    size_t used = 0;
    while (used <= CMD_CFG_MAX_BYTES) {
        const ssize_t got = read(fd, buffer + used, kReadChunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        used += static_cast<size_t>(got);
    }
    *cut = used > CMD_CFG_MAX_BYTES;
    if (*cut) {
        used = CMD_CFG_MAX_BYTES;
        while (used > 0 && buffer[used - 1] != '\n') --used;
    }
    int lines = 0;
    for (size_t at = 0; at < used; ++at) {
        if (buffer[at] == '\n' && ++lines == CMD_CFG_MAX_LINES) {
            *cut = *cut || at + 1 < used;
            used = at + 1;
            break;
        }
    }
    return used;
}

void printTable() {
    printf(" IDX  HOST        IPADDR           RXPORT  TXPORT\n");
    for (int i = 0; i < maxHost; ++i) {
        const CmdCfgRecord &r = stCmdCfgInfo[i];
        // The columns show the console's side: it receives on the host's
        // txPort and sends to the host's rxPort.
        printf(" %2d   %-10s  %-16s %-6d   %-6d\n", r.index, r.name, r.ipAddr, r.txPort, r.rxPort);
    }
    printf("\n");
}

}  // namespace

int initConfig(const char *path) {
    memset(stCmdCfgInfo, 0, sizeof stCmdCfgInfo);

    // Only a regular file is read. A FIFO would hold the console before its
    // menu until some writer came along, and a device such as /dev/zero never
    // ends; O_NONBLOCK keeps the open itself from waiting for a FIFO's writer.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        printf("[WARNING] %s: not a regular file, not read\n", path);
        printTable();
        return -1;
    }
    // The whole text is read first, so the bound holds however long a line is.
    static char text[CMD_CFG_MAX_BYTES + kReadChunk];  // the console allocates nothing
    bool cut = false;
    const size_t length = fd >= 0 ? readBounded(fd, text, &cut) : 0;
    if (fd >= 0) close(fd);
    FILE *fp = fd >= 0 ? fmemopen(text, length, "r") : nullptr;
    if (fp == nullptr) {
        printf("can't found configfile=%s,\n", path);
        return -1;
    }

    int lineNo = 0;
    int ignoredGroups = 0;
    // Stop on a read error too: the error indicator stays set, so the loop
    // would otherwise never reach end of file.
    while (!feof(fp) && !ferror(fp)) {
        char line[CMD_CFG_LINE_LEN] = {};
        bool lineCut = false;
        ++lineNo;
        if (!cmd_readLine(fp, line, sizeof line, &lineCut)) continue;
        if (lineCut) {
            printf("[WARNING] %s:%d: line longer than %d characters, the rest is ignored\n", path,
                   lineNo, CMD_CFG_LINE_LEN - 1);
        }
        for (char *p = line; *p; ++p) {
            if (*p == '=') *p = ' ';
        }
        char key[CMD_CFG_TOKEN_LEN] = "";
        char value[CMD_CFG_TOKEN_LEN] = "";
        const char *cursor = line;
        bool keyCut = nextToken(cursor, key, sizeof key);
        bool valueCut = nextToken(cursor, value, sizeof value);
        if (keyCut || valueCut) {
            printf("[WARNING] %s:%d: word longer than %d characters, cut\n", path, lineNo,
                   CMD_CFG_TOKEN_LEN - 1);
        }

        const bool tableFull = maxHost >= CMD_MAX_HOST;
        CmdCfgRecord *record = tableFull ? nullptr : &stCmdCfgInfo[maxHost];
        if (strcmp(key, "QZ_CMD_PRCS") == 0) {
            if (record) {
                record->index = maxHost;
                if (strlen(value) >= sizeof record->name) {
                    printf("[WARNING] %s:%d: host name longer than %zu characters, cut\n", path,
                           lineNo, sizeof record->name - 1);
                }
                copyText(record->name, sizeof record->name, value);
                copyText(record->ipAddr, sizeof record->ipAddr, "127.0.0.1");
            }
        } else if (strcmp(key, "QZ_CMD_TXPORT") == 0) {
            if (record) {
                record->txPort = toPort(value);
                checkPortRange(path, lineNo, key, record->txPort);
            }
        } else if (strcmp(key, "QZ_CMD_RXPORT") == 0) {
            if (record) {
                record->rxPort = toPort(value);
                checkPortRange(path, lineNo, key, record->rxPort);
                ++maxHost;
            } else {
                ++ignoredGroups;
            }
        } else if (strcmp(key, "QZ_CMD_LOCIP") == 0) {
            // Accepted for compatibility; replies always come from 127.0.0.1.
        } else if (strcmp(key, "EOF") == 0) {
            cut = false;  // the file ends here by its own word
            break;
        }
    }
    fclose(fp);

    if (cut) {
        printf("[WARNING] %s: more than 1 MiB or %d lines, the rest not read\n", path,
               CMD_CFG_MAX_LINES);
    }

    if (ignoredGroups > 0) {
        printf("[WARNING] %s: %d host group%s past the first %d ignored\n", path, ignoredGroups,
               ignoredGroups == 1 ? "" : "s", CMD_MAX_HOST);
    }
    printTable();
    return 0;
}
