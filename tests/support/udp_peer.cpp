#include "udp_peer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace qztest {

namespace {

// Binds a fresh UDP socket to `address`:`port` and reports the port it got.
int bindUdp(in_addr_t address, uint16_t port, uint16_t *boundPort) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = address;
    local.sin_port = htons(port);
    socklen_t len = sizeof local;
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) < 0) {
        close(fd);
        return -1;
    }
    *boundPort = ntohs(local.sin_port);
    return fd;
}

}  // namespace

UdpPeer::UdpPeer(uint16_t port, const char *address) {
    in_addr local{};
    if (inet_pton(AF_INET, address, &local) == 1) fd_ = bindUdp(local.s_addr, port, &port_);
}

UdpPeer::~UdpPeer() {
    if (fd_ >= 0) close(fd_);
}

bool UdpPeer::receive(std::string *datagram, int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return false;
    std::vector<char> buffer(65536);
    ssize_t got = recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got < 0) return false;
    datagram->assign(buffer.data(), static_cast<size_t>(got));
    return true;
}

bool UdpPeer::sendTo(uint16_t port, const std::string &bytes) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    ssize_t sent =
        sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    return sent == static_cast<ssize_t>(bytes.size());
}

uint16_t freeUdpPort() {
    uint16_t port = 0;
    int fd = bindUdp(htonl(INADDR_ANY), 0, &port);
    if (fd < 0) return 0;
    close(fd);
    return port;
}

}  // namespace qztest
