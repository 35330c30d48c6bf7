// The hosts' UDP endpoints on loopback, and the printing of reply datagrams.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "cmd_config.h"
#include "cmd_reply.h"
#include "cmd_udpcomm.h"
#include "console_formats.h"
#include "console_run.h"
#include "temp_dir.h"
#include "udp_peer.h"

namespace {

using qztest::maskErrno;
using qztest::TempDir;
using qztest::UdpPeer;

// Builds the tables from a host file, as the console does at start-up.
void loadHosts(const std::string &file) {
    TempDir dir;
    maxHost = 0;
    testing::internal::CaptureStdout();
    initConfig(dir.write("cmd.cfg", file).c_str());
    testing::internal::GetCapturedStdout();
    initUdpCommInfo();
}

// One host "alpha" at position 0 that receives on `rxPort` and replies to
// `txPort`, where the console's receive socket binds.
void loadAlpha(uint16_t rxPort, uint16_t txPort) {
    loadHosts(qztest::hostGroup("alpha", txPort, rxPort));
}

std::string printed(const std::function<void()> &action) {
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
}

std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + 3);
    return bytes;
}

class Endpoint : public testing::Test {
  protected:
    void TearDown() override {
        for (int p = 0; p < CMD_MAX_HOST; ++p) printed([p] { closeServer(p); });
    }
};

TEST_F(Endpoint, TableCopiesNamesIndexesAddressesAndLow16BitsOfPorts) {
    loadHosts(
        "QZ_CMD_PRCS=alpha\nQZ_CMD_TXPORT=70000\nQZ_CMD_RXPORT=5000\n"
        "QZ_CMD_TXPORT=7\nQZ_CMD_RXPORT=-1\n");
    const UdpCommInfo &alpha = CmdInfo[0];
    EXPECT_STREQ(alpha.name, "alpha");
    EXPECT_EQ(alpha.index, 0);
    EXPECT_EQ(alpha.ipAddr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(alpha.rxPort, 5000);
    EXPECT_EQ(alpha.txPort, 70000 - 65536);
    EXPECT_EQ(alpha.txSock, 0);
    EXPECT_EQ(alpha.rxSock, 0);
    // A group without PRCS has no address text: it converts to all bits set.
    const UdpCommInfo &unnamed = CmdInfo[1];
    EXPECT_STREQ(unnamed.name, "");
    EXPECT_EQ(unnamed.ipAddr, INADDR_NONE);
    EXPECT_EQ(unnamed.rxPort, 65535);
    EXPECT_EQ(unnamed.txPort, 7);
    EXPECT_STREQ(CmdInfo[2].name, "");
    EXPECT_EQ(CmdInfo[2].rxPort, 0);
}

TEST_F(Endpoint, SendsAllBytesOfARequestToTheHostsReceivePort) {
    UdpPeer host;
    ASSERT_TRUE(host.ok());
    loadAlpha(host.port(), qztest::freeUdpPort());
    EXPECT_EQ(printed([] { connectServer(0, &CmdInfo[0]); }), "");
    const std::string request = pattern(CMD_MSG_LEN);
    EXPECT_EQ(printed([&] { EXPECT_EQ(SendUdpMsg(request.data(), CMD_MSG_LEN, &CmdInfo[0]), 0); }),
              "");
    std::string got;
    ASSERT_TRUE(host.receive(&got, 5000));
    EXPECT_EQ(got, request);
}

TEST_F(Endpoint, ReceivesOneDatagramOfAtMost2048Bytes) {
    UdpPeer host;
    ASSERT_TRUE(host.ok());
    loadAlpha(host.port(), qztest::freeUdpPort());
    printed([] { connectServer(0, &CmdInfo[0]); });
    const struct {
        size_t sent;
        int received;
    } cases[] = {{CMD_MSG_LEN, CMD_MSG_LEN}, {3000, CMD_MSG_LEN}, {9, 9}, {0, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE("datagram of " + std::to_string(c.sent) + " bytes");
        const std::string datagram = pattern(c.sent);
        // Sent before the receive starts, so the receive never waits for its alarm.
        ASSERT_TRUE(host.sendTo(CmdInfo[0].txPort, datagram));
        std::string buffer(CMD_MSG_LEN, '\xAA');
        int length = 5;
        EXPECT_EQ(printed([&] { EXPECT_EQ(ReadUdpMsg(&buffer[0], &length, &CmdInfo[0]), 0); }), "");
        EXPECT_EQ(length, c.received);
        EXPECT_EQ(buffer.substr(0, c.received), datagram.substr(0, c.received));
        EXPECT_EQ(buffer.substr(c.received), std::string(CMD_MSG_LEN - c.received, '\xAA'));
    }
    EXPECT_EQ(alarm(0), 0u) << "the receive left its alarm armed";
}

TEST_F(Endpoint, DropsEveryQueuedDatagramAndSaysHowManyThenReceivesTheNext) {
    UdpPeer host;
    ASSERT_TRUE(host.ok());
    loadAlpha(host.port(), qztest::freeUdpPort());
    printed([] { connectServer(0, &CmdInfo[0]); });
    const struct {
        std::vector<size_t> queued;  // sizes of the datagrams waiting
        std::string printed;
    } cases[] = {
        {{}, ""},
        {{CMD_MSG_LEN}, "[WARNING] 1 datagram received outside a reply was dropped\n"},
        {{0, 3000}, "[WARNING] 2 datagrams received outside a reply were dropped\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.queued.size()) + " queued");
        for (size_t size : c.queued) ASSERT_TRUE(host.sendTo(CmdInfo[0].txPort, pattern(size)));
        int dropped = -1;
        EXPECT_EQ(printed([&] { dropped = DropQueuedUdpMsgs(&CmdInfo[0]); }), c.printed);
        EXPECT_EQ(dropped, static_cast<int>(c.queued.size()));
        const std::string next = pattern(9);
        ASSERT_TRUE(host.sendTo(CmdInfo[0].txPort, next));
        std::string buffer(CMD_MSG_LEN, '\0');
        int length = CMD_MSG_LEN;
        EXPECT_EQ(printed([&] { EXPECT_EQ(ReadUdpMsg(&buffer[0], &length, &CmdInfo[0]), 0); }), "");
        EXPECT_EQ(buffer.substr(0, length), next);
    }
    UdpCommInfo closed = CmdInfo[0];
    closed.rxSock = -1;
    EXPECT_EQ(printed([&] { EXPECT_EQ(DropQueuedUdpMsgs(&closed), 0); }), "");
    EXPECT_EQ(alarm(0), 0u);
}

TEST_F(Endpoint, TakesRepliesFromTheHostsAddressOnlyAndReportsTheOthersAfterwards) {
    // All of 127/8 is loopback: 127.0.0.2 and .3 are other machines' addresses
    // as far as the console can tell, and no packet leaves this one.
    UdpPeer host, otherPort, second(0, "127.0.0.2"), third(0, "127.0.0.3");
    ASSERT_TRUE(host.ok() && otherPort.ok() && second.ok() && third.ok());
    loadAlpha(host.port(), qztest::freeUdpPort());
    printed([] { connectServer(0, &CmdInfo[0]); });
    const struct {
        const char *what;
        std::vector<std::pair<UdpPeer *, size_t>> queued;  // sender and size, in order
        std::string reported;
    } cases[] = {
        {"the host's own", {{&host, 9}}, ""},
        {"another port of the host's address", {{&otherPort, 9}}, ""},
        {"a longer one from elsewhere first",
         {{&second, 3000}, {&host, 9}},
         qztest::droppedFrom(1, "127.0.0.2")},
        {"several from elsewhere",
         {{&second, 0}, {&second, 20}, {&host, 9}},
         qztest::droppedFrom(2, "127.0.0.2")},
        {"from two other addresses",
         {{&second, 20}, {&third, 20}, {&second, 20}, {&otherPort, 9}},
         "[WARNING] 3 datagrams from 127.0.0.2 and other addresses were dropped: not from the "
         "host\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto &[from, size] : c.queued)
            ASSERT_TRUE(from->sendTo(CmdInfo[0].txPort, std::string(size, '\x55')));
        std::string buffer(CMD_MSG_LEN, '\xAA');
        int length = CMD_MSG_LEN;
        EXPECT_EQ(printed([&] { EXPECT_EQ(ReadUdpMsg(&buffer[0], &length, &CmdInfo[0]), 0); }), "");
        // The host's datagram, and nothing of the others in the bytes past it.
        EXPECT_EQ(length, 9);
        EXPECT_EQ(buffer.substr(0, 9), std::string(9, '\x55'));
        EXPECT_EQ(buffer.find_first_not_of('\xAA', 9), std::string::npos);
        EXPECT_EQ(printed([] { ReportForeignUdpMsgs(); }), c.reported);
        EXPECT_EQ(printed([] { EXPECT_EQ(ReportForeignUdpMsgs(), 0); }), "");
    }
    // Queued before a request: both kinds are dropped, each with its own line.
    for (UdpPeer *from : {&host, &second, &otherPort, &second})
        ASSERT_TRUE(from->sendTo(CmdInfo[0].txPort, "x"));
    int dropped = -1;
    EXPECT_EQ(printed([&] { dropped = DropQueuedUdpMsgs(&CmdInfo[0]); }),
              "[WARNING] 2 datagrams received outside a reply were dropped\n" +
                  qztest::droppedFrom(2, "127.0.0.2"));
    EXPECT_EQ(dropped, 4);
    EXPECT_EQ(alarm(0), 0u) << "the receive left its alarm armed";
}

TEST_F(Endpoint, RefusesBadArgumentsAndReportsFailuresInItsOwnWords) {
    UdpPeer host;
    loadAlpha(host.port(), qztest::freeUdpPort());
    printed([] { connectServer(0, &CmdInfo[0]); });
    UdpCommInfo closed = CmdInfo[0];
    closed.rxSock = -1;
    UdpCommInfo notSocket = CmdInfo[0];
    notSocket.rxSock = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(notSocket.rxSock, 0);
    char buffer[CMD_MSG_LEN];
    auto read = [](void *into, int length, const UdpCommInfo *from) {
        return ReadUdpMsg(into, &length, from);
    };
    const UdpCommInfo *alpha = &CmdInfo[0];
    const struct {
        const char *what;
        std::function<int()> call;
        std::string printed;
    } cases[] = {
        {"send without a record", [&] { return SendUdpMsg(buffer, 1, nullptr); },
         "[ERROR]Nil Pointer of XJApp Communication Info passed in SendUdpMsg\n"},
        {"send without a buffer", [&] { return SendUdpMsg(nullptr, 1, alpha); },
         "[ERROR]Nil data buffer pointer passed in SendUdpMsg\n"},
        {"send of a negative length", [&] { return SendUdpMsg(buffer, -1, alpha); },
         "[ERROR]Invalid msglen for sending XJ App Data in SendUdpMsg ; msglen : -1\n"},
        {"send of nothing", [&] { return SendUdpMsg(buffer, 0, alpha); },
         "[ERROR] Send UDP message failed , errno : N\n"},
        {"receive without a buffer", [&] { return read(nullptr, CMD_MSG_LEN, alpha); },
         "[ERROR] Nil Pointer passed \n"},
        {"receive on a closed socket", [&] { return read(buffer, CMD_MSG_LEN, &closed); },
         "[ERROR] ReadUdpMesg Invalid sockfd : -1\n"},
        {"receive with a negative length", [&] { return read(buffer, -1, alpha); },
         "[ERROR] ReadUdpMesg - Incorrect Message Length : -1\n"},
        {"receive that fails at once", [&] { return read(buffer, CMD_MSG_LEN, &notSocket); },
         "[ERROR] [RECV] errno =58, errstr = Socket operation on non-socket\n"
         "[ERROR] Unable to read from udp socket\n"},
        {"receive setup without a record", [] { return initUdpCommRx(nullptr); },
         "[ERROR] Nil Pointer passed to initUdpComm\n"},
        {"send setup without a record", [] { return initUdpCommTx(nullptr); },
         "[ERROR]Nil Pointer passed to initXJAppComm\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        int result = 0;
        EXPECT_EQ(maskErrno(printed([&] { result = c.call(); })), c.printed);
        EXPECT_EQ(result, -1);
    }
    EXPECT_EQ(alarm(0), 0u) << "the failed receive left its alarm armed";
    close(notSocket.rxSock);
}

TEST_F(Endpoint, FatalLineShowsTheErrorNumberInHexadecimal) {
    errno = ECONNREFUSED;
    EXPECT_EQ(printed([] { FATAL("RECV"); }),
              "[ERROR] [RECV] errno =6f, errstr = Connection refused\n");
}

TEST_F(Endpoint, ClosingPrintsTheHostOnlyWhenItsSocketsWereOpen) {
    UdpPeer host;
    loadAlpha(host.port(), qztest::freeUdpPort());
    EXPECT_EQ(printed([] { EXPECT_EQ(closeServer(0), 0); }), "");
    printed([] { connectServer(0, &CmdInfo[0]); });
    EXPECT_GT(CmdInfo[0].rxSock, 0);
    EXPECT_GT(CmdInfo[0].txSock, 0);
    EXPECT_EQ(printed([] { EXPECT_EQ(closeServer(0), 0); }), "Close Socket : alpha\n");
    EXPECT_EQ(CmdInfo[0].rxSock, -1);
    EXPECT_EQ(CmdInfo[0].txSock, -1);
    EXPECT_EQ(printed([] { EXPECT_EQ(closeServer(0), 0); }), "");
}

TEST_F(Endpoint, BusyReceivePortStillLeavesASocketToClose) {
    UdpPeer host;
    UdpPeer holder;
    loadAlpha(host.port(), holder.port());
    EXPECT_EQ(printed([] { EXPECT_EQ(connectServer(0, &CmdInfo[0]), 0); }),
              "[ERROR]Bind on recive UDP socket failed , Errno : 98 , IP Address : 127.0.0.1,  "
              "Port : " +
                  std::to_string(holder.port()) + " \n");
    EXPECT_GT(CmdInfo[0].rxSock, 0);
    EXPECT_EQ(printed([] { closeServer(0); }), "Close Socket : alpha\n");
}

// A reply without its NUL, its index word of 0x7F bytes to show it unread.
std::string datagram(uint32_t status, const std::string &text) {
    return qztest::reply(status, text, false, 0x7F7F7F7F);
}

TEST(ReplyDatagram, PrintsTheTextUpToItsEndAndReturnsTheZeroPaddedStatus) {
    const std::string full = datagram(0, std::string(CMD_TEXT_LEN, 'x'));
    const struct {
        const char *what;
        std::string bytes;
        std::string printed;
        uint32_t status;
    } cases[] = {
        {"empty datagram", "", "", 0},
        {"one status byte", std::string("\x02", 1), "", 2},
        {"three status bytes", std::string("\x01\x01\x00", 3), "", 0x101},
        {"header only", datagram(1, ""), "", 1},
        {"text with its NUL", datagram(0, std::string("ok\0junk", 7)), "ok", 0},
        {"text without a NUL", datagram(7, "partial"), "partial", 7},
        {"2040 text bytes without a NUL", full, std::string(CMD_TEXT_LEN, 'x'), 0},
        {"bytes past 2048 are not part of it", full + "tail", std::string(CMD_TEXT_LEN, 'x'), 0},
        {"close status", datagram(CMD_REPLY_CLOSE, std::string("bye\n\0", 5)), "bye\n", 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        char *text = nullptr;
        size_t size = 0;
        FILE *out = open_memstream(&text, &size);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(printReply(c.bytes.data(), c.bytes.size(), out), c.status);
        fclose(out);
        EXPECT_EQ(std::string(text, size), c.printed);
        free(text);
    }
}

}  // namespace
