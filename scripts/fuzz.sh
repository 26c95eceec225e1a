#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# fuzz.sh <fuzz build dir> <seconds>
#
# Runs every libFuzzer target of a fuzz build (preset fuzz; the targets are
# listed in fuzz/CMakeLists.txt) for <seconds>, all at once. Each starts
# from its seeds in fuzz/corpus/<fuzzer> and keeps what it finds in
# <dir>/corpus/<fuzzer>; an input that breaks a property or crashes is kept
# in <dir>/artifacts/, and fails the run.
set -euo pipefail

die() {
    echo "fuzz.sh: $*" >&2
    exit 1
}

[ $# -eq 2 ] || die "usage: scripts/fuzz.sh <fuzz build dir> <seconds>"
dir=$1 seconds=$2
[[ $seconds =~ ^[1-9][0-9]*$ ]] || die "seconds must be a positive number, not '$seconds'"
seeds=$(cd "$(dirname "$0")/../fuzz/corpus" && pwd)

fuzzers=()
for program in "$dir"/fuzz/*_fuzzer; do
    [ -f "$program" ] && [ -x "$program" ] && fuzzers+=("$(basename "$program")")
done
[ ${#fuzzers[@]} -gt 0 ] || die "no fuzzers in $dir/fuzz (build the fuzz preset first)"

mkdir -p "$dir/artifacts"
echo "fuzzing ${fuzzers[*]} for ${seconds}s"
pids=()
for fuzzer in "${fuzzers[@]}"; do
    mkdir -p "$dir/corpus/$fuzzer"
    "$dir/fuzz/$fuzzer" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
        -artifact_prefix="$dir/artifacts/$fuzzer-" \
        "$dir/corpus/$fuzzer" "$seeds/$fuzzer" >"$dir/$fuzzer.log" 2>&1 &
    pids+=($!)
done

failed=() i=0
for fuzzer in "${fuzzers[@]}"; do
    if ! wait "${pids[$i]}"; then
        tail -n 60 "$dir/$fuzzer.log" >&2
        failed+=("$fuzzer")
    fi
    grep -E '^Done [0-9]+ runs' "$dir/$fuzzer.log" | sed "s/^/$fuzzer: /" || true
    i=$((i + 1))
done
[ ${#failed[@]} -eq 0 ] ||
    die "fuzzing failed: ${failed[*]} (logs in $dir/*.log, inputs in $dir/artifacts/)"
echo "fuzzing found nothing"
