// One run of the monitor console as an operator meets it: started in T/run
// beside its own host file T/cfg/cmd.cfg, driven through a pseudo-terminal (or
// pipes), talking to hosts played by UDP peers. Also the screen texts the
// console tests compare against; the datagrams are in console_formats.h.
#ifndef TESTS_SUPPORT_CONSOLE_RUN_H
#define TESTS_SUPPORT_CONSOLE_RUN_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "console_formats.h"
#include "pty_session.h"
#include "temp_dir.h"
#include "udp_peer.h"

namespace qztest {

constexpr int kWaitMs = 5000;     // output normally follows within milliseconds
extern const char kMenuPrompt[];  // "\nqzCmd> "
extern const char kTimedOut[];    // the line that ends a console without its reply

// `text` with the terminal's "\r\n" line ends read as "\n".
std::string unixLines(std::string text);
// The menu as the console prints it, followed by the menu prompt.
std::string menu(const std::vector<std::string> &names);
// The warning line for `count` datagrams from `address` dropped because they
// did not come from the host.
std::string droppedFrom(int count, const std::string &address);
// Replaces the decimal number after each "errno : " with N: the error number
// left behind by a failed send is whatever happened to be current.
std::string maskErrno(std::string text);

class ConsoleRun {
  public:
    // `program` is the path of the console to run.
    explicit ConsoleRun(std::string program) : program_(std::move(program)) {}

    // Writes T/cfg/cmd.cfg with one group per name, in order; an empty name
    // stands for a group without a PRCS line. Each host is played by a peer
    // bound at its RXPORT; the console is to listen on a free port for it.
    void configure(const std::vector<std::string> &names);
    // Starts the console with TERM=dumb, no readline init file and the C
    // locale; `env` adds or replaces "NAME=VALUE" entries.
    void start(bool pipes = false, const std::vector<std::string> &env = {});
    // Starts one more console under `other` as start() does, in the same
    // directory and so on the same host file, as an operator would in a
    // second window.
    void startAnother(PtySession *other);

    // What the console prints at start-up: the host table, then the menu.
    std::string startScreen() const;
    // Reads until the terminal ends the way `expected` does (its last line,
    // normally a prompt) and returns everything it showed; a screen without
    // a final prompt is read until the program closes the terminal.
    std::string screen(const std::string &expected);
    // Reads until the terminal's output ends with all of `expected` and
    // returns everything it showed: for a program that must still be running.
    std::string screenUpTo(const std::string &expected);
    // Types `line` and a line end.
    void type(const std::string &line);
    // Configures one host "alpha", starts the console, selects the host and
    // types `command`, checking each screen and the request on the way.
    void openAndSend(const std::string &command);

    // Checks that host `h` received exactly `expected` as its next datagram.
    void expectRequest(size_t h, const std::string &expected);
    // Host `h` sends `datagrams` to the console's port for it.
    void answer(size_t h, const std::vector<std::string> &datagrams);
    bool nothingSentTo(size_t h);

    UdpPeer &host(size_t h) { return *hosts_[h]; }
    uint16_t txPort(size_t h) const { return txPorts_[h]; }

  private:
    PtySession::Options options_;  // as the last start() set them
    std::string program_;
    TempDir dir_;
    std::vector<std::string> names_;
    std::vector<std::unique_ptr<UdpPeer>> hosts_;
    std::vector<uint16_t> txPorts_;

  public:
    // Declared last, so the console is stopped before its hosts and directory go.
    PtySession term;
};

}  // namespace qztest

#endif
