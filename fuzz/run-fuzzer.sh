#!/bin/sh
# Runs one libFuzzer target for a set time over a copy of its seed corpus
# (the committed corpus is never rewritten) and prints executions per second
# and the coverage reached (libFuzzer's cov: count of instrumented edges).
# usage: run-fuzzer.sh <fuzzer> <seed corpus dir> <seconds>
set -eu
fuzzer=$(cd "$(dirname "$1")" && pwd)/$(basename "$1"); seeds=$2; seconds=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$seeds"/. "$work"/ 2>/dev/null || true
cd "$work"
"$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -timeout=5 -rss_limit_mb=2048 \
  "$work" > log 2>&1 || { tail -n 60 log; exit 1; }
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' log)
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' log)
cov=$(grep -o 'cov: [0-9]*' log | tail -n 1)
echo "$(basename "$fuzzer"): $runs executions in ${seconds}s, $rate exec/s, $cov, no crash"
