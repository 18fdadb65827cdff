#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the suites need and is missing, then builds and runs every suite: Linux
# (g++, clang++, static release, sanitizers), the fuzzer, clang-format, clang-tidy, Linux
# on i386, arm64 and armhf (natively or under qemu-user), Windows under Wine (the 64-bit
# build and the 32-bit program that ships, each watching the other bitness), the packages
# and their rebuild in other folders, a quick benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ clang clang-format clang-tidy libclang-rt-14-dev libgtest-dev util-linux procps
          binutils coreutils file unzip groff-base mandoc lintian
          g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 binutils-mingw-w64 wine64 wine32:i386
          g++-i686-linux-gnu g++-aarch64-linux-gnu g++-arm-linux-gnueabihf libstdc++6:i386
          diffoscope-minimal)
# qemu-user-static without what it recommends: binfmt-support would register it with the
# kernel for the whole machine, and the tests start it themselves.
emulators=(qemu-user-static)
missing() {
    local package
    for package in "$@"; do
        [[ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" == *"ok installed" ]] ||
            echo "$package"
    done
}
mapfile -t missing_packages < <(missing "${packages[@]}")
mapfile -t missing_emulators < <(missing "${emulators[@]}")
if ((${#missing_packages[@]} + ${#missing_emulators[@]})); then
    echo "== installing ${missing_packages[*]} ${missing_emulators[*]}"
    [[ "$(dpkg --print-foreign-architectures)" == *i386* ]] || dpkg --add-architecture i386
    apt-get update -qq
    export DEBIAN_FRONTEND=noninteractive
    ((${#missing_packages[@]} == 0)) || apt-get install -y -qq "${missing_packages[@]}"
    ((${#missing_emulators[@]} == 0)) ||
        apt-get install -y -qq --no-install-recommends "${missing_emulators[@]}"
fi

step() { echo; echo "== $*"; }

build() {
    local preset=$1
    shift
    cmake --preset "$preset" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
}

# Runs a test preset, then says once for each reason why tests were skipped: GoogleTest
# writes the reason on the line after "Skipped".
run_suite() {
    local preset=$1
    shift
    ctest --preset "$preset" "$@"
    awk -v preset="$preset" '/: Skipped$/ { getline reason; count[reason]++ }
        END { for (reason in count) print "SKIPPED " count[reason] " tests of " preset ": " reason }' \
        "build/$preset/Testing/Temporary/LastTest.log"
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Whether this machine starts a program: tried, not guessed from names or versions. Where
# the kernel does not run its machine code, sets `reason` to the system's answer ("Exec
# format error") and fails; any other failure of the program ends the test command.
starts() {
    local status=0
    reason=$(cd "$scratch" && "$@" 2>&1 >/dev/null) || status=$?
    ((status == 0)) && return 0
    [[ "$reason" == *"Exec format error"* ]] && return 1
    echo "FAIL: $* exited with $status: $reason" >&2
    exit 1
}

for preset in linux linux-clang linux-release sanitize; do
    step "$preset: build and test"
    build "$preset"
    run_suite "$preset"
done

step "fuzz: the process ID parser against the C library's scan"
build fuzz
corpus=$(mktemp -d)
build/fuzz/tests/fuzz/process_id_fuzzer -max_total_time=45 -print_final_stats=1 \
    "$corpus" tests/fuzz/corpus 2>&1 | tail -n 3
rm -rf "$corpus"

step "licence: every code file names it"
unlicensed=$(git ls-files '*.cpp' '*.h' '*.in' '*.cmake' '*CMakeLists.txt' '*.sh' '*.awk' \
             '*.manifest' '*.1' .ci/run .clang-format .clang-tidy |
             xargs grep -L "SPDX-License-Identifier: MIT" || true)
[[ -z "$unlicensed" ]] || { echo "no SPDX-License-Identifier line: $unlicensed"; exit 1; }

step "clang-format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

step "clang-tidy"
if ! findings=$(clang-tidy -p build/linux-clang --quiet exitwatch/*.cpp \
        exitwatch/platform/process_linux.cpp tests/fuzz/process_id_fuzzer.cpp 2>&1); then
    echo "$findings"
    exit 1
fi

# The suites of the other architectures start every test program, the watchdog and the
# helper through the preset's emulator, so no binfmt_misc entry is needed or changed.
step "linux-i386: build and test, natively where this kernel runs 32-bit x86 code"
build linux-i386 -DCMAKE_CROSSCOMPILING_EMULATOR=
if ! starts "$PWD/build/linux-i386/exitwatch"; then
    echo "linux-i386: this kernel does not start 32-bit x86 programs ($reason): under qemu-i386-static"
    # With the system's i386 libraries, as a native run has them: the cross sysroot's loader
    # does not match them, and its forked children hang under qemu.
    build linux-i386 -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/bin/qemu-i386-static
fi
run_suite linux-i386

for preset in linux-arm64:qemu-aarch64 linux-armhf:qemu-arm; do
    step "${preset%:*}: build and test under ${preset#*:}-static"
    build "${preset%:*}"
    run_suite "${preset%:*}"
done

step "Wine: the 64-bit build and the 32-bit program that ships, in one prefix"
build windows-x64
build windows-x86
export WINEPREFIX=/tmp/exitwatch-wine-prefix WINEDEBUG=-all
# Wine's first start sets up the prefix and is slow: do it once, not in every test, and
# keep one server running for both suites. A prefix set up before the 32-bit loader was
# installed lacks the 32-bit system folder, so every run sets up a fresh one, once an
# earlier run's server has gone: a new folder often gets the old one's inode, which names
# the server's socket.
/usr/lib/wine/wineserver -k 2>/dev/null || true
/usr/lib/wine/wineserver -w 2>/dev/null || true
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver -p 60
/usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
if starts /usr/lib/wine/wine --version; then
    step "windows-x64 under Wine, watching 32-bit processes too"
    run_suite windows-x64
    step "windows-x86 under Wine's 32-bit loader: $(realpath build/windows-x86/exitwatch.exe), watching 64-bit processes too"
    run_suite windows-x86
else
    echo "SKIPPED: the windows-x86 suite and the cross-bitness tests: this kernel does not start 32-bit x86 programs ($reason)"
    build windows-x64 -DEXITWATCH_OTHER_BITNESS_HELPER=
    step "windows-x64 under Wine"
    run_suite windows-x64
    step "windows-x86: the 32-bit program that ships, checked by inspection only"
    cmake -DOBJDUMP=i686-w64-mingw32-objdump -DPROGRAM=build/windows-x86/exitwatch.exe \
          -DFORMAT=pei-i386 -P cmake/CheckWindowsProgram.cmake
fi
/usr/lib/wine/wineserver -k 2>/dev/null || true

step "packages: a .deb for each Linux architecture, the Windows ZIP, SHA256SUMS"
tools/package.sh
tests/packages/check_packages.sh

step "packages: the same commit rebuilt in other folders gives the same bytes"
tests/packages/check_reproducible.sh

step "benchmark, quick run: only proves that it still works"
build/linux-release/bench/exitwatch_bench --quick build/linux-release/exitwatch build/windows-x86/exitwatch.exe

step "all suites passed"
