#include "temp_dir.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "process.h"

namespace qztest {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string &base) {
    const char *tmpdir = getenv("TMPDIR");
    const std::string under = !base.empty() ? base : tmpdir && *tmpdir ? tmpdir : "/tmp";
    std::string pattern = under + "/qztest-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        perror("TempDir: mkdtemp");
        abort();
    }
    path_ = name.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string &relative) const {
    return path_ + "/" + relative;
}

std::string TempDir::makeDir(const std::string &relative) const {
    const std::string full = file(relative);
    fs::create_directories(full);
    return full;
}

std::string TempDir::write(const std::string &relative, const std::string &content) const {
    const std::string full = file(relative);
    fs::create_directories(fs::path(full).parent_path());
    writeFile(full, content);
    return full;
}

}  // namespace qztest
