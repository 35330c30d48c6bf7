// The console's formats as its tests and benchmarks build them: the groups of
// its host file, the host table it prints, and the datagrams a host receives
// and sends. Words are in this machine's byte order, as the console sends them.
#ifndef TESTS_SUPPORT_CONSOLE_FORMATS_H
#define TESTS_SUPPORT_CONSOLE_FORMATS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace qztest {

constexpr size_t kRequestLen = 2048;
constexpr size_t kTextLen = kRequestLen - 8;
extern const char kHostHeading[];  // the host table's first line

// The host file's lines for one host; an empty name leaves out the PRCS line.
std::string hostGroup(const std::string &name, int txPort, int rxPort);
// A row of the host table; the ports appear in the order of the host file.
std::string hostRow(int index, const std::string &name, const std::string &address, int txPort,
                    int rxPort);

// A reply: the status word, the index word (which the console ignores), then
// the text and, unless `terminated` is false, its NUL.
std::string reply(uint32_t status, const std::string &text, bool terminated = true,
                  uint32_t index = 0);
// A request: msgType 0, the host's index, then the text field whose bytes up
// to the last non-zero one are `text` (at most kTextLen bytes).
std::string request(int32_t hostIndex, const std::string &text);

}  // namespace qztest

#endif
