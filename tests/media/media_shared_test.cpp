// The shared library as the build leaves it:
//  - it exports exactly the functions and variables media_probe.h declares,
//    as a C compiler (clang's syntax tree of the header) reads them: nothing
//    internal, nothing of FFmpeg or the C++ runtime, and no declaration left
//    out;
//  - its file names and SONAME carry the project's version and its major;
//  - it loads the FFmpeg libraries the build links.
// Loading it and calling it from another language: python/tests/test_ctypes.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>

extern "C" {
#include <libavcodec/version.h>
#include <libavformat/version.h>
#include <libavutil/version.h>
}

#include "process.h"

namespace {

namespace fs = std::filesystem;
using Names = std::set<std::string>;

std::string run(const std::string &command) {
    qztest::ProcessResult result = qztest::runShell(command);
    EXPECT_EQ(result.status, 0) << command << "\n" << result.err;
    return result.out;
}

// Walks clang's JSON syntax tree in document order, keeping the file of the
// last location written: the dump names a location's file only where it
// differs from the one before.
class FileTracker {
  public:
    void visit(const nlohmann::ordered_json &node) {
        if (node.is_object()) {
            for (const auto &[key, value] : node.items()) {
                if (key == "file" && value.is_string()) {
                    file_ = value.get<std::string>();
                } else if (key != "includedFrom") {  // the includer, not this location
                    visit(value);
                }
            }
        } else if (node.is_array()) {
            for (const auto &element : node) visit(element);
        }
    }
    const std::string &file() const { return file_; }

  private:
    std::string file_;
};

// The functions and variables with external linkage the header declares at
// file scope, read as C by clang.
Names headerDeclarations() {
    const std::string header = MEDIA_PROBE_HEADER;
    qztest::ProcessResult dump = qztest::runShell(
        std::string(MEDIA_CLANG) + " -x c -std=c11 -fsyntax-only -Xclang -ast-dump=json " +
        qztest::shellQuoted(header));
    EXPECT_EQ(dump.status, 0) << dump.err;
    const auto tree = nlohmann::ordered_json::parse(dump.out);
    Names names;
    FileTracker tracker;
    for (const auto &node : tree.at("inner")) {
        std::string file;
        for (const auto &[key, value] : node.items()) {
            tracker.visit(value);
            if (key == "loc") file = tracker.file();
        }
        const std::string kind = node.value("kind", "");
        if ((kind == "FunctionDecl" || kind == "VarDecl") && !node.value("isImplicit", false) &&
            node.value("storageClass", "") != "static" && file == header) {
            names.insert(node.at("name").get<std::string>());
        }
    }
    return names;
}

// The names `nm --dynamic` lists with `options`, without their versions.
Names dynamicSymbols(const std::string &options) {
    Names names;
    std::istringstream lines(run("nm --dynamic " + options + " --format=posix " +
                                 qztest::shellQuoted(MEDIA_PROBE_SHARED)));
    for (std::string line; std::getline(lines, line);) {
        const std::string symbol = line.substr(0, line.find(' '));
        names.insert(symbol.substr(0, symbol.find('@')));
    }
    return names;
}

// The entries of one tag of the dynamic section ("NEEDED", "SONAME").
Names dynamicEntries(const std::string &tag) {
    Names values;
    std::istringstream lines(run("readelf --dynamic " + qztest::shellQuoted(MEDIA_PROBE_SHARED)));
    const std::regex entry("\\(" + tag + "\\)[^\\[]*\\[(.*)\\]");
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_search(line, match, entry)) values.insert(match[1]);
    }
    return values;
}

TEST(SharedLibrary, ExportsExactlyWhatTheHeaderDeclares) {
    const Names declared = headerDeclarations();
    // The header's records and functions are still there to be read.
    ASSERT_GT(declared.size(), 20u);
    ASSERT_EQ(declared.count("build_media_info"), 1u);
    ASSERT_EQ(declared.count("mime_type_mp4"), 1u);
    const Names exported = dynamicSymbols("--defined-only");
    Names unexported, undeclared;
    std::set_difference(declared.begin(), declared.end(), exported.begin(), exported.end(),
                        std::inserter(unexported, unexported.end()));
    std::set_difference(exported.begin(), exported.end(), declared.begin(), declared.end(),
                        std::inserter(undeclared, undeclared.end()));
    EXPECT_EQ(unexported, Names{}) << "declared by the header, not exported";
    EXPECT_EQ(undeclared, Names{}) << "exported, not declared by the header";
}

TEST(SharedLibrary, NamedForItsVersionWithTheMajorInItsSoname) {
    const fs::path library = MEDIA_PROBE_SHARED;
    const fs::path dir = library.parent_path();
    EXPECT_EQ(library.filename(), "libmedia_probe.so." MEDIA_PROJECT_VERSION);
    EXPECT_EQ(dynamicEntries("SONAME"), Names{"libmedia_probe.so." MEDIA_PROJECT_VERSION_MAJOR});
    EXPECT_EQ(fs::read_symlink(dir / "libmedia_probe.so." MEDIA_PROJECT_VERSION_MAJOR),
              library.filename());
    EXPECT_EQ(fs::read_symlink(dir / "libmedia_probe.so"),
              "libmedia_probe.so." MEDIA_PROJECT_VERSION_MAJOR);
}

// FFmpeg's libraries stay its dependencies, loaded with it: none is linked
// into it (nor re-exported: the exports are the header's).
TEST(SharedLibrary, NeedsTheFfmpegLibraries) {
    const Names needed = dynamicEntries("NEEDED");
    for (const std::string &ffmpeg : {"libavformat.so." + std::to_string(LIBAVFORMAT_VERSION_MAJOR),
                                      "libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR),
                                      "libavutil.so." + std::to_string(LIBAVUTIL_VERSION_MAJOR)}) {
        EXPECT_EQ(needed.count(ffmpeg), 1u) << ffmpeg;
    }
}

}  // namespace
