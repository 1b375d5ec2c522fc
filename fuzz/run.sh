#!/usr/bin/env bash
# Runs a fuzz target for a given time:  fuzz/run.sh TARGET SECONDS
#   TARGET: fuzz_frame | fuzz_chunks | fuzz_outgoing | fuzz_py_json | fuzz_executor | all (each for SECONDS)
# Builds the targets first (clang-14, AddressSanitizer + UndefinedBehaviorSanitizer) in
# $FUZZ_BUILD_DIR (default build-fuzz/). Each run starts from the seed corpus in
# fuzz/corpus/TARGET plus what earlier runs found (kept in $FUZZ_BUILD_DIR/corpus/TARGET); an
# input that crashes or fails a check is written to $FUZZ_BUILD_DIR/findings/TARGET/ and the
# script exits non-zero. Reproduce one with: $FUZZ_BUILD_DIR/fuzz/TARGET FILE
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD="${FUZZ_BUILD_DIR:-$ROOT/build-fuzz}"
TARGETS=(fuzz_frame fuzz_chunks fuzz_outgoing fuzz_py_json fuzz_executor)

usage() { echo "usage: fuzz/run.sh {${TARGETS[*]// /|}|all} SECONDS" >&2; exit 2; }
[ $# -eq 2 ] || usage
[[ "$2" =~ ^[0-9]+$ ]] || usage
if [ "$1" = all ]; then selected=("${TARGETS[@]}"); else selected=("$1"); fi
for t in "${selected[@]}"; do [[ " ${TARGETS[*]} " == *" $t "* ]] || usage; done

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  mkdir -p "$BUILD"
  if ! CC=clang-14 CXX=clang++-14 cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release \
      -DGRIDLET_BUILD_FUZZ=ON -DGRIDLET_BUILD_TESTS=OFF -DGRIDLET_BUILD_BENCH=OFF \
      -DPython_EXECUTABLE=/usr/bin/python3 >"$BUILD/configure.log" 2>&1; then
    cat "$BUILD/configure.log" >&2
    rm -f "$BUILD/CMakeCache.txt"
    exit 1
  fi
fi
if ! cmake --build "$BUILD" -j2 --target gridlet_fuzz >"$BUILD/build.log" 2>&1; then
  grep -E "error|Error" "$BUILD/build.log" | head -n 40 >&2
  exit 1
fi

# Per target: longest input and dictionary. (The Python targets turn leak checking off
# themselves: see __asan_default_options there.)
options() {
  case "$1" in
    fuzz_frame) echo "-max_len=8192 -dict=$ROOT/fuzz/json.dict" ;;
    fuzz_chunks) echo "-max_len=512" ;;
    fuzz_outgoing) echo "-max_len=256" ;;
    fuzz_py_json) echo "-max_len=4096 -dict=$ROOT/fuzz/json.dict" ;;
    fuzz_executor) echo "-max_len=64" ;;
  esac
}

status=0
for t in "${selected[@]}"; do
  work="$BUILD/corpus/$t"
  findings="$BUILD/findings/$t"
  mkdir -p "$work" "$findings"
  echo "== $t for $2 s"
  # shellcheck disable=SC2046
  if ! ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1}" UBSAN_OPTIONS="print_stacktrace=1" \
      "$BUILD/fuzz/$t" $(options "$t") -max_total_time="$2" -timeout=10 -rss_limit_mb=3072 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$work" "$ROOT/fuzz/corpus/$t" \
      >"$BUILD/$t.log" 2>&1; then
    echo "$t: FAILED, see $BUILD/$t.log and $findings/" >&2
    tail -n 30 "$BUILD/$t.log" >&2
    status=1
  else
    grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "$BUILD/$t.log" | tr '\n' ' '
    echo "corpus: $(ls "$work" | wc -l) inputs"
  fi
done
exit $status
