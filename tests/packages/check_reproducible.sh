#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the release of the last commit twice and compares the packages byte for byte:
# once from a clone, once later from an exported tree without git, in another folder with
# another umask, time zone and locale. Where the work tree is that commit, its own
# packages are compared too. A file that differs is named, with diffoscope's first
# differences where diffoscope is installed.
set -euo pipefail
cd "$(dirname "$0")/../.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
first=$work/first/exitwatch
second=$work/second/an/exported/tree

git clone -q . "$first"
(cd "$first" && tools/package.sh >/dev/null)
mkdir -p "$second"
(
    umask 077
    export TZ=Pacific/Kiritimati LC_ALL=C.UTF-8
    git archive HEAD | tar -x --no-same-permissions -C "$second"
    cd "$second" && tools/package.sh >/dev/null
)

# Compares build/packages of two trees; names and shows each file that differs.
compare() {
    local a=$1/build/packages b=$2/build/packages differ=0 name
    for name in $({ ls "$a"; ls "$b"; } | sort -u); do
        cmp -s "$a/$name" "$b/$name" && continue
        differ=1
        echo "DIFFERS: $name ($1 and $2)"
        if command -v diffoscope >/dev/null; then
            diffoscope --text - "$a/$name" "$b/$name" 2>&1 | head -n 40 || true
        fi
    done
    return "$differ"
}

compare "$first" "$second"
echo "reproducible: two builds of $(git rev-parse --short HEAD) in two folders give the same $(cd "$first/build/packages" && echo *)"
if [[ -z "$(git status --porcelain --untracked-files=no)" && -f build/packages/SHA256SUMS ]]; then
    compare . "$first"
    echo "reproducible: the packages built and tested here are those same files"
fi
