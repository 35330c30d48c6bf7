// The installed package: `cmake --install` of the media_probe component into
// a fresh prefix, then a C program built through pkg-config and a C++ program
// built through find_package(media_probe), each run on a fixture.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "media_fixtures.h"

namespace {

namespace fs = std::filesystem;

struct Result {
    int status;
    std::string output;
};

// Runs a shell command line, standard error included in the output.
Result shell(const std::string &command) {
    Result result{-1, ""};
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string shellQuoted(const fs::path &path) {
    return "'" + path.string() + "'";
}

class Packaging : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/media_package_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        Result install =
            shell(std::string(MEDIA_CMAKE) + " --install " + shellQuoted(MEDIA_BUILD_DIR) +
                  " --component media_probe --prefix " + shellQuoted(prefix()));
        ASSERT_EQ(install.status, 0) << install.output;
    }
    static void TearDownTestSuite() { fs::remove_all(root_); }

    static fs::path prefix() { return root_ / "prefix"; }
    static std::string fixture(const char *name) {
        return media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR).at(name);
    }

    static fs::path root_;
};
fs::path Packaging::root_;

TEST_F(Packaging, CProgramBuildsThroughPkgConfig) {
    const std::string pc =
        "PKG_CONFIG_PATH=" + shellQuoted(prefix() / MEDIA_INSTALL_LIBDIR / "pkgconfig");
    const fs::path program = root_ / "c_consumer";
    Result build =
        shell(std::string(MEDIA_C_COMPILER) + " " MEDIA_SANITIZE_FLAGS " -o " +
              shellQuoted(program) + " " + shellQuoted(MEDIA_TEST_SOURCE_DIR "/c_consumer.c") +
              " $(" + pc + " " MEDIA_PKG_CONFIG " --cflags --libs media_probe)");
    ASSERT_EQ(build.status, 0) << build.output;
    Result run = shell(shellQuoted(program) + " " + shellQuoted(fixture("mp4")));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "0 mov,mp4,m4a,3gp,3g2,mj2 video/mp4 videos=1\n");
}

TEST_F(Packaging, CxxProgramBuildsThroughFindPackage) {
    const fs::path build = root_ / "cxx";
    Result configure =
        shell(std::string(MEDIA_CMAKE) + " -S " + shellQuoted(MEDIA_TEST_SOURCE_DIR "/consumer") +
              " -B " + shellQuoted(build) + " -DCMAKE_PREFIX_PATH=" + shellQuoted(prefix()) +
              " -DCMAKE_CXX_COMPILER=" MEDIA_CXX_COMPILER
              " '-DCMAKE_CXX_FLAGS=" MEDIA_SANITIZE_FLAGS "'");
    ASSERT_EQ(configure.status, 0) << configure.output;
    Result compile = shell(std::string(MEDIA_CMAKE) + " --build " + shellQuoted(build));
    ASSERT_EQ(compile.status, 0) << compile.output;
    Result run = shell(shellQuoted(build / "cxx_consumer") + " " + shellQuoted(fixture("mp4")));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "aac 44100 Hz\n");
}

}  // namespace
