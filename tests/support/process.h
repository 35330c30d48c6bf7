// Runs a program to completion the way a script would: arguments, extra
// environment entries, standard input from /dev/null; then what it printed
// and its exit status. Also reads a whole file.
#ifndef TESTS_SUPPORT_PROCESS_H
#define TESTS_SUPPORT_PROCESS_H

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

// The whole content of the file at `path`; empty when it cannot be read.
std::string readFile(const std::string &path);

}  // namespace qztest

#endif
