#include "pty_session.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "process.h"

namespace qztest {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// In the child: enter `dir` and run the program; never returns.
[[noreturn]] void execIn(const char *dir, char **argv, char **envp) {
    if (chdir(dir) == 0) execve(argv[0], argv, envp);
    _exit(127);
}

}  // namespace

PtySession::~PtySession() {
    kill();
    if (fd_ >= 0) close(fd_);
    if (inputFd_ >= 0 && inputFd_ != fd_) close(inputFd_);
}

bool PtySession::start(const std::vector<std::string> &argv, const std::string &dir,
                       const Options &options) {
    if (pid_ > 0 || argv.empty()) return false;
    // Everything the child needs is prepared before the fork.
    ExecArgs exec(argv, options.env);

    if (options.pipes) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) < 0) return false;
        if (pipe2(out, O_CLOEXEC) < 0) {
            close(in[0]);
            close(in[1]);
            return false;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            execIn(dir.c_str(), exec.argv.data(), exec.envp.data());
        }
        close(in[0]);
        close(out[1]);
        if (pid_ < 0) {
            close(in[1]);
            close(out[0]);
            return false;
        }
        inputFd_ = in[1];
        fd_ = out[0];
        // Writing to a program that already ended must fail, not kill the test.
        signal(SIGPIPE, SIG_IGN);
    } else {
        winsize size{};
        size.ws_col = options.columns;
        size.ws_row = options.rows;
        int master = -1;
        pid_ = forkpty(&master, nullptr, nullptr, &size);
        if (pid_ == 0) execIn(dir.c_str(), exec.argv.data(), exec.envp.data());
        if (pid_ < 0) return false;
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fd_ = inputFd_ = master;
    }
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    fcntl(inputFd_, F_SETFL, fcntl(inputFd_, F_GETFL) | O_NONBLOCK);
    return true;
}

bool PtySession::write(const std::string &bytes) {
    // A program that stops reading for this long is not going to read it.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    const bool terminal = inputFd_ == fd_;
    size_t done = 0;
    while (done < bytes.size()) {
        if (inputFd_ < 0 || (terminal && ended_) || remainingMs(deadline) == 0) return false;
        pollfd p[2] = {{inputFd_, POLLOUT, 0}, {fd_, POLLIN, 0}};
        nfds_t count = ended_ ? 1 : 2;
        if (terminal) {
            p[0].events |= POLLIN;
            count = 1;
        }
        if (poll(p, count, 100) < 0 && errno != EINTR) return false;
        const short outputEvents = terminal ? p[0].revents : (count == 2 ? p[1].revents : 0);
        if (outputEvents & (POLLIN | POLLHUP)) readSome(0);
        if (p[0].revents & POLLOUT) {
            ssize_t n = ::write(inputFd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            }
        } else if (p[0].revents & (POLLERR | POLLNVAL)) {
            return false;
        }
    }
    return true;
}

void PtySession::closeInput() {
    if (inputFd_ >= 0 && inputFd_ != fd_) {
        close(inputFd_);
        inputFd_ = -1;
    }
}

void PtySession::hangUp() {
    if (fd_ >= 0 && inputFd_ == fd_) {
        close(fd_);
        fd_ = inputFd_ = -1;
        ended_ = true;
    }
}

bool PtySession::readSome(int timeoutMs) {
    if (ended_ || fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int ready = poll(&p, 1, timeoutMs);
    if (ready < 0) return errno == EINTR;
    if (ready == 0) return true;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            output_.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        // 0 from a pipe, EIO from a terminal whose program has gone.
        ended_ = true;
        return false;
    }
}

bool PtySession::readUntil(const std::function<bool(const std::string &)> &done, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(output_)) {
        const int left = remainingMs(deadline);
        if (left == 0 || !readSome(left)) return done(output_);
    }
    return true;
}

bool PtySession::readUntil(const std::string &needle, int timeoutMs) {
    return readUntil(
        [&needle](const std::string &out) { return out.find(needle) != std::string::npos; },
        timeoutMs);
}

bool PtySession::readToEnd(int timeoutMs) {
    readUntil([](const std::string &) { return false; }, timeoutMs);
    return ended_;
}

std::string PtySession::takeOutput() {
    std::string taken;
    taken.swap(output_);
    return taken;
}

bool PtySession::reap(int options) {
    if (pid_ <= 0) return true;
    int raw = 0;
    pid_t r = waitpid(pid_, &raw, options);
    if (r == 0 || (r < 0 && errno == EINTR)) return false;
    if (r == pid_) {
        status_ = exitStatus(raw);
    }
    pid_ = -1;
    return true;
}

int PtySession::waitExit(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!reap(WNOHANG)) {
        const int left = remainingMs(deadline);
        if (left == 0) return kRunning;
        // Keep draining, or a program printing a lot could never finish.
        const int slice = left < 10 ? left : 10;
        if (ended_ || !readSome(slice)) poll(nullptr, 0, slice);
    }
    return status_;
}

void PtySession::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    while (!reap(0)) {
    }
}

}  // namespace qztest
