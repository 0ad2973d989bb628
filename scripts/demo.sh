#!/usr/bin/env bash
# Builds the demo over the emulated devices and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRL_BUILD_TESTS=OFF >/dev/null
cmake --build build-demo -j "$(nproc)" --target drivelore-demo
exec build-demo/app/demo/drivelore-demo "$@"
