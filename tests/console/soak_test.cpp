// Long use and faults. Thousands of commands in one session and thousands of
// host selections must keep every reply whole and in order and leave the
// console's memory and descriptors where they were after warm-up; a host that
// stops mid-reply or a port taken by another program end the console the
// documented way. Sizes come from QZ_SOAK_COMMANDS and QZ_SOAK_CYCLES.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console_run.h"
#include "process.h"

namespace {

using qztest::ConsoleRun;
using qztest::kTextLen;
using qztest::kTimedOut;
using qztest::kWaitMs;
using qztest::menu;
using qztest::PtySession;
using qztest::reply;
using qztest::request;
using qztest::UdpPeer;
using qztest::unixLines;

int sizeFromEnv(const char *name, int fallback) {
    const char *value = getenv(name);
    return value && atoi(value) > 0 ? atoi(value) : fallback;
}

// What a process holds: resident memory in KiB and open descriptors.
struct Use {
    long rssKb = -1;
    int fds = -1;
};

Use useOf(pid_t pid) {
    return {qztest::statusKiB(pid, "VmRSS"), qztest::openDescriptors(pid)};
}

// The line editor keeps every line in its history, so memory grows by design:
// allow this much per line typed after warm-up, about twice what an entry,
// its text and its slot were seen to take (120 bytes; 290 with the
// sanitizer's red zones), plus slack for the allocator's own bookkeeping.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kHistoryBytesPerLine = 512;
#else
constexpr long kHistoryBytesPerLine = 256;
#endif
constexpr long kSlackKb = 512;

// Starts the console; under AddressSanitizer without its quarantine of freed
// memory, which would otherwise grow with every line until it is full.
void startWithoutQuarantine(ConsoleRun &c) {
    const char *options = getenv("ASAN_OPTIONS");
    c.start(false, {"ASAN_OPTIONS=" + std::string(options ? options : "") +
                    (options && *options ? ":" : "") +
                    "quarantine_size_mb=0:thread_local_quarantine_size_kb=0"});
}

void expectFlat(const char *what, const Use &warm, const Use &end, int lines) {
    const long budgetKb = kSlackKb + lines * kHistoryBytesPerLine / 1024;
    printf(
        "%s: VmRSS %ld KiB after warm-up, %ld KiB at the end (+%ld, budget %ld for %d "
        "history lines); descriptors %d and %d\n",
        what, warm.rssKb, end.rssKb, end.rssKb - warm.rssKb, budgetKb, lines, warm.fds, end.fds);
    ASSERT_GT(warm.rssKb, 0);
    EXPECT_LE(end.rssKb - warm.rssKb, budgetKb);
    EXPECT_EQ(end.fds, warm.fds);
}

TEST(ConsoleSoak, CommandsKeepEveryReplyInOrderWithFlatMemoryThenAHostStopsMidReply) {
    const int commands = sizeFromEnv("QZ_SOAK_COMMANDS", 10000);
    const int warmUp = std::max(100, commands / 10);
    ConsoleRun c(MONITOR_BIN);
    c.configure({"alpha"});
    startWithoutQuarantine(c);
    EXPECT_EQ(c.screen(menu({"alpha"})), c.startScreen());
    c.type("0");
    EXPECT_EQ(c.screen("0\n\nalpha> "), "0\n\nalpha> ");
    std::string field(kTextLen, '\0');
    Use warm;
    for (int i = 0; i < commands && !testing::Test::HasFailure(); ++i) {
        if (i == warmUp) warm = useOf(c.term.pid());
        // Lengths vary, so requests carry the stale bytes of longer commands.
        const std::string command = "cmd" + std::to_string(i) + std::string(i % 41, '.');
        c.type(command);
        field.replace(0, command.size() + 1, command + '\0');
        c.expectRequest(0, request(0, field));
        std::string shown = command + "\n";
        for (int part = i % 3; part >= 0; --part) {
            const std::string text = "r" + std::to_string(i) + "." + std::to_string(part) + " ";
            c.answer(0, {reply(part == 0 ? 0 : 1, text)});
            shown += text;
        }
        shown += "\n\nalpha> ";
        ASSERT_EQ(c.screen(shown), shown) << "command " << i;
    }
    const Use end = useOf(c.term.pid());
    expectFlat("commands", warm, end, commands - warmUp);

    c.type("last");
    field.replace(0, 5, std::string("last") + '\0');
    c.expectRequest(0, request(0, field));
    c.answer(0, {reply(1, "partial ")});
    EXPECT_EQ(c.screen(""), "last\npartial " + std::string(kTimedOut));
    EXPECT_EQ(c.term.waitExit(kWaitMs), 3);
}

TEST(ConsoleSoak, SelectingAndLeavingHostsLeavesNoDescriptorBehind) {
    const int cycles = sizeFromEnv("QZ_SOAK_CYCLES", 1000);
    const int warmUp = std::max(20, cycles / 10);
    const std::vector<std::string> names = {"alpha", "beta"};
    const std::string menuAgain = menu(names);
    ConsoleRun c(MONITOR_BIN);
    c.configure(names);
    startWithoutQuarantine(c);
    EXPECT_EQ(c.screen(menuAgain), c.startScreen());
    const int atMenu = useOf(c.term.pid()).fds;
    Use warm;
    int lines = 0;  // history lines after warm-up
    for (int i = 0; i < cycles && !testing::Test::HasFailure(); ++i) {
        if (i == warmUp) warm = useOf(c.term.pid());
        const size_t h = i % 2;
        const std::string selection = i % 4 < 2 ? std::to_string(h) : names[h];
        const std::string prompt = "\n" + names[h] + "> ";
        c.type(selection);
        ASSERT_EQ(c.screen(prompt), selection + "\n" + prompt) << "cycle " << i;
        if (i % 97 == 0) {
            EXPECT_EQ(useOf(c.term.pid()).fds, atMenu + 2) << "in a dialogue";
        }
        // Leave by each way in turn: exit, quit, end of input, the host.
        const std::string closed = "Close Socket : " + names[h] + "\n" + menuAgain;
        switch (i % 4) {
            case 0:
            case 1:
                c.type(i % 4 ? "quit" : "exit");
                ASSERT_EQ(c.screen(menuAgain), (i % 4 ? "quit\n" : "exit\n") + closed);
                break;
            case 2:
                ASSERT_TRUE(c.term.write("\x04"));
                ASSERT_EQ(c.screen(menuAgain), closed);
                break;
            case 3:
                c.type("bye");
                c.expectRequest(h, request(static_cast<int32_t>(h), "bye"));
                c.answer(h, {reply(2, "")});
                ASSERT_EQ(c.screen(menuAgain), "bye\n" + closed);
                break;
        }
        lines += i >= warmUp && i % 4 != 2;
    }
    const Use end = useOf(c.term.pid());
    expectFlat("selections", warm, end, lines);
    EXPECT_EQ(end.fds, atMenu);
    c.type("quit");
    EXPECT_EQ(c.term.waitExit(kWaitMs), 0);
}

TEST(ConsoleFault, ReceivePortTakenByAnotherProgramEndsTheFirstReplyWithStatus3) {
    ConsoleRun c(MONITOR_BIN);
    c.configure({"alpha"});
    UdpPeer holder(c.txPort(0));
    ASSERT_TRUE(holder.ok());
    c.start();
    EXPECT_EQ(c.screen(menu({"alpha"})), c.startScreen());
    c.type("0");
    const std::string bindFailed =
        "[ERROR]Bind on recive UDP socket failed , Errno : 98 , IP "
        "Address : 127.0.0.1,  Port : " +
        std::to_string(c.txPort(0)) + " \n";
    EXPECT_EQ(c.screen("\nalpha> "), "0\n" + bindFailed + "\nalpha> ");
    // The request still goes out; the answer reaches the program holding the port.
    c.type("status");
    c.expectRequest(0, request(0, "status"));
    c.answer(0, {reply(0, "up")});
    std::string stolen;
    EXPECT_TRUE(holder.receive(&stolen, kWaitMs));
    EXPECT_EQ(stolen, reply(0, "up"));
    EXPECT_EQ(c.screen(""), "status\n" + std::string(kTimedOut));
    EXPECT_EQ(c.term.waitExit(kWaitMs), 3);
}

TEST(ConsoleFault, SecondConsoleOnTheSameHostFileLeavesTheFirstOnesRepliesInStep) {
    ConsoleRun c(MONITOR_BIN);
    c.configure({"alpha"});
    c.start();
    EXPECT_EQ(c.screen(menu({"alpha"})), c.startScreen());
    c.type("0");
    EXPECT_EQ(c.screen("\nalpha> "), "0\n\nalpha> ");

    // The second console cannot bind the port the first holds, so the answer
    // to its command reaches the first console, which has no request out.
    PtySession second;
    c.startAnother(&second);
    ASSERT_TRUE(second.readUntil("qzCmd> ", kWaitMs));
    ASSERT_TRUE(second.write("0\n"));
    ASSERT_TRUE(second.readUntil("alpha> ", kWaitMs));
    EXPECT_EQ(unixLines(second.takeOutput()),
              c.startScreen() + "0\n[ERROR]Bind on recive UDP socket failed , Errno : 98 , IP " +
                  "Address : 127.0.0.1,  Port : " + std::to_string(c.txPort(0)) + " \n\nalpha> ");
    ASSERT_TRUE(second.write("hello\n"));
    c.expectRequest(0, request(0, "hello"));
    c.answer(0, {reply(0, "alpha: hello")});

    c.type("status");
    c.expectRequest(0, request(0, "status"));
    c.answer(0, {reply(0, "alpha: status")});
    EXPECT_EQ(c.screen("\nalpha> "),
              "status\n[WARNING] 1 datagram received outside a reply was dropped\n"
              "alpha: status\n\nalpha> ");
    c.type("exit");
    EXPECT_EQ(c.screen(menu({"alpha"})), "exit\nClose Socket : alpha\n" + menu({"alpha"}));

    second.readToEnd(2 * kWaitMs);
    EXPECT_EQ(unixLines(second.takeOutput()), "hello\n" + std::string(kTimedOut));
    EXPECT_EQ(second.waitExit(kWaitMs), 3);
    EXPECT_TRUE(c.nothingSentTo(0));
}

}  // namespace
