#!/usr/bin/env bash
# One command on a fresh machine: installs the packages, builds, and runs the benchmark's quick
# scenarios against the kernel, so you see it serve a Business Layer over a real socket.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
exec ./build/bench/gridlet-bench --kernel ./build/gridlet-kernel "$@"
