// Makes the media fixtures in DIR and prints one "NAME PATH" line per
// fixture, for tests written in other languages.
//   list_fixtures DIR
#include <cstdio>
#include <exception>

#include "media_fixtures.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: list_fixtures DIR\n");
        return 2;
    }
    try {
        for (const auto &[name, path] : media_fixtures::generateFixtures(argv[1])) {
            printf("%s %s\n", name.c_str(), path.c_str());
        }
    } catch (const std::exception &error) {
        fprintf(stderr, "list_fixtures: %s\n", error.what());
        return 1;
    }
    return 0;
}
