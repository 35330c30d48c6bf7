#include "mprobe_inputs.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Appends the files of `dir` in name order, descending into subdirectories
// when `recursive`. Symbolic links to files count as files; links to
// directories are not followed.
void listDirectory(const std::string &dir, bool recursive, std::vector<Input> &inputs) {
    DIR *stream = opendir(dir.c_str());
    if (!stream) {
        inputs.push_back({dir, std::string("cannot read directory: ") + strerror(errno)});
        return;
    }
    std::vector<std::string> names;
    while (const dirent *entry = readdir(stream)) {
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(stream);
    std::sort(names.begin(), names.end());
    const std::string prefix = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    for (const std::string &name : names) {
        const std::string path = prefix + name;
        struct stat link, target;
        if (lstat(path.c_str(), &link) != 0) continue;
        if (S_ISDIR(link.st_mode)) {
            if (recursive) listDirectory(path, recursive, inputs);
        } else if (stat(path.c_str(), &target) == 0 && S_ISREG(target.st_mode)) {
            inputs.push_back({path, ""});
        }
    }
}

}  // namespace

std::vector<Input> expand(char **paths, int count, bool recursive) {
    std::vector<Input> inputs;
    for (int i = 0; i < count; ++i) {
        struct stat info;
        if (stat(paths[i], &info) == 0 && S_ISDIR(info.st_mode)) {
            listDirectory(paths[i], recursive, inputs);
        } else {
            inputs.push_back({paths[i], ""});
        }
    }
    return inputs;
}

bool InputSource::next(Input &input) {
    if (taken_ < fixed_.size()) {
        input = std::move(fixed_[taken_++]);
        return true;
    }
    while (list_) {
        ssize_t length = getdelim(&line_, &capacity_, delimiter_, list_);
        if (length < 0) {
            if (ferror(list_)) readError_ = errno;
            list_ = nullptr;
            break;
        }
        if (length > 0 && line_[length - 1] == delimiter_) --length;
        if (length == 0) continue;  // an empty line names nothing
        input = {std::string(line_, static_cast<size_t>(length)), ""};
        if (delimiter_ != '\0' && memchr(line_, '\0', static_cast<size_t>(length))) {
            input.error = "not a path (a NUL byte in the list line)";
        }
        return true;
    }
    return false;
}
