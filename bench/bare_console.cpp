// bench_bare_console: the least a console has to do, as the baseline for the
// monitor's reply path. It reads a command line from its terminal, sends it
// as one 2048-byte request, then receives the reply datagram by datagram and
// writes each text to its terminal with one write, exactly as the monitor's
// output reaches the terminal, but with no timeout, no stdio and no line
// editor.
//
//   bench_bare_console HOST_RXPORT TXPORT
//
// It receives on TXPORT (any address), sends to 127.0.0.1:HOST_RXPORT, shows
// the prompt "\nbare> " and ends at end of input or on a status-2 reply.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cmd_reply.h"
#include "cmd_udpcomm.h"

namespace {

bool writeAll(const char *bytes, size_t length) {
    while (length > 0) {
        ssize_t n = write(STDOUT_FILENO, bytes, length);
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Receives one reply; returns its last status word, or -1 on an error.
extern "C" __attribute__((noinline)) long receive_reply(int sock) {
    unsigned char datagram[CMD_MSG_LEN];
    for (;;) {
        ssize_t got = recv(sock, datagram, sizeof datagram, 0);
        if (got < 0) return -1;
        uint32_t status = 0;
        memcpy(&status, datagram, got < 4 ? static_cast<size_t>(got) : 4);
        if (got > 8) {
            const char *text = reinterpret_cast<const char *>(datagram + 8);
            if (!writeAll(text, strnlen(text, static_cast<size_t>(got) - 8))) return -1;
        }
        if (status == CMD_REPLY_LAST || status == CMD_REPLY_CLOSE) return status;
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fputs("usage: bench_bare_console HOST_RXPORT TXPORT\n", stderr);
        return 2;
    }
    const int rx = socket(AF_INET, SOCK_DGRAM, 0);
    const int tx = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
    if (rx < 0 || tx < 0 || bind(rx, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        perror("bench_bare_console");
        return 1;
    }
    int size = CMD_RCVBUF_SIZE;  // the monitor asks for the same buffer
    setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in host{};
    host.sin_family = AF_INET;
    host.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    host.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));

    static CmdMsg request;
    char line[CMD_MSG_LEN];
    for (;;) {
        if (!writeAll("\nbare> ", 7)) return 1;
        ssize_t got = read(STDIN_FILENO, line, sizeof line - 1);
        if (got <= 0) return 0;
        while (got > 0 && (line[got - 1] == '\n' || line[got - 1] == '\r')) --got;
        if (got == 0) continue;
        line[got] = '\0';
        memcpy(request.text, line, static_cast<size_t>(got) + 1);
        if (sendto(tx, &request, sizeof request, 0, reinterpret_cast<sockaddr *>(&host),
                   sizeof host) < 0) {
            return 1;
        }
        long status = receive_reply(rx);
        if (status < 0 || status == CMD_REPLY_CLOSE) return status < 0 ? 1 : 0;
        if (!writeAll("\n", 1)) return 1;
    }
}
