// Arbitrary datagrams through the console's reply path: a real loopback
// socket, ReadUdpMsg and printReply. The printed text must be exactly the
// text bytes that arrived, up to the first NUL, and the status the first four
// bytes padded with zeros.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cmd_reply.h"
#include "cmd_udpcomm.h"
#include "fuzz_require.h"
#include "udp_peer.h"

namespace {
qztest::UdpPeer receiver, sender;
UdpCommInfo endpoint;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!freopen("/dev/null", "w", stdout)) abort();
    if (!receiver.ok() || !sender.ok()) abort();
    endpoint.rxSock = receiver.fd();
    endpoint.ipAddr = htonl(INADDR_LOOPBACK);  // the sender's address
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size) {
    if (size > 4096) return -1;  // datagrams of 0 to 4096 bytes
    if (!sender.sendTo(receiver.port(), std::string(reinterpret_cast<const char *>(data), size)))
        abort();

    unsigned char line[CMD_MSG_LEN] = {};
    int length = CMD_MSG_LEN;
    require(ReadUdpMsg(line, &length, &endpoint) == 0, "loopback receive succeeds");
    const size_t kept = size < CMD_MSG_LEN ? size : CMD_MSG_LEN;
    require(static_cast<size_t>(length) == kept, "datagram cut to 2048 bytes");

    char *printed = nullptr;
    size_t printedLen = 0;
    FILE *out = open_memstream(&printed, &printedLen);
    uint32_t status = printReply(line, static_cast<size_t>(length), out);
    fclose(out);

    unsigned char statusBytes[4] = {};
    memcpy(statusBytes, data, kept < 4 ? kept : 4);
    uint32_t expectedStatus;
    memcpy(&expectedStatus, statusBytes, 4);
    require(status == expectedStatus, "status is the first four bytes, zero-padded");

    size_t textLen = 0;
    if (kept > 8) {
        const void *nul = memchr(data + 8, '\0', kept - 8);
        textLen = nul ? static_cast<size_t>(static_cast<const unsigned char *>(nul) - (data + 8))
                      : kept - 8;
    }
    require(printedLen == textLen, "printed length is the text up to its NUL");
    require(memcmp(printed, data + 8, textLen) == 0, "printed bytes are the text");
    free(printed);
    return 0;
}
