# Sourced by tools/run-tests and tools/run-valgrind: the configuration the
# test suite is built with. Every option is given on every run, so whatever
# configured the folder before (a -DQZ_BUILD_TESTS=OFF, another build type,
# a sanitizer) cannot leave tests out or change what they run on.
#   qz_test_configure DIR [--sanitize]
qz_test_configure() {
    local dir=$1 sanitize=OFF type=RelWithDebInfo
    if [ "${2:-}" = "--sanitize" ]; then
        sanitize=ON
        type=Debug
    fi
    cmake -S . -B "$dir" -DQZ_BUILD_TESTS=ON -DQZ_WERROR=ON -DQZ_SANITIZE="$sanitize" \
        -DQZ_TSAN=OFF -DQZ_BUILD_FUZZ=OFF -DCMAKE_BUILD_TYPE="$type" >/dev/null
}
