#!/usr/bin/env bash
# Configures and builds everything (kernel, unit tests, benchmark) in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" -DPython_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build "$BUILD_DIR" -j2
