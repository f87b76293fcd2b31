#!/usr/bin/env bash
# Runs the fuzz target for a bounded time, starting from the kept corpus, and prints its totals.
# Usage: run_blocks_fuzz.sh FUZZER KEPT_CORPUS WORK_CORPUS SECONDS
set -euo pipefail
fuzzer=$1 kept=$2 work=$3 seconds=$4
mkdir -p "$work"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
"$fuzzer" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 -artifact_prefix="$work/../" \
    "$work" "$kept" >"$log" 2>&1 || status=$?
grep -E '^(stat::|Done|INFO: Seed|==[0-9]+==|SUMMARY)' "$log" || true
if [ "$status" != 0 ]; then
    tail -n 40 "$log"
    echo "FAIL: the fuzz target stopped with $status"
    exit 1
fi
