#!/usr/bin/env bash
# valgrind memcheck over scripts/workload.py with the extension built in build-dev.
# About 20 s once build-dev is built (its first build takes a minute or two); not part of CI.
# Usage: bash scripts/valgrind.sh [rounds]  (default 2)
#
# Fails on any error whose stack passes through _vezuvir and on any definite leak. Errors wholly
# inside the interpreter are listed but do not fail the run: release builds of CPython report
# uninitialised reads in its small-int cache (maybe_small_long) that are not real.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
PYTHON="$(python3 -c 'import sys; print(sys.executable)')"
cmake -S . -B build-dev -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$PYTHON" >/dev/null
cmake --build build-dev -j2
LOG="$(mktemp "${TMPDIR:-/tmp}/vezuvir-valgrind.XXXXXX")"
# PYTHONMALLOC=malloc lets memcheck see every object, not just pymalloc's arenas.
PYTHONMALLOC=malloc PYTHONPATH="build-dev:python" valgrind --tool=memcheck --log-file="$LOG" \
    --leak-check=full --show-leak-kinds=definite --num-callers=40 \
    "$PYTHON" scripts/workload.py "${1:-2}"
grep -A6 "LEAK SUMMARY" "$LOG" || true
grep "ERROR SUMMARY" "$LOG"
# One error block per paragraph: keep those that reach our code.
ours="$(awk -v RS='==[0-9]+== \n' '/vezuvir/' "$LOG")"
if [[ -n "$ours" ]] || grep -qE "definitely lost: [1-9]" "$LOG"; then
    echo "$ours"
    echo "valgrind: errors or definite leaks in _vezuvir; full log: $LOG"
    exit 1
fi
echo "valgrind: no errors in _vezuvir, no definite leaks (full log: $LOG)"
