#include "process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

extern char **environ;

namespace qztest {
namespace {

// Reads the pipes (-1 for none) into *out and *err until both are at their end.
void drain(int outFd, std::string *out, int errFd, std::string *err) {
    pollfd p[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string *into[2] = {out, err};
    char buffer[65536];
    while (p[0].fd >= 0 || p[1].fd >= 0) {
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || p[i].revents == 0) continue;
            const ssize_t n = read(p[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                into[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                p[i].fd = -1;  // poll skips negative descriptors
            }
        }
    }
}

}  // namespace

std::vector<std::string> withEntries(const std::vector<std::string> &base,
                                     const std::vector<std::string> &extra) {
    std::vector<std::string> env;
    for (const std::string &entry : base) {
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string &x : extra)
            replaced = replaced || x.compare(0, name.size(), name) == 0;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

ExecArgs::ExecArgs(const std::vector<std::string> &arguments,
                   const std::vector<std::string> &extraEnv)
    : args(arguments) {
    std::vector<std::string> inherited;
    for (char **e = environ; *e != nullptr; ++e) inherited.push_back(*e);
    env = withEntries(inherited, extraEnv);
    for (std::string &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    for (std::string &e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
}

int exitStatus(int waitStatus) {
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

StartedProcess startProcess(const std::vector<std::string> &argv, const ProcessOptions &options) {
    StartedProcess started;
    if (argv.empty()) return started;
    ExecArgs exec(argv, options.env);
    const bool captureOut = options.output.empty();
    const bool captureErr = !options.errorsToOutput;
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    if ((captureOut && pipe2(out, O_CLOEXEC) < 0) || (captureErr && pipe2(err, O_CLOEXEC) < 0)) {
        for (int fd : {out[0], out[1]}) {
            if (fd >= 0) close(fd);
        }
        return started;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!options.dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.dir.c_str());
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO,
                                     options.input.empty() ? "/dev/null" : options.input.c_str(),
                                     O_RDONLY, 0);
    if (captureOut) {
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.output.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (captureErr) {
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    } else {
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    }
    pid_t pid = -1;
    const int error =
        posix_spawnp(&pid, exec.argv[0], &actions, nullptr, exec.argv.data(), exec.envp.data());
    posix_spawn_file_actions_destroy(&actions);
    // Only the child holds the write ends now, so the reads end when it does.
    for (int fd : {out[1], err[1]}) {
        if (fd >= 0) close(fd);
    }
    started.pid = error == 0 ? pid : -1;
    started.out = out[0];
    started.err = err[0];
    return started;
}

ProcessResult finishProcess(StartedProcess process) {
    ProcessResult result;
    drain(process.out, &result.out, process.err, &result.err);
    for (int fd : {process.out, process.err}) {
        if (fd >= 0) close(fd);
    }
    if (process.pid < 0) return result;
    int raw = 0;
    while (waitpid(process.pid, &raw, 0) < 0) {
        if (errno != EINTR) return result;
    }
    result.status = exitStatus(raw);
    return result;
}

ProcessResult runProcess(const std::vector<std::string> &argv, const ProcessOptions &options) {
    return finishProcess(startProcess(argv, options));
}

Coprocess startCoprocess(const std::vector<std::string> &argv, const std::string &errors) {
    Coprocess coprocess;
    if (argv.empty()) return coprocess;
    ExecArgs exec(argv, {});
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0) {
        for (int fd : {in[0], in[1]}) {
            if (fd >= 0) close(fd);
        }
        return coprocess;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO,
                                     errors.empty() ? "/dev/null" : errors.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int error =
        posix_spawnp(&pid, exec.argv[0], &actions, nullptr, exec.argv.data(), exec.envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    coprocess.pid = error == 0 ? pid : -1;
    coprocess.in = in[1];
    coprocess.out = out[0];
    return coprocess;
}

bool writeTo(Coprocess &coprocess, const std::string &bytes) {
    // SIGPIPE held back while writing, and taken if the write raised it.
    sigset_t pipeSignal, before;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
    bool written = coprocess.in >= 0;
    for (size_t at = 0; written && at < bytes.size();) {
        const ssize_t n = write(coprocess.in, bytes.data() + at, bytes.size() - at);
        if (n > 0) {
            at += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            written = false;
        }
    }
    if (!written) {
        const timespec none{};
        while (sigtimedwait(&pipeSignal, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return written;
}

bool readLine(Coprocess &coprocess, std::string &line, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t end = coprocess.pending.find('\n');
        if (end != std::string::npos) {
            line = coprocess.pending.substr(0, end);
            coprocess.pending.erase(0, end + 1);
            return true;
        }
        line = coprocess.pending;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (coprocess.out < 0 || left.count() <= 0) return false;
        pollfd ready = {coprocess.out, POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno != EINTR) return false;
        if (polled <= 0) continue;
        char buffer[65536];
        const ssize_t n = read(coprocess.out, buffer, sizeof buffer);
        if (n > 0) {
            coprocess.pending.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

ProcessResult finishCoprocess(Coprocess &coprocess) {
    if (coprocess.in >= 0) close(coprocess.in);
    coprocess.in = -1;
    ProcessResult result = finishProcess({coprocess.pid, coprocess.out, -1});
    coprocess.out = -1;
    result.out = coprocess.pending + result.out;
    coprocess.pending.clear();
    return result;
}

ProcessResult runShell(const std::string &line, const ProcessOptions &options) {
    return runProcess({"/bin/sh", "-c", line}, options);
}

std::string shellQuoted(const std::string &text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

long statusKiB(pid_t pid, const char *field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string label = std::string(field) + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, label.size(), label) == 0) return atol(line.c_str() + label.size());
    }
    return -1;
}

int openDescriptors(pid_t pid) {
    DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!dir) return -1;
    int count = 0;
    while (dirent *entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool writeFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return !out.fail();
}

}  // namespace qztest
