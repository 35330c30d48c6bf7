// Makes the media test fixtures in FIXTURE_DIR and copies each, cut to its
// first 64 KiB, into SEED_DIR as a starting input for the media fuzzer.
// Built with the fuzz targets; tools/run-fuzz runs it.
//   make_media_seeds FIXTURE_DIR SEED_DIR
#include <cstdio>
#include <exception>
#include <filesystem>
#include <stdexcept>

#include "media_fixtures.h"
#include "process.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: make_media_seeds FIXTURE_DIR SEED_DIR\n");
        return 2;
    }
    try {
        std::filesystem::create_directories(argv[2]);
        for (const auto &[name, path] : media_fixtures::generateFixtures(argv[1])) {
            const std::string seed = std::string(argv[2]) + "/" + name;
            if (!qztest::writeFile(seed, qztest::readFile(path).substr(0, 64 * 1024)))
                throw std::runtime_error("cannot write the seed " + name);
        }
    } catch (const std::exception &error) {
        fprintf(stderr, "make_media_seeds: %s\n", error.what());
        return 1;
    }
    return 0;
}
