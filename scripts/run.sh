#!/usr/bin/env bash
# Builds what is missing (kernel, console, bridge package) and starts gridlet-console.
# Without arguments it opens the example workbook; any arguments go to gridlet-console as they are.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
  echo "configuring $BUILD_DIR ..." >&2
  cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=/usr/bin/python3 >"$log" 2>&1 \
    || { cat "$log" >&2; exit 1; }
fi
if [ ! -x "$BUILD_DIR/gridlet-kernel" ] || [ ! -x "$BUILD_DIR/gridlet-console" ]; then
  echo "building the kernel and the console (a few minutes the first time) ..." >&2
fi
cmake --build "$BUILD_DIR" -j2 --target gridlet-kernel gridlet-console gridlet_python >"$log" 2>&1 \
  || { cat "$log" >&2; exit 1; }
if [ $# -eq 0 ]; then
  set -- "$ROOT/examples/workbook"
fi
exec "$BUILD_DIR/gridlet-console" "$@"
