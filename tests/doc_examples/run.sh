#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the code of the documentation (README.md, CONTRIBUTING.md, doc/*.md), taken from
# the Markdown itself. Each fenced block says what it is after its language:
#   c linux [c++], c windows [c++]   compiled together, as C and as C++ where every block
#                                    says so, with warnings as errors, followed by this
#                                    folder's harness for that system, then run
#   sh example                       run by sh with $pid a process that ends after 1.5 s;
#                                    $! is then the watchdog, in a session of its own
#   sh quickstart                    run by bash in a copy of the source tree
#   sh                               a command of the build or the test command: each
#                                    preset and script it names must exist
#   powershell                       not run: no PowerShell here
#   text                             output, not code
#
#   run.sh linux-c SOURCE PROGRAM CC CXX
#   run.sh windows-c SOURCE PROGRAM CC CXX EMULATOR
#   run.sh shell|quickstart|commands|powershell SOURCE [PROGRAM]
#
# Exits with 0 when every block of the kind did what the documentation says, 77 when the
# kind cannot be run here.
set -euo pipefail
kind=$1 source=$2 program=${3:-}
documents=("$source/README.md" "$source/CONTRIBUTING.md" "$source"/doc/*.md)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The blocks whose info string matches the awk pattern, each ended by a line "\f".
blocks() {
    awk -v pattern="$1" '
        /^```/ { if (fenced) { if (taken) print "\f"; fenced = 0; taken = 0 }
                 else { fenced = 1; taken = substr($0, 4) ~ pattern }
                 next }
        taken' "${documents[@]}"
}

fail() { echo "FAIL: $*" >&2; exit 1; }

# The blocks of one system, compiled as C and, where each says so, as C++, with the
# harness; then run in a folder of their own by the command that follows.
compile_and_run() {
    local system=$1 cc=$2 cxx=$3 flags=$4 example=$5 infos count languages=(c)
    shift 5
    infos=$(grep -h '^```' "${documents[@]}" | cut -c4- | grep -E "^c $system( |$)") || true
    count=$(grep -c . <<<"$infos") || fail "no C example for $system"
    [[ $(grep -cx "c $system c++" <<<"$infos") != "$count" ]] || languages+=(c++)
    blocks "^c $system( |$)" | tr -d '\f' | cat - "$(dirname "$0")/${system}_harness.c" >"$work/program.c"
    for language in "${languages[@]}"; do
        local compiler=$cc standard=-std=c11
        [[ $language == c ]] || compiler=$cxx standard=-std=c++17
        mkdir -p "$work/$language"
        # shellcheck disable=SC2086
        "$compiler" -x "$language" $standard -Wall -Wextra -Werror $flags "$work/program.c" \
            -o "$work/$language/$example" || fail "the $system examples do not compile as $language"
        (cd "$work/$language" && "$@" "$work/$language/$example") ||
            fail "the $system examples, compiled as $language, did not do what they say"
        echo "the $count $system examples, compiled as $language, started the watchdog, which logged what they say"
    done
}

case $kind in
linux-c)
    PATH=$(dirname "$program"):$PATH compile_and_run linux "$4" "$5" "" example env
    ;;
windows-c)
    emulator=$6
    compile_and_run windows "$4" "$5" "-D_WIN32_WINNT=0x0601 -static" example.exe \
        sh -c 'cp "$0" . && "$1" "$2"' "$program" "$emulator"
    ;;
shell)
    count=0
    while IFS= read -r -d $'\f' block; do
        folder=$work/$((++count))
        mkdir -p "$folder"
        pid=$(cd "$folder" && PATH=$(dirname "$program"):$PATH sh -c \
            "sleep 1.5 & pid=\$!
$block
test \$(ps -o sid= -p \$!) = \$! && wait \$! && echo \$pid") ||
            fail "sh example $count, whose \$! must be the watchdog in a session of its own: $block"
        expected=$(printf 'pidStr: %s\npid: %s\nprocess exit' "$pid" "$pid")
        [[ "$(cat "$folder/log_close.txt")" == "$expected" ]] ||
            fail "sh example $count left: $(cat "$folder/log_close.txt")"
        echo "sh example $count: the watchdog watched \$pid and logged it"
    done < <(blocks "^sh example$")
    ((count > 0)) || fail "no sh example"
    ;;
quickstart)
    # A copy of what git holds, so that the source tree gets no build of the command's.
    git -C "$source" ls-files -z | (cd "$source" && xargs -0 cp --parents -t "$work")
    block=$(blocks "^sh quickstart$" | tr -d '\f')
    [[ -n "$block" ]] || fail "no quick start"
    output=$(cd "$work" && bash -c "$block" 2>&1) || fail "the quick start failed: $output"
    log=$(tail -n 4 <<<"$output")
    grep -Eqx 'pidStr: [0-9]+
pid: [0-9]+
Still alive, will kill!!!
process exit' <<<"$log" || fail "the quick start printed: $output"
    echo "the quick start built the program, which ended its sleep after 10 s and printed its log"
    ;;
commands)
    unknown=$(grep -h '^```.' "${documents[@]}" | cut -c4- |
        grep -Evx 'c (linux|windows)( c\+\+)?|sh( example| quickstart)?|powershell|text') || true
    [[ -z "$unknown" ]] || fail "fenced blocks of no kind that is run: $unknown"
    presets=$(sed -n 's/^ *"name": "\([^"]*\)".*/\1/p' "$source/CMakePresets.json")
    count=0
    while IFS= read -r -d $'\f' block; do
        ((++count))
        for preset in $(grep -o -- '--preset [a-z0-9-]*' <<<"$block" | cut -d' ' -f2); do
            grep -qx "$preset" <<<"$presets" || fail "no preset $preset: $block"
        done
        for script in $(grep -Eo '(tools|tests)/[A-Za-z0-9_./-]+' <<<"$block"); do
            [[ -x "$source/$script" ]] || fail "no script $script: $block"
        done
    done < <(blocks "^sh$")
    echo "$count commands: each preset and script they name exists"
    ;;
powershell)
    # As GoogleTest words a skip, which the test command counts with its reason.
    echo "the PowerShell example: Skipped"
    echo "no PowerShell on this machine's package registries (Debian 12): not run"
    exit 77
    ;;
*)
    echo "usage: see the head of $0" >&2
    exit 2
    ;;
esac
