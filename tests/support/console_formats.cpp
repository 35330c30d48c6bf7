#include "console_formats.h"

#include <cstdio>

namespace qztest {
namespace {

template <typename Word>
std::string bytesOf(Word word) {
    return std::string(reinterpret_cast<const char *>(&word), sizeof word);
}

}  // namespace

const char kHostHeading[] = " IDX  HOST        IPADDR           RXPORT  TXPORT\n";

std::string hostGroup(const std::string &name, int txPort, int rxPort) {
    return (name.empty() ? "" : "QZ_CMD_PRCS=" + name + "\n") +
           "QZ_CMD_TXPORT=" + std::to_string(txPort) + "\n" +
           "QZ_CMD_RXPORT=" + std::to_string(rxPort) + "\n";
}

std::string hostRow(int index, const std::string &name, const std::string &address, int txPort,
                    int rxPort) {
    char row[128];
    snprintf(row, sizeof row, " %2d   %-10s  %-16s %-6d   %-6d\n", index, name.c_str(),
             address.c_str(), txPort, rxPort);
    return row;
}

std::string reply(uint32_t status, const std::string &text, bool terminated, uint32_t index) {
    return bytesOf(status) + bytesOf(index) + text + (terminated ? std::string(1, '\0') : "");
}

std::string request(int32_t hostIndex, const std::string &text) {
    return bytesOf(int32_t{0}) + bytesOf(hostIndex) + text +
           std::string(kTextLen - text.size(), '\0');
}

}  // namespace qztest
