#!/usr/bin/env bash
# The test suite against the repaired wheels, one interpreter after another:
# for each, a fresh venv, the wheel built for it installed with its test
# extras by a pip that finds no compiler on PATH (so nothing of ours can be
# built from source), then the README's `python -m pytest -q` from the
# checkout, which imports the installed package (the sources live under src/
# and are not importable from here; checked before the tests run).
#   tools/test_wheels.sh [--min N] [--no-build] [PYTHON...]
#     default: every CPython 3.10+ that tools/pythons.sh finds
#     --min N      fail unless at least N interpreters were found
#     --no-build   use the wheels already in $WHEELHOUSE (default dist/)
#   $WHEEL_TEST_TIMEOUT: seconds for one interpreter's test run (default 900)
# Venvs are left in build/wheel-venvs/<X.Y> for later steps. Prints a table,
# interpreter by interpreter, and exits non-zero when any of them failed
# (a failed build, install or import check counts, and so does a run in which
# pytest collected no test).
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
MIN=1 BUILD=1
while [ $# -gt 0 ]; do
  case "$1" in
    --min) MIN="$2"; shift 2 ;;
    --no-build) BUILD=0; shift ;;
    *) break ;;
  esac
done
if [ $# -gt 0 ]; then PYTHONS=("$@"); else mapfile -t PYTHONS < <(bash tools/pythons.sh); fi
echo "== interpreters (${#PYTHONS[@]}): ${PYTHONS[*]}"
[ ${#PYTHONS[@]} -ge "$MIN" ] || { echo "test_wheels: found ${#PYTHONS[@]} CPython 3.10+ interpreters, need at least $MIN"; exit 2; }
WHEELHOUSE="${WHEELHOUSE:-$ROOT/dist}"
export WHEELHOUSE
VENVS="$ROOT/build/wheel-venvs"
mkdir -p "$VENVS"
if [ $BUILD = 1 ]; then bash tools/build_wheels.sh "${PYTHONS[@]}"; fi   # failures show up below as missing wheels
version="$(sed -n 's/^version *= *"\([^"]*\)".*/\1/p' pyproject.toml | head -n 1)"

# A bin folder of links to every program on PATH except compilers, linkers
# and build tools; pyenv's shims are left out (they would lead back to them).
NOCC="$VENVS/no-compiler-bin"
rm -rf "$NOCC"; mkdir -p "$NOCC"
compiler='^((cc|c\+\+|c89|c99|cpp|gcc|g\+\+|clang|clang\+\+|clang-cpp|ld|as|gold|tcc|cmake|ninja|make|gmake|rustc|cargo|zig|nvcc|gfortran|f77|f95)([-.][0-9.]+)?|(gcc|g\+\+|clang|ld)[-.].*|.*-linux-gnu.*|.*-(gcc|g\+\+|c\+\+|cc|cpp|ld|as)(-[0-9.]+)?)$'
IFS=: read -ra path_dirs <<< "$PATH"
for d in "${path_dirs[@]}"; do
  case "$d" in ""|*/.pyenv/shims|*/.pyenv/bin|"$ROOT"|"$ROOT"/*) continue ;; esac
  for f in "$d"/*; do
    n="${f##*/}"
    [ -f "$f" ] && [ -x "$f" ] && [ ! -e "$NOCC/$n" ] || continue
    [[ "$n" =~ $compiler ]] || ln -s "$f" "$NOCC/$n"
  done
done
for c in cc c++ gcc g++ clang clang++ cmake ninja; do
  if PATH="$NOCC" command -v "$c" >/dev/null; then echo "test_wheels: $c is still on the no-compiler PATH"; exit 2; fi
done

declare -a rows=()
failed=0
for py in "${PYTHONS[@]}"; do
  ver="$("$py" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])' 2>/dev/null)" || ver="$py"
  mm="${ver%.*}"; tag="cp${mm/./}"
  log="$VENVS/$mm.log"
  result="" summary="" start=$SECONDS
  wheel="$(ls "$WHEELHOUSE/karvoreader-$version-$tag-$tag-"manylinux*.whl 2>/dev/null | head -n 1)"
  venv="$VENVS/$mm"
  run() { env -u PYTHONPATH -u CC -u CXX -u PYTHONHOME PATH="$venv/bin:$NOCC" "$@"; }
  echo "== $ver: venv, wheel ${wheel##*/}"
  if [ -z "$wheel" ]; then
    result="FAILED" summary="no repaired wheel for $tag in $WHEELHOUSE"
  elif ! { rm -rf "$venv" && "$py" -m venv "$venv"; }; then
    result="FAILED" summary="venv"
  # --only-binary: the extras name the project itself; it may only ever come
  # from a wheel (this one).
  elif run "$venv/bin/python" -m pip install -q --only-binary karvoreader "$wheel[test]" 2>&1 | grep -v "is ignored: it is neither"; [ "${PIPESTATUS[0]}" != 0 ]; then
    result="FAILED" summary="pip install of the wheel with its test extras"
  elif ! run "$venv/bin/python" -c '
import importlib.metadata as md, json, os, sys
import karvo, karvoreader
prefix = os.path.realpath(sys.prefix) + os.sep
for m in (karvo, karvoreader):
    assert os.path.realpath(m.__file__).startswith(prefix), "%s imported from %s, not the venv" % (m.__name__, m.__file__)
url = json.loads(md.distribution("karvoreader").read_text("direct_url.json"))["url"]
assert url.endswith("/" + sys.argv[1]), "karvoreader installed from %s" % url
print("imports from", os.path.dirname(karvoreader.__file__))
' "${wheel##*/}"; then
    result="FAILED" summary="installed package not the one imported"
  else
    echo "== $ver: python -m pytest -q"
    run timeout -k 30 "${WHEEL_TEST_TIMEOUT:-900}" "$venv/bin/python" -m pytest -q 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    # pytest's closing line: "N passed, N failed ... in 1.23s"
    summary="$(grep -E ' in [0-9.]+s( \(|$| =)' "$log" | tail -n 1 | tr -d '=' | sed 's/^ *//; s/ *$//')"
    if [ "$status" = 0 ] && [[ "$summary" == *passed* ]]; then result="passed"
    else
      result="FAILED"
      [ "$status" = 5 ] && summary="no tests ran${summary:+: $summary}"
      [ "$status" = 124 ] && summary="timed out${summary:+: $summary}"
      summary="exit $status${summary:+: $summary}"
    fi
  fi
  [ "$result" = passed ] || failed=1
  rows+=("$(printf '%-11s %-7s %-22s %5ss  %s' "$ver" "$result" "${wheel:+$(basename "$wheel" .whl | sed 's/.*-//')}" \
              $((SECONDS - start)) "$summary")")
done
echo "== wheel tests"
printf '%-11s %-7s %-22s %6s  %s\n' interpreter result platform time pytest
printf '%s\n' "${rows[@]}"
exit $failed
