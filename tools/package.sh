#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the release into build/packages: a .deb of the static Linux program for amd64,
# i386, arm64 and armhf, the ZIP of the 32-bit Windows program, and SHA256SUMS over them.
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

rm -rf build/packages
for preset in linux-release linux-i386 linux-arm64 linux-armhf windows-x86; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target exitwatch -j "$(nproc)" >/dev/null
    (cd "build/$preset" && cpack >/dev/null)
done
cd build/packages
rm -rf _CPack_Packages
sha256sum -- *.deb *.zip >SHA256SUMS
ls -l
