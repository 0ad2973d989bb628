#!/usr/bin/env bash
# Builds with warnings as errors and runs every test, then again under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the threaded layers under
# ThreadSanitizer. With clang present, the disk helper's message handling is fuzzed briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1

configure() { # build-dir cmake-args...
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRL_WERROR=ON "$@" >/dev/null
}

echo "== plain build"
configure build
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs"

if command -v clang++ >/dev/null; then
    echo "== fuzzing the disk helper's message handling (clang, libFuzzer)"
    configure build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DDRL_BUILD_FUZZ=ON -DDRL_BUILD_TESTS=OFF \
        -DDRL_BUILD_DEMO=OFF -DDRL_SANITIZE=address,undefined
    cmake --build build-fuzz -j "$jobs" --target drl-helper-fuzz
    corpus=$(mktemp -d)
    build-fuzz/helper/drl-helper-fuzz -max_total_time=20 -print_final_stats=1 "$corpus" 2>&1 | tail -n 3
    rm -rf "$corpus"
fi

echo "== ThreadSanitizer (os, drl, io, helper)"
configure build-tsan -DDRL_SANITIZE=thread
cmake --build build-tsan -j "$jobs" --target os_tests drl_tests io_tests helper_tests kernel_path_tests
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan -j "$jobs" -L '^(os|drl|io|helper)$'

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure build-asan -DDRL_SANITIZE=address,undefined
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp \
    ctest --test-dir build-asan -j "$jobs"
