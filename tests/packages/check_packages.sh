#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks what tools/package.sh built and what cmake --install puts where: SHA256SUMS covers
# every package and checks out; each .deb passes lintian with no error or warning, names
# its architecture, depends on nothing and installs a hardened static program for that
# architecture on musl, which runs there (natively or under qemu-user) and logs exactly, the
# manual page, which lints clean, the copyright and the changelog; the RPM and the tarball
# of each architecture hold that very program, the RPM with its architecture's name, no
# dependency, the licence marked as such and no rpmlint error, the tarball under one
# folder with root's entries, sorted, the licence, README, changelog and CMake package; the
# ZIP holds the 32-bit Windows program, asking to run as its invoker, hardened, with the
# project's version and copyright, the licence and the README. The npm package holds
# exactly the module, its types, README and licence and those five programs, each wheel its
# architecture's program as a script under its tags and a RECORD that checks out; each of
# those, and the CMake package by find_package() and by add_subdirectory(), is installed as
# its users install it and run on the scenario of every starter.
set -euo pipefail
cd "$(dirname "$0")/../.."

fail() { echo "FAIL: $*" >&2; exit 1; }

version=$(sed -n 's/^ *VERSION \([0-9.]*\)$/\1/p' CMakeLists.txt)
[[ -n "$version" ]] || fail "no version in CMakeLists.txt"
packages=build/packages
zip=exitwatch-${version}-windows-x86.zip
# Debian architecture, RPM's name for it, what file(1) says of its program's machine, how
# it is run where the kernel does not start it, the preset that builds it, the wheels' name.
architectures=(
    "amd64|x86_64|x86-64||linux-release|x86_64"
    "i386|i686|Intel 80386|qemu-i386-static|linux-i386|i686"
    "arm64|aarch64|ARM aarch64|qemu-aarch64-static|linux-arm64|aarch64"
    "armhf|armv7hl|ARM, EABI5|qemu-arm-static|linux-armhf|armv7l"
)
npm_package=exitwatch-$version.tgz
windows_wheel=exitwatch-$version-py3-none-win32.win_amd64.whl
# The wheel of a Linux machine, for glibc's systems and musl's.
wheel_of() {
    echo "exitwatch-$version-py3-none-manylinux2014_$1.manylinux_2_17_$1.musllinux_1_1_$1.whl"
}

# The wheel's files, unpacked into `2` by the wheel tool, which checks each against the
# RECORD; the program is its one script, the only file with run bits.
check_wheel() {
    local wheel=$packages/$1 into=$2 modes
    /usr/bin/python3 -m wheel unpack -d "$into" "$wheel" >/dev/null || fail "$wheel: RECORD"
    modes=$(zipinfo "$wheel" | awk '$1 ~ /x/ { print $NF }')
    [[ "$modes" == "exitwatch-$version.data/scripts/exitwatch"* && $(wc -l <<<"$modes") == 1 ]] ||
        fail "$wheel: the run bits are on ${modes:-nothing}"
    [[ -f "$into/exitwatch-$version/exitwatch/__init__.py" ]] || fail "$wheel: no module"
}

# A hardened static PIE on musl: no interpreter, ELF type DYN, relocation-read-only data
# with every symbol bound at start, a stack that cannot execute, and nothing of glibc, whose
# static programs name it in their messages.
check_hardening() {
    local program=$1 segments
    segments=$(readelf -lW "$program")
    [[ "$segments" != *INTERP* ]] || fail "$program asks for an interpreter"
    grep -q "Type: *DYN" <<<"$(readelf -h "$program")" || fail "$program is not position independent"
    grep -q "GNU_RELRO" <<<"$segments" || fail "$program has no RELRO segment"
    grep -q "(FLAGS) *BIND_NOW" <<<"$(readelf -dW "$program")" || fail "$program binds lazily"
    grep -Eq "GNU_STACK( +0x[0-9a-f]+){5} +RW " <<<"$segments" ||
        fail "$program has an executable stack or none marked"
    ! grep -qa glibc "$program" || fail "$program is built on glibc, not musl (apt-get install musl-dev)"
}

# The compiler's hardening options for the program's own sources, as the build recorded
# them in its compile commands: a stripped static program keeps no trace of them. Of each
# kind of option the compiler takes the last one given.
check_compile_options() {
    local build=$1 commands command rule last
    commands=$(grep -o '"command": ".* -o CMakeFiles/exitwatch.dir/[^ ]*' "$build/compile_commands.json") ||
        fail "$build: no compile command for the program's sources"
    while IFS= read -r command; do
        # The options of a kind, and the ones that count as hardened.
        for rule in "stack-protector(-[a-z]+)?;-fstack-protector-strong" \
                    "stack-clash-protection;-fstack-clash-protection" \
                    "cf-protection(=[a-z]+)?;-fcf-protection -fcf-protection=full" \
                    "(pie|PIE|pic|PIC);-fpie -fPIE"; do
            [[ $rule != cf-* || $command == *x86_64-linux* || $command == *i386-linux* ]] || continue
            last=$(tr ' ' '\n' <<<"$command" | grep -Ex -- "-f(no-)?${rule%;*}" | tail -n 1)
            [[ " ${rule#*;} " == *" ${last:-none} "* ]] ||
                fail "$build: ${command##* -o } is built with ${last:-no such option}, not ${rule#*;}"
        done
        # musl has no fortified calls; a program built on glibc must be fortified.
        if [[ $command != *-linux-musl* ]]; then
            last=$(tr ' ' '\n' <<<"$command" | grep -Ex -- "-[DU]_FORTIFY_SOURCE(=[0-9])?" | tail -n 1)
            [[ "$last" == -D_FORTIFY_SOURCE=[23] ]] || fail "$build: ${command##* -o } is not fortified"
        fi
    done <<<"$commands"
}

# The running program's RELRO pages are read-only, as its start-up makes them: it waits
# on `victim` meanwhile, which this then ends.
check_relro_at_run() {
    local program=$1 folder=$2 watchdog victim offset size base page maps first last range permissions from to
    read -r offset size < <(readelf -lW "$program" | awk '$1 == "GNU_RELRO" { print $3, $6 }')
    sleep 30 &
    victim=$!
    (cd "$folder" && exec "$program" "$victim") &
    watchdog=$!
    for _ in {1..100}; do
        [[ "$(readlink "/proc/$watchdog/exe")" != "$program" ]] || break
        sleep 0.05
    done
    maps=$(cat "/proc/$watchdog/maps")
    kill "$victim"
    wait "$watchdog" "$victim" 2>/dev/null || true
    base=$(grep -m1 " 00000000 .* $program\$" <<<"$maps") || fail "$program: not in its own memory map"
    base=$((16#${base%%-*}))
    page=$(getconf PAGESIZE)
    first=$(((base + offset) / page * page))
    last=$(((base + offset + size) / page * page))
    ((last > first)) || fail "$program: no whole page of RELRO to protect"
    while read -r range permissions _; do
        from=$((16#${range%-*})) to=$((16#${range#*-}))
        if ((from < last && to > first)) && [[ $permissions != r--p ]]; then
            fail "$program: RELRO pages in $range are $permissions once it runs, not r--p"
        fi
    done <<<"$maps"
}

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

expected_files=("$zip" "$npm_package" "$windows_wheel")
for entry in "${architectures[@]}"; do
    IFS='|' read -r architecture rpm_architecture _ _ _ wheel_machine <<<"$entry"
    expected_files+=("exitwatch_${version}_$architecture.deb" "exitwatch-$version-1.$rpm_architecture.rpm"
                     "exitwatch-$version-linux-$architecture.tar.gz" "$(wheel_of "$wheel_machine")")
done
tar -xzf "$packages/$npm_package" -C "$root"
npm_listing=$(tar -tzf "$packages/$npm_package" | sort)
[[ "$npm_listing" == "$(printf 'package/%s
' LICENSE README.md index.d.ts index.js package.json \
    bin/linux-{amd64,i386,arm64,armhf}/exitwatch bin/windows-x86/exitwatch.exe | sort)" ]] ||
    fail "$npm_package holds ${npm_listing//$'\n'/ }"
[[ "$(cd "$root/package" && node -p "require('./package.json').version")" == "$version" ]] ||
    fail "$npm_package: not version $version"
listed=$(cut -d' ' -f3 "$packages/SHA256SUMS" | sort)
[[ "$listed" == "$(printf '%s\n' "${expected_files[@]}" | sort)" ]] ||
    fail "SHA256SUMS lists ${listed//$'\n'/ }, not every package"
(cd "$packages" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not check out"

for entry in "${architectures[@]}"; do
    IFS='|' read -r architecture rpm_architecture machine emulator preset wheel_machine <<<"$entry"
    deb=$packages/exitwatch_${version}_${architecture}.deb
    findings=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "$deb: lintian: $findings"
    [[ "$(dpkg-deb -f "$deb" Package)" == exitwatch ]] || fail "$deb: package name"
    [[ "$(dpkg-deb -f "$deb" Version)" == "$version" ]] || fail "$deb: package version"
    [[ "$(dpkg-deb -f "$deb" Architecture)" == "$architecture" ]] || fail "$deb: architecture"
    [[ "$(dpkg-deb -f "$deb" Section)" == utils ]] || fail "$deb: section"
    [[ -z "$(dpkg-deb -f "$deb" Depends)" ]] || fail "$deb: a static program needs no Depends"
    grep -q "log_close.txt" <<<"$(dpkg-deb -f "$deb" Description)" || fail "$deb: description"

    sys=$root/$architecture
    dpkg -x "$deb" "$sys"
    program=$sys/usr/bin/exitwatch
    [[ -x "$program" ]] || fail "$deb: program not installed"
    [[ -f "$sys/usr/share/man/man1/exitwatch.1.gz" ]] || fail "$deb: manual page not installed"
    docs=$sys/usr/share/doc/exitwatch
    grep -qx "License: MIT" "$docs/copyright" || fail "$deb: copyright does not name MIT"
    [[ "$(zcat "$docs/changelog.gz" | head -n 1)" == "exitwatch ($version) "* ]] ||
        fail "$deb: changelog does not begin with $version"
    description=$(file "$program")
    [[ "$description" == *"static-pie linked"* && "$description" == *"$machine"* ]] ||
        fail "$deb: not a static-pie linked $machine program: $description"
    check_hardening "$program"
    check_compile_options "build/$preset"
    # Natively where the kernel starts it, and only there is its memory its own to look at.
    run=("$program")
    if (cd "$sys" && "$program" 2>/dev/null); then
        check_relro_at_run "$program" "$sys"
        how="natively, its RELRO read-only once it runs"
    else
        run=("$emulator" "$program")
        how="under $emulator"
    fi

    # The installed program runs: with no argument it leaves an empty log; watching a
    # process that ends at once (held by this shell until reaped) it logs exactly that.
    (cd "$sys" && echo "an earlier run" >log_close.txt && "${run[@]}" >"$sys/out" 2>&1) ||
        fail "$deb: program exited with $?"
    [[ -f "$sys/log_close.txt" && ! -s "$sys/log_close.txt" ]] || fail "$deb: log not truncated"
    [[ ! -s "$sys/out" ]] || fail "$deb: program printed something"
    sleep 0.2 &
    victim=$!
    (cd "$sys" && "${run[@]}" "$victim") || fail "$deb: program exited with $?"
    wait "$victim"
    [[ "$(cat "$sys/log_close.txt")" == "$(printf 'pidStr: %s\npid: %s\nprocess exit' "$victim" "$victim")" ]] ||
        fail "$deb: log of a process that ended in time: $(cat "$sys/log_close.txt")"
    echo "$deb: lintian clean, a hardened static PIE for $machine on musl, $(stat -c %s "$program") bytes, that runs $how and logs exactly"

    rpm=$packages/exitwatch-$version-1.$rpm_architecture.rpm
    findings=$(rpmlint -r tests/packages/exitwatch.rpmlintrc "$rpm" 2>&1) ||
        fail "$rpm: rpmlint: $findings"
    [[ "$(rpm -qp --qf '%{NAME} %{VERSION} %{ARCH} %{LICENSE}' "$rpm")" == \
        "exitwatch $version $rpm_architecture MIT" ]] || fail "$rpm: name, version, architecture or licence"
    [[ -z "$(rpm -qpR "$rpm" | grep -v '^rpmlib(')" ]] || fail "$rpm: a static program needs nothing"
    grep -q "log_close.txt" <<<"$(rpm -qp --qf '%{DESCRIPTION}' "$rpm")" || fail "$rpm: description"
    [[ "$(rpm -qp --changelog "$rpm" | head -n 1)" == *" - $version-1" ]] ||
        fail "$rpm: changelog does not begin with $version"
    [[ "$(rpm -qp --qf '[%{FILEFLAGS:fflags} %{FILENAMES}\n]' "$rpm")" == \
        *"l /usr/share/licenses/exitwatch/LICENSE"* ]] || fail "$rpm: the licence is not marked %license"
    unpacked=$root/rpm-$architecture
    mkdir -p "$unpacked"
    rpm2cpio "$rpm" | (cd "$unpacked" && cpio -idm --quiet)
    [[ -f "$unpacked/usr/share/man/man1/exitwatch.1.gz" ]] || fail "$rpm: manual page not installed"
    cmp -s LICENSE "$unpacked/usr/share/licenses/exitwatch/LICENSE" || fail "$rpm: no LICENSE"
    # The very program that the .deb holds, which ran above.
    cmp -s "$program" "$unpacked/usr/bin/exitwatch" || fail "$rpm: not the .deb's program"
    echo "$rpm: no rpmlint error, $rpm_architecture, depends on nothing, the .deb's program"

    tarball=$packages/exitwatch-$version-linux-$architecture.tar.gz
    top=exitwatch-$version-linux-$architecture
    listing=$(tar -tzf "$tarball")
    [[ "$listing" == "$(sort <<<"$listing")" ]] || fail "$tarball: entries not sorted"
    [[ -z "$(tar -tvzf "$tarball" | awk '$2 != "root/root"')" ]] || fail "$tarball: not all root's"
    [[ -z "$(grep -v "^$top/" <<<"$listing")" ]] || fail "$tarball: not all under $top/"
    for file in bin/exitwatch share/man/man1/exitwatch.1.gz share/doc/exitwatch/LICENSE \
                share/doc/exitwatch/README.md share/doc/exitwatch/CHANGELOG.md \
                lib/cmake/exitwatch/exitwatchConfig.cmake lib/cmake/exitwatch/exitwatchConfigVersion.cmake \
                lib/cmake/exitwatch/exitwatchTargets.cmake; do
        grep -qx "$top/$file" <<<"$listing" || fail "$tarball: no $file"
    done
    tar -xzf "$tarball" -C "$root"
    cmp -s "$program" "$root/$top/bin/exitwatch" || fail "$tarball: not the .deb's program"
    cmp -s CHANGELOG.md "$root/$top/share/doc/exitwatch/CHANGELOG.md" || fail "$tarball: changelog"
    echo "$tarball: one folder of root's sorted entries, the .deb's program, its manual page, documents and CMake package"

    # The npm package and the wheel of this architecture hold the .deb's program, runnable.
    cmp -s "$program" "$root/package/bin/linux-$architecture/exitwatch" &&
        [[ -x "$root/package/bin/linux-$architecture/exitwatch" ]] ||
        fail "$npm_package: bin/linux-$architecture/exitwatch is not the .deb's program"
    wheel=$(wheel_of "$wheel_machine")
    check_wheel "$wheel" "$root/wheel-$architecture"
    cmp -s "$program" "$root/wheel-$architecture/exitwatch-$version/exitwatch-$version.data/scripts/exitwatch" ||
        fail "$wheel: not the .deb's program"
    echo "$wheel: the $machine program of the .deb as its script, a RECORD that checks out; $npm_package holds it too"
done


page=$root/exitwatch.1
zcat "$root/amd64/usr/share/man/man1/exitwatch.1.gz" >"$page"
grep -q "exitwatch $version" "$page" || fail "manual page without the version"
warnings=$(groff -man -ww -z "$page" 2>&1)
[[ -z "$warnings" ]] || fail "groff: $warnings"
mandoc -T lint "$page" || fail "mandoc lint"

cmake --install build/linux-release --prefix "$root/prefix" >/dev/null
[[ -x "$root/prefix/bin/exitwatch" ]] || fail "cmake --install: no bin/exitwatch"
[[ -f "$root/prefix/share/man/man1/exitwatch.1.gz" ]] || fail "cmake --install: no manual page"
[[ -f "$root/prefix/share/doc/exitwatch/copyright" ]] || fail "cmake --install: no copyright"

listing=$(unzip -Z1 "$packages/$zip")
grep -qx "exitwatch.exe" <<<"$listing" || fail "ZIP without exitwatch.exe"
grep -qx "README.md" <<<"$listing" || fail "ZIP without README.md"
unzip -q -o "$packages/$zip" exitwatch.exe LICENSE -d "$root/zip"
cmp -s LICENSE "$root/zip/LICENSE" || fail "ZIP without the LICENSE beside exitwatch.exe"
grep -q "PE32 executable (console) Intel 80386" <<<"$(file "$root/zip/exitwatch.exe")" ||
    fail "ZIP does not hold the 32-bit console program"
# Its manifest, its imports and the hardening marks of its header, as the file has them.
cmake -DOBJDUMP=i686-w64-mingw32-objdump -DPROGRAM="$root/zip/exitwatch.exe" -DFORMAT=pei-i386 \
    -P cmake/CheckWindowsProgram.cmake || fail "the ZIP's program"
# The version resource's strings are UTF-16: each key is followed by its value.
resource_strings=$(strings -el "$root/zip/exitwatch.exe")
copyright="$(grep -m1 "^Copyright " LICENSE) (MIT licence)"
for entry in "FileVersion|$version" "ProductVersion|$version" "LegalCopyright|$copyright"; do
    grep -qxF "${entry#*|}" <<<"$(grep -A1 -x "${entry%%|*}" <<<"$resource_strings")" ||
        fail "the program's ${entry%%|*} is not ${entry#*|}"
done

cmp -s "$root/package/bin/windows-x86/exitwatch.exe" "$root/zip/exitwatch.exe" ||
    fail "$npm_package: bin/windows-x86/exitwatch.exe is not the ZIP's program"
check_wheel "$windows_wheel" "$root/wheel-windows"
cmp -s "$root/wheel-windows/exitwatch-$version/exitwatch-$version.data/scripts/exitwatch.exe" \
    "$root/zip/exitwatch.exe" || fail "$windows_wheel: not the ZIP's program"
echo "$windows_wheel and $npm_package: the ZIP's 32-bit program"

# Each package installed into a place of its own, as its users install it, and run on the
# scenario of every starter, side by side: the npm package with npm install --offline, this
# machine's wheel with pip in a new virtual environment, the CMake package found in the
# unpacked tarball and added as a subdirectory.
starts=()
for package in npm wheel find_package add_subdirectory; do
    tests/doc_examples/run.sh "package-$package" "$PWD" "$PWD/build/linux-release/exitwatch" \
        "$PWD/$packages" >"$root/start-$package" 2>&1 &
    starts+=("$!:$package")
done
for start in "${starts[@]}"; do
    wait "${start%%:*}" || fail "the ${start#*:} package: $(cat "$root/start-${start#*:}")"
    grep "^the ${start#*:} example" "$root/start-${start#*:}"
done

echo "packages: ${expected_files[*]} and SHA256SUMS check out"
