// A UDP socket on 127.0.0.1 (or another loopback address) that a test uses to
// play the other side of a conversation: it receives datagrams with a deadline
// and sends datagrams to any port of 127.0.0.1.
#ifndef TESTS_SUPPORT_UDP_PEER_H
#define TESTS_SUPPORT_UDP_PEER_H

#include <cstdint>
#include <string>

namespace qztest {

class UdpPeer {
  public:
    // Binds `address` (dotted IPv4 text) at `port`; 0 lets the system pick a
    // free port, which port() then reports. ok() tells whether the socket is
    // usable. Linux routes all of 127.0.0.0/8 to loopback, so a peer on
    // 127.0.0.2 sends from another address without leaving the machine.
    explicit UdpPeer(uint16_t port = 0, const char *address = "127.0.0.1");
    ~UdpPeer();
    UdpPeer(const UdpPeer &) = delete;
    UdpPeer &operator=(const UdpPeer &) = delete;

    bool ok() const { return fd_ >= 0; }
    uint16_t port() const { return port_; }
    int fd() const { return fd_; }

    // Waits up to `timeoutMs` for one datagram and stores all of it (up to
    // 64 KiB) in *datagram. Returns false when none arrived in time; a
    // timeout of 0 only looks at what is already queued.
    bool receive(std::string *datagram, int timeoutMs);
    // Sends `bytes` as one datagram to 127.0.0.1:`port`.
    bool sendTo(uint16_t port, const std::string &bytes) const;

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A UDP port that was free on every local address a moment ago: bound with
// port 0, read back and released. For a program under test to bind.
uint16_t freeUdpPort();

}  // namespace qztest

#endif
