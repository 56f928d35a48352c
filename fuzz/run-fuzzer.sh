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
# The time counts from libFuzzer's INITED line (the seed corpus run): then
# SIGINT, which libFuzzer answers with its final statistics and exit status
# 72. Its own -max_total_time counts whole seconds from the process' start
# and stops a second late (a 1-s smoke run took 2).
"$fuzzer" -print_final_stats=1 -timeout=5 -rss_limit_mb=2048 "$work" > log 2>&1 &
pid=$!
# (A seed run that takes over two minutes ends the run too, and fails it.)
n=0
while kill -0 $pid 2>/dev/null && ! grep -q 'INITED' log && [ $n -lt 2400 ]; do n=$((n + 1)); sleep 0.05; done
! grep -q 'INITED' log || ! kill -0 $pid 2>/dev/null || sleep "$seconds"
kill -INT $pid 2>/dev/null || true
( sleep 10; kill -KILL $pid ) >/dev/null 2>&1 &  # one that does not stop fails
watchdog=$!
status=0
wait $pid || status=$?
kill $watchdog 2>/dev/null || true
[ $status -eq 72 ] && grep -q 'INITED' log ||
  { tail -n 60 log; echo "$(basename "$fuzzer"): exit status $status"; exit 1; }
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' log)
rate=$((runs / seconds))
cov=$(grep -o 'cov: [0-9]*' log | tail -n 1)
echo "$(basename "$fuzzer"): $runs executions in ${seconds}s, $rate exec/s, $cov, no crash"
