// Makes the media test fixtures and the scan's files in FIXTURE_DIR and copies
// each, cut to fit in 64 KiB, into SEED_DIR as two starting inputs for the
// media fuzzer: after a first byte of '0' (probed) and of '1' (scanned).
// Built with the fuzz targets; tools/run-fuzz runs it.
//   make_media_seeds FIXTURE_DIR SEED_DIR
#include <cstdio>
#include <exception>
#include <filesystem>
#include <stdexcept>

#include "media_fixtures.h"
#include "process.h"
#include "scan_fixtures.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: make_media_seeds FIXTURE_DIR SEED_DIR\n");
        return 2;
    }
    try {
        std::filesystem::create_directories(argv[2]);
        auto files = media_fixtures::generateFixtures(argv[1]);
        for (const auto &[name, path] : media_fixtures::generateScanFixtures(argv[1])) {
            files["scan-" + name] = path;
        }
        for (const auto &[name, path] : files) {
            const std::string head = qztest::readFile(path).substr(0, 64 * 1024 - 1);
            for (const char *flags : {"0", "1"}) {
                const std::string seed = std::string(argv[2]) + "/" + name + "-" + flags;
                if (!qztest::writeFile(seed, flags + head))
                    throw std::runtime_error("cannot write the seed " + name);
            }
        }
    } catch (const std::exception &error) {
        fprintf(stderr, "make_media_seeds: %s\n", error.what());
        return 1;
    }
    return 0;
}
