// The monitor program as an operator meets it: started in T/run beside
// T/cfg/cmd.cfg, driven through a pseudo-terminal, talking to hosts played by
// UDP peers of the test. Terminal output is compared exactly, with the
// terminal's "\r\n" line ends read as "\n".
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "console_run.h"

namespace {

using qztest::ConsoleRun;
using qztest::kTextLen;
using qztest::kWaitMs;
using qztest::maskErrno;
using qztest::menu;
using qztest::reply;
using qztest::request;

struct MenuCase {
    const char *what;
    std::optional<std::vector<std::string>> hosts;  // none: no host file at all
    // A line typed at the menu and the host whose dialogue it opens ("": the menu again).
    std::vector<std::pair<std::string, std::string>> picks;
};

TEST(Console, MenuPicksByNameThenByOneCharacterPosition) {
    const std::vector<MenuCase> cases = {
        {"alpha and beta",
         std::vector<std::string>{"alpha", "beta"},
         {{"beta", "beta"},
          {"1", "beta"},
          {"01", ""},
          {"2", ""},
          {"x", "alpha"},
          {"\xff", "alpha"},
          {"\xffx", ""},
          {"0", "alpha"},
          {"", ""},
          {"help", ""},
          {"alph", ""},
          {std::string(3000, 'a'), ""}}},
        {"a host named 1 comes first",
         std::vector<std::string>{"1", "two", "help"},
         {{"1", "1"}, {"0", "1"}, {"two", "two"}, {"help", ""}, {"2", "help"}}},
        {"no host file", std::nullopt, {{"x", ""}, {"0", ""}}},
    };
    for (const MenuCase &c : cases) {
        SCOPED_TRACE(c.what);
        ConsoleRun session(MONITOR_BIN);
        std::vector<std::string> names;
        if (c.hosts) {
            names = *c.hosts;
            session.configure(names);
        }
        session.start();
        const std::string menuAgain = menu(names);
        EXPECT_EQ(session.screen(menuAgain),
                  c.hosts ? session.startScreen()
                          : "can't found configfile=../cfg/cmd.cfg,\n" + menuAgain);
        for (const auto &[typed, host] : c.picks) {
            SCOPED_TRACE("typed " + typed.substr(0, 10));
            session.type(typed);
            if (host.empty()) {
                EXPECT_EQ(session.screen(menuAgain), typed + "\n" + menuAgain);
                continue;
            }
            EXPECT_EQ(session.screen("\n" + host + "> "), typed + "\n\n" + host + "> ");
            session.type("exit");
            EXPECT_EQ(session.screen(menuAgain), "exit\nClose Socket : " + host + "\n" + menuAgain);
        }
        session.type("quit");
        EXPECT_EQ(session.screen("quit\n"), "quit\n");
        EXPECT_EQ(session.term.waitExit(kWaitMs), 0);
    }
}

TEST(Console, EndsWithStatus0OnExitQuitOrEndOfInput) {
    const struct {
        const char *what;
        std::vector<std::pair<std::string, std::string>> steps;  // keys typed, screen shown
    } cases[] = {
        {"exit at the menu", {{"exit\n", "exit\n"}}},
        {"quit at the menu", {{"quit\n", "quit\n"}}},
        {"end of input at the menu", {{"\x04", ""}}},
        {"end of input in a dialogue leaves it like exit",
         {{"0\n", "0\n\nalpha> "},
          {"\x04", "Close Socket : alpha\n" + menu({"alpha"})},
          {"\x04", ""}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ConsoleRun session(MONITOR_BIN);
        session.configure({"alpha"});
        session.start();
        EXPECT_EQ(session.screen(menu({"alpha"})), session.startScreen());
        for (const auto &[keys, shown] : c.steps) {
            ASSERT_TRUE(session.term.write(keys));
            EXPECT_EQ(session.screen(shown), shown);
        }
        EXPECT_EQ(session.term.waitExit(kWaitMs), 0);
    }
}

struct Exchange {
    const char *what;
    std::string typed;
    std::optional<std::string> request;  // the request's text field; none: nothing is sent
    std::vector<std::string> replies;    // the host's answer, datagram by datagram
    std::string screen;                  // from the echo of the line to the next prompt
};

TEST(Console, DialogueSendsEachLineAndPrintsTheWholeReply) {
    ConsoleRun c(MONITOR_BIN);
    c.configure({"alpha", "beta"});
    c.start();
    const std::string menuAgain = menu({"alpha", "beta"});
    EXPECT_EQ(c.screen(menuAgain), c.startScreen());
    c.type("beta");
    EXPECT_EQ(c.screen("\nbeta> "), "beta\n\nbeta> ");

    const std::string L2039(2039, 'L'), L2040(2040, 'L'), L3000(3000, 'L'), t2040(kTextLen, 't');
    const std::string z(1, '\0');
    const std::vector<Exchange> script = {
        {"a line is sent and its reply printed", "a", "a", {reply(0, "ok")}, "a\nok\n\nbeta> "},
        {"an empty line sends nothing", "", std::nullopt, {}, "\n\nbeta> "},
        {"the next line", "b", "b", {reply(0, "ok")}, "b\nok\n\nbeta> "},
        {"hist lists the lines so far, itself last, on the terminal",
         "hist",
         std::nullopt,
         {},
         "hist\n0: a\r\n1: b\r\n2: hist\r\n\nbeta> "},
        {"a longer command", "status", "status", {reply(0, "up")}, "status\nup\n\nbeta> "},
        {"a shorter one leaves the rest of the longer one behind its NUL",
         "ab",
         "ab" + z + "tus",
         {reply(0, "")},
         "ab\n\n\nbeta> "},
        {"help is a command for the host; statuses 1, 1, 0 print back to back",
         "help",
         "help" + z + "s",
         {reply(1, "one "), reply(1, "two "), reply(0, "three")},
         "help\none two three\n\nbeta> "},
        {"a zero-length datagram ends the reply",
         "x",
         "x" + z + "lp" + z + "s",
         {""},
         "x\n\n\nbeta> "},
        {"a datagram shorter than its status word reads as zero-padded",
         "y",
         "y" + z + "lp" + z + "s",
         {"\x01", reply(0, "done", false)},
         "y\ndone\n\nbeta> "},
        {"reply text without a NUL is printed up to the datagram's end",
         "z",
         "z" + z + "lp" + z + "s",
         {reply(0, t2040, false)},
         "z\n" + t2040 + "\n\nbeta> "},
        {"a line of 2039 characters fills a request",
         L2039,
         L2039,
         {reply(0, "")},
         L2039 + "\n\n\nbeta> "},
        {"a line of 2040 characters is refused",
         L2040,
         std::nullopt,
         {},
         L2040 + "\n[WARNING] command of 2040 characters not sent: a request holds at most 2039\n"
                 "\nbeta> "},
        {"so is one of 3000",
         L3000,
         std::nullopt,
         {},
         L3000 + "\n[WARNING] command of 3000 characters not sent: a request holds at most 2039\n"
                 "\nbeta> "},
        {"exit closes the host's sockets",
         "exit",
         std::nullopt,
         {},
         "exit\nClose Socket : beta\n" + menuAgain},
        {"selecting it again closes nothing more", "beta", std::nullopt, {}, "beta\n\nbeta> "},
        {"status 2 prints the text, closes the host and shows the menu",
         "bye",
         "bye" + z + std::string(2035, 'L'),
         {reply(2, "bye from beta\n")},
         "bye\nbye from beta\nClose Socket : beta\n" + menuAgain},
    };
    for (const Exchange &e : script) {
        SCOPED_TRACE(e.what);
        c.type(e.typed);
        if (e.request) {
            c.expectRequest(1, request(1, *e.request));
            c.answer(1, e.replies);
        }
        EXPECT_EQ(c.screen(e.screen), e.screen);
        EXPECT_TRUE(c.nothingSentTo(1));
    }
    EXPECT_TRUE(c.nothingSentTo(0));
    c.type("exit");
    EXPECT_EQ(c.term.waitExit(kWaitMs), 0);
}

TEST(Console, GroupWithoutPrcsIsPromptedByItsOwnEmptyNameAndCannotBeSentTo) {
    ConsoleRun c(MONITOR_BIN);
    c.configure({"alpha", ""});
    c.start();
    const std::string menuAgain = menu({"alpha", ""});
    EXPECT_EQ(c.screen(menuAgain), c.startScreen());
    c.type("1");
    EXPECT_EQ(c.screen("\n> "), "1\n\n> ");
    // Its address is empty, so every send fails.
    c.type("x");
    EXPECT_EQ(maskErrno(c.screen("\n> ")), "x\n[ERROR] Send UDP message failed , errno : N\n\n> ");
    c.type("exit");
    EXPECT_EQ(c.screen(menuAgain), "exit\nClose Socket : \n" + menuAgain);
    EXPECT_TRUE(c.nothingSentTo(0));
    EXPECT_TRUE(c.nothingSentTo(1));
}

TEST(Console, SilentHostEndsTheConsoleWithStatus3KeepingTheTextSoFar) {
    ConsoleRun c(MONITOR_BIN);
    c.openAndSend("status");
    c.answer(0, {reply(1, "partial ")});
    const auto answered = std::chrono::steady_clock::now();
    EXPECT_EQ(c.screen(""),
              "status\npartial [ERROR] Don't recv response message.... Maybe disconnection....\n");
    EXPECT_EQ(c.term.waitExit(kWaitMs), 3);
    EXPECT_GE(std::chrono::steady_clock::now() - answered, std::chrono::seconds(2));
}

TEST(Console, ScriptedSessionThroughAPipeEndsWithStatus0) {
    ConsoleRun c(MONITOR_BIN);
    c.configure({"alpha"});
    c.start(/*pipes=*/true);
    ASSERT_TRUE(c.term.write("0\nstatus\n"));
    c.term.closeInput();
    c.expectRequest(0, request(0, "status"));
    c.answer(0, {reply(0, "up")});
    // No terminal: nothing typed is echoed, but the line editor shows the line it read.
    EXPECT_EQ(
        c.screen(""),
        c.startScreen() + "\nalpha> status\nup\n\nalpha> Close Socket : alpha\n" + menu({"alpha"}));
    EXPECT_EQ(c.term.waitExit(kWaitMs), 0);
}

}  // namespace
