// The console's datagram, CmdMsg, and the handling of one reply datagram.
#ifndef MONITOR_CMD_REPLY_H
#define MONITOR_CMD_REPLY_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#define CMD_MSG_LEN 2048
#define CMD_TEXT_LEN (CMD_MSG_LEN - 8)

// Reply status words; any other value means more datagrams follow.
#define CMD_REPLY_LAST 0
#define CMD_REPLY_CLOSE 2

// Layout of every datagram in both directions, in the machine's byte order.
struct CmdMsg {
    uint32_t msgType;          // request: 0; reply: status (see above)
    int32_t hostIndex;         // request: the selected host's index; reply: unused
    char text[CMD_TEXT_LEN];   // NUL-terminated text
};
static_assert(sizeof(CmdMsg) == CMD_MSG_LEN, "CmdMsg is one 2048-byte datagram");
static_assert(offsetof(CmdMsg, msgType) == 0, "msgType at offset 0");
static_assert(offsetof(CmdMsg, hostIndex) == 4, "hostIndex at offset 4");
static_assert(offsetof(CmdMsg, text) == 8, "text at offset 8");

// Prints the text of one reply datagram of `length` bytes to `out` and returns
// its status word. Bytes past `length` (or past CMD_MSG_LEN) read as zero, as
// in a zeroed receive buffer: a datagram shorter than 4 bytes has its status
// padded with zeros. The text is printed up to its first NUL or the end of the
// datagram, whichever comes first; nothing else is printed.
uint32_t printReply(const void *datagram, size_t length, FILE *out);

#endif
