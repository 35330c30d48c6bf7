// The project as a user gets it:
//  - Packaging: `cmake --install` of the media_probe component alone into a
//    fresh prefix holds the library's files and nothing else; a C program
//    built through pkg-config or through find_package(media_probe) (its
//    media_probe_json text is mprobe's), and a C++ program built through
//    find_package, run on a fixture.
//  - Install: everything installed into a fresh prefix: the programs, the
//    manual pages (rendered by man without a warning, found by their section),
//    mprobe's bash completion, and the example host file in the layout the
//    console needs.
//  - DebianPackages: `cpack -G DEB`; each package's files and declared
//    dependencies, and the packages extracted with `dpkg -x`: their programs
//    run, the consumers build against the extracted library.
//  - The shared library: the media_probe_shared component alone
//    (SharedPackaging) holds it and its SONAME link; where it is installed,
//    pkg-config links it, find_package gives media_probe::shared, and its
//    package declares it and loads (with dlopen, and Python's ctypes).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include "console_run.h"
#include "media_fixtures.h"
#include "mprobe_options.h"
#include "process.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using qztest::ProcessResult;
using qztest::shellQuoted;
using Files = std::vector<std::string>;

// Runs a shell command line, standard error included in the output.
ProcessResult shell(const std::string &command) {
    qztest::ProcessOptions options;
    options.errorsToOutput = true;
    return qztest::runShell(command, options);
}

std::string fixture(const char *name) {
    return media_fixtures::generateFixtures(MEDIA_FIXTURE_DIR).at(name);
}

// The shared library's names: the file, its SONAME (the link programs load)
// and the development link (what -lmedia_probe finds).
#define MEDIA_SHARED_FILE "libmedia_probe.so." MEDIA_PROJECT_VERSION
#define MEDIA_SONAME "libmedia_probe.so." MEDIA_PROJECT_VERSION_MAJOR
#define MEDIA_DEV_LINK "libmedia_probe.so"

// What each install component puts under the prefix.
const Files kLibraryFiles = {
    "include/media_probe.h",
    MEDIA_INSTALL_LIBDIR "/cmake/media_probe/media_probeConfig.cmake",
    MEDIA_INSTALL_LIBDIR "/cmake/media_probe/media_probeConfigVersion.cmake",
    MEDIA_INSTALL_LIBDIR "/cmake/media_probe/media_probeSharedTargets-" MEDIA_BUILD_TYPE ".cmake",
    MEDIA_INSTALL_LIBDIR "/cmake/media_probe/media_probeSharedTargets.cmake",
    MEDIA_INSTALL_LIBDIR "/cmake/media_probe/media_probeTargets-" MEDIA_BUILD_TYPE ".cmake",
    MEDIA_INSTALL_LIBDIR "/cmake/media_probe/media_probeTargets.cmake",
    MEDIA_INSTALL_LIBDIR "/libmedia_probe.a",
    MEDIA_INSTALL_LIBDIR "/" MEDIA_DEV_LINK,
    MEDIA_INSTALL_LIBDIR "/pkgconfig/media_probe.pc",
    "share/man/man3/media_probe.3",
};
const Files kSharedLibraryFiles = {
    MEDIA_INSTALL_LIBDIR "/" MEDIA_SHARED_FILE,
    MEDIA_INSTALL_LIBDIR "/" MEDIA_SONAME,
};
const Files kMprobeFiles = {
    "bin/mprobe",
    "share/bash-completion/completions/mprobe",
    "share/man/man1/mprobe.1",
};
const Files kConsoleFiles = {
    "bin/monitor",
    "bin/monitor-demo-host",
    "share/doc/qzcmd-monitor/examples/cfg/cmd.cfg",
    "share/man/man1/monitor-demo-host.1",
    "share/man/man1/monitor.1",
};

// The Python module's files, where the build makes the module.
const Files kPythonFiles = {
#ifdef MEDIA_PYTHON_DIR
    MEDIA_PYTHON_DIR "/" MEDIA_PYTHON_MODULE,
    MEDIA_PYTHON_DIR "/media_probe.pyi",
#endif
};

Files sorted(Files files) {
    std::sort(files.begin(), files.end());
    return files;
}

// Every file under `root`, as a sorted list of relative paths.
Files filesUnder(const fs::path &root) {
    Files files;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_directory()) {
            files.push_back(entry.path().lexically_relative(root).string());  // links as links
        }
    }
    return sorted(files);
}

// Runs the C program `program` (tests/media/c_consumer.c) on a fixture: its
// line, then with --json the text of media_probe_json, which is mprobe's.
void expectCConsumerAnswers(const fs::path &program) {
    ProcessResult run = shell(shellQuoted(program) + " " + shellQuoted(fixture("mp4")));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "0 mov,mp4,m4a,3gp,3g2,mj2 video/mp4 videos=1\n");
    ProcessResult json = shell(shellQuoted(program) + " --json " + shellQuoted(fixture("mkv")) +
                               " 2>/dev/null");  // the demuxer's log
    EXPECT_EQ(json.status, 0);
    ProcessResult printed = qztest::runProcess({MEDIA_MPROBE, "--json-lines", fixture("mkv")});
    EXPECT_EQ(printed.status, 0);
    EXPECT_TRUE(json.out == printed.out) << json.out.substr(0, 300);
}

// Builds tests/media/c_consumer.c against the library installed under
// `prefix`, through its pkg-config file alone, and runs it on a fixture.
void expectCConsumerRuns(const fs::path &prefix, const fs::path &work) {
    const std::string pc =
        "PKG_CONFIG_PATH=" + shellQuoted(prefix / MEDIA_INSTALL_LIBDIR / "pkgconfig");
    ProcessResult version = shell(pc + " " MEDIA_PKG_CONFIG " --modversion media_probe");
    EXPECT_EQ(version.out, MEDIA_PROJECT_VERSION "\n");
    const fs::path program = work / "c_consumer";
    ProcessResult build =
        shell(std::string(MEDIA_C_COMPILER) + " " MEDIA_SANITIZE_FLAGS " -o " +
              shellQuoted(program) + " " + shellQuoted(MEDIA_TEST_SOURCE_DIR "/c_consumer.c") +
              " $(" + pc + " " MEDIA_PKG_CONFIG " --cflags --libs media_probe)" + " -Wl,-rpath," +
              shellQuoted(prefix / MEDIA_INSTALL_LIBDIR));  // when it is shared
    ASSERT_EQ(build.status, 0) << build.out;
    expectCConsumerAnswers(program);
}

// Builds tests/media/consumer_c, a project of C alone that uses
// find_package(media_probe), against the package installed under `prefix`,
// and runs it on a fixture.
void expectCConsumerBuildsWithFindPackage(const fs::path &prefix, const fs::path &work) {
    const fs::path build = work / "c";
    ProcessResult configure = shell(
        std::string(MEDIA_CMAKE) + " -S " + shellQuoted(MEDIA_TEST_SOURCE_DIR "/consumer_c") +
        " -B " + shellQuoted(build) + " -DCMAKE_PREFIX_PATH=" + shellQuoted(prefix) +
        " -DCMAKE_C_COMPILER=" MEDIA_C_COMPILER " '-DCMAKE_C_FLAGS=" MEDIA_SANITIZE_FLAGS "'");
    ASSERT_EQ(configure.status, 0) << configure.out;
    ProcessResult compile = shell(std::string(MEDIA_CMAKE) + " --build " + shellQuoted(build));
    ASSERT_EQ(compile.status, 0) << compile.out;
    expectCConsumerAnswers(build / "c_consumer");
}

// Whether the program at `program` loads the shared library.
bool loadsTheSharedLibrary(const fs::path &program) {
    ProcessResult dynamic = shell("readelf --dynamic " + shellQuoted(program));
    EXPECT_EQ(dynamic.status, 0) << dynamic.out;
    return dynamic.out.find("Shared library: [" MEDIA_SONAME "]") != std::string::npos;
}

// With the shared library installed under `prefix`, the C program
// expectCConsumerRuns built in `work` links it, and loads the prefix's.
void expectCConsumerLoadsTheSharedLibrary(const fs::path &prefix, const fs::path &work) {
    const fs::path program = work / "c_consumer";
    EXPECT_TRUE(loadsTheSharedLibrary(program));
    const fs::path library = prefix / MEDIA_INSTALL_LIBDIR / MEDIA_SONAME;
    ProcessResult trace = shell("LD_TRACE_LOADED_OBJECTS=1 " + shellQuoted(program));
    EXPECT_NE(trace.out.find(MEDIA_SONAME " => " + library.string() + " "), std::string::npos)
        << trace.out;
}

// Builds tests/media/consumer, which uses find_package(media_probe), against
// the package installed under `prefix`, linking `target`, and runs it on a
// fixture. CMake gives the program the path of the shared library it links.
void expectCxxConsumerRuns(const fs::path &prefix, const fs::path &work,
                           const std::string &target = "media_probe::media_probe") {
    const fs::path build = work / ("cxx-" + target.substr(target.rfind(':') + 1));
    ProcessResult configure =
        shell(std::string(MEDIA_CMAKE) + " -S " + shellQuoted(MEDIA_TEST_SOURCE_DIR "/consumer") +
              " -B " + shellQuoted(build) + " -DCMAKE_PREFIX_PATH=" + shellQuoted(prefix) +
              " -DCMAKE_CXX_COMPILER=" MEDIA_CXX_COMPILER
              " '-DCMAKE_CXX_FLAGS=" MEDIA_SANITIZE_FLAGS "' -DMEDIA_PROBE_TARGET=" +
              target);
    ASSERT_EQ(configure.status, 0) << configure.out;
    ProcessResult compile = shell(std::string(MEDIA_CMAKE) + " --build " + shellQuoted(build));
    ASSERT_EQ(compile.status, 0) << compile.out;
    EXPECT_EQ(loadsTheSharedLibrary(build / "cxx_consumer"), target == "media_probe::shared");
    ProcessResult run =
        shell(shellQuoted(build / "cxx_consumer") + " " + shellQuoted(fixture("mp4")));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "aac 44100 Hz\n");
}

// Builds tests/media/c_loader.c, which loads the library at `library` with
// dlopen as other languages' foreign function interfaces do, and runs it on
// a fixture.
void expectLoaderRuns(const fs::path &library, const fs::path &include, const fs::path &work) {
    const fs::path program = work / "c_loader";
    ProcessResult build = shell(std::string(MEDIA_C_COMPILER) + " " MEDIA_SANITIZE_FLAGS " -o " +
                                shellQuoted(program) + " -I" + shellQuoted(include) + " " +
                                shellQuoted(MEDIA_TEST_SOURCE_DIR "/c_loader.c") + " -ldl");
    ASSERT_EQ(build.status, 0) << build.out;
    EXPECT_FALSE(loadsTheSharedLibrary(program));
    ProcessResult run = shell(shellQuoted(program) + " " + shellQuoted(library) + " " +
                              shellQuoted(fixture("mp4")));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, MEDIA_PROJECT_VERSION " 0 mov,mp4,m4a,3gp,3g2,mj2\n");
}

// The shared library under `libdir`: its SONAME link names the file, and the
// file's SONAME is the link's name.
void expectSharedLibraryNames(const fs::path &libdir) {
    EXPECT_EQ(fs::read_symlink(libdir / MEDIA_SONAME), MEDIA_SHARED_FILE);
    ProcessResult dynamic = shell("readelf --dynamic " + shellQuoted(libdir / MEDIA_SHARED_FILE));
    EXPECT_EQ(dynamic.status, 0) << dynamic.out;
    EXPECT_NE(dynamic.out.find("(SONAME)             Library soname: [" MEDIA_SONAME "]"),
              std::string::npos)
        << dynamic.out;
}

// What `mprobe --version` prints when it runs with this machine's FFmpeg.
std::string mprobeVersion() {
    std::string text = "mprobe " MEDIA_PROJECT_VERSION "\n";
    const std::pair<const char *, unsigned> libraries[] = {
        {"libavformat", avformat_version()},
        {"libavcodec", avcodec_version()},
        {"libavutil", avutil_version()},
    };
    for (const auto &[name, version] : libraries) {
        text += std::string(name) + " " + std::to_string(AV_VERSION_MAJOR(version)) + "." +
                std::to_string(AV_VERSION_MINOR(version)) + "." +
                std::to_string(AV_VERSION_MICRO(version)) + "\n";
    }
    return text;
}

// A suite whose tests share what its SetUpTestSuite makes. A failure there is
// kept and fails each test in SetUp: asserted in SetUpTestSuite itself, it
// would have GoogleTest skip the tests, which ctest counts as skipped, not
// failed.
class SharedSetUp : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(setUpFailure_, "") << "the suite's set-up failed"; }
    static std::string setUpFailure_;  // what went wrong; empty when nothing did
};
std::string SharedSetUp::setUpFailure_;

// A prefix made once for its suite by `cmake --install` with `kOptions`.
template <const char *kOptions>
class Installed : public SharedSetUp {
  protected:
    static void SetUpTestSuite() {
        root_ = std::make_unique<qztest::TempDir>();
        ProcessResult install =
            shell(std::string(MEDIA_CMAKE) + " --install " + shellQuoted(MEDIA_BUILD_DIR) +
                  kOptions + " --prefix " + shellQuoted(prefix()));
        setUpFailure_ = install.status == 0 ? "" : "cmake --install: " + install.out;
    }
    static void TearDownTestSuite() { root_.reset(); }

    static fs::path root() { return root_->path(); }
    static fs::path prefix() { return root() / "prefix"; }

    static std::unique_ptr<qztest::TempDir> root_;
};
template <const char *kOptions>
std::unique_ptr<qztest::TempDir> Installed<kOptions>::root_;

// ---- the library alone -------------------------------------------------------

const char kLibraryComponent[] = " --component media_probe";
using Packaging = Installed<kLibraryComponent>;

TEST_F(Packaging, LibraryComponentInstallsTheLibraryAlone) {
    EXPECT_EQ(filesUnder(prefix()), sorted(kLibraryFiles));
    // The development link names the shared library's SONAME link, which
    // the component media_probe_shared installs.
    EXPECT_EQ(fs::read_symlink(prefix() / MEDIA_INSTALL_LIBDIR / MEDIA_DEV_LINK), MEDIA_SONAME);
}

// find_package(media_probe COMPONENTS shared) says what is missing.
TEST_F(Packaging, SharedTargetNeedsTheSharedComponent) {
    ProcessResult configure =
        shell(std::string(MEDIA_CMAKE) + " -S " + shellQuoted(MEDIA_TEST_SOURCE_DIR "/consumer") +
              " -B " + shellQuoted(root() / "cxx-refused") + " -DCMAKE_PREFIX_PATH=" +
              shellQuoted(prefix()) + " -DMEDIA_PROBE_TARGET=media_probe::shared");
    EXPECT_NE(configure.status, 0);
    const std::string text = std::regex_replace(configure.out, std::regex("\\s+"), " ");
    EXPECT_NE(text.find("is not installed (install component media_probe_shared, Debian package "
                        "libmedia-probe1)"),
              std::string::npos)
        << configure.out;
}

TEST_F(Packaging, CProgramBuildsThroughPkgConfig) {
    expectCConsumerRuns(prefix(), root());
    // Without the shared library, -lmedia_probe links the static one.
    EXPECT_FALSE(loadsTheSharedLibrary(root() / "c_consumer"));
}

TEST_F(Packaging, CxxProgramBuildsThroughFindPackage) {
    expectCxxConsumerRuns(prefix(), root());
}

TEST_F(Packaging, CProgramBuildsThroughFindPackage) {
    expectCConsumerBuildsWithFindPackage(prefix(), root());
}

// ---- everything, installed ---------------------------------------------------

const char kEverything[] = "";
using Install = Installed<kEverything>;

TEST_F(Install, HoldsEveryProgramPageAndCompletion) {
    Files all = kLibraryFiles;
    all.insert(all.end(), kSharedLibraryFiles.begin(), kSharedLibraryFiles.end());
    all.insert(all.end(), kMprobeFiles.begin(), kMprobeFiles.end());
    all.insert(all.end(), kConsoleFiles.begin(), kConsoleFiles.end());
    all.insert(all.end(), kPythonFiles.begin(), kPythonFiles.end());
    EXPECT_EQ(filesUnder(prefix()), sorted(all));
    for (const char *program : {"bin/monitor", "bin/monitor-demo-host", "bin/mprobe"}) {
        EXPECT_EQ(access((prefix() / program).c_str(), X_OK), 0) << program;
    }
}

// With both libraries installed, -lmedia_probe links the shared one.
TEST_F(Install, CProgramLinksTheSharedLibraryThroughPkgConfig) {
    expectCConsumerRuns(prefix(), root());
    expectCConsumerLoadsTheSharedLibrary(prefix(), root());
}

TEST_F(Install, ManualPagesRenderWithoutWarnings) {
    const struct {
        const char *page;
        const char *heading;  // the page's first line as man renders it
    } pages[] = {
        {"share/man/man1/mprobe.1", "MPROBE(1)"},
        {"share/man/man1/monitor.1", "MONITOR(1)"},
        {"share/man/man1/monitor-demo-host.1", "MONITOR-DEMO-HOST(1)"},
        {"share/man/man3/media_probe.3", "MEDIA_PROBE(3)"},
    };
    const fs::path warnings = root() / "warnings";
    for (const auto &p : pages) {
        SCOPED_TRACE(p.page);
        ProcessResult page = shell("LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l " +
                                   shellQuoted(prefix() / p.page) + " 2>" + shellQuoted(warnings));
        EXPECT_EQ(page.status, 0);
        EXPECT_EQ(page.out.rfind(p.heading, 0), 0u) << page.out.substr(0, 200);
        EXPECT_NE(page.out.find("\nNAME\n"), std::string::npos);
        EXPECT_EQ(qztest::readFile(warnings), "");
    }
}

// glibc's mprobe(3), a heap-consistency checker, has nothing to do with
// mprobe: the page says so, and does not lead readers to take it for a
// function of this project's library.
TEST_F(Install, MprobePageSaysGlibcsMprobeIsAnUnrelatedHeapChecker) {
    ProcessResult page =
        shell("LC_ALL=C MANWIDTH=1000 man -l " + shellQuoted(prefix() / "share/man/man1/mprobe.1"));
    ASSERT_EQ(page.status, 0);
    const std::string text = std::regex_replace(page.out, std::regex("\\s+"), " ");
    EXPECT_NE(text.find("glibc's mprobe(3) is an unrelated heap-consistency checker"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("function of the same name"), std::string::npos);
}

// glibc's mprobe(3) page may be installed too: `man mprobe` must still
// find the program's page.
TEST_F(Install, ManFindsEachPageInItsSection) {
    const struct {
        const char *query;
        const char *page;
    } lookups[] = {
        {"mprobe", "man1/mprobe.1"},           {"1 mprobe", "man1/mprobe.1"},
        {"monitor", "man1/monitor.1"},         {"monitor-demo-host", "man1/monitor-demo-host.1"},
        {"media_probe", "man3/media_probe.3"},
    };
    const fs::path manDir = prefix() / "share/man";
    for (const auto &l : lookups) {
        SCOPED_TRACE(l.query);
        ProcessResult found =
            shell("MANPATH=" + shellQuoted(manDir.string() + ":") + " man -w " + l.query);
        EXPECT_EQ(found.status, 0);
        EXPECT_EQ(found.out, (manDir / l.page).string() + "\n");
    }
}

TEST_F(Install, CompletionOffersOptionsThenPaths) {
    const fs::path completion = prefix() / "share/bash-completion/completions/mprobe";
    const fs::path dir = root() / "media";
    fs::create_directories(dir / "clips");
    std::ofstream(dir / "clip.mp4").put('x');
    std::ofstream(dir / "list.txt").put('x');

    ProcessResult registered = shell("bash --norc --noprofile -c 'source " + completion.string() +
                                     " && complete -p mprobe'");
    EXPECT_EQ(registered.out, "complete -o filenames -F _mprobe mprobe\n");

    const struct {
        std::vector<std::string> words;  // the command line, the word completed last
        std::string offered;             // the completions, sorted, one per line
    } cases[] = {
        {{"mprobe", "--js"}, "--json\n--json-lines\n"},
        {{"mprobe", "--n"}, "--name-notes\n--no-index\n--null\n"},
        {{"mprobe", "-"},
         "--ffprobe-json\n--files-from\n--help\n--jobs\n--json\n--json-lines\n--long\n"
         "--name-notes\n"
         "--no-index\n--null\n--record\n--recursive\n--scan\n--version\n-0\n-h\n-j\n-l\n-r\n"},
        {{"mprobe", "--re"}, "--record\n--recursive\n"},
        {{"mprobe", "--sc"}, "--scan\n"},
        {{"mprobe", "cl"}, "clip.mp4\nclips\n"},
        {{"mprobe", "--jobs", ""}, ""},
        {{"mprobe", "-rj", ""}, ""},
        {{"mprobe", "--files-from", ""}, "-\nclip.mp4\nclips\nlist.txt\n"},
        {{"mprobe", "--files-from", "=", "li"}, "list.txt\n"},
        {{"mprobe", "-j", "2", "--files-from", "list.txt", "--js"}, "--json\n--json-lines\n"},
        {{"mprobe", "clip.mp4", "--js"}, ""},  // options end at the first path
        {{"mprobe", "--", "--"}, ""},
    };
    auto quoted = [](const std::vector<std::string> &line) {
        std::string words;
        for (const std::string &w : line) words += " " + shellQuoted(w);
        return words;
    };
    auto offer = [&](const std::vector<std::string> &line) {
        const std::string words = quoted(line);
        return shell("cd " + shellQuoted(dir) + " && bash --norc --noprofile -c 'source \"$0\"; " +
                     "COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _mprobe; " +
                     "printf \"%s\\n\" \"${COMPREPLY[@]}\" | LC_ALL=C sort | grep .' " +
                     shellQuoted(completion) + words)
            .out;
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(quoted(c.words));
        EXPECT_EQ(offer(c.words), c.offered);
    }
    // Every option of mprobe's own table, in each of its spellings.
    const std::string all = "\n" + offer({"mprobe", "-"});
    for (const MprobeOption &o : kMprobeOptions) {
        EXPECT_NE(all.find(std::string("\n--") + o.name + "\n"), std::string::npos) << o.name;
        if (mprobeHasShortName(o)) {
            EXPECT_NE(all.find(std::string{'\n', '-', static_cast<char>(o.code), '\n'}),
                      std::string::npos)
                << o.name;
        }
    }
}

// The console reads ../cfg/cmd.cfg: started in run/ beside a copy of the
// installed example cfg/, it loads the example's two hosts.
TEST_F(Install, ConsoleStartsBesideTheExampleHostFile) {
    const fs::path layout = root() / "console";
    fs::create_directories(layout / "run");
    fs::copy(prefix() / "share/doc/qzcmd-monitor/examples/cfg", layout / "cfg");
    ProcessResult console = shell("cd " + shellQuoted(layout / "run") + " && echo exit | " +
                                  shellQuoted(prefix() / "bin/monitor"));
    EXPECT_EQ(console.status, 0);
    EXPECT_EQ(console.out,
              " IDX  HOST        IPADDR           RXPORT  TXPORT\n"
              "  0   alpha       127.0.0.1        17101    17001 \n"
              "  1   beta        127.0.0.1        17102    17002 \n"
              "\n" +
                  qztest::menu({"alpha", "beta"}));
}

// ---- the shared library alone ------------------------------------------------

const char kSharedComponent[] = " --component media_probe_shared";
using SharedPackaging = Installed<kSharedComponent>;

TEST_F(SharedPackaging, InstallsTheSharedLibraryAndItsSonameLink) {
    EXPECT_EQ(filesUnder(prefix()), sorted(kSharedLibraryFiles));
    expectSharedLibraryNames(prefix() / MEDIA_INSTALL_LIBDIR);
}

TEST_F(SharedPackaging, ProgramLoadsItAtRunTime) {
    // The header comes from the sources: this component has none.
    expectLoaderRuns(prefix() / MEDIA_INSTALL_LIBDIR / MEDIA_SONAME, MEDIA_HEADER_DIR, root());
}

// ---- the Debian packages -----------------------------------------------------

struct Package {
    std::string name;
    Files files;                       // under usr/
    std::vector<std::string> depends;  // patterns, each matching one entry of Depends
};

const std::vector<Package> &packages() {
    static const std::vector<Package> list = [] {
        std::vector<Package> all = {
            {"qzcmd-monitor", kConsoleFiles, {"libc6 \\(.*\\)", "libreadline[0-9]+ \\(.*\\)"}},
            {"mprobe",
             kMprobeFiles,
             {"libavformat[0-9]+ \\(.*\\)", "libavcodec[0-9]+ \\(.*\\)", "libavutil[0-9]+ \\(.*\\)",
              "libc6 \\(.*\\)"}},
            {"libmedia-probe-dev",
             kLibraryFiles,
             {"libavformat-dev", "libavcodec-dev", "libavutil-dev", "libstdc\\+\\+-dev",
              "pkgconf \\| pkg-config"}},
        };
        if (!kPythonFiles.empty()) {
            all.push_back({"python3-media-probe",
                           kPythonFiles,
                           {"libavformat[0-9]+ \\(.*\\)", "python3 \\(>= [0-9.]+\\)",
                            "python3 \\(<< [0-9.]+\\)"}});
        }
        // The development package depends on it too
        // (DebianPackages.ConsumersLinkTheExtractedSharedLibrary).
        all.push_back({"libmedia-probe1",
                       kSharedLibraryFiles,
                       {"libavformat[0-9]+ \\(.*\\)", "libavcodec[0-9]+ \\(.*\\)",
                        "libavutil[0-9]+ \\(.*\\)", "libc6 \\(.*\\)"}});
        return all;
    }();
    return list;
}

class DebianPackages : public SharedSetUp {
  protected:
    // Builds the packages and extracts them all into one root.
    static void SetUpTestSuite() {
        setUpFailure_.clear();
        work_ = std::make_unique<qztest::TempDir>();
        ProcessResult made =
            shell("cd " + shellQuoted(work()) + " && " MEDIA_CPACK " -G DEB --config " +
                  shellQuoted(fs::path(MEDIA_BUILD_DIR) / "CPackConfig.cmake") + " -B " +
                  shellQuoted(work() / "packages"));
        if (made.status != 0) {
            setUpFailure_ = "cpack: " + made.out;
            return;
        }
        for (const auto &entry : fs::directory_iterator(work() / "packages")) {
            if (entry.path().extension() != ".deb") continue;
            ProcessResult name = shell("dpkg-deb -f " + shellQuoted(entry.path()) + " Package");
            debs_[name.out.substr(0, name.out.find('\n'))] = entry.path();
            ProcessResult extracted =
                shell("dpkg -x " + shellQuoted(entry.path()) + " " + shellQuoted(root()));
            if (extracted.status != 0) setUpFailure_ += "dpkg -x: " + extracted.out;
        }
    }
    static void TearDownTestSuite() {
        debs_.clear();
        work_.reset();
    }

    static fs::path work() { return work_->path(); }
    static fs::path root() { return work() / "root"; }
    static fs::path usr() { return root() / "usr"; }

    static std::unique_ptr<qztest::TempDir> work_;
    static std::map<std::string, fs::path> debs_;
};
std::unique_ptr<qztest::TempDir> DebianPackages::work_;
std::map<std::string, fs::path> DebianPackages::debs_;

TEST_F(DebianPackages, EachHoldsItsFilesAndDeclaresWhatItLinks) {
    ASSERT_EQ(debs_.size(), packages().size());
    for (const Package &p : packages()) {
        SCOPED_TRACE(p.name);
        ASSERT_EQ(debs_.count(p.name), 1u);
        const fs::path deb = debs_.at(p.name);

        ProcessResult listing = shell("dpkg-deb -c " + shellQuoted(deb));
        ASSERT_EQ(listing.status, 0) << listing.out;
        Files files;
        std::istringstream lines(listing.out);
        for (std::string line; std::getline(lines, line);) {
            std::string path = line.substr(0, line.find(" -> "));  // a link's own name
            path.erase(0, path.rfind(' ') + 1);
            if (path.back() != '/') files.push_back(path);
        }
        Files expected;
        for (const std::string &f : p.files) expected.push_back("./usr/" + f);
        EXPECT_EQ(sorted(files), sorted(expected));

        ProcessResult fields = shell("dpkg-deb -f " + shellQuoted(deb) + " Version Depends");
        const std::string version = "Version: " MEDIA_PROJECT_VERSION "-1\n";
        EXPECT_EQ(fields.out.rfind(version, 0), 0u) << fields.out;
        const size_t at = fields.out.find("Depends: ");
        ASSERT_NE(at, std::string::npos) << fields.out;
        const std::string depends = fields.out.substr(at + 9);
        std::vector<std::string> entries;
        std::regex comma(", ");
        std::sregex_token_iterator entry(depends.begin(), depends.end() - 1, comma, -1), end;
        for (; entry != end; ++entry) entries.push_back(*entry);
        for (const std::string &pattern : p.depends) {
            std::regex wanted(pattern);
            EXPECT_TRUE(
                std::any_of(entries.begin(), entries.end(),
                            [&](const std::string &e) { return std::regex_match(e, wanted); }))
                << pattern << " not in: " << depends;
        }
    }
}

TEST_F(DebianPackages, ExtractedProgramsRun) {
    ProcessResult version = shell(shellQuoted(usr() / "bin/mprobe") + " --version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, mprobeVersion());
    ProcessResult demo = shell(shellQuoted(usr() / "bin/monitor-demo-host") + " --version");
    EXPECT_EQ(demo.status, 0);
    EXPECT_EQ(demo.out, "monitor-demo-host " MEDIA_PROJECT_VERSION "\n");

    // The packaged mprobe describes a file exactly as the one built here.
    for (const char *format : {"", "--json"}) {
        SCOPED_TRACE(format);
        const std::string arguments = std::string(" ") + format + " " + shellQuoted(fixture("mp4"));
        ProcessResult packaged = shell(shellQuoted(usr() / "bin/mprobe") + arguments);
        ProcessResult built = shell(shellQuoted(MEDIA_MPROBE) + arguments);
        EXPECT_EQ(packaged.status, 0);
        EXPECT_NE(packaged.out.find("mov,mp4,m4a,3gp,3g2,mj2"), std::string::npos);
        EXPECT_EQ(packaged.out, built.out);
    }
}

TEST_F(DebianPackages, ExtractedPythonModuleProbes) {
#if !defined(MEDIA_PYTHON_DIR) || !defined(MEDIA_PYTHON)
    GTEST_SKIP() << "the Python module is not built, or built with the sanitizers";
#else
    ProcessResult run = shell("PYTHONPATH=" + shellQuoted(usr() / MEDIA_PYTHON_DIR) +
                              " " MEDIA_PYTHON
                              " -c 'import sys, media_probe; "
                              "print(media_probe.__file__.startswith(sys.argv[2]), "
                              "media_probe.probe(sys.argv[1])[\"video\"][0][\"pix_fmt\"])' " +
                              shellQuoted(fixture("mp4")) + " " + shellQuoted(usr()));
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "True yuv444p\n");  // the fixture is x264 High 4:4:4
#endif
}

TEST_F(DebianPackages, ConsumersBuildAgainstTheExtractedLibrary) {
    {
        SCOPED_TRACE("C through pkg-config");
        expectCConsumerRuns(usr(), work());
    }
    {
        SCOPED_TRACE("C++ through find_package");
        expectCxxConsumerRuns(usr(), work());
    }
    {
        SCOPED_TRACE("C through find_package");
        expectCConsumerBuildsWithFindPackage(usr(), work());
    }
}

// The runtime package declares its library for the programs that link it
// (dpkg-shlibdeps reads shlibs), runs ldconfig, and its library loads.
TEST_F(DebianPackages, SharedLibraryIsDeclaredAndLoads) {
    ASSERT_EQ(debs_.count("libmedia-probe1"), 1u);
    const fs::path deb = debs_.at("libmedia-probe1");
    ProcessResult shlibs = shell("dpkg-deb --info " + shellQuoted(deb) + " shlibs");
    EXPECT_EQ(shlibs.out, "libmedia_probe " MEDIA_PROJECT_VERSION_MAJOR
                          " libmedia-probe1 (>= " MEDIA_PROJECT_VERSION ")\n");
    for (const char *script : {"postinst", "postrm"}) {
        ProcessResult text = shell("dpkg-deb --info " + shellQuoted(deb) + " " + script);
        EXPECT_NE(text.out.find("ldconfig"), std::string::npos) << script << ": " << text.out;
    }

    const fs::path libdir = usr() / MEDIA_INSTALL_LIBDIR;
    expectSharedLibraryNames(libdir);
    expectLoaderRuns(libdir / MEDIA_SONAME, usr() / "include", work());
#ifdef MEDIA_PYTHON
    ProcessResult ctypes = shell(MEDIA_PYTHON
                                 " -c 'import ctypes, sys; "
                                 "library = ctypes.CDLL(sys.argv[1]); "
                                 "library.media_probe_version.restype = ctypes.c_char_p; "
                                 "print(library.media_probe_version().decode())' " +
                                 shellQuoted(libdir / MEDIA_SONAME));
    EXPECT_EQ(ctypes.status, 0) << ctypes.out;
    EXPECT_EQ(ctypes.out, MEDIA_PROJECT_VERSION "\n");
#endif
}

// The development package brings the shared library of its own version,
// which programs built against it link: through pkg-config, and through
// find_package's media_probe::shared.
TEST_F(DebianPackages, ConsumersLinkTheExtractedSharedLibrary) {
    ASSERT_EQ(debs_.count("libmedia-probe-dev"), 1u);
    ProcessResult depends =
        shell("dpkg-deb -f " + shellQuoted(debs_.at("libmedia-probe-dev")) + " Depends");
    EXPECT_EQ(depends.out.rfind("libmedia-probe1 (= " MEDIA_PROJECT_VERSION "-1), ", 0), 0u)
        << depends.out;
    {
        SCOPED_TRACE("C through pkg-config");
        expectCConsumerRuns(usr(), work());
        expectCConsumerLoadsTheSharedLibrary(usr(), work());
    }
    {
        SCOPED_TRACE("C++ through find_package");
        expectCxxConsumerRuns(usr(), work(), "media_probe::shared");
    }
}

}  // namespace
