// Runs a program as an operator would: under a pseudo-terminal of its own
// (or, for scripted runs, with plain pipes as standard input and output),
// lets a test type into it, read what it prints with a deadline and collect
// its exit status. The child is killed and reaped when the session ends.
#ifndef TESTS_SUPPORT_PTY_SESSION_H
#define TESTS_SUPPORT_PTY_SESSION_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace qztest {

class PtySession {
  public:
    struct Options {
        // "NAME=VALUE" entries added to (or replacing in) the inherited environment.
        std::vector<std::string> env;
        // Size of the terminal the program sees.
        unsigned short columns = 80;
        unsigned short rows = 24;
        // Plain pipes instead of a terminal: standard input is a pipe the
        // session writes to, standard output and error share one pipe.
        bool pipes = false;
    };

    // Exit status reported by waitExit() when the program is still running.
    static constexpr int kRunning = -1;

    PtySession() = default;
    ~PtySession();
    PtySession(const PtySession &) = delete;
    PtySession &operator=(const PtySession &) = delete;

    // Starts argv[0] (a path) with `argv` in the working directory `dir`.
    // Returns false when the program could not be started.
    bool start(const std::vector<std::string> &argv, const std::string &dir,
               const Options &options);
    bool start(const std::vector<std::string> &argv, const std::string &dir) {
        return start(argv, dir, Options());
    }

    // Types `bytes`, reading the program's output meanwhile so that neither
    // side can block the other. Returns false when the input is closed.
    bool write(const std::string &bytes);
    // Pipes only: closes standard input, so the program reads end of input.
    void closeInput();
    // Terminal only: closes the terminal, as when the operator's window goes
    // away; the program gets a hang-up. Its output can no longer be read.
    void hangUp();

    // Reads output until `done(output())` holds, the program closes its
    // output, or `timeoutMs` passes. Returns whether `done` held.
    bool readUntil(const std::function<bool(const std::string &)> &done, int timeoutMs);
    // Reads until the output contains `needle`.
    bool readUntil(const std::string &needle, int timeoutMs);
    // Reads until the program closes its output (normally: it exited).
    bool readToEnd(int timeoutMs);

    // Everything read and not yet taken, byte for byte as the terminal sent it.
    const std::string &output() const { return output_; }
    // Returns output() and forgets it, so the next read starts afresh.
    std::string takeOutput();

    // Waits up to `timeoutMs` for the program to end, still collecting its
    // output. Returns its exit status, 128 + the signal number when a signal
    // ended it, or kRunning.
    int waitExit(int timeoutMs);
    // Kills the program (if still running) and reaps it.
    void kill();

    pid_t pid() const { return pid_; }

  private:
    // Reads what is available within `timeoutMs`; returns false at end of output.
    bool readSome(int timeoutMs);
    bool reap(int options);

    pid_t pid_ = -1;
    int fd_ = -1;       // terminal master, or the output pipe
    int inputFd_ = -1;  // the input pipe (pipes only; the master otherwise)
    bool ended_ = false;
    int status_ = kRunning;
    std::string output_;
};

}  // namespace qztest

#endif
