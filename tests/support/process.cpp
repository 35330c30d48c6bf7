#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>

extern char **environ;

namespace qztest {
namespace {

std::vector<std::string> environmentWith(const std::vector<std::string> &extra) {
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string &x : extra)
            replaced = replaced || x.compare(0, name.size(), name) == 0;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> result;
    for (std::string &s : strings) result.push_back(&s[0]);
    result.push_back(nullptr);
    return result;
}

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

StartedProcess startProcess(const std::vector<std::string> &argv,
                            const std::vector<std::string> &env, const std::string &outputPath) {
    StartedProcess started;
    if (argv.empty()) return started;
    std::vector<std::string> args = argv;
    std::vector<std::string> envs = environmentWith(env);
    std::vector<char *> argp = pointers(args);
    std::vector<char *> envp = pointers(envs);

    int out[2] = {-1, -1}, err[2] = {-1, -1};
    if (pipe2(err, O_CLOEXEC) < 0) return started;
    if (outputPath.empty() && pipe2(out, O_CLOEXEC) < 0) {
        close(err[0]);
        close(err[1]);
        return started;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (outputPath.empty()) {
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    // Only the child holds the write ends now, so the reads end when it does.
    close(err[1]);
    if (out[1] >= 0) close(out[1]);
    started.pid = error == 0 ? pid : -1;
    started.out = out[0];
    started.err = err[0];
    return started;
}

ProcessResult finishProcess(StartedProcess process) {
    ProcessResult result;
    drain(process.out, &result.out, process.err, &result.err);
    if (process.err >= 0) close(process.err);
    if (process.out >= 0) close(process.out);
    if (process.pid < 0) return result;
    int raw = 0;
    while (waitpid(process.pid, &raw, 0) < 0) {
        if (errno != EINTR) return result;
    }
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return result;
}

ProcessResult runProcess(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                         const std::string &outputPath) {
    return finishProcess(startProcess(argv, env, outputPath));
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace qztest
