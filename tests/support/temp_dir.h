// A fresh temporary directory that removes itself, with everything in it,
// when the object goes out of scope.
#ifndef TESTS_SUPPORT_TEMP_DIR_H
#define TESTS_SUPPORT_TEMP_DIR_H

#include <string>

namespace qztest {

class TempDir {
  public:
    // Creates the directory under `base`, or else under $TMPDIR (or /tmp);
    // aborts the program when that is impossible, since no test can run
    // without it.
    explicit TempDir(const std::string &base = "");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    // The path of `relative` inside the directory (nothing is created).
    std::string file(const std::string &relative) const;
    // Creates the directory `relative` and its missing parents; returns its path.
    std::string makeDir(const std::string &relative) const;
    // Writes `content` to the file `relative`, creating missing parent
    // directories and replacing an existing file; returns its path.
    std::string write(const std::string &relative, const std::string &content) const;

  private:
    std::string path_;
};

}  // namespace qztest

#endif
