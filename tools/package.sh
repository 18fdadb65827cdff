#!/usr/bin/env bash
# Builds the packages into build/packages: the .deb of the static Linux program and the
# ZIP of the 32-bit Windows program.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in linux-release windows-x86; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    (cd "build/$preset" && cpack)
done
ls -l build/packages/*.deb build/packages/*.zip
