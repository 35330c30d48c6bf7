// Makes the media test fixtures in FIXTURE_DIR and copies each, cut to its
// first 64 KiB, into SEED_DIR as a starting input for the media fuzzer.
// tools/run-fuzz builds and runs it; it needs nothing but ffmpeg.
//   make_media_seeds FIXTURE_DIR SEED_DIR
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "media_fixtures.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: make_media_seeds FIXTURE_DIR SEED_DIR\n");
        return 2;
    }
    try {
        std::filesystem::create_directories(argv[2]);
        for (const auto &[name, path] : media_fixtures::generateFixtures(argv[1])) {
            std::vector<char> head(64 * 1024);
            std::ifstream in(path, std::ios::binary);
            in.read(head.data(), static_cast<std::streamsize>(head.size()));
            std::ofstream out(std::filesystem::path(argv[2]) / name, std::ios::binary);
            out.write(head.data(), in.gcount());
            if (!out) throw std::runtime_error("cannot write the seed " + name);
        }
    } catch (const std::exception &error) {
        fprintf(stderr, "make_media_seeds: %s\n", error.what());
        return 1;
    }
    return 0;
}
