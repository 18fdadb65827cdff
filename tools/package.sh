#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the release into build/packages: a .deb, an RPM and a tarball of the static Linux
# program for amd64, i386, arm64 and armhf, the ZIP of the 32-bit Windows program, the npm
# package with all five programs, a Python wheel for each Linux architecture and one for
# Windows, and SHA256SUMS over them.
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
    for component in program tarball cmake; do
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
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/linux-release/CMakeCache.txt)
# The program that the package named `1` holds: linux-amd64, linux-i386, ..., windows-x86.
program_of() {
    case $1 in
    linux-amd64) echo build/linux-release/exitwatch ;;
    windows-*) echo "build/$1/exitwatch.exe" ;;
    *) echo "build/$1/exitwatch" ;;
    esac
}

# The npm package as npm pack makes it (every entry of one time, in one order): the module,
# its types and README, and every program under bin/.
npm_package() {
    local stage name
    stage=$(mktemp -d)
    install -m 644 packaging/npm/package.json packaging/npm/index.js packaging/npm/index.d.ts \
        packaging/npm/README.md LICENSE "$stage/"
    for name in linux-amd64 linux-i386 linux-arm64 linux-armhf windows-x86; do
        install -D -m 755 -t "$stage/bin/$name" "$(program_of "$name")"
    done
    (cd "$stage" && npm pkg set version="$version" &&
        npm pack --silent --pack-destination "$OLDPWD/build/packages") >/dev/null
    rm -rf "$stage"
}

# A Python wheel of the program `1` for the platform tags that follow, made by the wheel
# tool, which takes its times from SOURCE_DATE_EPOCH: the program installed as a script,
# the package beside it.
python_wheel() {
    local program=$1 stage info tag
    shift
    stage=$(mktemp -d)/exitwatch-$version
    info=$stage/exitwatch-$version.dist-info
    mkdir -p "$stage/exitwatch" "$stage/exitwatch-$version.data/scripts" "$info"
    install -m 644 packaging/python/exitwatch/__init__.py "$stage/exitwatch/"
    install -m 755 "$program" "$stage/exitwatch-$version.data/scripts/"
    install -m 644 LICENSE "$info/"
    sed "s/@VERSION@/$version/" packaging/python/METADATA >"$info/METADATA"
    {
        printf 'Wheel-Version: 1.0\nGenerator: exitwatch tools/package.sh\nRoot-Is-Purelib: false\n'
        for tag in "$@"; do echo "Tag: py3-none-$tag"; done
    } >"$info/WHEEL"
    /usr/bin/python3 -m wheel pack "$stage" -d build/packages >/dev/null
    rm -rf "$(dirname "$stage")"
}

npm_package
# Static programs: for glibc's systems and musl's alike.
for name in linux-amd64:x86_64 linux-i386:i686 linux-arm64:aarch64 linux-armhf:armv7l; do
    machine=${name#*:}
    python_wheel "$(program_of "${name%:*}")" "manylinux_2_17_$machine" "manylinux2014_$machine" \
        "musllinux_1_1_$machine"
done
python_wheel "$(program_of windows-x86)" win32 win_amd64

cd build/packages
rm -rf _CPack_Packages
sha256sum -- *.deb *.rpm *.tar.gz *.zip *.tgz *.whl >SHA256SUMS
ls -l
