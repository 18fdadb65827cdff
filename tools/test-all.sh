#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the suites need and is missing, then builds and runs every suite: Linux
# (g++, clang++, static release on musl, sanitizers), the code of the documentation, the
# fuzzer, clang-format, clang-tidy, Linux on i386, arm64 and armhf (natively or under
# qemu-user), Windows under Wine (the 64-bit build and the 32-bit program that ships, each
# watching the other bitness), the packages and their rebuild in other folders, a quick
# benchmark. A suite or check that fails does
# not stop the others: the summary at the end names every one, and the command then fails.
#
#   tools/test-all.sh [--without-ia32]
#
# --without-ia32: test as on a kernel that does not run 32-bit x86 code, whatever this
# one does: linux-i386 under qemu-i386-static, the 32-bit Windows program by inspection.
set -euo pipefail
cd "$(dirname "$0")/.."
without_ia32=false
case "${1:-}" in
    "") ;;
    --without-ia32) without_ia32=true ;;
    *) echo "usage: $0 [--without-ia32]" >&2; exit 2 ;;
esac

# Every package with --no-install-recommends: what the suites use, and nothing that a
# package merely recommends (diffoscope-minimal alone recommends some 600, R and ffmpeg
# among them). On a bare Debian 12 machine of this project's kind the list installs some
# 390 new packages (391 measured here, 20 of them for Go and Mono); each one a suite would
# lack is named.
packages=(
    cmake g++ clang clang-format clang-tidy libgtest-dev util-linux procps binutils coreutils
    libclang-rt-14-dev  # the sanitizers' and libFuzzer's runtimes, which clang only recommends
    file unzip groff-base mandoc  # the package checks: file types, the ZIP, the manual page
    lintian
    strace  # makes each call of a watch fail in the fault-injection test
    rpm rpmlint  # rpmbuild for CPack's RPM generator, rpm -qp and rpm2cpio for the checks
    g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 binutils-mingw-w64
    # Wine's loaders and server; the "wine" wrapper and fonts that it recommends are not
    # needed, since the tests start /usr/lib/wine/wine{,64} themselves and draw nothing.
    wine64 wine32:i386
    g++-i686-linux-gnu g++-aarch64-linux-gnu g++-arm-linux-gnueabihf
    libstdc++6:i386  # the dynamic i386 test programs, run natively
    # The C library that each Linux program that ships is built on; the tests use glibc.
    musl-dev musl-dev:i386 musl-dev:arm64 musl-dev:armhf
    # Names the file that differs when a rebuild is not the same; without the tools it
    # recommends it compares archives' members and shows bytes, which is enough for that.
    diffoscope-minimal
    # Without binfmt-support, which it recommends and which would register it with the
    # kernel for the whole machine: the tests start the emulator themselves.
    qemu-user-static
    # The documentation's Go and C# starters; Node.js, Python, Rust and Java are on the
    # machine. script(1), which gives each starter a terminal, is in bsdutils, always there.
    golang-go mono-mcs mono-runtime
    # The Python wheels: made with the wheel tool, installed in a new virtual environment.
    python3-wheel python3-venv
)
missing() {
    local package
    for package in "$@"; do
        [[ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" == *"ok installed" ]] ||
            echo "$package"
    done
}
mapfile -t missing_packages < <(missing "${packages[@]}")
if ((${#missing_packages[@]})); then
    echo "== installing ${missing_packages[*]}"
    for architecture in i386 arm64 armhf; do
        [[ "$(dpkg --print-foreign-architectures)" == *$architecture* ]] ||
            dpkg --add-architecture "$architecture"
    done
    # A mirror in the middle of a sync can fail one index of one architecture (apt says
    # "File has unexpected size"): apt then goes on with the lists it has, and so does this.
    for try in 1 2 3; do
        apt-get update -qq && break
        if ((try < 3)); then sleep 10; else echo "== going on with the package lists apt has"; fi
    done
    # dpkg's word on each package is shown only when the install fails. Without that index,
    # a package of both architectures may have a security update for one only, and i386 and
    # amd64 copies must be of one version: the release's own versions are taken then.
    install_log=$(mktemp)
    install_missing() {
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@" \
            "${missing_packages[@]}" >"$install_log" 2>&1
    }
    release=$(. /etc/os-release && echo "$VERSION_CODENAME")
    if ! install_missing && ! install_missing -o APT::Default-Release="$release"; then
        cat "$install_log"
        exit 1
    fi
    grep -E "^[0-9]+ upgraded, [0-9]+ newly installed" "$install_log" || true
    rm -f "$install_log"
fi

step() { echo; echo "== $*"; }

# Each step chains its commands with && (or returns its status itself): a suite or check
# that fails is noted, and the next one runs.
build() {
    local preset=$1
    shift
    cmake --preset "$preset" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@" >/dev/null &&
        cmake --build --preset "$preset" -j "$(nproc)"
}

scratch=$(mktemp -d)
# One line for each suite, written at the end whether the run passes or fails.
summary=$scratch/summary
all_tests=0 all_passed=0 all_skipped=0
failures=()
print_summary() {
    echo
    echo "== summary"
    column -t -s '|' "$summary" 2>/dev/null || tr '|' ' ' <"$summary"
    echo "total: $all_tests tests, $all_passed passed, $all_skipped skipped; $SECONDS s in all"
    ((${#failures[@]} == 0)) || echo "FAILED: ${failures[*]}"
}
trap 'print_summary; rm -rf "$scratch"' EXIT

# Runs a test preset, then says once for each reason why tests were skipped (GoogleTest
# writes the reason on the line after "Skipped") and adds the suite to the summary, named
# after the preset or, with "--as NAME" first, NAME.
run_suite() {
    local name=$1 preset=$1 started=$SECONDS status=0 log tests failed skipped
    if [[ $1 == --as ]]; then
        name=$2 preset=$3
        shift 2
    fi
    shift
    ctest --preset "$preset" "$@" | tee "$scratch/ctest-output" || status=$?
    ((status == 0)) || failures+=("$name")
    log=build/$preset/Testing/Temporary/LastTest.log
    awk -v name="$name" '/: Skipped$/ { getline reason; count[reason]++ }
        END { for (reason in count) print "SKIPPED " count[reason] " tests of " name ": " reason }' "$log" || true
    tests=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$scratch/ctest-output")
    failed=$(sed -n 's/.*, \([0-9]*\) tests failed out of .*/\1/p' "$scratch/ctest-output")
    skipped=$(grep -c ': Skipped$' "$log" || true)
    tests=${tests:-0} failed=${failed:-0}
    echo "$name|$tests tests|$((tests - failed - skipped)) passed|$failed failed|$skipped skipped|$((SECONDS - started)) s" >>"$summary"
    if [[ $name == DocExamples* ]]; then
        echo "$name by language|$(sed -n 's/.* Test *#[0-9]*: DocExamples\.\(windows_\)\{0,1\}start_\([a-z]*\) [ .*]*\([A-Za-z]*\).*/\2 \3/p' \
            "$scratch/ctest-output" | tr '[:upper:]' '[:lower:]' | paste -sd, - | sed 's/,/, /g')" >>"$summary"
    fi
    all_tests=$((all_tests + tests)) all_passed=$((all_passed + tests - failed - skipped))
    all_skipped=$((all_skipped + skipped))
}

note_build_failure() {
    failures+=("$1")
    echo "$1|build failed|||||" >>"$summary"
}

# Builds a preset and runs its suite.
build_and_test() {
    if build "$@"; then
        run_suite "$1"
    else
        note_build_failure "$1"
    fi
}

# A check that is no ctest suite, timed for the summary.
run_check() {
    local name=$1 started=$SECONDS result=passed
    shift
    "$@" || { result=FAILED; failures+=("$name"); }
    echo "$name|check|$result|||$((SECONDS - started)) s" >>"$summary"
}
# Whether this machine starts a 32-bit x86 program: tried, not guessed from names or
# versions. Where the kernel does not run its machine code, or --without-ia32 says to act
# so, sets `reason` to the system's answer ("Exec format error") and fails; any other
# failure of the program ends the test command.
starts_ia32() {
    local status=0
    if $without_ia32; then
        reason="--without-ia32"
        return 1
    fi
    reason=$(cd "$scratch" && "$@" 2>&1 >/dev/null) || status=$?
    ((status == 0)) && return 0
    [[ "$reason" == *"Exec format error"* ]] && return 1
    echo "FAIL: $* exited with $status: $reason" >&2
    exit 1
}

step "linux: build and test"
if build linux; then
    run_suite linux -E '^DocExamples'
    step "DocExamples: the code of the README and doc/, taken from the Markdown and run"
    run_suite --as DocExamples linux -R '^DocExamples'
else
    note_build_failure linux
fi
for preset in linux-clang linux-release sanitize; do
    step "$preset: build and test"
    build_and_test "$preset"
done

fuzz() {
    local corpus status=0
    build fuzz || return
    corpus=$(mktemp -d)
    build/fuzz/tests/fuzz/process_id_fuzzer -max_total_time=45 -print_final_stats=1 \
        "$corpus" tests/fuzz/corpus 2>&1 | tail -n 3 || status=$?
    rm -rf "$corpus"
    return "$status"
}
step "fuzz: the process ID parser against the C library's scan"
run_check fuzz fuzz

licensed() {
    local unlicensed
    unlicensed=$(git ls-files '*.cpp' '*.h' '*.in' '*.cmake' '*CMakeLists.txt' '*.sh' '*.awk' \
                 '*.manifest' '*.c' '*.js' '*.ts' '*.py' .ci/run .clang-format .clang-tidy |
                 xargs grep -L "SPDX-License-Identifier: MIT" || true)
    [[ -z "$unlicensed" ]] || { echo "no SPDX-License-Identifier line: $unlicensed"; return 1; }
}
step "licence: every code file names it"
run_check licence licensed

formatted() { git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror; }
step "clang-format"
run_check clang-format formatted

tidy() {
    local findings
    findings=$(clang-tidy -p build/linux-clang --quiet exitwatch/*.cpp \
        exitwatch/platform/process_linux.cpp exitwatch/platform/log_file_linux.cpp \
        tests/fuzz/process_id_fuzzer.cpp 2>&1) ||
        { echo "$findings"; return 1; }
}
step "clang-tidy"
run_check clang-tidy tidy

# The suites of the other architectures start every test program, the watchdog and the
# helper through the preset's emulator, so no binfmt_misc entry is needed or changed. The
# seccomp filters come from this machine's own helper, the linux preset's where it was built.
native_helper=$PWD/build/linux/tests/exitwatch_test_helper
[[ -x "$native_helper" ]] || native_helper=
step "linux-i386: build and test, natively where this kernel runs 32-bit x86 code"
i386_emulator=
if build linux-i386 -DCMAKE_CROSSCOMPILING_EMULATOR= && ! starts_ia32 "$PWD/build/linux-i386/exitwatch"; then
    echo "linux-i386: this kernel does not start 32-bit x86 programs ($reason): under qemu-i386-static"
    # With the system's i386 libraries, as a native run has them: the cross sysroot's loader
    # does not match them, and its forked children hang under qemu.
    i386_emulator=/usr/bin/qemu-i386-static
fi
build_and_test linux-i386 -DCMAKE_CROSSCOMPILING_EMULATOR=$i386_emulator \
    -DEXITWATCH_NATIVE_HELPER="$native_helper"

for preset in linux-arm64:qemu-aarch64 linux-armhf:qemu-arm; do
    step "${preset%:*}: build and test under ${preset#*:}-static"
    build_and_test "${preset%:*}" -DEXITWATCH_NATIVE_HELPER="$native_helper"
done

step "Wine: the 64-bit build and the 32-bit program that ships, in one prefix"
# Each Windows preset on its own builds the other bitness's test helper as well; here each
# is pointed at the one that the other preset builds anyway, so nothing is built twice.
if starts_ia32 /usr/lib/wine/wine --version; then
    across_bitness=ON
else
    echo "SKIPPED: the windows-x86 suite and the cross-bitness tests: this kernel does not start 32-bit x86 programs ($reason)"
    across_bitness=OFF
fi
declare -A windows_built
for bits in x64:x86 x86:x64; do
    if build "windows-${bits%:*}" -DEXITWATCH_TEST_ACROSS_BITNESS=$across_bitness \
        -DEXITWATCH_OTHER_BITNESS_HELPER="$PWD/build/windows-${bits#*:}/tests/exitwatch_test_helper.exe"; then
        windows_built[${bits%:*}]=true
    else
        note_build_failure "windows-${bits%:*}"
    fi
done
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
if [[ -n "${windows_built[x64]:-}" ]]; then
    step "windows-x64 under Wine$([[ $across_bitness == OFF ]] || echo ", watching 32-bit processes too")"
    run_suite windows-x64 -E '^DocExamples'
    step "DocExamples of Windows: the C examples, compiled by mingw-w64 and run under Wine"
    run_suite --as DocExamples-windows windows-x64 -R '^DocExamples'
fi
if [[ -n "${windows_built[x86]:-}" && $across_bitness == ON ]]; then
    step "windows-x86 under Wine's 32-bit loader: $(realpath build/windows-x86/exitwatch.exe), watching 64-bit processes too"
    run_suite windows-x86
elif [[ -n "${windows_built[x86]:-}" ]]; then
    step "windows-x86: the 32-bit program that ships, checked by inspection only"
    run_check windows-x86 cmake -DOBJDUMP=i686-w64-mingw32-objdump \
        -DPROGRAM=build/windows-x86/exitwatch.exe -DFORMAT=pei-i386 -P cmake/CheckWindowsProgram.cmake
fi
/usr/lib/wine/wineserver -k 2>/dev/null || true

step "packages: a .deb, an RPM and a tarball for each Linux architecture, the Windows ZIP, the npm package, the wheels, SHA256SUMS"
packages() { tools/package.sh && tests/packages/check_packages.sh; }
run_check packages packages

step "packages: the same commit rebuilt in other folders gives the same bytes"
run_check reproducible tests/packages/check_reproducible.sh

step "benchmark, quick run: only proves that it still works"
run_check benchmark build/linux-release/bench/exitwatch_bench --quick build/linux-release/exitwatch \
    build/linux-i386/exitwatch build/linux-arm64/exitwatch build/linux-armhf/exitwatch \
    build/windows-x86/exitwatch.exe

if ((${#failures[@]})); then
    step "failed: ${failures[*]}"
    exit 1
fi
step "all suites passed"
