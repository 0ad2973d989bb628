#!/usr/bin/env bash
# Builds the demo over the emulated devices and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRL_BUILD_TESTS=OFF >/dev/null
cmake --build build-demo -j "$(nproc)"
if [ -x build-demo/app/drivelore-demo ]; then
    exec build-demo/app/drivelore-demo "$@"
fi
echo "The application arrives with the main window; until then try the command-line tool:"
if [ -x build-demo/cli/drivelore-cli ]; then
    exec build-demo/cli/drivelore-cli --help
fi
echo "(drivelore-cli is not built yet either)"
