// The console's reply path: a host answers one command with a flood of
// datagrams while the terminal is read as fast as possible, through the
// monitor and through a bare receive loop. Each runs under a pseudo-terminal
// of its own, talking to a host played by this process; a flood is timed
// from the host's first send until the last datagram's text is read.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "bench.h"
#include "cmd_reply.h"
#include "cmd_udpcomm.h"
#include "console_formats.h"
#include "pty_session.h"
#include "temp_dir.h"
#include "udp_peer.h"

namespace qzbench {
namespace {

// Datagrams unread at most: well within the some 630 short datagrams the
// console's receive buffer holds, so that nothing is dropped and the figure
// is the console's own speed, yet enough that it never runs dry.
constexpr long kWindow = 256;

struct Console {
    explicit Console(bool monitor)
        : prompt(monitor ? "flood> " : "bare> "), name(monitor ? "the monitor" : "the bare loop") {
        const std::string ports[2] = {std::to_string(host.port()), std::to_string(txPort)};
        bool ready = true;
        if (monitor) {
            dir.write("cfg/cmd.cfg", qztest::hostGroup("flood", txPort, host.port()));
            ready = session.start({QZ_MONITOR}, dir.makeDir("run")) &&
                    session.readUntil("qzCmd> ", 5000) && session.write("0\n");
        } else {
            ready = session.start({"/proc/self/exe", "--bare-console", ports[0], ports[1]}, ".");
        }
        if (!host.ok() || txPort == 0 || !ready || !session.readUntil(prompt, 5000))
            throw std::runtime_error(name + " did not start: " + session.output());
    }

    const char *prompt;
    const std::string name;
    qztest::TempDir dir;
    qztest::UdpPeer host;
    uint16_t txPort = qztest::freeUdpPort();
    qztest::PtySession session;  // last, so the program is stopped first
};

// Types a command and has the host answer it with `count` datagrams (status
// 1, the last 0), with at most kWindow of them unread. Returns the seconds
// from the first send to the last text read; throws unless all arrived.
double flood(Console &console, int count) {
    std::vector<std::string> datagrams;
    const std::string last = "line " + std::to_string(count) + " of " + std::to_string(count);
    for (int i = 1; i <= count; ++i) {
        const std::string text = "line " + std::to_string(i) + " of " + std::to_string(count);
        datagrams.push_back(qztest::reply(i < count, i < count ? text + "\n" : text));
    }
    std::atomic<long> linesSeen{0};
    std::atomic<bool> stop{false};
    Clock::time_point firstSend{}, end{};  // firstSend: read only once the host has ended
    std::mutex lock;
    std::condition_variable progress;
    std::thread host([&] {
        std::string request;
        if (!console.host.receive(&request, 5000)) return;
        firstSend = Clock::now();
        for (int i = 0; i < count && !stop; ++i) {
            std::unique_lock<std::mutex> guard(lock);
            while (!stop && i - linesSeen > kWindow)
                progress.wait_for(guard, std::chrono::milliseconds(1));
            guard.unlock();
            console.host.sendTo(console.txPort, datagrams[i]);
        }
    });
    size_t scanned = 0;
    auto lastShown = [&](const std::string &out) {
        const size_t from = scanned > last.size() ? scanned - last.size() : 0;
        linesSeen += std::count(out.begin() + scanned, out.end(), '\n');
        scanned = out.size();
        progress.notify_one();
        return out.find(last, from) != std::string::npos;
    };
    console.session.takeOutput();
    const bool complete =
        console.session.write("flood\n") && console.session.readUntil(lastShown, 30000);
    end = Clock::now();
    stop = true;
    host.join();
    const std::string &out = console.session.output();
    size_t shown = 0;
    for (size_t at = out.find("line "); at != std::string::npos; at = out.find("line ", at + 1))
        ++shown;
    if (!complete || firstSend == Clock::time_point{} || shown != static_cast<size_t>(count))
        throw std::runtime_error(console.name + " showed " + std::to_string(shown) + " of " +
                                 std::to_string(count) + " datagrams");
    console.session.readUntil(console.prompt, 5000);
    return std::chrono::duration<double>(end - firstSend).count();
}

}  // namespace

int bareConsole(const char *hostPort, const char *txPort) {
    const int rx = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons(static_cast<uint16_t>(atoi(txPort)));
    int size = CMD_RCVBUF_SIZE;  // as the monitor asks
    qztest::UdpPeer sender;
    if (rx < 0 || bind(rx, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0 ||
        setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) < 0 || !sender.ok())
        return 1;
    char line[CMD_TEXT_LEN], datagram[CMD_MSG_LEN];
    for (;;) {
        if (write(STDOUT_FILENO, "\nbare> ", 7) < 0) return 1;
        const ssize_t got = read(STDIN_FILENO, line, sizeof line);  // a line, with its '\n'
        if (got <= 0) return 0;
        std::string request(CMD_MSG_LEN, '\0');
        request.replace(8, static_cast<size_t>(got) - 1, line, static_cast<size_t>(got) - 1);
        if (!sender.sendTo(static_cast<uint16_t>(atoi(hostPort)), request)) return 1;
        for (uint32_t status = 1; status != CMD_REPLY_LAST;) {
            const ssize_t n = recv(rx, datagram, sizeof datagram, 0);
            if (n < 8) return 1;
            memcpy(&status, datagram, 4);
            if (write(STDOUT_FILENO, datagram + 8, strnlen(datagram + 8, n - 8)) < 0) return 1;
        }
    }
}

Figure benchConsole(bool smoke) {
    const int count = smoke ? 500 : 10000;
    Console monitor(true), bare(false);
    Figure f = sideBySide(
        "Console reply path: " + std::to_string(count) + " datagrams, monitor vs bare receive loop",
        1, smoke ? 1 : 21, [&](size_t, bool ours) { return flood(ours ? monitor : bare, count); });
    if (!monitor.session.write("exit\nexit\n") || monitor.session.waitExit(5000) != 0)
        throw std::runtime_error("the monitor did not exit with status 0");
    return f;
}

}  // namespace qzbench
