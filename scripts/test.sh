#!/usr/bin/env bash
# Builds with warnings as errors and runs every test, then again under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the threaded layers under
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1

run() { # build-dir label-regex cmake-args...
    local dir=$1 labels=$2
    shift 2
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRL_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    if [ -n "$labels" ]; then
        ctest --test-dir "$dir" -j "$jobs" -L "$labels"
    else
        ctest --test-dir "$dir" -j "$jobs"
    fi
}

echo "== plain build"
run build ""
echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp \
    run build-asan "" -DDRL_SANITIZE=address,undefined
if grep -q 'LABELS.*\b\(os\|drl\)\b' tests/*/CMakeLists.txt 2>/dev/null; then
    echo "== ThreadSanitizer (os, drl)"
    TSAN_OPTIONS=halt_on_error=1 run build-tsan "^(os|drl)$" -DDRL_SANITIZE=thread
fi
if command -v clang++ >/dev/null; then
    echo "== fuzzing the disk helper's message handling (clang, libFuzzer)"
    cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DDRL_BUILD_FUZZ=ON -DDRL_BUILD_TESTS=OFF -DDRL_SANITIZE=address,undefined >/dev/null
    cmake --build build-fuzz -j "$jobs" --target drl-helper-fuzz
    corpus=$(mktemp -d)
    build-fuzz/helper/drl-helper-fuzz -max_total_time=20 -print_final_stats=1 "$corpus"
    rm -rf "$corpus"
fi
