#include "bench_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char **environ;

namespace qzbench {

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * values.size()));
    if (rank < 1) rank = 1;
    return values[std::min(rank, values.size()) - 1];
}

namespace {

std::vector<std::string> environmentWith(const std::vector<std::string> &extra) {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const auto &x : extra) replaced = replaced || x.compare(0, name.size(), name) == 0;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> result;
    for (auto &s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

double seconds(const timeval &t) {
    return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

int waitFor(pid_t pid, double *cpuSeconds) {
    int raw = 0;
    rusage usage{};
    while (wait4(pid, &raw, 0, &usage) < 0) {
        if (errno != EINTR) return -1;
    }
    *cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

}  // namespace

namespace {

// Starts argv as runProcess describes; returns the child's pid, or -1.
pid_t spawn(const std::vector<std::string> &argv, const std::string &outPath,
            const std::string &errPath, const std::vector<std::string> &env) {
    std::vector<std::string> args = argv;
    std::vector<std::string> envs = environmentWith(env);
    std::vector<char *> argp = pointers(args);
    std::vector<char *> envp = pointers(envs);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (errPath == outPath) {
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    pid_t pid;
    int error = posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

}  // namespace

ProcessRun runProcess(const std::vector<std::string> &argv, const std::string &outPath,
                      const std::string &errPath, const std::vector<std::string> &env) {
    ProcessRun run;
    const auto start = Clock::now();
    pid_t pid = spawn(argv, outPath, errPath, env);
    if (pid < 0) return run;
    run.status = waitFor(pid, &run.cpuSeconds);
    run.seconds = secondsSince(start);
    return run;
}

std::vector<ProcessRun> runTogether(const std::vector<std::vector<std::string>> &commands) {
    std::vector<ProcessRun> runs(commands.size());
    std::vector<pid_t> pids;
    const auto start = Clock::now();
    for (const auto &command : commands)
        pids.push_back(spawn(command, "/dev/null", "/dev/null", {}));
    for (size_t i = 0; i < pids.size(); ++i) {
        if (pids[i] > 0) runs[i].status = waitFor(pids[i], &runs[i].cpuSeconds);
    }
    const double seconds = secondsSince(start);
    for (auto &run : runs) run.seconds = seconds;
    return runs;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string runCapture(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                       int *status) {
    char path[] = "/tmp/qzbench-capture-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    ProcessRun run = runProcess(argv, path, path, env);
    std::string text = readFile(path);
    unlink(path);
    if (status) *status = run.status;
    return text;
}

std::string formatFixed(double value, int decimals) {
    char text[64];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

namespace {

std::string threeDigits(double value, const char *unit) {
    int decimals = value >= 100 ? 0 : value >= 10 ? 1 : 2;
    return formatFixed(value, decimals) + " " + unit;
}

}  // namespace

std::string formatSeconds(double s) {
    if (s >= 1) return threeDigits(s, "s");
    if (s >= 1e-3) return threeDigits(s * 1e3, "ms");
    return threeDigits(s * 1e6, "us");
}

std::string formatBytes(double bytes) {
    if (bytes >= 1024.0 * 1024) return threeDigits(bytes / (1024.0 * 1024), "MiB");
    if (bytes >= 1024.0) return threeDigits(bytes / 1024.0, "KiB");
    return formatFixed(bytes, 0) + " B";
}

std::string formatCount(double count) {
    if (count >= 1e6) return threeDigits(count / 1e6, "M");
    if (count >= 1e3) return threeDigits(count / 1e3, "k");
    return formatFixed(count, 0);
}

void Table::target(const std::string &name, const std::string &ours, const std::string &baseline,
                   const std::string &ratio, const std::string &target, bool met) {
    add({name, ours, baseline, ratio, target, smoke_ ? "(smoke)" : met ? "yes" : "NO"});
}

void Table::info(const std::string &name, const std::string &ours, const std::string &baseline,
                 const std::string &ratio) {
    add({name, ours, baseline, ratio, "", ""});
}

void Table::failed(const std::string &name, const std::string &why) {
    ++failures_;
    add({name, why, "", "", "", "FAILED"});
}

int Table::targetsMissed() const {
    return static_cast<int>(
        std::count_if(rows_.begin(), rows_.end(), [](const Row &r) { return r.met == "NO"; }));
}

void Table::print(FILE *out) const {
    const Row header{"Benchmark", "Ours", "Baseline", "Ratio", "Target", "Met"};
    size_t w[6] = {};
    auto widen = [&](const Row &r) {
        const std::string *cells[] = {&r.name, &r.ours, &r.baseline, &r.ratio, &r.target, &r.met};
        for (int i = 0; i < 6; ++i) w[i] = std::max(w[i], cells[i]->size());
    };
    widen(header);
    for (const Row &r : rows_) {
        if (r.met != "FAILED") widen(r);
    }
    auto line = [&](const Row &r) {
        fprintf(out, "%-*s  %-*s  %-*s  %-*s  %-*s  %s\n", static_cast<int>(w[0]), r.name.c_str(),
                static_cast<int>(w[1]), r.ours.c_str(), static_cast<int>(w[2]), r.baseline.c_str(),
                static_cast<int>(w[3]), r.ratio.c_str(), static_cast<int>(w[4]), r.target.c_str(),
                r.met.c_str());
    };
    line(header);
    line({std::string(w[0], '-'), std::string(w[1], '-'), std::string(w[2], '-'),
          std::string(w[3], '-'), std::string(w[4], '-'), "---"});
    for (const Row &r : rows_) {
        if (r.met == "FAILED") {
            fprintf(out, "%-*s  FAILED: %s\n", static_cast<int>(w[0]), r.name.c_str(),
                    r.ours.c_str());
        } else {
            line(r);
        }
    }
}

double machineBusySeconds() {
    std::ifstream stat("/proc/stat");
    std::string cpu;
    double user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    return (user + nice + system + irq + softirq) / sysconf(_SC_CLK_TCK);
}

double ownCpuSeconds() {
    rusage self{}, children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    return seconds(self.ru_utime) + seconds(self.ru_stime) + seconds(children.ru_utime) +
           seconds(children.ru_stime);
}

void note(const char *format, ...) {
    va_list args;
    va_start(args, format);
    fputs("qzbench: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

}  // namespace qzbench
