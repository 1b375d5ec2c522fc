#!/usr/bin/env bash
# Sanitizer runs of the test suite.
#
#   scripts/sanitize.sh [asan|tsan|all]      (default: all)
#
# asan: the whole project built with AddressSanitizer + UndefinedBehaviorSanitizer in
#       build-asan/ (ASAN_BUILD_DIR); the unit tests, then the end-to-end suite against that
#       kernel binary (GRIDLET_KERNEL). Any sanitizer report fails the run, also one written by a
#       kernel process that a test had already finished with: reports go to files
#       (log_path) that are checked at the end.
# tsan: ThreadSanitizer on the C++ concurrency units (pending host requests, the write queue,
#       the worker pool) as a separate unit-test binary in build-tsan/ (TSAN_BUILD_DIR).
#
# Leak checking: the kernel ends with _exit (it does not wait for workers that may be inside
# user code), so the leak checker never runs in the kernel. In the unit tests it does, and the
# embedded interpreter is never finalised, by design (the kernel never finalises it either):
# everything the interpreter allocated is still referenced from its own state, which the leak
# checker cannot see because libpython is not instrumented. Leaks whose allocation happened in
# libpython are therefore suppressed (the suppression file is written below); leaks from our own
# code are still reported.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
what="${1:-all}"
case "$what" in asan|tsan|all) ;; *) echo "usage: scripts/sanitize.sh [asan|tsan|all]" >&2; exit 2 ;; esac
JOBS="${JOBS:-2}"
status=0

if [ "$what" = asan ] || [ "$what" = all ]; then
  BUILD="${ASAN_BUILD_DIR:-build-asan}"
  REPORTS="$ROOT/$BUILD/sanitizer-reports"
  # A build type of its own, so that these are all the flags: -O1 and line tables only keep the
  # instrumented build of the whole project to a fraction of the -O2 -g time.
  flags="-O1 -g1 -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
  echo "== ASan+UBSan build in $BUILD"
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Sanitize -DPython_EXECUTABLE=/usr/bin/python3 \
    -DCMAKE_CXX_FLAGS_SANITIZE="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
  cmake --build "$BUILD" -j"$JOBS"
  rm -rf "$REPORTS"
  mkdir -p "$REPORTS"
  export ASAN_OPTIONS="abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1:log_path=$REPORTS/asan"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$REPORTS/ubsan"
  printf 'leak:libpython3\n' >"$ROOT/$BUILD/lsan.supp"
  export LSAN_OPTIONS="suppressions=$ROOT/$BUILD/lsan.supp:print_suppressions=0"
  echo "== unit tests (ASan+UBSan)"
  (cd "$BUILD" && ctest --output-on-failure --timeout 300) || status=1
  echo "== end-to-end suite against the ASan+UBSan kernel"
  GRIDLET_KERNEL="$ROOT/$BUILD/gridlet-kernel" /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/e2e || status=1
  if compgen -G "$REPORTS/*" >/dev/null; then
    echo "sanitizer reports:" >&2
    for f in "$REPORTS"/*; do echo "--- $f" >&2; head -n 60 "$f" >&2; done
    status=1
  else
    echo "no sanitizer reports"
  fi
fi

if [ "$what" = tsan ] || [ "$what" = all ]; then
  BUILD="${TSAN_BUILD_DIR:-build-tsan}"
  mkdir -p "$BUILD"
  echo "== ThreadSanitizer unit tests in $BUILD"
  CXX_BIN="${CXX:-g++}"
  # The concurrency units and what they use, nothing else: a small binary that builds in a minute.
  sources=(
    src/messaging/host_requests.cpp src/messaging/outbox.cpp src/messaging/ws_frame.cpp
    src/messaging/chunk_encoder.cpp src/messaging/json_text.cpp src/kernel/worker_pool.cpp
    src/kernel/control_queue.cpp src/util/log.cpp src/util/memory_release.cpp src/util/shortest_float.cpp
    src/util/utf8.cpp src/util/uuid.cpp
    tests/unit/python_environment.cpp tests/unit/test_host_requests_and_pool.cpp
    tests/unit/test_outbox.cpp tests/unit/test_concurrency.cpp tests/unit/test_control_queue.cpp
  )
  objs=()
  for src in "${sources[@]}"; do objs+=("$BUILD/$(echo "$src" | tr / _).o"); done
  # Compile $JOBS at a time.
  printf '%s\n' "${sources[@]}" | xargs -P "$JOBS" -I{} sh -c '
      "$1" -std=c++20 -O1 -g -fsanitize=thread -fno-omit-frame-pointer \
        -DSPDLOG_FMT_EXTERNAL -DBOOST_ASIO_NO_DEPRECATED -Isrc -Itests/unit $3 \
        -c "$0" -o "$2/$(echo "$0" | tr / _).o"' {} "$CXX_BIN" "$BUILD" "$(/usr/bin/python3-config --includes)"
  # shellcheck disable=SC2046
  "$CXX_BIN" -fsanitize=thread -o "$BUILD/gridlet-tsan-tests" "${objs[@]}" \
    -lgtest -lgtest_main -lboost_json -lspdlog -lfmt $(/usr/bin/python3-config --ldflags --embed) -pthread
  if TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" "$BUILD/gridlet-tsan-tests" \
      --gtest_filter='HostRequests*:Outbox*:WorkerPool*:Concurrency*:ControlQueue*' >"$BUILD/tsan-tests.log" 2>&1; then
    grep -E '^\[  PASSED  \]' "$BUILD/tsan-tests.log"
  else
    grep -v ' info \[Kernel\]' "$BUILD/tsan-tests.log" | tail -n 80 >&2
    status=1
  fi
fi
exit $status
