// The monitor program against hostile input at its live interfaces: what the
// operator's terminal (or a script's pipe) sends it, and what arrives at its
// receive socket. Every row says what the console shows, what the host
// receives byte for byte, and how the console ends; nothing may be lost,
// reordered or corrupted on the way.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "console_run.h"

namespace {

using qztest::ConsoleRun;
using qztest::droppedFrom;
using qztest::kRequestLen;
using qztest::kTextLen;
using qztest::kTimedOut;
using qztest::kWaitMs;
using qztest::menu;
using qztest::PtySession;
using qztest::reply;
using qztest::request;
using qztest::UdpPeer;
using qztest::unixLines;
using namespace std::string_literals;

// The sender of a step's replies.
enum From {
    kHost,          // the host's own socket
    kOtherPort,     // another program's socket on the host's address, 127.0.0.1
    kOtherAddress,  // a socket on 127.0.0.2: another machine's as far as the console can tell
};

struct Step {
    std::string keys;                   // typed as they are
    std::optional<std::string> sent;    // the command the host receives; none: nothing is sent
    std::vector<std::string> replies;   // then sent to the console, datagram by datagram
    std::optional<std::string> screen;  // shown from here on; none: read with the next step
    size_t host = 0;                    // the host that receives the command
    From from = kHost;                  // who sends the replies
    bool end = false;                   // then end of input (pipes) or hang-up (terminal)
};

struct Scenario {
    const char *what;
    std::vector<std::string> hosts;
    bool pipes;
    std::vector<std::string> env;
    std::vector<Step> steps;
    int status;  // how the console ends after the last step
};

void play(const Scenario &s) {
    SCOPED_TRACE(s.what);
    ConsoleRun c(MONITOR_BIN);
    c.configure(s.hosts);
    c.start(s.pipes, s.env);
    UdpPeer stranger;
    ASSERT_TRUE(stranger.ok());
    // Linux routes all of 127/8 to loopback: a sender address other than the
    // host's without leaving the machine.
    UdpPeer foreign(0, "127.0.0.2");
    ASSERT_TRUE(foreign.ok());
    EXPECT_EQ(c.screen(menu(s.hosts)), c.startScreen());
    std::string field(kTextLen, '\0');  // the request text: later bytes stay from longer commands
    for (size_t i = 0; i < s.steps.size(); ++i) {
        const Step &step = s.steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        ASSERT_TRUE(c.term.write(step.keys));
        if (step.end) s.pipes ? c.term.closeInput() : c.term.hangUp();
        if (step.sent) {
            field.replace(0, step.sent->size() + 1, *step.sent + '\0');
            c.expectRequest(step.host, request(static_cast<int32_t>(step.host), field));
        }
        UdpPeer &sender = step.from == kOtherPort      ? stranger
                          : step.from == kOtherAddress ? foreign
                                                       : c.host(step.host);
        for (const std::string &d : step.replies)
            ASSERT_TRUE(sender.sendTo(c.txPort(step.host), d));
        if (step.screen) {  // the console must still be running while steps follow
            const bool last = i + 1 == s.steps.size();
            EXPECT_EQ(last ? c.screen(*step.screen) : c.screenUpTo(*step.screen), *step.screen);
        }
    }
    for (size_t h = 0; h < s.hosts.size(); ++h) EXPECT_TRUE(c.nothingSentTo(h));
    EXPECT_EQ(c.term.waitExit(kWaitMs), s.status);
}

std::string bytes80toFF() {
    std::string text;
    for (int b = 0x80; b <= 0xFF; ++b) text += static_cast<char>(b);
    return text;
}

// How the line editor shows bytes 0x80-0xFF in the C locale: as octal escapes.
std::string octal(const std::string &text) {
    std::string shown;
    for (unsigned char b : text) {
        char escape[8];
        snprintf(escape, sizeof escape, "\\%03o", b);
        shown += escape;
    }
    return shown;
}

TEST(HostileTerminal, EveryLineHasADefinedOutcomeAndNothingTypedIsLost) {
    const std::vector<std::string> one = {"alpha"};
    const std::string menuAgain = menu(one), prompt = "\nalpha> ";
    const std::string leave = "Close Socket : alpha\n" + menuAgain;
    const std::string x100k(102400, 'x'), c100k(102400, 'c'), c65k(65000, 'c');
    const std::string high = bytes80toFF();
    const std::string utf8 = "h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
    auto refused = [](size_t n) {
        return "[WARNING] command of " + std::to_string(n) +
               " characters not sent: a request holds at most 2039\n";
    };
    const std::vector<Scenario> cases = {
        {"pipe: a 100 KB menu line matches nothing, the script goes on",
         one,
         true,
         {},
         {{x100k + "\n", {}, {}, menuAgain},
          {"0\nping\n", "ping", {reply(0, "pong")}, prompt + "ping\npong\n" + prompt},
          {"", {}, {}, leave, 0, kHost, true}},
         0},
        {"pipe: a 100 KB command is refused, the next one goes out",
         one,
         true,
         {},
         {{"0\n", {}, {}, prompt},
          {c100k + "\n", {}, {}, c100k + "\n" + refused(c100k.size()) + prompt},
          {"ok\n", "ok", {reply(0, "fine")}, "ok\nfine\n" + prompt},
          {"", {}, {}, leave, 0, kHost, true}},
         0},
        {"terminal: a 65,000-character command is refused",
         one,
         false,
         {},
         {{"0\n", {}, {}, "0\n" + prompt},
          {c65k + "\n", {}, {}, c65k + "\n" + refused(c65k.size()) + prompt},
          {"ok\n", "ok", {reply(0, "fine")}, "ok\nfine\n" + prompt},
          {"exit\nquit\n", {}, {}, "exit\n" + leave}},
         0},
        {"pipe: control bytes, CR and NUL are part of a menu line",
         one,
         true,
         {},
         {{"\x01\x1b[A\x7f\n", {}, {}, menuAgain},
          {"exit\r\n", {}, {}, menuAgain},
          {"\0\n"s, {}, {}, menuAgain},
          {"0\0junk\n"s, {}, {}, prompt},
          {"exit\n", {}, {}, "exit\n" + leave},
          {"quit\0tail\n"s, {}, {}, ""}},
         0},
        {"terminal: editing keys edit, quoted control characters are sent",
         one,
         false,
         {},
         {{"0\n", {}, {}, "0\n" + prompt},
          {"junk\x15xy\x7fz\n",
           "xz",
           {reply(0, "")},
           "junk\b\b\b\b    \b\b\b\bxy\b \bz\n\n" + prompt},
          {"a\x16\x01\x16\x1b\x16\x7f\x16\tb\n",
           "a\x01\x1b\x7f\tb",
           {reply(0, "")},
           "a^A^[^?  b\n\n" + prompt},
          {"exit\nquit\n", {}, {}, "exit\n" + leave}},
         0},
        {"terminal, C locale: bytes 0x80-0xFF go out and come back byte for byte",
         one,
         false,
         {},
         {{"0\n", {}, {}, "0\n" + prompt},
          {high + "\n", high, {reply(0, high)}, octal(high) + "\n" + high + "\n" + prompt},
          {"exit\nquit\n", {}, {}, "exit\n" + leave}},
         0},
        {"terminal, UTF-8 locale: text goes out byte for byte",
         one,
         false,
         {"LC_ALL=C.UTF-8"},
         {{"0\n", {}, {}, "0\n" + prompt},
          {utf8 + "\n", utf8, {reply(0, utf8)}, utf8 + "\n" + utf8 + "\n" + prompt},
          {"exit\nquit\n", {}, {}, "exit\n" + leave}},
         0},
        {"pipe: input ends inside a command line, which is still sent",
         one,
         true,
         {},
         {{"0\nsta",
           "sta",
           {reply(0, "up")},
           prompt + "sta\nup\n" + prompt + leave,
           0,
           kHost,
           true}},
         0},
        {"terminal: Ctrl-C at the menu ends the console",
         one,
         false,
         {},
         {{"\x03", {}, {}, "^C"}},
         128 + 2},
        {"terminal: Ctrl-C in a command line ends the console",
         one,
         false,
         {},
         {{"0\n", {}, {}, "0\n" + prompt}, {"abc\x03", {}, {}, "^C"}},
         128 + 2},
        {"terminal: Ctrl-C while a reply is awaited ends the console",
         one,
         false,
         {},
         {{"0\n", {}, {}, "0\n" + prompt},
          {"wait\n", "wait", {reply(1, "part ")}, "wait\npart "},
          {"\x03", {}, {}, "^C"}},
         128 + 2},
        {"terminal closed at the menu",
         one,
         false,
         {},
         {{"", {}, {}, std::nullopt, 0, kHost, true}},
         128 + 1},
        {"terminal closed in a dialogue",
         one,
         false,
         {},
         {{"0\n", {}, {}, "0\n" + prompt}, {"half", {}, {}, std::nullopt, 0, kHost, true}},
         128 + 1},
        {"terminal closed while a reply is awaited",
         one,
         false,
         {},
         {{"0\n", {}, {}, "0\n" + prompt},
          {"wait\n", "wait", {}, std::nullopt},
          {"", {}, {}, std::nullopt, 0, kHost, true}},
         128 + 1},
        {"duplicate names: the name selects the first, the position either",
         {"dup", "dup"},
         false,
         {},
         {{"dup\n", {}, {}, "dup\n\ndup> "},
          {"x\n", "x", {reply(0, "first")}, "x\nfirst\n\ndup> "},
          {"exit\n", {}, {}, "exit\nClose Socket : dup\n" + menu({"dup", "dup"})},
          {"1\n", {}, {}, "1\n\ndup> "},
          {"y\n", "y", {reply(0, "second")}, "y\nsecond\n\ndup> ", 1},
          {"exit\nquit\n", {}, {}, "exit\nClose Socket : dup\n" + menu({"dup", "dup"})}},
         0},
    };
    for (const Scenario &s : cases) play(s);
}

TEST(HostileHost, EveryReplyDatagramHasADefinedOutcome) {
    const std::string prompt = "\nalpha> ", leave = "Close Socket : alpha\n" + menu({"alpha"});
    const std::string a2040(kTextLen, 'a'), b2040(kTextLen, 'b'), high = bytes80toFF();
    play({"one session, one host",
          {"alpha"},
          false,
          {},
          {{"0\n", {}, {}, "0\n" + prompt},
           {"headers\n",
            "headers",
            {"\x01", "\x01\0"s, "\x01\0\0"s, "\x01\0\0\0"s, "\x01\0\0\0\x09"s,
             "\x01\0\0\0\x09\x09"s, "\x01\0\0\0\x09\x09\x09"s, reply(0, "end")},
            "headers\nend\n" + prompt},
           {"seven\n", "seven", {"\0\0\0\0\x07\x07\x07"s}, "seven\n\n" + prompt},
           {"statuses\n",
            "statuses",
            {reply(3, "3 "), reply(0xFFFFFFFF, "max "), reply(0x80000000, "top "),
             reply(0x100, "swapped1 "), reply(0x2000000, "swapped2 "), reply(0, "end")},
            "statuses\n3 max top swapped1 swapped2 end\n" + prompt},
           {"big\n",
            "big",
            {reply(1, a2040 + std::string(2000, 'T'), false),
             reply(0, b2040 + std::string(65507 - kRequestLen, 'U'), false)},
            "big\n" + a2040 + b2040 + "\n" + prompt},
           {"elsewhere\n",
            "elsewhere",
            {reply(0, "from another port")},
            "elsewhere\nfrom another port\n" + prompt,
            0,
            kOtherPort},
           {"sta", {}, {reply(0, "early "), reply(1, "stray")}, "sta", 0, kOtherPort},
           {"tus\n",
            "status",
            {reply(0, "up")},
            "tus\n[WARNING] 2 datagrams received outside a reply were dropped\nup\n" + prompt},
           {"raw\n",
            "raw",
            {reply(1, "\x1b[1mbold\x1b[0m\a"), reply(0, high + "\r")},
            "raw\n\x1b[1mbold\x1b[0m\a" + high + "\r\n" + prompt},
           {"g\n", "g", {reply(0, "G"), reply(0, "surplus")}, "g\nG\n" + prompt},
           {"h\n",
            "h",
            {reply(0, "H")},
            "h\n[WARNING] 1 datagram received outside a reply was dropped\nH\n" + prompt},
           {"exit\n", {}, {}, "exit\n" + leave},
           {"0\n", {}, {}, "0\n" + prompt},
           {"i\n", "i", {reply(0, "I")}, "i\nI\n" + prompt},
           {"close\n", "close", {"\x02"}, "close\n" + leave},
           {"quit\n", {}, {}, "quit\n"}},
          0});
    // Replies from 127.0.0.2: all of 127/8 is loopback, so this is another
    // machine's address as far as the console can tell, and nothing leaves
    // this one. Such datagrams are dropped and reported once the reply is
    // over (or before the next command goes out), never inside its text.
    const std::vector<std::string> one = {"alpha"};
    const std::string exitThenQuit = "exit\n" + leave;
    const std::vector<Scenario> cases = {
        {"another address while a reply is awaited: the host's reply is still shown",
         one,
         false,
         {},
         {{"0\n", {}, {}, "0\n" + prompt},
          {"who\n", "who", {reply(0, "\x1b[2Jspoofed")}, std::nullopt, 0, kOtherAddress},
          {"", {}, {reply(0, "me")}, "who\nme\n" + droppedFrom(1, "127.0.0.2") + prompt},
          {"exit\nquit\n", {}, {}, exitThenQuit}},
         0},
        {"another address inside a reply: its text stays whole",
         one,
         false,
         {},
         {{"0\n", {}, {}, "0\n" + prompt},
          {"more\n", "more", {reply(1, "part ")}, "more\npart "},
          {"", {}, {reply(2, "bye"), reply(1, "spoofed ")}, std::nullopt, 0, kOtherAddress},
          {"", {}, {reply(0, "rest")}, "rest\n" + droppedFrom(2, "127.0.0.2") + prompt},
          {"exit\nquit\n", {}, {}, exitThenQuit}},
         0},
        {"another address while idle: dropped before the next command, apart from the host's",
         one,
         false,
         {},
         {{"0\n", {}, {}, "0\n" + prompt},
          {"sta", {}, {reply(0, "late")}, "sta"},
          {"", {}, {reply(0, "spoofed")}, std::nullopt, 0, kOtherAddress},
          {"tus\n",
           "status",
           {reply(0, "up")},
           "tus\n[WARNING] 1 datagram received outside a reply was dropped\n" +
               droppedFrom(1, "127.0.0.2") + "up\n" + prompt},
          {"exit\nquit\n", {}, {}, exitThenQuit}},
         0},
        {"another address before a reply that ends the dialogue: reported after the close",
         one,
         false,
         {},
         {{"0\n", {}, {}, "0\n" + prompt},
          {"bye\n", "bye", {reply(0, "spoofed")}, std::nullopt, 0, kOtherAddress},
          {"",
           {},
           {reply(2, "gone\n")},
           "bye\ngone\nClose Socket : alpha\n" + droppedFrom(1, "127.0.0.2") + menu(one)},
          {"quit\n", {}, {}, "quit\n"}},
         0},
        {"the host never answers, a program on another address does",
         one,
         false,
         {},
         {{"0\n", {}, {}, "0\n" + prompt},
          {"wait\n", "wait", {reply(1, "part ")}, "wait\npart "},
          {"", {}, {reply(0, "end")}, kTimedOut + droppedFrom(1, "127.0.0.2"), 0, kOtherAddress}},
         3},
    };
    for (const Scenario &s : cases) play(s);
}

TEST(HostileHost, FloodFromAnotherAddressDoesNotPutOffTheReplyTimeout) {
    ConsoleRun c(MONITOR_BIN);
    c.openAndSend("wait");
    UdpPeer foreign(0, "127.0.0.2");  // all of 127/8 is loopback: no packet leaves the machine
    ASSERT_TRUE(foreign.ok());
    // Twenty every 20 ms for at most four timeouts' time; each, if taken for
    // a reply, would keep it open.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(12);
    int sent = 0, status = PtySession::kRunning;
    while (status == PtySession::kRunning && std::chrono::steady_clock::now() < until) {
        for (int i = 0; i < 20; ++i, ++sent)
            ASSERT_TRUE(foreign.sendTo(c.txPort(0), reply(1, "x")));
        status = c.term.waitExit(20);
    }
    ASSERT_EQ(status, 3) << "still running after " << sent << " datagrams";
    const std::string shown = unixLines(c.term.takeOutput());
    const std::string timedOut = "wait\n" + std::string(kTimedOut);
    ASSERT_EQ(shown.substr(0, timedOut.size()), timedOut);
    const std::string warning = shown.substr(timedOut.size());
    int dropped = 0;  // what the socket did not hold, the kernel dropped unseen
    ASSERT_EQ(sscanf(warning.c_str(), "[WARNING] %d ", &dropped), 1) << warning;
    EXPECT_GE(dropped, 1);
    EXPECT_LE(dropped, sent);
    EXPECT_EQ(warning, droppedFrom(dropped, "127.0.0.2"));
}

// Reply line `i` of the long replies below: "dNNNN" and a tail of `size` bytes.
std::string numbered(int i, size_t size) {
    char head[8];
    snprintf(head, sizeof head, "d%04d", i);
    return head + std::string(size, static_cast<char>('a' + i % 26)) + "\n";
}

TEST(HostileHost, PacedLongReplyArrivesWholeAndInOrder) {
    constexpr int kCount = 2000, kBurst = 25;  // a burst fits any receive buffer
    ConsoleRun c(MONITOR_BIN);
    c.openAndSend("paced");
    std::string expected = "paced\n";
    for (int first = 0; first < kCount; first += kBurst) {
        for (int i = first; i < first + kBurst; ++i) {
            const std::string text = numbered(i, (i * 37) % 2000);
            c.answer(0, {reply(i + 1 < kCount ? 1 : 0, text)});
            expected += text;
        }
        if (first + kBurst == kCount) expected += "\n\nalpha> ";
        // The next burst goes out once this one is on the screen.
        ASSERT_EQ(c.screenUpTo(expected), expected) << "burst from " << first;
        expected.clear();
    }
}

TEST(HostileHost, FloodFasterThanTheTerminalReadsStaysInOrderAndEndsCleanly) {
    constexpr int kCount = 2000;
    ConsoleRun c(MONITOR_BIN);
    c.openAndSend("flood");
    // All at once, while nobody reads the terminal: the console blocks on its
    // output and its socket drops what does not fit.
    for (int i = 0; i < kCount; ++i)
        c.answer(0, {reply(i + 1 < kCount ? 1 : 0, numbered(i, 1994))});
    c.term.readUntil(
        [](const std::string &raw) {
            return unixLines(raw).size() >= 8 &&
                   unixLines(raw).compare(unixLines(raw).size() - 8, 8, "\nalpha> ") == 0;
        },
        3 * kWaitMs);
    const std::string shown = unixLines(c.term.takeOutput());
    ASSERT_EQ(shown.compare(0, 6, "flood\n"), 0);
    size_t at = 6;
    int next = 0, printed = 0;
    while (at < shown.size() && shown[at] == 'd') {
        const int i = atoi(shown.c_str() + at + 1);
        ASSERT_GE(i, next) << "out of order after " << printed << " replies";
        const std::string text = numbered(i, 1994);
        ASSERT_EQ(shown.compare(at, text.size(), text), 0) << "datagram " << i << " not whole";
        at += text.size();
        next = i + 1;
        ++printed;
    }
    printf("flood: %d of %d datagrams printed, in order and whole\n", printed, kCount);
    if (next == kCount) {  // the last one arrived: the reply ends normally
        EXPECT_EQ(shown.substr(at), "\n\nalpha> ");
    } else {  // it was dropped: the console waits for it and gives up
        EXPECT_EQ(shown.substr(at),
                  "[ERROR] Don't recv response message.... Maybe disconnection....\n");
        EXPECT_EQ(c.term.waitExit(kWaitMs), 3);
    }
}

}  // namespace
