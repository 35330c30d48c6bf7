#include "console_run.h"

#include <gtest/gtest.h>

#include <cctype>

#include "process.h"

namespace qztest {

const char kMenuPrompt[] = "\nqzCmd> ";
const char kTimedOut[] = "[ERROR] Don't recv response message.... Maybe disconnection....\n";

std::string unixLines(std::string text) {
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
        text.erase(at, 1);
    }
    return text;
}

std::string menu(const std::vector<std::string> &names) {
    std::string text = "\n QZCMD_LIST\n";
    for (size_t p = 0; p < names.size(); ++p) {
        text += (p < 10 ? "  " : " ") + std::to_string(p) + ". " + names[p] + "\n";
    }
    return text + "\n" + kMenuPrompt;
}

std::string droppedFrom(int count, const std::string &address) {
    return "[WARNING] " + std::to_string(count) + (count == 1 ? " datagram" : " datagrams") +
           " from " + address + (count == 1 ? " was" : " were") + " dropped: not from the host\n";
}

std::string maskErrno(std::string text) {
    const std::string label = "errno : ";
    for (size_t at = text.find(label); at != std::string::npos; at = text.find(label, at)) {
        at += label.size();
        size_t end = at;
        while (end < text.size() && isdigit(static_cast<unsigned char>(text[end]))) ++end;
        text.replace(at, end - at, "N");
    }
    return text;
}

void ConsoleRun::configure(const std::vector<std::string> &names) {
    names_ = names;
    std::string file = "QZ_CMD_LOCIP=127.0.0.1\n";
    for (const std::string &name : names) {
        hosts_.push_back(std::make_unique<UdpPeer>());
        ASSERT_TRUE(hosts_.back()->ok());
        txPorts_.push_back(freeUdpPort());
        file += hostGroup(name, txPorts_.back(), hosts_.back()->port());
    }
    dir_.write("cfg/cmd.cfg", file + "EOF\n");
}

void ConsoleRun::start(bool pipes, const std::vector<std::string> &env) {
    dir_.makeDir("run");
    PtySession::Options options;
    // Long lines echo as they are, without scrolling: the terminal is as wide
    // as it gets, and without one the line editor takes COLUMNS.
    options.env =
        withEntries({"TERM=dumb", "INPUTRC=/dev/null", "LC_ALL=C", "COLUMNS=200000"}, env);
    options.columns = 65535;
    options.pipes = pipes;
    options_ = options;
    ASSERT_TRUE(term.start({program_}, dir_.file("run"), options));
}

void ConsoleRun::startAnother(PtySession *other) {
    ASSERT_TRUE(other->start({program_}, dir_.file("run"), options_));
}

std::string ConsoleRun::startScreen() const {
    std::string text = kHostHeading;
    for (size_t p = 0; p < names_.size(); ++p) {
        const bool named = !names_[p].empty();
        text += hostRow(named ? int(p) : 0, names_[p], named ? "127.0.0.1" : "", txPorts_[p],
                        hosts_[p]->port());
    }
    return text + "\n" + menu(names_);
}

std::string ConsoleRun::screen(const std::string &expected) {
    const size_t lastLine = expected.rfind('\n');
    const std::string tail = lastLine == std::string::npos ? expected : expected.substr(lastLine);
    if (tail.size() >= 2 && tail.compare(tail.size() - 2, 2, "> ") == 0) return screenUpTo(tail);
    term.readToEnd(2 * kWaitMs);  // wide of the 3-second reply timeout
    return unixLines(term.takeOutput());
}

std::string ConsoleRun::screenUpTo(const std::string &expected) {
    term.readUntil(
        [&expected](const std::string &raw) {
            const std::string shown = unixLines(raw);
            return shown.size() >= expected.size() &&
                   shown.compare(shown.size() - expected.size(), expected.size(), expected) == 0;
        },
        kWaitMs);
    return unixLines(term.takeOutput());
}

void ConsoleRun::type(const std::string &line) {
    ASSERT_TRUE(term.write(line + "\n"));
}

void ConsoleRun::openAndSend(const std::string &command) {
    configure({"alpha"});
    start();
    EXPECT_EQ(screen(menu({"alpha"})), startScreen());
    type("0");
    EXPECT_EQ(screen("0\n\nalpha> "), "0\n\nalpha> ");
    type(command);
    expectRequest(0, request(0, command));
}

void ConsoleRun::expectRequest(size_t h, const std::string &expected) {
    std::string got;
    ASSERT_TRUE(hosts_[h]->receive(&got, kWaitMs)) << "no request arrived";
    EXPECT_EQ(got.size(), kRequestLen);
    EXPECT_EQ(got, expected);
}

void ConsoleRun::answer(size_t h, const std::vector<std::string> &datagrams) {
    for (const std::string &d : datagrams) ASSERT_TRUE(hosts_[h]->sendTo(txPorts_[h], d));
}

bool ConsoleRun::nothingSentTo(size_t h) {
    std::string got;
    return !hosts_[h]->receive(&got, 0);
}

}  // namespace qztest
