// mprobe's inputs: the paths of the command line, with a directory standing
// for its files, then the paths of a list (--files-from), read one at a
// time as probing asks for them.
#ifndef TOOLS_MPROBE_INPUTS_H
#define TOOLS_MPROBE_INPUTS_H

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

// One file to describe, or an input that names none.
struct Input {
    std::string path;
    // Why nothing is probed: a directory that cannot be read, a list line
    // that names no path. Empty for a path to probe.
    std::string error;
};

// The inputs `paths` (`count` of them) stand for: a directory its files in
// name order (names starting with '.' skipped), with their subdirectories'
// depth first when `recursive`, anything else itself.
std::vector<Input> expand(char **paths, int count, bool recursive);

// The inputs in order: those of the command line, then the paths of the
// list, read one at a time as probing asks for them.
class InputSource {
  public:
    InputSource(std::vector<Input> fixed, FILE *list, char delimiter)
        : fixed_(std::move(fixed)), list_(list), delimiter_(delimiter) {}
    ~InputSource() { free(line_); }
    InputSource(const InputSource &) = delete;
    InputSource &operator=(const InputSource &) = delete;

    // The number of inputs when known before reading them all.
    bool sized() const { return !list_; }
    size_t size() const { return fixed_.size(); }

    // The next input, false after the last. Not thread-safe. A list is read
    // only as far as its next path: a path written into a pipe is returned as
    // soon as its delimiter arrives.
    bool next(Input &input);

    int readError() const { return readError_; }

  private:
    std::vector<Input> fixed_;
    size_t taken_ = 0;
    FILE *list_;
    char delimiter_;
    char *line_ = nullptr;
    size_t capacity_ = 0;
    int readError_ = 0;
};

#endif
