// UDP endpoints of the configured hosts: one receive socket bound to the host's
// TXPORT and one unbound send socket aimed at 127.0.0.1 and its RXPORT.
// Every operation that can fail prints its failure on standard output and
// returns -1; callers test only the sign.
#ifndef MONITOR_CMD_UDPCOMM_H
#define MONITOR_CMD_UDPCOMM_H

#include <netinet/in.h>

#include <cstdint>

#include "cmd_config.h"

#define CMD_RECV_TIMEOUT_SEC 3
#define CMD_RCVBUF_SIZE 0x3FFFF

// Endpoint record of one host.
struct UdpCommInfo {
    int32_t index;       // copied from the configuration record
    char name[12];       // copied from the configuration record
    in_addr_t ipAddr;    // network byte order
    uint16_t rxPort;     // host byte order: destination port of every request
    uint16_t txPort;     // host byte order: the port our receive socket binds
    int32_t txSock;      // 0 before the first open, -1 after a close or failed creation
    int32_t rxSock;      // same conventions
    sockaddr_in txAddr;  // destination of every send
};

extern UdpCommInfo CmdInfo[CMD_MAX_HOST];
extern UdpCommInfo CmdSocket;  // copy of the selected host's record

// Builds CmdInfo from stCmdCfgInfo; opens nothing. Returns 0.
int initUdpCommInfo();
// Opens the receive and the send socket of `record`; failures are printed.
// Returns 0 always; `position` is not used.
int connectServer(int position, UdpCommInfo *record);
// Closes both sockets of CmdInfo[position] if either is open and prints
// "Close Socket : NAME". Returns 0.
int closeServer(int position);
int initUdpCommRx(UdpCommInfo *record);
int initUdpCommTx(UdpCommInfo *record);
// Sends `length` bytes of `buffer` as one datagram to record->txAddr.
int SendUdpMsg(const void *buffer, int length, const UdpCommInfo *record);
// Receives one datagram from the host on record->rxSock into `buffer`, which
// must hold CMD_MSG_LEN bytes; a longer datagram is cut to that, and the bytes
// of `buffer` past the datagram are left as they were. Stores the datagram's
// size in *length. Only a datagram whose sender address is record->ipAddr (on
// any port) is the host's: others are dropped and counted for
// ReportForeignUdpMsgs, and the receive goes on. A datagram from the host
// already queued is taken at once; otherwise standard output is flushed and
// the whole wait, dropped datagrams included, lasts at most
// CMD_RECV_TIMEOUT_SEC seconds, after which the alarm handler ends the process.
int ReadUdpMsg(void *buffer, int *length, const UdpCommInfo *record);
// Takes every datagram already queued on record->rxSock, without waiting, and
// drops it: called just before a request goes out, so none of them can be its
// reply (a surplus datagram, a late answer, another program's). Prints
// "[WARNING] N datagram(s) received outside a reply were dropped" when any
// from the host's address were, then reports those from other addresses as
// ReportForeignUdpMsgs does. Returns how many in all; 0 for a closed socket.
int DropQueuedUdpMsgs(const UdpCommInfo *record);
// Prints "[WARNING] N datagram(s) from ADDRESS was/were dropped: not from the
// host" (ADDRESS the first sender, followed by " and other addresses" when
// there were more) for the datagrams from other addresses dropped since the
// last report, and forgets them. Returns how many there were.
int ReportForeignUdpMsgs();
// Dotted-quad text of `address`, in static storage the next call overwrites.
const char *GetIpAddressStr(in_addr_t address);
// Prints "[ERROR] [tag] errno =<hex>, errstr = <text>" for the current errno.
void FATAL(const char *tag);
// SIGALRM handler: reports the missing reply, then the datagrams from other
// addresses dropped meanwhile, and exits with status 3.
void recvAlarm(int signo);

#endif
