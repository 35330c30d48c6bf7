// The console's reply path: a host answers one command with a flood of
// datagrams while the console's terminal is read as fast as possible, against
// a bare receive loop doing the same work; then 1,000 one-datagram commands,
// one after the other, for the round trip.
//
// Both consoles run under a pseudo-terminal of their own and talk to a host
// played by this process. Each measured flood starts at the host's first
// send and ends when the last datagram's text arrives at the terminal reader.
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "benchmarks.h"
#include "pty_session.h"
#include "temp_dir.h"
#include "udp_peer.h"

namespace qzbench {
namespace {

using qztest::PtySession;
using qztest::TempDir;
using qztest::UdpPeer;

// Datagrams in flight at most while measuring the throughput: well under the
// some 630 short datagrams the console's receive buffer holds, so that
// nothing is dropped, and enough that the console never runs dry while its
// output is on the way to the terminal.
constexpr long kWindow = 256;

std::string datagram(uint32_t status, const std::string &text) {
    std::string bytes(reinterpret_cast<const char *>(&status), 4);
    return bytes + std::string(4, '\0') + text + std::string(1, '\0');
}

// One console under test with the host it talks to.
class Console {
  public:
    enum Kind { kMonitor, kBare };

    // `wrapper` (e.g. valgrind and its options) goes before the program.
    Console(Kind kind, std::vector<std::string> wrapper = {}) : kind_(kind), wrapper_(wrapper) {
        if (!host_.ok() || txPort_ == 0) throw std::runtime_error("no free UDP port");
        start();
    }

    void start() {
        session_ = std::make_unique<PtySession>();
        std::vector<std::string> argv = wrapper_;
        const int waitMs = wrapper_.empty() ? 5000 : 120000;
        if (kind_ == kMonitor) {
            dir_.write("cfg/cmd.cfg",
                       "QZ_CMD_PRCS=flood\nQZ_CMD_TXPORT=" + std::to_string(txPort_) +
                           "\nQZ_CMD_RXPORT=" + std::to_string(host_.port()) + "\n");
            argv.push_back(Programs::monitor());
            if (!session_->start(argv, dir_.makeDir("run")) ||
                !session_->readUntil("qzCmd> ", waitMs) || !session_->write("0\n") ||
                !session_->readUntil(prompt(), waitMs)) {
                throw std::runtime_error("the monitor did not open its dialogue: " +
                                         session_->output());
            }
        } else {
            argv.insert(argv.end(), {Programs::bareConsole(), std::to_string(host_.port()),
                                     std::to_string(txPort_)});
            if (!session_->start(argv, dir_.path()) || !session_->readUntil(prompt(), waitMs)) {
                throw std::runtime_error("the bare console did not start: " + session_->output());
            }
        }
        session_->takeOutput();
    }

    // Leaves the program the way an operator would and waits for its end.
    int finish(int timeoutMs) {
        session_->write(kind_ == kMonitor ? "exit\nexit\n" : "\x04");
        return session_->waitExit(timeoutMs);
    }

    const char *prompt() const { return kind_ == kMonitor ? "flood> " : "bare> "; }
    const char *name() const { return kind_ == kMonitor ? "monitor" : "bare loop"; }
    PtySession &session() { return *session_; }
    UdpPeer &host() { return host_; }
    uint16_t txPort() const { return txPort_; }

  private:
    Kind kind_;
    std::vector<std::string> wrapper_;
    TempDir dir_;
    UdpPeer host_;
    uint16_t txPort_ = qztest::freeUdpPort();
    std::unique_ptr<PtySession> session_;
};

struct Flood {
    double seconds = 0;   // first send to the last text read from the terminal
    size_t received = 0;  // datagram texts that reached the terminal
    bool complete = false;
};

// Types a command and has the host answer it with `count` datagrams: with at
// most kWindow unread at any time (rate 0), or at `rate` datagrams a second
// whatever the console does.
Flood flood(Console &console, int count, double rate) {
    std::vector<std::string> datagrams;
    for (int i = 1; i <= count; ++i) {
        std::string text = "line " + std::to_string(i) + " of " + std::to_string(count);
        datagrams.push_back(datagram(i < count ? 1 : 0, i < count ? text + "\n" : text));
    }
    const std::string last = "line " + std::to_string(count) + " of " + std::to_string(count);

    std::atomic<long> linesSeen{0};
    std::atomic<bool> stop{false}, requested{false};
    std::mutex lock;
    std::condition_variable progress;
    std::atomic<Clock::rep> firstSend{0};  // ticks of the steady clock
    std::thread host([&] {
        // Sleeps as short as asked, so that the pace is even.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        std::string request;
        if (!console.host().receive(&request, 5000)) return;
        const auto start = Clock::now();
        firstSend = start.time_since_epoch().count();
        requested = true;
        for (int i = 0; i < count && !stop; ++i) {
            if (rate > 0) {
                const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(i / rate));
                if (Clock::now() < due) std::this_thread::sleep_until(due);
            } else {
                std::unique_lock<std::mutex> guard(lock);
                while (!stop && i - linesSeen.load() > kWindow) {
                    progress.wait_for(guard, std::chrono::milliseconds(1));
                }
            }
            console.host().sendTo(console.txPort(), datagrams[i]);
        }
    });

    PtySession &session = console.session();
    session.takeOutput();
    Flood result;
    if (session.write("flood\n")) {
        size_t scanned = 0;
        long lines = 0;
        const double expected = rate > 0 ? count / rate : 0;
        // Paced, a flood that is not over shortly after the last send has
        // lost its last datagram.
        const int timeoutMs = static_cast<int>(1000 * expected) + (rate > 0 ? 500 : 30000);
        result.complete = session.readUntil(
            [&](const std::string &out) {
                const size_t from = scanned > last.size() ? scanned - last.size() : 0;
                for (; scanned < out.size(); ++scanned) lines += out[scanned] == '\n';
                linesSeen = lines;
                progress.notify_one();
                return out.find(last, from) != std::string::npos;
            },
            timeoutMs);
        const auto end = Clock::now();
        result.seconds = std::chrono::duration<double>(
                             end - Clock::time_point(Clock::duration(firstSend.load())))
                             .count();
    }
    stop = true;
    host.join();
    if (!requested) throw std::runtime_error(std::string("no request from the ") + console.name());
    const std::string &out = session.output();
    for (size_t at = out.find("line "); at != std::string::npos; at = out.find("line ", at + 1)) {
        ++result.received;
    }
    if (result.complete) session.readUntil(console.prompt(), 5000);
    return result;
}

// Median and 99th percentile of `commands` one-datagram round trips through
// each console, the two taking turns command by command.
void roundTrips(Console &monitor, Console &bare, int commands, std::vector<double> *times) {
    std::atomic<bool> stop{false};
    auto serve = [&stop](Console *console) {
        std::string request;
        while (!stop) {
            if (!console->host().receive(&request, 50)) continue;
            const char *text = request.size() > 8 ? request.c_str() + 8 : "";
            console->host().sendTo(console->txPort(), datagram(0, std::string("ok ") + text));
        }
    };
    std::thread hosts[2] = {std::thread(serve, &monitor), std::thread(serve, &bare)};
    Console *consoles[2] = {&monitor, &bare};
    std::string failure;
    for (int i = 0; i < commands && failure.empty(); ++i) {
        for (int k = 0; k < 2; ++k) {
            const int c = (i + k) % 2;
            PtySession &session = consoles[c]->session();
            const std::string command = "c" + std::to_string(i);
            const std::string reply = "ok " + command;
            const char *prompt = consoles[c]->prompt();
            session.takeOutput();
            const auto start = Clock::now();
            session.write(command + "\n");
            bool answered = session.readUntil(
                [&](const std::string &out) {
                    size_t at = out.find(reply);
                    return at != std::string::npos && out.find(prompt, at) != std::string::npos;
                },
                5000);
            times[c].push_back(secondsSince(start));
            if (!answered) failure = std::string("no reply through the ") + consoles[c]->name();
        }
    }
    stop = true;
    for (auto &h : hosts) h.join();
    if (!failure.empty()) throw std::runtime_error(failure);
}

// Instructions the program executes per datagram of a flood, in the named
// functions (its receive path), as callgrind counts them.
double instructionsPerDatagram(Console::Kind kind, const std::vector<std::string> &functions,
                               int count, const std::string &profile) {
    if (!*Programs::valgrind()) return 0;
    std::vector<std::string> wrapper = {Programs::valgrind(), "--tool=callgrind",
                                        "--callgrind-out-file=" + profile,
                                        "--log-file=" + profile + ".log"};
    for (const auto &f : functions) wrapper.push_back("--toggle-collect=" + f);
    Console console(kind, wrapper);
    Flood f = flood(console, count, 0);
    if (!f.complete) throw std::runtime_error("flood under callgrind did not complete");
    if (console.finish(60000) != 0) throw std::runtime_error("program under callgrind failed");
    return profileTotal(profile) / count;
}

// Words of the environment variable `name`, for wrapping a program in a
// profiler: QZBENCH_MONITOR_WRAPPER="strace -c -o /tmp/monitor.strace".
std::vector<std::string> wrapperFrom(const char *name) {
    std::vector<std::string> words;
    const char *value = getenv(name);
    std::istringstream in(value ? value : "");
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

}  // namespace

void benchConsole(const Options &options, Table &table) {
    const int count = options.smoke ? 500 : 10000;
    const int rounds = options.smoke ? 1 : 21;
    note("console: %d rounds of %d datagrams", rounds, count);
    Console monitor(Console::kMonitor, wrapperFrom("QZBENCH_MONITOR_WRAPPER"));
    Console bare(Console::kBare, wrapperFrom("QZBENCH_BARE_WRAPPER"));
    Console *consoles[2] = {&monitor, &bare};
    flood(monitor, count / 10, 0);  // warm-up
    flood(bare, count / 10, 0);
    std::vector<double> seconds[2], ratios;
    for (int r = 0; r < rounds; ++r) {
        double t[2];
        for (int k = 0; k < 2; ++k) {
            const int c = (r + k) % 2;
            Flood f = flood(*consoles[c], count, 0);
            if (!f.complete || f.received != static_cast<size_t>(count)) {
                throw std::runtime_error(std::string(consoles[c]->name()) + " received " +
                                         std::to_string(f.received) + " of " +
                                         std::to_string(count) + " datagrams");
            }
            t[c] = f.seconds;
            seconds[c].push_back(f.seconds);
        }
        ratios.push_back(t[0] / t[1]);
    }
    const double ratio = median(ratios);
    table.target(
        "Console reply path: " + std::to_string(count) + " datagrams, monitor vs bare receive loop",
        formatSeconds(median(seconds[0])), formatSeconds(median(seconds[1])), formatFixed(ratio, 3),
        "<= 1.50", ratio <= 1.50);

    // Open loop: the host sends at a fixed rate whatever the console does.
    // Both consoles take turns at one rate, starting from the bare loop's
    // windowed throughput; while the bare loop itself loses datagrams it does
    // not sustain that rate, and the rate drops by 10 % for another try.
    auto paced = [&](int c, double rate) {
        Flood f = flood(*consoles[c], count, rate);
        if (!f.complete) consoles[c]->start();  // a lost last datagram leaves it waiting
        return static_cast<size_t>(count) - f.received;
    };
    const int pacedRuns = options.smoke ? 1 : 5;
    double rate = count / median(seconds[1]);
    size_t lost[2] = {0, 0};
    for (int attempt = 0; attempt < 20; ++attempt, rate *= 0.9) {
        lost[0] = lost[1] = 0;
        for (int r = 0; r < pacedRuns; ++r) {
            for (int k = 0; k < 2; ++k) {
                const int c = (r + k) % 2;
                lost[c] += paced(c, rate);
            }
        }
        if (lost[1] == 0) break;
    }
    table.target("  sent at the rate the bare loop sustains (" + formatCount(rate) +
                     "/s): datagrams lost in " + std::to_string(pacedRuns) + " runs",
                 std::to_string(lost[0]), std::to_string(lost[1]), "", "0",
                 lost[0] == 0 && lost[1] == 0);

    const int commands = options.smoke ? 50 : 1000;
    note("console: %d round trips", commands);
    std::vector<double> trips[2];
    roundTrips(monitor, bare, commands, trips);
    table.info("Console round trip, one-datagram command: median", formatSeconds(median(trips[0])),
               formatSeconds(median(trips[1])),
               formatFixed(median(trips[0]) / median(trips[1]), 3));
    table.info("Console round trip, one-datagram command: 99th percentile",
               formatSeconds(percentile(trips[0], 99)), formatSeconds(percentile(trips[1], 99)),
               formatFixed(percentile(trips[0], 99) / percentile(trips[1], 99), 3));
    if (monitor.finish(5000) != 0) throw std::runtime_error("the monitor did not exit with 0");

    const int counted = options.smoke ? 100 : 2000;
    note("console: instruction counts over %d datagrams", counted);
    // The monitor's receive path: ReadUdpMsg and printReply; awaitReply,
    // which calls them, is inlined into the dialogue.
    const double ours = instructionsPerDatagram(Console::kMonitor, {"ReadUdpMsg*", "printReply*"},
                                                counted, options.workDir + "/callgrind.monitor");
    const double base = instructionsPerDatagram(Console::kBare, {"receive_reply"}, counted,
                                                options.workDir + "/callgrind.bare_console");
    if (ours > 0 && base > 0) {
        table.info("  instructions per datagram in user space (callgrind)", formatCount(ours),
                   formatCount(base), formatFixed(ours / base, 3));
    }
}
}  // namespace qzbench
