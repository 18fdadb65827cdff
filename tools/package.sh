#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the release into build/packages: a .deb, an RPM and a tarball of the static Linux
# program for amd64, i386, arm64 and armhf, the ZIP of the 32-bit Windows program, and
# SHA256SUMS over them.
# The same commit gives the same bytes wherever, whenever and by whomever it is built:
# every time stamp is the last commit's, and the umask, time zone and locale are set here.
set -euo pipefail
cd "$(dirname "$0")/.."

umask 022
export TZ=UTC LC_ALL=C
# The last commit's time: git's in a clone, else that of CMakeLists.txt, which git archive
# sets to the commit's in an exported tree.
if [[ -z "${SOURCE_DATE_EPOCH:-}" ]]; then
    if prefix=$(git rev-parse --show-prefix 2>/dev/null) && [[ -z "$prefix" ]]; then
        SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
    else
        SOURCE_DATE_EPOCH=$(stat -c %Y CMakeLists.txt)
    fi
fi
export SOURCE_DATE_EPOCH

# The tarball of a Linux build: its program and tarball components under one folder named
# after it, every entry root's, sorted, with the commit's time.
tarball() {
    local build=$1 version architecture name stage
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
    architecture=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' \
        "$build/CPackConfig.cmake")
    name=exitwatch-$version-linux-$architecture
    stage=$(mktemp -d)
    for component in program tarball; do
        cmake --install "$build" --prefix "$stage/$name" --component "$component" >/dev/null
    done
    tar --sort=name --owner=root:0 --group=root:0 --mtime="@$SOURCE_DATE_EPOCH" \
        -C "$stage" -cf - "$name" | gzip -9n >"build/packages/$name.tar.gz"
    rm -rf "$stage"
}

rm -rf build/packages
for preset in linux-release linux-i386 linux-arm64 linux-armhf windows-x86; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target exitwatch -j "$(nproc)" >/dev/null
    # CPack says which spec file it uses on every run: its words are shown only on failure.
    output=$(cd "build/$preset" && cpack 2>&1) || { echo "$output" >&2; exit 1; }
    [[ $preset == windows-* ]] || tarball "build/$preset"
done
cd build/packages
rm -rf _CPack_Packages
sha256sum -- *.deb *.rpm *.tar.gz *.zip >SHA256SUMS
ls -l
