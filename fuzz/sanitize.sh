#!/usr/bin/env bash
# Builds the extension with AddressSanitizer + UndefinedBehaviorSanitizer and
# runs under it: the whole pytest suite, the saved regressions, a bounded fuzz
# round and the stress checks; then, when clang is there, the libFuzzer target
# of the Python-free code.
#   fuzz/sanitize.sh [FUZZ_SECONDS]      (default 60; build dir: $ASAN_BUILD, else build/asan)
#   fuzz/sanitize.sh --tests PATH...     only the build and these pytest paths
#                                        (what CI runs on every submission)
# $PYTHON (default python3) needs pytest; the build is made for it.
set -uo pipefail
TESTS_ONLY=0
if [ "${1:-}" = "--tests" ]; then
  TESTS_ONLY=1
  shift
  [ $# -gt 0 ] || { echo "--tests needs at least one pytest path"; exit 2; }
else
  SECS="${1:-60}"
fi
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
# Inside the checkout: a build directory elsewhere may hold a cache made from
# another checkout, which cmake refuses.
BUILD="${ASAN_BUILD:-$ROOT/build/asan}"
PY="$(command -v "${PYTHON:-python3}")" || { echo "no python: ${PYTHON:-python3}"; exit 2; }
case "$PY" in /*) ;; *) PY="$PWD/$PY" ;; esac   # cmake and the tests' children need it absolute
TARGETS=all
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKARVO_SANITIZE=ON \
      -DPython_EXECUTABLE="$PY" >/dev/null && ninja -C "$BUILD" $TARGETS >/dev/null || { echo "ASan build failed"; exit 2; }

# The interpreter is not built with the sanitizers: their runtimes must be
# loaded first, ahead of the interpreter's own allocator.
RT=""
for lib in libasan.so libubsan.so; do
  path="$(gcc -print-file-name=$lib)"
  [ -e "$path" ] || { echo "sanitizer runtime $lib not found (gcc -print-file-name=$lib gave '$path')"; exit 2; }
  RT="${RT:+$RT }$path"
done
run() {
  env PYTHONPATH="$BUILD" LD_PRELOAD="$RT" KARVO_FUZZ_RLIMIT=0 \
      ASAN_OPTIONS=detect_leaks=0:max_allocation_size_mb=1024:abort_on_error=1 \
      UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$@"
}
if [ $TESTS_ONLY = 1 ]; then
  run "$PY" -m pytest -q -p no:cacheprovider "$@"
  exit $?
fi
cd "$ROOT"
run "$PY" -m pytest -q -p no:cacheprovider "$ROOT/tests" 2>&1 | tail -n 30; tests=${PIPESTATUS[0]}
run "$PY" fuzz/fuzz_reader.py replay fuzz/regressions 2>&1 | tail -n 20; replay=${PIPESTATUS[0]}
run "$PY" fuzz/fuzz_reader.py random "$SECS" --out "${FUZZ_OUT:-$(mktemp -d /tmp/karvo-asan-fuzz.XXXXXX)}" 2>&1 | tail -n 40; fuzz=${PIPESTATUS[0]}
# karvo's own round: damaged copies of good files through karvo.open.
run "$PY" fuzz/fuzz_karvo.py "$SECS" --out "${FUZZ_OUT:-$(mktemp -d /tmp/karvo-asan-fuzz.XXXXXX)}" 2>&1 | tail -n 20; karvo=${PIPESTATUS[0]}
run "$PY" stress/leaks.py --scale 0.1; stress=$?

native=skipped
if command -v clang++ >/dev/null; then
  BIN="$BUILD/fuzz_format"
  if clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I"$ROOT/src" "$ROOT/fuzz/fuzz_format.cpp" \
       "$ROOT/src/records/text.cpp" "$ROOT/src/records/layouts.cpp" "$ROOT/src/io/native_file.cpp" \
       "$ROOT/src/io/positioned.cpp" "$ROOT/src/io/blocking.cpp" -o "$BIN"; then
    CORPUS="$(mktemp -d /tmp/karvo-format-corpus.XXXXXX)"
    PYTHONPATH="$BUILD" LD_PRELOAD="$RT" ASAN_OPTIONS=detect_leaks=0 "$PY" fuzz/fuzz_reader.py seeds "$CORPUS" >/dev/null 2>&1
    (cd "$CORPUS" && UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$BIN" -max_total_time="$SECS" \
        -max_len=20000 -timeout=10 "$CORPUS" 2>&1 | tail -n 3); native=$([ "${PIPESTATUS[0]}" = 0 ] && echo clean || echo FINDINGS)
  else
    native="build failed"
  fi
fi
echo "== sanitizer summary: tests=$([ $tests = 0 ] && echo pass || echo FAIL)" \
     "replay=$([ $replay = 0 ] && echo clean || echo FINDINGS)" \
     "fuzz=$([ $fuzz = 0 ] && echo clean || echo FINDINGS)" \
     "karvo-fuzz=$([ $karvo = 0 ] && echo clean || echo FINDINGS)" \
     "stress=$([ $stress = 0 ] && echo pass || echo FAIL) format-fuzzer=$native"
[ $tests = 0 ] && [ $replay = 0 ] && [ $fuzz = 0 ] && [ $karvo = 0 ] && [ $stress = 0 ] && [ "$native" != FINDINGS ]
