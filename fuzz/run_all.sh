#!/usr/bin/env bash
# Bounded hostile-input round: the fuzz harness for SECONDS (plain-Python
# mutation mode, no atheris needed), a replay of the saved regressions, and
# the leak/stress checks. Uses whatever karvoreader the interpreter imports
# (the installed module, or PYTHONPATH=<build dir>).
#   fuzz/run_all.sh [SECONDS]          PYTHON=... to choose the interpreter
# Exits non-zero when any part found something.
set -uo pipefail
SECS="${1:-60}"
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
if [ -z "${PYTHON:-}" ]; then
  if [ -x "$ROOT/.venv/bin/python" ]; then PYTHON="$ROOT/.venv/bin/python"; else PYTHON=python3; fi
fi
OUT="${FUZZ_OUT:-$(mktemp -d /tmp/karvo-fuzz-out.XXXXXX)}"
cd "$ROOT"
"$PYTHON" -c "import karvoreader" >/dev/null || { echo "karvoreader is not importable by $PYTHON"; exit 2; }

status=0
echo "== replay of fuzz/regressions"
"$PYTHON" fuzz/fuzz_reader.py replay fuzz/regressions | tail -n 20; replay=${PIPESTATUS[0]}
echo "== fuzz (random mutation) for ${SECS}s, findings to $OUT"
"$PYTHON" fuzz/fuzz_reader.py random "$SECS" --out "$OUT" | tail -n 40; fuzz=${PIPESTATUS[0]}
echo "== leak and stress checks"
"$PYTHON" stress/leaks.py --scale "${STRESS_SCALE:-1}"; stress=$?

echo "== summary: replay=$([ $replay = 0 ] && echo clean || echo FINDINGS)" \
     "fuzz=$([ $fuzz = 0 ] && echo clean || echo FINDINGS)" \
     "stress=$([ $stress = 0 ] && echo pass || echo FAIL)"
[ $replay = 0 ] && [ $fuzz = 0 ] && [ $stress = 0 ] || status=1
exit $status
