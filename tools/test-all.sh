#!/usr/bin/env bash
# Installs what the suites need and is missing, then builds and runs every suite:
# Linux (g++, clang++, static release, sanitizers), the fuzzer, clang-tidy, the 32-bit
# Windows program by inspection, Windows under Wine, the packages, a quick benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ clang clang-format clang-tidy libclang-rt-14-dev libgtest-dev util-linux procps
          binutils coreutils file unzip groff-base mandoc
          g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 binutils-mingw-w64 wine64)
missing=()
for package in "${packages[@]}"; do
    [[ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" == *"ok installed" ]] ||
        missing+=("$package")
done
if ((${#missing[@]})); then
    echo "== installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

step() { echo; echo "== $*"; }

build() {
    cmake --preset "$1" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
    cmake --build --preset "$1" -j "$(nproc)"
}

for preset in linux linux-clang linux-release sanitize; do
    step "$preset: build and test"
    build "$preset"
    ctest --preset "$preset"
done

step "fuzz: the process ID parser against the C library's scan"
build fuzz
corpus=$(mktemp -d)
build/fuzz/tests/fuzz/process_id_fuzzer -max_total_time=45 -print_final_stats=1 \
    "$corpus" tests/fuzz/corpus 2>&1 | tail -n 3
rm -rf "$corpus"

step "clang-format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

step "clang-tidy"
if ! findings=$(clang-tidy -p build/linux-clang --quiet exitwatch/*.cpp \
        exitwatch/platform/process_linux.cpp tests/fuzz/process_id_fuzzer.cpp 2>&1); then
    echo "$findings"
    exit 1
fi

step "windows-x86: the 32-bit program that ships, checked by inspection"
build windows-x86
cmake -DOBJDUMP=i686-w64-mingw32-objdump -DPROGRAM=build/windows-x86/exitwatch.exe \
      -DFORMAT=pei-i386 -P cmake/CheckWindowsProgram.cmake

step "windows-x64: the same code, tested under Wine"
build windows-x64
export WINEPREFIX=/tmp/exitwatch-wine-prefix WINEDEBUG=-all
# Wine's first start sets up the prefix and is slow: do it once, not in every test, and
# keep one server running for the whole suite.
/usr/lib/wine/wineserver -k 2>/dev/null || true
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver -p 60
/usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
ctest --preset windows-x64
/usr/lib/wine/wineserver -k 2>/dev/null || true

step "packages: the .deb and the Windows ZIP"
tools/package.sh
tests/packages/check_packages.sh

step "benchmark, quick run: only proves that it still works"
build/linux-release/bench/exitwatch_bench --quick build/linux-release/exitwatch

step "all suites passed"
