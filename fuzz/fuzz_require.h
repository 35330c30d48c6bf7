// The fuzz targets' invariant check: a broken invariant aborts, which
// libFuzzer reports as a crash and keeps the input that caused it.
#ifndef FUZZ_FUZZ_REQUIRE_H
#define FUZZ_FUZZ_REQUIRE_H

#include <cstdio>
#include <cstdlib>

inline void require(bool condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

#endif
