// Arbitrary bytes as the host file: the loader must never overrun its table
// or fields, whatever the file holds.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cmd_config.h"
#include "cmd_udpcomm.h"
#include "fuzz_require.h"
#include "process.h"
#include "temp_dir.h"

namespace {
const qztest::TempDir dir;
const std::string hostFilePath = dir.file("cmd.cfg");
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The loader reports on standard output; the fuzzer's own output is on stderr.
    if (!freopen("/dev/null", "w", stdout)) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size) {
    require(
        qztest::writeFile(hostFilePath, std::string(reinterpret_cast<const char *>(data), size)),
        "the input is written");

    maxHost = 0;  // the count only grows within one process; start each input afresh
    initConfig(hostFilePath.c_str());
    initUdpCommInfo();

    require(maxHost >= 0 && maxHost <= CMD_MAX_HOST, "host count within the table");
    for (int p = 0; p < CMD_MAX_HOST; ++p) {
        const CmdCfgRecord &r = stCmdCfgInfo[p];
        require(memchr(r.name, '\0', sizeof r.name) != nullptr, "name terminated");
        require(memchr(r.ipAddr, '\0', sizeof r.ipAddr) != nullptr, "address terminated");
        require(memchr(CmdInfo[p].name, '\0', sizeof CmdInfo[p].name) != nullptr,
                "endpoint name terminated");
        require(r.index == 0 || r.index == p, "index is the position or 0");
        if (p > maxHost) {  // record maxHost may hold an unfinished group
            require(r.name[0] == '\0' && r.rxPort == 0 && r.txPort == 0, "unused record empty");
        }
    }
    unlink(hostFilePath.c_str());
    return 0;
}
