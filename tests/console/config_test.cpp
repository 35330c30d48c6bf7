// The host file loader: what it keeps, what it prints, and how it copes with
// content that does not fit its fixed-size records.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "cmd_config.h"
#include "console_formats.h"
#include "temp_dir.h"

namespace {

using qztest::kHostHeading;
using qztest::TempDir;
using namespace std::string_literals;

std::string replaceAll(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// Loads `path` as a freshly started console would (maxHost starts at 0) and
// returns what the loader printed.
std::string load(const std::string &path) {
    maxHost = 0;
    testing::internal::CaptureStdout();
    initConfig(path.c_str());
    return testing::internal::GetCapturedStdout();
}

// The loaded records, one "index name ipAddr rxPort txPort" line each.
std::vector<std::string> loadedHosts() {
    std::vector<std::string> hosts;
    for (int p = 0; p < maxHost; ++p) {
        const CmdCfgRecord &r = stCmdCfgInfo[p];
        hosts.push_back(std::to_string(r.index) + " " + r.name + " " + r.ipAddr + " " +
                        std::to_string(r.rxPort) + " " + std::to_string(r.txPort));
    }
    return hosts;
}

// A host file of `count` complete groups h0, h1, ... with ports 1000+i (the
// host's TXPORT) and 2000+i (its RXPORT).
std::string groups(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += qztest::hostGroup("h" + std::to_string(i), 1000 + i, 2000 + i);
    }
    return text;
}

// The printed table of the hosts `groups(count)` defines.
std::string groupsTable(int count) {
    std::string table = kHostHeading;
    for (int i = 0; i < count; ++i) {
        table += qztest::hostRow(i, "h" + std::to_string(i), "127.0.0.1", 1000 + i, 2000 + i);
    }
    return table + "\n";
}

std::vector<std::string> groupsHosts(int count) {
    std::vector<std::string> hosts;
    for (int i = 0; i < count; ++i) {
        hosts.push_back(std::to_string(i) + " h" + std::to_string(i) + " 127.0.0.1 " +
                        std::to_string(2000 + i) + " " + std::to_string(1000 + i));
    }
    return hosts;
}

struct LoadCase {
    const char *what;
    std::string file;
    std::string printed;             // "{P}" stands for the file's path
    std::vector<std::string> hosts;  // as loadedHosts() shows them
};

TEST(HostFileLoader, KeepsAndPrintsWhatEachFileDescribes) {
    const std::string pad250(250, ' ');
    const std::string n70(70, 'n');
    const std::string k70(70, 'K');
    const std::vector<LoadCase> cases = {
        {"two hosts, LOCIP ignored, EOF ends the file",
         "# console hosts\nQZ_CMD_LOCIP=127.0.0.9\n\nQZ_CMD_PRCS=alpha\nQZ_CMD_TXPORT=17101\n"
         "QZ_CMD_RXPORT=17001\nQZ_CMD_PRCS=beta\nQZ_CMD_TXPORT=17102\nQZ_CMD_RXPORT=17002\nEOF\n",
         std::string(kHostHeading) + "  0   alpha       127.0.0.1        17101    17001 \n"
                                     "  1   beta        127.0.0.1        17102    17002 \n\n",
         {"0 alpha 127.0.0.1 17001 17101", "1 beta 127.0.0.1 17002 17102"}},
        {"TXPORT before PRCS, blanks instead of '='",
         "QZ_CMD_TXPORT 5001\nQZ_CMD_PRCS alpha\nQZ_CMD_RXPORT 5002\n",
         std::string(kHostHeading) + "  0   alpha       127.0.0.1        5001     5002  \n\n",
         {"0 alpha 127.0.0.1 5002 5001"}},
        {"a second PRCS renames the record",
         "QZ_CMD_PRCS=first\nQZ_CMD_PRCS=second\nQZ_CMD_TXPORT=1\nQZ_CMD_RXPORT=2\n",
         std::string(kHostHeading) + "  0   second      127.0.0.1        1        2     \n\n",
         {"0 second 127.0.0.1 2 1"}},
        {"a group without PRCS has index 0 and no name or address",
         "QZ_CMD_PRCS=alpha\nQZ_CMD_TXPORT=10\nQZ_CMD_RXPORT=11\nQZ_CMD_TXPORT=20\nQZ_CMD_RXPORT="
         "21\n",
         std::string(kHostHeading) +
             "  0   alpha       127.0.0.1        10       11    \n"
             "  0" +
             std::string(32, ' ') + "20       21    \n\n",
         {"0 alpha 127.0.0.1 11 10", "0   21 20"}},
        {"'#' lines and lines of two characters are ignored, three are parsed",
         "#QZ_CMD_PRCS=ghost\n# QZ_CMD_RXPORT=1\nQZ_CMD_PRCS=abc\nab\n#QZ_CMD_RXPORT=3\n"
         "QZ_CMD_RXPORT=4\nEOF\nQZ_CMD_RXPORT=5\n",
         std::string(kHostHeading) + "  0   abc         127.0.0.1        0        4     \n\n",
         {"0 abc 127.0.0.1 4 0"}},
        {"words after the value are ignored",
         "QZ_CMD_PRCS = alpha extra\nQZ_CMD_RXPORT = 9 10\n",
         std::string(kHostHeading) + "  0   alpha       127.0.0.1        0        9     \n\n",
         {"0 alpha 127.0.0.1 9 0"}},
        {"PRCS followed by EOF completes no host",
         "QZ_CMD_PRCS=alpha\nEOF\nQZ_CMD_RXPORT=1\n",
         std::string(kHostHeading) + "\n",
         {}},
        {"lines after EOF are not read",
         "QZ_CMD_PRCS=alpha\nQZ_CMD_RXPORT=1\nEOF\nQZ_CMD_PRCS=late\nQZ_CMD_RXPORT=2\n",
         std::string(kHostHeading) + "  0   alpha       127.0.0.1        0        1     \n\n",
         {"0 alpha 127.0.0.1 1 0"}},
        {"a last line without '\\n' counts",
         "QZ_CMD_PRCS=alpha\nQZ_CMD_RXPORT=9",
         std::string(kHostHeading) + "  0   alpha       127.0.0.1        0        9     \n\n",
         {"0 alpha 127.0.0.1 9 0"}},
        {"CR-LF lines parse like plain ones",
         "QZ_CMD_PRCS=alpha\r\nQZ_CMD_TXPORT=1\r\nQZ_CMD_RXPORT=2\r\nEOF\r\nQZ_CMD_RXPORT=3\r\n",
         std::string(kHostHeading) + "  0   alpha       127.0.0.1        1        2     \n\n",
         {"0 alpha 127.0.0.1 2 1"}},
        {"ports: 0 and 65535 are fine, others are kept with a warning, words are 0",
         "QZ_CMD_PRCS=a\nQZ_CMD_TXPORT=99999999999\nQZ_CMD_RXPORT=-1\n"
         "QZ_CMD_PRCS=b\nQZ_CMD_TXPORT=port\nQZ_CMD_RXPORT=65535\n"
         "QZ_CMD_PRCS=c\nQZ_CMD_TXPORT=65536\nQZ_CMD_RXPORT=+0\n",
         "[WARNING] {P}:2: QZ_CMD_TXPORT 2147483647 is outside 0..65535\n"
         "[WARNING] {P}:3: QZ_CMD_RXPORT -1 is outside 0..65535\n"
         "[WARNING] {P}:8: QZ_CMD_TXPORT 65536 is outside 0..65535\n" +
             std::string(kHostHeading) +
             "  0   a           127.0.0.1        2147483647   -1    \n"
             "  1   b           127.0.0.1        0        65535 \n"
             "  2   c           127.0.0.1        65536    0     \n\n",
         {"0 a 127.0.0.1 -1 2147483647", "1 b 127.0.0.1 65535 0", "2 c 127.0.0.1 0 65536"}},
        {"the rest of a line past 255 characters is dropped, not read as a line",
         "QZ_CMD_PRCS=alpha" + pad250 + "QZ_CMD_RXPORT=9\nQZ_CMD_RXPORT=7\n",
         "[WARNING] {P}:1: line longer than 255 characters, the rest is ignored\n" +
             std::string(kHostHeading) + "  0   alpha       127.0.0.1        0        7     \n\n",
         {"0 alpha 127.0.0.1 7 0"}},
        {"keys and values past 63 characters are cut, names past 9",
         "QZ_CMD_PRCS=" + n70 + "\n" + k70 +
             "=1\nQZ_CMD_RXPORT=5\n"
             "QZ_CMD_PRCS=abcdefghi\nQZ_CMD_RXPORT=6\nQZ_CMD_PRCS=abcdefghij\nQZ_CMD_RXPORT=7\n",
         "[WARNING] {P}:1: word longer than 63 characters, cut\n"
         "[WARNING] {P}:1: host name longer than 9 characters, cut\n"
         "[WARNING] {P}:2: word longer than 63 characters, cut\n"
         "[WARNING] {P}:6: host name longer than 9 characters, cut\n" +
             std::string(kHostHeading) +
             "  0   nnnnnnnnn   127.0.0.1        0        5     \n"
             "  1   abcdefghi   127.0.0.1        0        6     \n"
             "  2   abcdefghi   127.0.0.1        0        7     \n\n",
         {"0 nnnnnnnnn 127.0.0.1 5 0", "1 abcdefghi 127.0.0.1 6 0", "2 abcdefghi 127.0.0.1 7 0"}},
        {"twenty hosts fill the table", groups(20), groupsTable(20), groupsHosts(20)},
        {"a group past the twentieth is ignored with a warning", groups(21),
         "[WARNING] {P}: 1 host group past the first 20 ignored\n" + groupsTable(20),
         groupsHosts(20)},
        {"so are more, with one warning", groups(25),
         "[WARNING] {P}: 5 host groups past the first 20 ignored\n" + groupsTable(20),
         groupsHosts(20)},
    };

    for (const LoadCase &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.write("cmd.cfg", c.file);
        EXPECT_EQ(load(path), replaceAll(c.printed, "{P}", path));
        EXPECT_EQ(loadedHosts(), c.hosts);
    }
}

TEST(HostFileLoader, PrintsOnlyTheMessageWhenTheFileIsMissing) {
    TempDir dir;
    const std::string path = dir.file("cmd.cfg");
    EXPECT_EQ(load(path), "can't found configfile=" + path + ",\n");
    EXPECT_EQ(maxHost, 0);
}

struct HostileFile {
    const char *what;
    // Creates the host file in the directory and returns its path.
    std::function<std::string(const TempDir &)> make;
    std::string printed;  // "{P}" stands for the path
    std::vector<std::string> hosts;
};

std::function<std::string(const TempDir &)> content(const std::string &text) {
    return [text](const TempDir &dir) { return dir.write("cmd.cfg", text); };
}

std::function<std::string(const TempDir &)> symlinkTo(const std::string &target) {
    return [target](const TempDir &dir) {
        const std::string path = dir.file("cmd.cfg");
        EXPECT_EQ(symlink(target.c_str(), path.c_str()), 0);
        return path;
    };
}

// `size` bytes of comment lines, none longer than the loader reads whole.
std::string commentLines(size_t size) {
    std::string text;
    while (text.size() < size) {
        const size_t line = std::min<size_t>(size - text.size(), CMD_CFG_LINE_LEN);
        text += (line > 1 ? "#" + std::string(line - 2, 'x') : "") + "\n";
    }
    return text;
}

std::string repeat(const std::string &text, int count) {
    std::string all;
    for (int i = 0; i < count; ++i) all += text;
    return all;
}

TEST(HostFileLoader, SurvivesHostileFilesKeepingEveryCompleteHost) {
    std::string everyByte;
    for (int b = 0; b < 256; ++b) everyByte += static_cast<char>(b);
    const std::string high(10000, '\xC1'), n10k(10000, 'n');
    const std::string alpha = "QZ_CMD_PRCS=alpha\nQZ_CMD_TXPORT=5\nQZ_CMD_RXPORT=6\n";
    const std::string alphaRow = "  0   alpha       127.0.0.1        5        6     \n";
    const std::string heading = kHostHeading;
    const std::string notRegular = "[WARNING] {P}: not a regular file, not read\n" + heading + "\n";
    const std::string missing = "can't found configfile={P},\n";
    const std::string bound = "[WARNING] {P}: more than 1 MiB or 10000 lines, the rest not read\n";
    const size_t MiB = 1024 * 1024;
    // Cut after "RXPORT=6" it would pass for alpha.
    const std::string alpha60 = "QZ_CMD_PRCS=alpha\nQZ_CMD_TXPORT=5\nQZ_CMD_RXPORT=60\n";
    const std::vector<HostileFile> cases = {
        {"empty file", content(""), heading + "\n", {}},
        {"every byte value, then a host",
         content(everyByte + "\n" + alpha),
         heading + alphaRow + "\n",
         {"0 alpha 127.0.0.1 6 5"}},
        {"10,000 bytes 0xC1 between two hosts",
         content(groups(1) + high + "\n" + alpha),
         "[WARNING] {P}:4: line longer than 255 characters, the rest is ignored\n"
         "[WARNING] {P}:4: word longer than 63 characters, cut\n" +
             heading + "  0   h0          127.0.0.1        1000     2000  \n" +
             "  1   alpha       127.0.0.1        5        6     \n\n",
         {"0 h0 127.0.0.1 2000 1000", "1 alpha 127.0.0.1 6 5"}},
        {"10,000-character name, comment and unterminated last line",
         content("#" + n10k + "\nQZ_CMD_PRCS=" + n10k + "\nQZ_CMD_TXPORT=5\nQZ_CMD_RXPORT=6\n" +
                 n10k),
         "[WARNING] {P}:2: line longer than 255 characters, the rest is ignored\n"
         "[WARNING] {P}:2: word longer than 63 characters, cut\n"
         "[WARNING] {P}:2: host name longer than 9 characters, cut\n"
         "[WARNING] {P}:5: line longer than 255 characters, the rest is ignored\n"
         "[WARNING] {P}:5: word longer than 63 characters, cut\n" +
             heading + "  0   nnnnnnnnn   127.0.0.1        5        6     \n\n",
         {"0 nnnnnnnnn 127.0.0.1 6 5"}},
        {"NUL bytes end a line's text",
         content("\0QZ_CMD_PRCS=ghost\nQZ_CMD_PRCS=al\0pha\nQZ_CMD_TXPORT=1\0002\n"
                 "QZ_CMD_RXPORT=\0003\n"s),
         heading + "  0   al          127.0.0.1        1        0     \n\n",
         {"0 al 127.0.0.1 0 1"}},
        {"1,000 hosts", content(groups(1000)),
         "[WARNING] {P}: 980 host groups past the first 20 ignored\n" + groupsTable(20),
         groupsHosts(20)},
        {"huge negative, hexadecimal and suffixed ports",
         content("QZ_CMD_PRCS=a\nQZ_CMD_TXPORT=-99999999999\nQZ_CMD_RXPORT=0x1F\n"
                 "QZ_CMD_PRCS=b\nQZ_CMD_TXPORT=12abc\nQZ_CMD_RXPORT=-0\n"),
         "[WARNING] {P}:2: QZ_CMD_TXPORT -2147483648 is outside 0..65535\n" + heading +
             "  0   a           127.0.0.1        -2147483648   0     \n"
             "  1   b           127.0.0.1        12       0     \n\n",
         {"0 a 127.0.0.1 0 -2147483648", "1 b 127.0.0.1 0 12"}},
        {"duplicate names are both kept",
         content(alpha + alpha),
         heading + alphaRow + "  1" + alphaRow.substr(3) + "\n",
         {"0 alpha 127.0.0.1 6 5", "1 alpha 127.0.0.1 6 5"}},
        {"a byte-order mark hides the first key",
         content("\xEF\xBB\xBF" + alpha),
         heading + "  0" + std::string(32, ' ') + "5        6     \n\n",
         {"0   6 5"}},
        {"carriage returns alone do not end lines",
         content("QZ_CMD_PRCS=a\rQZ_CMD_TXPORT=1\rQZ_CMD_RXPORT=2\r"),
         heading + "\n",
         {}},
        {"a directory", [](const TempDir &dir) { return dir.makeDir("cmd.cfg"); }, notRegular, {}},
        {"a FIFO without a writer",
         [](const TempDir &dir) {
             const std::string path = dir.file("cmd.cfg");
             EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
             return path;
         },
         notRegular,
         {}},
        {"a device that never ends", symlinkTo("/dev/zero"), notRegular, {}},
        {"a link to /proc/self/pagemap: 256 GiB that stat calls regular",
         symlinkTo("/proc/self/pagemap"),
         bound + heading + "\n",
         {}},
        {"10,000 lines, a host in the last three",
         content(repeat("#\n", 9997) + alpha),
         heading + alphaRow + "\n",
         {"0 alpha 127.0.0.1 6 5"}},
        {"10,001 lines: the one completing the host is not read",
         content(repeat("#\n", 9998) + alpha),
         bound + heading + "\n",
         {}},
        {"1 MiB to the byte, a host at its end",
         content(commentLines(MiB - alpha.size()) + alpha),
         heading + alphaRow + "\n",
         {"0 alpha 127.0.0.1 6 5"}},
        {"past 1 MiB: the line the bound cuts is not read, though it would parse",
         content(commentLines(MiB + 2 - alpha60.size()) + alpha60),
         bound + heading + "\n",
         {}},
        {"EOF before the bound ends the file without a warning",
         content(alpha + "EOF\n" + commentLines(2 * MiB)),
         heading + alphaRow + "\n",
         {"0 alpha 127.0.0.1 6 5"}},
        {"a dangling link", symlinkTo("nowhere"), missing, {}},
        {"a link to itself", symlinkTo("cmd.cfg"), missing, {}},
        {"a path through a file",
         [&alpha](const TempDir &dir) { return dir.write("cmd.cfg", alpha) + "/cmd.cfg"; },
         missing,
         {}},
        {"a file without read permission",
         [&alpha](const TempDir &dir) {
             const std::string path = dir.write("cmd.cfg", alpha);
             EXPECT_EQ(chmod(path.c_str(), 0), 0);
             return path;
         },
         missing,
         {}},
    };
    for (const HostileFile &c : cases) {
        SCOPED_TRACE(c.what);
        if (geteuid() == 0 && std::string(c.what) == "a file without read permission") {
            continue;  // root reads it anyway
        }
        TempDir dir;
        const std::string path = c.make(dir);
        // Should the loader wait or spin, the alarm's default action ends the
        // test program instead of hanging it.
        alarm(10);
        EXPECT_EQ(load(path), replaceAll(c.printed, "{P}", path));
        alarm(0);
        EXPECT_EQ(loadedHosts(), c.hosts);
    }
}

TEST(HostFileLoader, ReadsOnePhysicalLineAndTellsWhetherItIsSignificant) {
    struct {
        std::string input;
        std::string line;
        int significant;
        bool cut;
    } const cases[] = {
        {"\n", "", 0, false},
        {"ab\n", "ab", 0, false},
        {"abc\n", "abc", 1, false},
        {"  x\n", "  x", 1, false},
        {"#abc\n", "#abc", 0, false},
        {std::string(255, 'x') + "\n", std::string(255, 'x'), 1, false},
        {std::string(256, 'x') + "\n", std::string(255, 'x'), 1, true},
        {std::string(300, 'x') + "\n", std::string(255, 'x'), 1, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.input.substr(0, 8) + "... of " + std::to_string(c.input.size()));
        const std::string text = c.input + "next\n";
        FILE *in = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
        ASSERT_NE(in, nullptr);
        char buffer[CMD_CFG_LINE_LEN];
        bool cut = !c.cut;
        EXPECT_EQ(cmd_readLine(in, buffer, sizeof buffer, &cut), c.significant);
        EXPECT_EQ(buffer, c.line);
        EXPECT_EQ(cut, c.cut);
        // The following physical line comes next, whole.
        EXPECT_EQ(cmd_readLine(in, buffer, sizeof buffer), 1);
        EXPECT_STREQ(buffer, "next");
        fclose(in);
    }
}

}  // namespace
