#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the code of the documentation (README.md, CONTRIBUTING.md, doc/*.md), taken from
# the Markdown itself. Each fenced block says what it is after its language:
#   c linux [c++], c windows [c++]   compiled together, as C and as C++ where every block
#                                    says so, with warnings as errors, followed by this
#                                    folder's harness for that system, then run; the
#                                    harness is also the C starter (below)
#   js|python|rust|java|cs starter   a starter: the whole program, built and run on the
#   go starter [linux|windows]       scenario of every starter; Go's are three files
#   python package                   the same on the wheel's module (packaging/npm's
#                                    README has the npm package's, "js package")
#   sh example                       run by sh with $pid a process that ends after 1.5 s;
#                                    $! is then the watchdog, in a session of its own;
#                                    the manual page's first example is run so too, and
#                                    each is also a starter (below)
#   sh quickstart                    run by bash in a copy of the source tree
#   sh                               a command of the build or the test command: each
#                                    preset and script it names must exist
#   powershell                       not run: no PowerShell here
#   text                             output, not code
#
#   run.sh linux-c SOURCE PROGRAM CC CXX
#   run.sh windows-c SOURCE PROGRAM CC CXX EMULATOR
#   run.sh shell|quickstart|commands|powershell SOURCE [PROGRAM]
#   run.sh start-LANGUAGE SOURCE PROGRAM CC CXX   node python go rust java csharp c shell man
#   run.sh windows-start-LANGUAGE SOURCE PROGRAM CC CXX EMULATOR                  go c
#   run.sh package-KIND SOURCE PROGRAM PACKAGES    npm wheel find_package add_subdirectory
#     the package of build/packages installed as its users install it, on the scenario of
#     every starter; PROGRAM is the one that the packages hold
#
# Exits with 0 when every block of the kind did what the documentation says, 77 when the
# kind cannot be run here.
set -euo pipefail
kind=$1 source=$2 program=${3:-}
documents=("$source/README.md" "$source/CONTRIBUTING.md" "$source"/doc/*.md)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The blocks whose info string matches the awk pattern, in the documents or in the files
# that follow it, each ended by a line "\f".
blocks() {
    local pattern=$1
    shift
    (($#)) || set -- "${documents[@]}"
    awk -v pattern="$pattern" '
        /^```/ { if (fenced) { if (taken) print "\f"; fenced = 0; taken = 0 }
                 else { fenced = 1; taken = substr($0, 4) ~ pattern }
                 next }
        taken' "$@"
}

fail() { echo "FAIL: $*" >&2; exit 1; }

# The C blocks of one system followed by the harness, as one source.
example_source() {
    blocks "^c $1( |$)" | tr -d '\f' | cat - "$(dirname "$0")/$1_harness.c"
}

# The C blocks of one system with the harness, compiled as C or C++ into a program.
compile() {
    local system=$1 compiler=$2 language=$3 flags=$4 program=$5 standard=-std=c11
    [[ $language == c ]] || standard=-std=c++17
    example_source "$system" >"$work/program.c"
    mkdir -p "$(dirname "$program")"
    # shellcheck disable=SC2086
    "$compiler" -x "$language" $standard -Wall -Wextra -Werror $flags "$work/program.c" \
        -o "$program" || fail "the $system examples do not compile as $language"
}

# The blocks of one system, compiled as C and, where each says so, as C++, with the
# harness; then run in a folder of their own by the command that follows.
compile_and_run() {
    local system=$1 cc=$2 cxx=$3 flags=$4 example=$5 infos count languages=(c)
    shift 5
    infos=$(grep -h '^```' "${documents[@]}" | cut -c4- | grep -E "^c $system( |$)") || true
    count=$(grep -c . <<<"$infos") || fail "no C example for $system"
    [[ $(grep -cx "c $system c++" <<<"$infos") != "$count" ]] || languages+=(c++)
    for language in "${languages[@]}"; do
        local compiler=$cc
        [[ $language == c ]] || compiler=$cxx
        compile "$system" "$compiler" "$language" "$flags" "$work/$language/$example"
        (cd "$work/$language" && "$@" "$work/$language/$example") ||
            fail "the $system examples, compiled as $language, did not do what they say"
        echo "the $count $system examples, compiled as $language, started the watchdog, which logged what they say"
    done
}

# As GoogleTest words a skip, which the test command counts with its reason.
skip() {
    echo "the $1 example: Skipped"
    echo "$2: not run"
    exit 77
}

# Skips the starter of `language` where `tool` is missing or older than `minimum`, the
# version the example needs; the tool's version is the first one that the command prints.
needs() {
    local tool=$1 minimum=$2 version
    shift 2
    command -v "$tool" >/dev/null || skip "$language" "no $tool on this machine"
    version=$("$@" 2>&1 | grep -Eo '[0-9]+(\.[0-9]+)+' | head -n 1) || true
    [[ $(printf '%s\n' "$minimum" "$version" | sort -V | head -n 1) == "$minimum" ]] ||
        skip "$language" "$tool ${version:-of no version} is older than the $minimum the example needs"
}

# The manual page's first example, as the shell reads it, ended by a line "\f".
man_example() {
    awk '/^\.SH EXAMPLES/ { examples = 1 }
        examples && /^\.EX$/ { taken = 1; next }
        taken && /^\.EE$/ { print "\f"; exit }
        taken { gsub(/\\-/, "-"); gsub(/\\&/, ""); print }' "$source/doc/exitwatch.1.in"
}

# The one starter block of the info string, in the documents or in the files that follow.
example() {
    local code
    code=$(blocks "^$1$" "${@:2}" | tr -d '\f')
    [[ -n "$code" ]] || fail "no block \"$1\""
    printf '%s\n' "$code"
}

# Builds the starter of `language` for `system` in $starters, beside exitwatch, and sets
# `starter` to the command that runs it, given a process ID and a folder.
build_starter() {
    local system=$2 exe=
    [[ $system == linux ]] || exe=.exe
    case $language in
    node) needs node 8.8 node --version
        example "js starter" >"$starters/starter.js"
        starter=(node "$starters/starter.js") ;;
    python) needs python3 3.7 python3 --version
        example "python starter" >"$starters/starter.py"
        starter=(python3 "$starters/starter.py") ;;
    go) needs go 1.15 go version
        example "go starter" >"$starters/starter.go"
        example "go starter $system" >"$starters/starter_$system.go"
        (cd "$starters" && GOOS=$system GOARCH=${goarch:-} go build -o "starter$exe" starter.go \
            "starter_$system.go") || fail "the Go example does not build for $system"
        starter=("$starters/starter$exe") ;;
    rust) PATH=$PATH:${CARGO_HOME:-$HOME/.cargo}/bin  # where rustup puts it
        needs rustc 1.64 rustc --version
        example "rust starter" >"$starters/starter.rs"
        rustc --edition 2021 -O -o "$starters/starter" "$starters/starter.rs" ||
            fail "the Rust example does not build"
        starter=("$starters/starter") ;;
    java) needs java 11 java -version
        example "java starter" >"$starters/StartExitwatch.java"
        starter=(java "$starters/StartExitwatch.java") ;;
    csharp) needs mcs 6 mcs --version && needs mono 6 mono --version
        example "cs starter" >"$starters/starter.cs"
        mcs -out:"$starters/starter.exe" "$starters/starter.cs" || fail "the C# example does not build"
        starter=(mono "$starters/starter.exe") ;;
    c) starter=("$starters/example$exe" start) ;;
    shell|man) # the shell example, given the process ID and the folder
        { echo 'pid=$1 && cd "$2" || exit 1'
          if [[ $language == shell ]]; then example "sh example"; else man_example | tr -d '\f'; fi
        } >"$starters/starter.sh"
        starter=(sh "$starters/starter.sh") ;;
    *) fail "no starter of $language for $system" ;;
    esac
}

# Installs the package of `language` from $packages into $starters, offline, as its users
# do, and sets `starter` to the command that starts it, given a process ID and a folder,
# and `program` to the watchdog that the package installed.
install_package() {
    case $language in
    npm) needs node 8.8 node --version
        (cd "$starters" && npm install --offline --no-audit --no-fund --silent \
            "$packages"/exitwatch-[0-9]*.tgz) >/dev/null || fail "npm cannot install the package"
        example "js package" "$source/packaging/npm/README.md" >"$starters/starter.js"
        starter=(node "$starters/starter.js")
        program=$(cd "$starters" && node -p "require('exitwatch').path")
        # Loaded from an Electron app's archive, its programs are found outside it; where
        # none fits, the error names the system and the processor.
        (cd "$starters" && node -e "const assert = require('assert');
            const { programFor } = require('exitwatch');
            assert.strictEqual(programFor('linux', 'arm64', '/o/resources/app.asar/node_modules/exitwatch'),
                '/o/resources/app.asar.unpacked/node_modules/exitwatch/bin/linux-arm64/exitwatch');
            assert.throws(() => programFor('darwin', 'arm64', '/o'), /darwin on arm64/);") ||
            fail "the npm package's path" ;;
    wheel) needs python3 3.7 python3 --version
        python3 -m venv "$starters/venv" &&
            "$starters/venv/bin/pip" install --quiet --no-index \
                "$packages"/exitwatch-*-py3-none-*manylinux_2_17_"$(uname -m)"[.-]*whl ||
            fail "pip cannot install this machine's wheel in a new virtual environment"
        example "python package" >"$starters/starter.py"
        starter=("$starters/venv/bin/python" "$starters/starter.py")
        [[ "$("$starters/venv/bin/python" -c 'import exitwatch; print(exitwatch.program())')" == \
            "$starters/venv/bin/exitwatch" ]] && cmp -s "$program" "$starters/venv/bin/exitwatch" ||
            fail "exitwatch on the environment's PATH is not the static program itself"
        program=$starters/venv/bin/exitwatch ;;
    find_package|add_subdirectory)
        local found=(-DEXITWATCH_SOURCE="$source")
        if [[ $language == find_package ]]; then
            tar -xzf "$packages"/exitwatch-*-linux-"$(dpkg --print-architecture)".tar.gz -C "$starters"
            found=(-DCMAKE_PREFIX_PATH="$(echo "$starters"/exitwatch-*)")
        fi
        example_source linux >"$work/example.c"
        { cmake -S "$source/tests/packages/consumer" -B "$starters/consumer" \
            -DEXAMPLE_SOURCE="$work/example.c" "${found[@]}" &&
            cmake --build "$starters/consumer" -j "$(nproc)"; } >"$work/build.log" 2>&1 ||
            fail "a project that takes exitwatch by $language does not build: $(tail -n 20 "$work/build.log")"
        # Of ours, the program alone.
        [[ ! -e $starters/consumer/exitwatch-build/tests && ! -e $starters/consumer/exitwatch-build/bench &&
            ! -e $starters/consumer/exitwatch-build/CPackConfig.cmake ]] ||
            fail "add_subdirectory built our tests, benchmark or packages"
        starter=("$starters/consumer/example" start)
        program=$starters/consumer/exitwatch ;;
    *) fail "no package $language" ;;
    esac
}

# The scenario of every starter, as an updater runs it: from a folder that is not the
# log's, in a pseudo-terminal that `script` closes as soon as the starter has exited, its
# output on a pipe, given a process that would sleep 60 s and a folder for the log.
linux_scenario() {
    local marks=$work/marks logs=$work/logs run=$work/run victim command status=0 waited
    mkdir -p "$marks" "$logs" "$run"
    sleep 60 </dev/null >/dev/null 2>&1 &
    victim=$!
    printf -v command '%q ' "${starter[@]}" "$victim" "$logs"
    (cd "$run" && PATH=$(dirname "$program"):$PATH timeout 60 script -qec "
        { $command&& date +%s%N >$marks/exited; cat $logs/log_close.txt >$marks/early; } 2>&1 |
            cat >$marks/output
        date +%s%N >$marks/eof" /dev/null </dev/null >/dev/null) || true
    # Ended within 30 s: gone, or a zombie until bash reaps it.
    for ((waited = 0; waited < 300; waited++)); do
        [[ $(ps -o stat= -p "$victim") == [^Z]* ]] || break
        sleep 0.1
    done
    kill "$victim" 2>/dev/null || true
    wait "$victim" 2>/dev/null || status=$?
    [[ -f $marks/exited ]] || fail "the $language starter failed: $(cat "$marks/output" 2>/dev/null)"
    [[ ! -s $marks/output ]] || echo "the $language starter printed: $(cat "$marks/output")"
    ! grep -q 'Still alive' "$marks/early" 2>/dev/null ||
        fail "the $language starter exited only after the watchdog's kill notice"
    # Correct starters: some 10 ms on a busy 2-core machine; one whose watchdog holds the
    # pipe: 10,000 ms.
    local held=$((($(<"$marks/eof") - $(<"$marks/exited")) / 1000000))
    ((held < 3000)) || fail "the $language starter's output ended $held ms after it exited: the watchdog held its pipe"
    ((status == 128 + 9)) ||
        fail "no watchdog killed the process (status $status): it did not outlive the $language starter and its terminal's hang-up"
    for ((waited = 0; waited < 50; waited++)); do
        [[ $(tail -n 1 "$logs/log_close.txt") != "process exit" ]] || break
        sleep 0.1
    done
    [[ "$(cat "$logs/log_close.txt")" == "$(printf 'pidStr: %s\npid: %s\nStill alive, will kill!!!\nprocess exit' "$victim" "$victim")" ]] ||
        fail "the log in the folder given: $(cat "$logs/log_close.txt")"
    [[ ! -e $run/log_close.txt ]] || fail "a log in the $language starter's working folder"
    echo "the $language example: the watchdog outlived the starter and its terminal's hang-up, the starter's output ended $held ms after its exit, the process was killed after 10 s and logged in the folder given"
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
    done < <(blocks "^sh example$"; man_example)
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
        grep -Evx 'c (linux|windows)( c\+\+)?|(js|python|rust|java|cs) starter|python package|go starter( linux| windows)?|sh( example| quickstart)?|powershell|text') || true
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
start-*)
    language=${kind#start-} starters=$work/starters
    mkdir -p "$starters"
    [[ $language != c ]] || compile linux "$4" c "" "$starters/example"
    build_starter "$language" linux
    linux_scenario
    ;;
package-*)
    language=${kind#package-} starters=$work/starters packages=$4
    mkdir -p "$starters"
    install_package
    linux_scenario
    ;;
windows-start-*)
    # Under Wine, for each way the harness runs it: with no job, in a job that breaks it
    # away and is closed, in a job that allows no breakaway.
    language=${kind#windows-start-} starters=$work/starters emulator=$6
    goarch=amd64
    [[ $4 != *i686* ]] || goarch=386
    compile windows "$4" c "-D_WIN32_WINNT=0x0601 -static" "$starters/example.exe"
    cp "$program" "$starters/"
    build_starter "$language" windows
    starter[0]=Z:${starter[0]//\//\\}
    mkdir -p "$work/run"
    (cd "$work/run" && "$emulator" "$starters/example.exe" scenario "${starter[@]}") ||
        fail "the $language example for Windows did not do what the scenario asks"
    echo "the $language example for Windows: the watchdog outlived the starter, a job that broke it away and was closed, and started in one that allows no breakaway; the starter's output ended at once; the process was killed after 10 s and logged in the folder given"
    ;;
powershell)
    skip PowerShell "no PowerShell on this machine's package registries (Debian 12)"
    ;;
*)
    echo "usage: see the head of $0" >&2
    exit 2
    ;;
esac
