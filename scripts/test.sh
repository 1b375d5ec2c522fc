#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, runs the C++ unit tests and the
# end-to-end suite against the real binary over real sockets.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
BUILD_DIR="${BUILD_DIR:-build}"
status=0
(cd "$BUILD_DIR" && ctest --output-on-failure --timeout 120) || status=1
(cd tests/python && /usr/bin/python3 -m pytest -q -p no:cacheprovider) || status=1
GRIDLET_KERNEL="$PWD/$BUILD_DIR/gridlet-kernel" /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/e2e || status=1
# The same suites under AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer on the
# concurrency units, and each fuzz target for a short while.
bash scripts/sanitize.sh all || status=1
bash fuzz/run.sh all "${FUZZ_SECONDS:-10}" || status=1
exit $status
