#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for FUZZ_SECONDS seconds (default 30) each, on a copy
# of its seed corpus (fuzz/corpus/<name>/ is never written to), at a lower priority. Prints each
# target's executions per second; fails when any target found a fault, whose input is kept in
# <build>/fuzz-artifacts/<name>/.
#   scripts/fuzz.sh [build dir, default build/fuzz] [target names, default all]
set -uo pipefail

build=${1:-build/fuzz}
shift || true
seconds=${FUZZ_SECONDS:-30}
source_dir=$(cd "$(dirname "$0")/.." && pwd)

if [ "$#" -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for binary in "$build"/fuzz/fuzz_*; do
        [ -x "$binary" ] && targets+=("$(basename "$binary" | sed 's/^fuzz_//')")
    done
fi
if [ "${#targets[@]}" -eq 0 ]; then
    echo "fuzz: no targets in $build/fuzz (build the fuzz preset first)" >&2
    exit 2
fi

# Memory-backed where there is one: the settings file target writes (and flushes) a file per run.
work=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=()
printf '%-24s %10s %12s %s\n' target exec/s executions result
for name in "${targets[@]}"; do
    binary="$build/fuzz/fuzz_$name"
    corpus="$work/$name"
    artifacts="$build/fuzz-artifacts/$name"
    mkdir -p "$corpus" "$artifacts"
    if [ -d "$source_dir/fuzz/corpus/$name" ]; then cp -R "$source_dir/fuzz/corpus/$name/." "$corpus/"; fi
    log="$build/fuzz-artifacts/$name.log"
    TMPDIR="$work" nice -n 10 "$binary" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1
    status=$?
    rate=$(sed -n 's/^stat::average_exec_per_sec:[[:space:]]*//p' "$log" | tail -1)
    runs=$(sed -n 's/^stat::number_of_executed_units:[[:space:]]*//p' "$log" | tail -1)
    if [ "$status" -eq 0 ]; then
        result=ok
    else
        result="FAULT (exit $status; see $log)"
        failed+=("$name")
    fi
    printf '%-24s %10s %12s %s\n' "$name" "${rate:-?}" "${runs:-?}" "$result"
done

if [ "${#failed[@]}" -gt 0 ]; then
    echo "fuzz: faults found by: ${failed[*]}" >&2
    exit 1
fi
