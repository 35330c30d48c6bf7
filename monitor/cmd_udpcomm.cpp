#include "cmd_udpcomm.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cmd_reply.h"

UdpCommInfo CmdInfo[CMD_MAX_HOST];
UdpCommInfo CmdSocket;

int initUdpCommInfo() {
    memset(CmdInfo, 0, sizeof CmdInfo);
    for (int p = 0; p < maxHost && p < CMD_MAX_HOST; ++p) {
        const CmdCfgRecord &cfg = stCmdCfgInfo[p];
        UdpCommInfo &info = CmdInfo[p];
        copyText(info.name, sizeof info.name, cfg.name);
        info.index = cfg.index;
        info.ipAddr = inet_addr(cfg.ipAddr);
        info.rxPort = static_cast<uint16_t>(cfg.rxPort);
        info.txPort = static_cast<uint16_t>(cfg.txPort);
    }
    return 0;
}

int connectServer(int /*position*/, UdpCommInfo *record) {
    initUdpCommRx(record);
    initUdpCommTx(record);
    return 0;
}

int closeServer(int position) {
    if (position < 0 || position >= CMD_MAX_HOST) return 0;
    UdpCommInfo &info = CmdInfo[position];
    if (info.txSock < 1 && info.rxSock < 1) return 0;
    // 0 means never opened (the table starts zeroed), so only positive
    // descriptors are ours to close.
    if (info.rxSock > 0) close(info.rxSock);
    if (info.txSock > 0) close(info.txSock);
    info.rxSock = -1;
    info.txSock = -1;
    printf("Close Socket : %s\n", info.name);
    return 0;
}

int initUdpCommRx(UdpCommInfo *record) {
    if (record == nullptr) {
        printf("[ERROR] Nil Pointer passed to initUdpComm\n");
        return -1;
    }
    record->rxSock = socket(AF_INET, SOCK_DGRAM, 0);
    if (record->rxSock < 0) {
        int err = errno;
        printf("[ERROR] UDP Receive Socket creation failed errno: %d\n", err);
        return -1;
    }

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(record->txPort);
    if (bind(record->rxSock, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        int err = errno;
        printf("[ERROR]Bind on recive UDP socket failed , Errno : %d ", err);
        printf(", IP Address : %s,  Port : %u \n", GetIpAddressStr(record->ipAddr),
               static_cast<unsigned>(record->txPort));
        return -1;
    }

    int size = CMD_RCVBUF_SIZE;
    if (setsockopt(record->rxSock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) < 0) {
        int err = errno;
        printf("[WARNING] setsockopt SO_RCVBUF failed, Errno : %d\n", err);
    }
    socklen_t sizeLen = sizeof size;
    if (getsockopt(record->rxSock, SOL_SOCKET, SO_RCVBUF, &size, &sizeLen) < 0) {
        int err = errno;
        printf("[WARNING] getsockopt SO_RCVBUF failed, Errno : %d\n", err);
    }
    return 0;
}

int initUdpCommTx(UdpCommInfo *record) {
    if (record == nullptr) {
        printf("[ERROR]Nil Pointer passed to initXJAppComm\n");
        return -1;
    }
    memset(&record->txAddr, 0, sizeof record->txAddr);
    record->txSock = socket(AF_INET, SOCK_DGRAM, 0);
    if (record->txSock < 0) {
        int err = errno;
        printf("[ERROR]UDP Send Socket Creation Failed Errno : %d\n", err);
        return -1;
    }
    record->txAddr.sin_family = AF_INET;
    record->txAddr.sin_addr.s_addr = record->ipAddr;
    record->txAddr.sin_port = htons(record->rxPort);
    return 0;
}

int SendUdpMsg(const void *buffer, int length, const UdpCommInfo *record) {
    if (record == nullptr) {
        printf("[ERROR]Nil Pointer of XJApp Communication Info passed in SendUdpMsg\n");
        return -1;
    }
    if (buffer == nullptr) {
        printf("[ERROR]Nil data buffer pointer passed in SendUdpMsg\n");
        return -1;
    }
    if (length < 0) {
        printf("[ERROR]Invalid msglen for sending XJ App Data in SendUdpMsg ; msglen : %d\n",
               length);
        return -1;
    }
    ssize_t sent = sendto(record->txSock, buffer, static_cast<size_t>(length), 0,
                          reinterpret_cast<const sockaddr *>(&record->txAddr),
                          sizeof record->txAddr);
    if (sent < 1) {
        int err = errno;
        printf("[ERROR] Send UDP message failed , errno : %d\n", err);
        return -1;
    }
    return 0;
}

namespace {

// Datagrams dropped because they did not come from the host's address, not yet
// reported. Atomic because recvAlarm reports them from a signal handler.
std::atomic<int> foreignCount{0};
std::atomic<in_addr_t> foreignFirst{0};  // sender of the first of them
std::atomic<bool> foreignMany{false};    // some came from another address than the first
static_assert(std::atomic<int>::is_always_lock_free &&
                  std::atomic<in_addr_t>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free,
              "the tally is read in a signal handler");

bool fromHost(const sockaddr_in &sender, socklen_t senderLen, const UdpCommInfo *record) {
    return senderLen >= sizeof sender && sender.sin_family == AF_INET &&
           sender.sin_addr.s_addr == record->ipAddr;
}

void noteForeign(in_addr_t sender) {
    const int count = foreignCount.load();
    if (count == 0) {
        foreignFirst = sender;
        foreignMany = false;
    } else if (sender != foreignFirst) {
        foreignMany = true;
    }
    if (count < INT_MAX) foreignCount = count + 1;
}

}  // namespace

int ReadUdpMsg(void *buffer, int *length, const UdpCommInfo *record) {
    if (buffer == nullptr) {
        printf("[ERROR] Nil Pointer passed \n");
        return -1;
    }
    if (record->rxSock < 0) {
        printf("[ERROR] ReadUdpMesg Invalid sockfd : %d\n", record->rxSock);
        return -1;
    }
    if (*length < 0) {
        printf("[ERROR] ReadUdpMesg - Incorrect Message Length : %d\n", *length);
        return -1;
    }

    // Received here first, so that a datagram from another address leaves
    // `buffer` as it was.
    unsigned char datagram[CMD_MSG_LEN];
    sockaddr_in sender{};
    socklen_t senderLen = sizeof sender;
    // A datagram already queued is taken at once; the alarm guards only a
    // real wait. When a long reply arrives faster than the console prints it,
    // that spares two system calls per datagram, and a console that falls
    // behind catches up sooner instead of letting its socket drop datagrams.
    ssize_t got = recvfrom(record->rxSock, datagram, sizeof datagram, MSG_DONTWAIT,
                           reinterpret_cast<sockaddr *>(&sender), &senderLen);
    // Armed once for the whole wait: datagrams from other addresses do not
    // put the deadline off, however many arrive.
    bool armed = false;
    while (!(got >= 0 && fromHost(sender, senderLen, record))) {
        if (got >= 0) {
            noteForeign(sender.sin_addr.s_addr);
        } else if (armed || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            break;
        }
        if (!armed) {
            fflush(stdout);  // show what was printed before waiting
            alarm(CMD_RECV_TIMEOUT_SEC);
            armed = true;
        }
        senderLen = sizeof sender;
        got = recvfrom(record->rxSock, datagram, sizeof datagram, 0,
                       reinterpret_cast<sockaddr *>(&sender), &senderLen);
    }
    if (got < 0) {
        const int err = errno;
        if (armed) alarm(0);
        errno = err;
        FATAL("RECV");
        printf("[ERROR] Unable to read from udp socket\n");
        return -1;
    }
    if (armed) alarm(0);
    memcpy(buffer, datagram, static_cast<size_t>(got));
    *length = static_cast<int>(got);
    return 0;
}

int DropQueuedUdpMsgs(const UdpCommInfo *record) {
    if (record == nullptr || record->rxSock < 0) return 0;
    // The receive buffer holds about 630 datagrams at most; the bound keeps a
    // program that floods the port faster than this drops them from holding
    // the console here.
    constexpr int kMaxDropped = 4096;
    int dropped = 0, fromItsHost = 0;
    char byte;
    sockaddr_in sender{};
    socklen_t senderLen = sizeof sender;
    // A receive into a short buffer still takes the whole datagram.
    while (dropped < kMaxDropped &&
           recvfrom(record->rxSock, &byte, sizeof byte, MSG_DONTWAIT,
                    reinterpret_cast<sockaddr *>(&sender), &senderLen) >= 0) {
        ++dropped;
        if (fromHost(sender, senderLen, record)) {
            ++fromItsHost;
        } else {
            noteForeign(sender.sin_addr.s_addr);
        }
        senderLen = sizeof sender;
    }
    if (fromItsHost == 1) {
        printf("[WARNING] 1 datagram received outside a reply was dropped\n");
    } else if (fromItsHost > 1) {
        printf("[WARNING] %d datagrams received outside a reply were dropped\n", fromItsHost);
    }
    ReportForeignUdpMsgs();
    return dropped;
}

int ReportForeignUdpMsgs() {
    const int count = foreignCount.exchange(0);
    if (count == 1) {
        printf("[WARNING] 1 datagram from %s was dropped: not from the host\n",
               GetIpAddressStr(foreignFirst));
    } else if (count > 1) {
        printf("[WARNING] %d datagrams from %s%s were dropped: not from the host\n", count,
               GetIpAddressStr(foreignFirst), foreignMany ? " and other addresses" : "");
    }
    return count;
}

const char *GetIpAddressStr(in_addr_t address) {
    in_addr a{};
    a.s_addr = address;
    return inet_ntoa(a);
}

void FATAL(const char *tag) {
    int err = errno;
    printf("[ERROR] [%s] errno =%x, errstr = %s\n", tag, static_cast<unsigned>(err), strerror(err));
}

void recvAlarm(int /*signo*/) {
    // The alarm is armed only inside ReadUdpMsg's receive loop, which calls
    // no stdio function, so none is interrupted; exit() flushes the reply
    // text already printed.
    printf("[ERROR] Don't recv response message.... Maybe disconnection....\n");
    ReportForeignUdpMsgs();
    exit(3);
}
