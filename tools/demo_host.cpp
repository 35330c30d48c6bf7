// A demonstration host: plays one or more hosts of the console's host file so
// the console can be tried at once. Each request arrives on the host's RXPORT;
// each reply goes to 127.0.0.1 at the host's TXPORT, where the console listens.
#include <arpa/inet.h>
#include <getopt.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cmd_config.h"
#include "cmd_reply.h"

namespace {

constexpr int kMaxLines = 1000;

const char kCommands[] =
    "  help       list these commands\n"
    "  status     one line about this host\n"
    "  lines N    a reply of N datagrams (1 to 1000): status 1 for all but the last\n"
    "  bye        end the dialogue: the console closes the host and shows its menu\n"
    "  silent     send no reply: the console gives up after 3 seconds (exit status 3)\n"
    "  anything else is echoed back\n";

struct PlayedHost {
    std::string name;
    int sock = -1;
    sockaddr_in replyTo{};
    unsigned long served = 0;
};

void usage(FILE *out, const char *argv0) {
    fprintf(out,
            "Usage: %s [--config FILE] [NAME...]\n"
            "Plays the named hosts of the host file (all of them by default), answering\n"
            "the console's requests on each host's RXPORT and replying to its TXPORT.\n\n"
            "Options:\n"
            "  -c, --config FILE  host file to read (default ../cfg/cmd.cfg)\n"
            "  -h, --help         show this help\n\n"
            "Commands a host answers:\n%s",
            argv0, kCommands);
}

bool sendReply(const PlayedHost &host, uint32_t status, const std::string &text) {
    CmdMsg reply{};
    reply.msgType = status;
    size_t len = text.size() < sizeof reply.text - 1 ? text.size() : sizeof reply.text - 1;
    memcpy(reply.text, text.data(), len);
    size_t datagramLen = offsetof(CmdMsg, text) + len + 1;
    if (sendto(host.sock, &reply, datagramLen, 0, reinterpret_cast<const sockaddr *>(&host.replyTo),
               sizeof host.replyTo) < 0) {
        perror("demo_host: sendto");
        return false;
    }
    return true;
}

void answer(PlayedHost &host, const std::string &command) {
    ++host.served;
    if (command == "help") {
        sendReply(host, CMD_REPLY_LAST, std::string("commands:\n") + kCommands);
    } else if (command == "status") {
        sendReply(host, CMD_REPLY_LAST,
                  "host " + host.name + " up, " + std::to_string(host.served) + " requests served");
    } else if (command.rfind("lines ", 0) == 0) {
        long n = strtol(command.c_str() + 6, nullptr, 10);
        if (n < 1 || n > kMaxLines) {
            sendReply(host, CMD_REPLY_LAST, "lines: give a count from 1 to 1000");
            return;
        }
        for (long i = 1; i <= n; ++i) {
            std::string text = "line " + std::to_string(i) + " of " + std::to_string(n);
            if (i < n) text += "\n";
            if (!sendReply(host, i < n ? 1 : CMD_REPLY_LAST, text)) return;
            if (i % 32 == 0) usleep(200);  // let the console keep up
        }
    } else if (command == "bye") {
        sendReply(host, CMD_REPLY_CLOSE, "bye from " + host.name + "\n");
    } else if (command == "silent") {
        // no reply on purpose
    } else {
        sendReply(host, CMD_REPLY_LAST, host.name + ": " + command);
    }
}

}  // namespace

int main(int argc, char **argv) {
    const char *configPath = "../cfg/cmd.cfg";
    static const option longOptions[] = {
        {"config", required_argument, nullptr, 'c'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int opt;
    while ((opt = getopt_long(argc, argv, "c:h", longOptions, nullptr)) != -1) {
        switch (opt) {
            case 'c':
                configPath = optarg;
                break;
            case 'h':
                usage(stdout, argv[0]);
                return 0;
            default:
                usage(stderr, argv[0]);
                return 2;
        }
    }

    if (initConfig(configPath) < 0) return 1;
    std::vector<PlayedHost> hosts;
    for (int p = 0; p < maxHost; ++p) {
        const CmdCfgRecord &cfg = stCmdCfgInfo[p];
        bool wanted = optind == argc;
        for (int a = optind; a < argc; ++a) wanted = wanted || strcmp(argv[a], cfg.name) == 0;
        if (!wanted) continue;

        PlayedHost host;
        host.name = cfg.name;
        host.sock = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        local.sin_port = htons(static_cast<uint16_t>(cfg.rxPort));
        if (host.sock < 0 ||
            bind(host.sock, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
            fprintf(stderr, "demo_host: cannot listen for %s on port %d: %s\n", cfg.name,
                    cfg.rxPort, strerror(errno));
            return 1;
        }
        host.replyTo.sin_family = AF_INET;
        host.replyTo.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        host.replyTo.sin_port = htons(static_cast<uint16_t>(cfg.txPort));
        printf("demo_host: playing %s: requests on %d, replies to %d\n", cfg.name, cfg.rxPort,
               cfg.txPort);
        hosts.push_back(host);
    }
    if (hosts.empty()) {
        fprintf(stderr, "demo_host: no such host in %s\n", configPath);
        return 1;
    }
    fflush(stdout);

    std::vector<pollfd> fds;
    for (const PlayedHost &h : hosts) fds.push_back({h.sock, POLLIN, 0});
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            perror("demo_host: poll");
            return 1;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            CmdMsg request{};
            ssize_t got = recv(fds[i].fd, &request, sizeof request, 0);
            if (got < 0) continue;
            std::string command(request.text, strnlen(request.text, sizeof request.text));
            answer(hosts[i], command);
        }
    }
}
