#!/usr/bin/env bash
# valgrind memcheck over scripts/workload.py with the extension built in build-dev.
# Slow (minutes), so not part of CI. Usage: bash scripts/valgrind.sh [rounds]  (default 3)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
PYTHON="$(python3 -c 'import sys; print(sys.executable)')"
cmake -S . -B build-dev -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$PYTHON" >/dev/null
cmake --build build-dev -j2
# PYTHONMALLOC=malloc lets memcheck see every object; "definite" leaks are ours to explain,
# the interpreter keeps the rest reachable until exit.
PYTHONMALLOC=malloc PYTHONPATH="build-dev:python" valgrind --tool=memcheck --error-exitcode=1 \
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --num-callers=30 "$PYTHON" scripts/workload.py "${1:-3}"
