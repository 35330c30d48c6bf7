// Runs a program to completion the way a script would: arguments, extra
// environment entries, standard input from /dev/null; then what it printed
// and its exit status. Or starts one, to finish it later. Also reads a whole
// file.
#ifndef TESTS_SUPPORT_PROCESS_H
#define TESTS_SUPPORT_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace qztest {

struct ProcessResult {
    // The exit status, 128 + the signal number when a signal ended the
    // program, or -1 when it could not be started.
    int status = -1;
    std::string out;  // what it wrote on standard output (unless sent to a file)
    std::string err;  // and on standard error
};

// Runs argv[0] (a path, or a name looked up in PATH) with `argv` and waits
// for it to end. `env` entries "NAME=VALUE" are added to the inherited
// environment, replacing entries of the same name. Standard output goes to
// the file `outputPath` (truncated) when one is given, and is captured
// otherwise; standard error is always captured.
ProcessResult runProcess(const std::vector<std::string> &argv,
                         const std::vector<std::string> &env = {},
                         const std::string &outputPath = "");

// A program started by startProcess and still to be finished: a test may act
// on it meanwhile (stop and continue it). Its output is read only by
// finishProcess, so it must print less than a pipe holds (64 KiB) until then.
struct StartedProcess {
    pid_t pid = -1;  // -1 when it could not be started
    int out = -1;    // read ends of its standard output (-1 when sent to a file)
    int err = -1;    // and of its standard error
};

// Starts a program as runProcess runs it, without waiting for it.
StartedProcess startProcess(const std::vector<std::string> &argv,
                            const std::vector<std::string> &env = {},
                            const std::string &outputPath = "");

// Reads what a started program prints until it ends, and waits for it.
ProcessResult finishProcess(StartedProcess process);

// The whole content of the file at `path`; empty when it cannot be read.
std::string readFile(const std::string &path);

}  // namespace qztest

#endif
