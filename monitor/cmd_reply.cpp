#include "cmd_reply.h"

#include <cstring>

uint32_t printReply(const void *datagram, size_t length, FILE *out) {
    const auto *bytes = static_cast<const unsigned char *>(datagram);
    if (length > CMD_MSG_LEN) length = CMD_MSG_LEN;

    unsigned char status[sizeof(uint32_t)] = {};
    memcpy(status, bytes, length < sizeof status ? length : sizeof status);
    uint32_t msgType;
    memcpy(&msgType, status, sizeof msgType);

    const size_t textOffset = offsetof(CmdMsg, text);
    if (length > textOffset) {
        const char *text = reinterpret_cast<const char *>(bytes + textOffset);
        fwrite(text, 1, strnlen(text, length - textOffset), out);
    }
    return msgType;
}
