#!/usr/bin/env bash
# Checks what tools/package.sh built and what cmake --install puts where: the .deb installs into a scratch root with the
# program and its manual page and depends on nothing; the program there runs; the manual
# page lints clean; the ZIP holds the 32-bit program, with the project's version, and
# the README.
set -euo pipefail
cd "$(dirname "$0")/../.."

fail() { echo "FAIL: $*" >&2; exit 1; }

version=$(sed -n 's/^ *VERSION \([0-9.]*\)$/\1/p' CMakeLists.txt)
[[ -n "$version" ]] || fail "no version in CMakeLists.txt"
deb=build/packages/exitwatch_${version}_amd64.deb
zip=build/packages/exitwatch-${version}-windows-x86.zip
[[ -f "$deb" ]] || fail "$deb missing"
[[ -f "$zip" ]] || fail "$zip missing"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

[[ "$(dpkg-deb -f "$deb" Package)" == exitwatch ]] || fail "package name"
[[ "$(dpkg-deb -f "$deb" Version)" == "$version" ]] || fail "package version"
[[ "$(dpkg-deb -f "$deb" Section)" == utils ]] || fail "section"
[[ -z "$(dpkg-deb -f "$deb" Depends)" ]] || fail "a static program needs no Depends"
grep -q "log_close.txt" <<<"$(dpkg-deb -f "$deb" Description)" || fail "description"

dpkg -x "$deb" "$root/sys"
program=$root/sys/usr/bin/exitwatch
page=$root/sys/usr/share/man/man1/exitwatch.1
[[ -x "$program" ]] || fail "program not installed"
[[ -f "$page" ]] || fail "manual page not installed"
grep -q "statically linked" <<<"$(file "$program")" || fail "program not static"

# The installed program runs: with no argument it leaves an empty log and exits with 0.
(cd "$root" && echo "an earlier run" > log_close.txt && "$program" >"$root/out" 2>&1) ||
    fail "program exited with $?"
[[ -f "$root/log_close.txt" && ! -s "$root/log_close.txt" ]] || fail "log not truncated"
[[ ! -s "$root/out" ]] || fail "program printed something"

grep -q "exitwatch $version" "$page" || fail "manual page without the version"
warnings=$(groff -man -ww -z "$page" 2>&1)
[[ -z "$warnings" ]] || fail "groff: $warnings"
mandoc -T lint "$page" || fail "mandoc lint"

cmake --install build/linux-release --prefix "$root/prefix" >/dev/null
[[ -x "$root/prefix/bin/exitwatch" ]] || fail "cmake --install: no bin/exitwatch"
[[ -f "$root/prefix/share/man/man1/exitwatch.1" ]] || fail "cmake --install: no manual page"

listing=$(unzip -Z1 "$zip")
grep -qx "exitwatch.exe" <<<"$listing" || fail "ZIP without exitwatch.exe"
grep -qx "README.md" <<<"$listing" || fail "ZIP without README.md"
unzip -q -o "$zip" exitwatch.exe -d "$root/zip"
grep -q "PE32 executable (console) Intel 80386" <<<"$(file "$root/zip/exitwatch.exe")" ||
    fail "ZIP does not hold the 32-bit console program"
# The version resource's strings are UTF-16: each key is followed by its value.
resource_strings=$(strings -el "$root/zip/exitwatch.exe")
for key in FileVersion ProductVersion; do
    grep -qx "$version" <<<"$(grep -A1 -x "$key" <<<"$resource_strings")" ||
        fail "the program's $key is not $version"
done

echo "packages: $deb and $zip check out"
