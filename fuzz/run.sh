#!/usr/bin/env bash
# Builds _vezuvir for coverage-guided fuzzing (clang, libFuzzer coverage, ASan + UBSan) and runs
# each target for a bounded time over its seed corpus.
#
# Usage: bash fuzz/run.sh [seconds-per-target] [target...]
#   default 60 s each, all six targets; VEZUVIR_FUZZ_RUNS=N also stops a target after N inputs. VEZUVIR_FUZZ_REPLAY=<file> runs that one input instead. Needs clang and its runtime archives
#   (Debian: clang-14 libclang-rt-14-dev) and CPython 3.11-3.13 as python3.
# Crashing inputs are kept in $VEZUVIR_FUZZ_ARTIFACTS (default fuzz/artifacts/); new coverage
# found goes to a scratch folder, so the committed corpus only changes when you copy into it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
SECONDS_EACH="${1:-60}"
shift || true
TARGETS=("$@")
[[ ${#TARGETS[@]} -gt 0 ]] || TARGETS=(load_bytes lazy_load_bytes bytes_check_if_contains round_trip dump_hostile records)
PYTHON="$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')"
ARTIFACTS="${VEZUVIR_FUZZ_ARTIFACTS:-$ROOT/fuzz/artifacts}"
mkdir -p "$ARTIFACTS"

CXX_FUZZ=""
for candidate in clang++ clang++-14 clang++-15 clang++-16; do
    if command -v "$candidate" >/dev/null; then CXX_FUZZ="$candidate"; break; fi
done
[[ -n "$CXX_FUZZ" ]] || { echo "no clang++: install clang-14 and libclang-rt-14-dev"; exit 1; }

WORK="${VEZUVIR_FUZZ_WORK:-$(mktemp -d "${TMPDIR:-/tmp}/vezuvir-fuzz.XXXXXX")}"
mkdir -p "$WORK"
export PIP_NO_INPUT=1 PIP_PROGRESS_BAR=off PIP_DISABLE_PIP_VERSION_CHECK=1 PYTHONDONTWRITEBYTECODE=1
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

# libFuzzer and the ASan runtime in one preloadable library: the extension's coverage hooks
# must bind to libFuzzer's, which only a library loaded before the interpreter can provide
# (the sanitizer runtime alone would bind them to its no-op defaults).
RUNTIME="$WORK/asan_with_fuzzer.so"
if [[ ! -e "$RUNTIME" ]]; then
    RT="$("$CXX_FUZZ" -print-resource-dir)/lib"
    asan="$(ls "$RT"/linux/libclang_rt.asan-x86_64.a "$RT"/x86_64-*linux*/libclang_rt.asan.a 2>/dev/null | head -n 1 || true)"
    [[ -n "$asan" ]] || { echo "no libclang_rt.asan under $RT: install libclang-rt-14-dev"; exit 1; }
    suffix="${asan##*libclang_rt.asan}"
    dir="$(dirname "$asan")"
    mkdir -p "$WORK/rt"
    (cd "$WORK/rt" && ar x "$asan" && rm -f asan_preinit*.o)  # .preinit_array is not allowed in a DSO
    "$CXX_FUZZ" -shared -o "$RUNTIME" "$WORK"/rt/*.o -Wl,--whole-archive \
        "$dir/libclang_rt.asan_cxx$suffix" "$dir/libclang_rt.fuzzer_no_main$suffix" \
        -Wl,--no-whole-archive -lpthread -ldl -lrt -lm
fi

VENV="$WORK/venv"
if [[ ! -x "$VENV/bin/python" ]]; then
    "$PYTHON" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q "atheris==3.0.0"
fi
# CMake reads CXX, CXXFLAGS and LDFLAGS on its first configure of a fresh build directory.
CXX="$CXX_FUZZ" \
    CXXFLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -gline-tables-only" \
    LDFLAGS="-fsanitize=address,undefined" \
    SKBUILD_BUILD_DIR="$WORK/build" SKBUILD_CMAKE_BUILD_TYPE=Release \
    "$VENV/bin/python" -m pip install -q --no-deps --force-reinstall .

export PYTHONMALLOC=malloc
# A few bytes may declare a list of up to 2**64-1 Nones or empty dicts, which the decoder
# builds (see the README's limits): cap single allocations so such inputs end in MemoryError
# instead of exhausting the machine.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=64"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

status=0
SUMMARY=()
for target in "${TARGETS[@]}"; do
    scratch="$WORK/new-$target"
    mkdir -p "$scratch"
    log="$WORK/$target.log"
    echo "== fuzz $target for ${SECONDS_EACH}s"
    rc=0
    inputs=("$scratch" "corpus/$target")
    if [[ -n "${VEZUVIR_FUZZ_REPLAY:-}" ]]; then
        inputs=("$(realpath "$VEZUVIR_FUZZ_REPLAY")")
    fi
    # Run from fuzz/ so that common.py imports; the installed vezuvir is the fuzzing build.
    (cd fuzz && LD_PRELOAD="$RUNTIME" "$VENV/bin/python" "$target.py" \
        -max_total_time="$SECONDS_EACH" ${VEZUVIR_FUZZ_RUNS:+-runs="$VEZUVIR_FUZZ_RUNS"} \
        -timeout=20 -rss_limit_mb=2560 -print_final_stats=1 \
        -artifact_prefix="$ARTIFACTS/$target-" "${inputs[@]}") >"$log" 2>&1 || rc=$?
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
    cov="$(grep -oE 'cov: [0-9]+' "$log" | tail -n 1 || true)"
    if [[ $rc -ne 0 ]]; then
        tail -n 60 "$log"
        SUMMARY+=("$target: FAILED (exit $rc) after ${runs:-?} runs; input kept in $ARTIFACTS")
        status=1
    else
        SUMMARY+=("$target: ${runs:-?} runs in ${SECONDS_EACH}s, ${cov:-cov: ?}, no crash")
    fi
done
printf '%s\n' "${SUMMARY[@]}"
exit "$status"
