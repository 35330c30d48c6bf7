// Runs a program to completion the way a script would and returns what it
// printed and its exit status. Also the pieces other ways of starting a
// program share (its arguments and environment, its exit status), what a
// running process holds, and whole files read and written at once.
#ifndef TESTS_SUPPORT_PROCESS_H
#define TESTS_SUPPORT_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace qztest {

struct ProcessOptions {
    // "NAME=VALUE" entries added to the inherited environment (see withEntries).
    std::vector<std::string> env;
    // The working directory, where the relative paths below start; empty:
    // this process's.
    std::string dir;
    std::string input;            // the file standard input reads; empty: /dev/null
    std::string output;           // the file standard output goes to (truncated); empty: captured
    bool errorsToOutput = false;  // standard error goes where standard output goes
};

struct ProcessResult {
    // The exit status, 128 + the signal number when a signal ended the
    // program, or -1 when it could not be started.
    int status = -1;
    std::string out;  // what it wrote on standard output, when captured
    std::string err;  // and on standard error, unless sent to standard output
};

// Runs argv[0] (a path, or a name looked up in PATH) with `argv` and waits
// for it to end.
ProcessResult runProcess(const std::vector<std::string> &argv, const ProcessOptions &options = {});
// A program started by startProcess and still to be finished: a test may act
// on it meanwhile (stop and continue it). Its output is read only by
// finishProcess, so it must print less than a pipe holds (64 KiB) until then.
struct StartedProcess {
    pid_t pid = -1;  // -1 when it could not be started
    int out = -1;    // read end of its standard output (-1 when not captured)
    int err = -1;    // and of its standard error
};
// Starts a program as runProcess runs it, without waiting for it.
StartedProcess startProcess(const std::vector<std::string> &argv,
                            const ProcessOptions &options = {});
// Reads what a started program prints until it ends, and waits for it.
ProcessResult finishProcess(StartedProcess process);

// A program this process talks to as it runs (a coprocess): it writes the
// program's standard input and reads its standard output a line at a time.
struct Coprocess {
    pid_t pid = -1;       // -1 when it could not be started
    int in = -1;          // write end of its standard input
    int out = -1;         // read end of its standard output
    std::string pending;  // read from `out` past the last line returned
};
// Starts argv[0] (a path, or a name looked up in PATH) with `argv` as a
// coprocess, its standard error to the file `errors` (truncated), or to
// /dev/null when that is empty.
Coprocess startCoprocess(const std::vector<std::string> &argv, const std::string &errors = "");
// Writes all of `bytes` to its standard input; false when that fails (it
// has ended, say), without a SIGPIPE reaching this process.
bool writeTo(Coprocess &coprocess, const std::string &bytes);
// Its next line, without the line end, waiting at most `timeoutMs` for the
// line to be complete; false at the end of its output or when the time is
// up, `line` then holding what came of it.
bool readLine(Coprocess &coprocess, std::string &line, int timeoutMs);
// Closes its standard input, reads the rest of its standard output (after
// what readLine returned) and waits for it to end.
ProcessResult finishCoprocess(Coprocess &coprocess);

// Runs the shell command line `line` with /bin/sh, as runProcess does.
ProcessResult runShell(const std::string &line, const ProcessOptions &options = {});
// `text` as one word of a shell command line, whatever its characters.
std::string shellQuoted(const std::string &text);

// `base` without the entries whose names `extra` sets, followed by `extra`:
// "NAME=VALUE" entries, as a program's environment is given.
std::vector<std::string> withEntries(const std::vector<std::string> &base,
                                     const std::vector<std::string> &extra);

// A program's arguments and environment (this process's, with `extraEnv`
// added by withEntries) as exec takes them. Not copyable: argv and envp
// point into args and env.
struct ExecArgs {
    ExecArgs(const std::vector<std::string> &arguments, const std::vector<std::string> &extraEnv);
    ExecArgs(const ExecArgs &) = delete;
    ExecArgs &operator=(const ExecArgs &) = delete;

    std::vector<std::string> args, env;
    std::vector<char *> argv, envp;  // each ends with a null pointer
};

// A status from waitpid as ProcessResult::status reports it.
int exitStatus(int waitStatus);

// The figure in KiB of a field of /proc/PID/status ("VmRSS", "VmHWM"), or -1.
long statusKiB(pid_t pid, const char *field);
// How many descriptors process `pid` has open, or -1 when that cannot be read.
int openDescriptors(pid_t pid);

// The whole content of the file at `path`; empty when it cannot be read.
std::string readFile(const std::string &path);
// Writes `bytes` to the file at `path`, replacing it; false when that fails.
bool writeFile(const std::string &path, const std::string &bytes);

}  // namespace qztest

#endif
