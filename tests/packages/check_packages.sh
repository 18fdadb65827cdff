#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks what tools/package.sh built and what cmake --install puts where: SHA256SUMS covers
# every package and checks out; each .deb passes lintian with no error or warning, names
# its architecture, depends on nothing and installs a hardened static program for that
# architecture on musl, which runs there (natively or under qemu-user) and logs exactly, the
# manual page, which lints clean, the copyright and the changelog; the RPM and the tarball
# of each architecture hold that very program, the RPM with its architecture's name, no
# dependency, the licence marked as such and no rpmlint error, the tarball under one
# folder with root's entries, sorted, the licence, README and changelog; the ZIP holds the
# 32-bit Windows program, with the project's version and copyright, the licence and the
# README.
set -euo pipefail
cd "$(dirname "$0")/../.."

fail() { echo "FAIL: $*" >&2; exit 1; }

version=$(sed -n 's/^ *VERSION \([0-9.]*\)$/\1/p' CMakeLists.txt)
[[ -n "$version" ]] || fail "no version in CMakeLists.txt"
packages=build/packages
zip=exitwatch-${version}-windows-x86.zip
# Debian architecture, RPM's name for it, what file(1) says of its program's machine, how
# it is run here.
architectures=(
    "amd64|x86_64|x86-64|"
    "i386|i686|Intel 80386|qemu-i386-static"
    "arm64|aarch64|ARM aarch64|qemu-aarch64-static"
    "armhf|armv7hl|ARM, EABI5|qemu-arm-static"
)

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

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

expected_files=("$zip")
for entry in "${architectures[@]}"; do
    IFS='|' read -r architecture rpm_architecture _ <<<"$entry"
    expected_files+=("exitwatch_${version}_$architecture.deb" "exitwatch-$version-1.$rpm_architecture.rpm"
                     "exitwatch-$version-linux-$architecture.tar.gz")
done
listed=$(cut -d' ' -f3 "$packages/SHA256SUMS" | sort)
[[ "$listed" == "$(printf '%s\n' "${expected_files[@]}" | sort)" ]] ||
    fail "SHA256SUMS lists ${listed//$'\n'/ }, not every package"
(cd "$packages" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not check out"

for entry in "${architectures[@]}"; do
    IFS='|' read -r architecture rpm_architecture machine emulator <<<"$entry"
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

    # The installed program runs: with no argument it leaves an empty log; watching a
    # process that ends at once (held by this shell until reaped) it logs exactly that.
    run=(${emulator:+"$emulator"} "$program")
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
    echo "$deb: lintian clean, a hardened static PIE for $machine on musl, $(stat -c %s "$program") bytes, that runs and logs exactly"

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
                share/doc/exitwatch/README.md share/doc/exitwatch/CHANGELOG.md; do
        grep -qx "$top/$file" <<<"$listing" || fail "$tarball: no $file"
    done
    tar -xzf "$tarball" -C "$root"
    cmp -s "$program" "$root/$top/bin/exitwatch" || fail "$tarball: not the .deb's program"
    cmp -s CHANGELOG.md "$root/$top/share/doc/exitwatch/CHANGELOG.md" || fail "$tarball: changelog"
    echo "$tarball: one folder of root's sorted entries, the .deb's program, its manual page and documents"
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
# The version resource's strings are UTF-16: each key is followed by its value.
resource_strings=$(strings -el "$root/zip/exitwatch.exe")
copyright="$(grep -m1 "^Copyright " LICENSE) (MIT licence)"
for entry in "FileVersion|$version" "ProductVersion|$version" "LegalCopyright|$copyright"; do
    grep -qxF "${entry#*|}" <<<"$(grep -A1 -x "${entry%%|*}" <<<"$resource_strings")" ||
        fail "the program's ${entry%%|*} is not ${entry#*|}"
done

echo "packages: ${expected_files[*]} and SHA256SUMS check out"
