#!/bin/sh
# The SMM trace judge judged. testdata/ holds port traces recorded from real
# boots (a scenario with the SMM platform service and one without), cut down
# to a few SMIs per phase and three burst SMIs and gzipped, and two serial
# consoles:
# a clean one, and one with the dump OVMF printed when an SMI handler read a
# boot-services table after ExitBootServices. The recorded traces must pass;
# each fault put into them must fail with the check that names it.
#
# usage: judge-selftest.sh SmmTraceJudge TESTDATA WORKDIR SERVICE NO-SERVICE NO-SMM
#   SERVICE, NO-SERVICE: scenarios of the bench's list with and without the
#   platform service; NO-SMM: one on a firmware without SMM (the build picks
#   them)
set -eu
judge=$1 data=$2 work=$3 service=$4 no_service=$5 no_smm=$6
rm -rf "$work"
mkdir -p "$work"
board=$work/service.trace
gzip -dc "$data/service.trace.gz" >"$board"
gzip -dc "$data/no-service.trace.gz" >"$work/nps.trace"
clean=$data/clean.serial
excerpt="--burst 3 --matrix none"
fail=0

# expect NAME STATUS CHECK TRACE SERIAL [ARGS...]: the judge exits with STATUS
# and, when CHECK is given, prints "FAIL smm-trace.CHECK: ...".
expect() {
  name=$1 status=$2 check=$3 trace=$4 serial=$5
  shift 5
  set +e
  "$judge" --trace "$trace" --serial "$serial" "$@" >"$work/$name.out" 2>&1
  got=$?
  set -e
  if [ "$got" -ne "$status" ]; then
    echo "FAIL $name: exit $got, want $status"
    sed 's/^/    /' "$work/$name.out"
    fail=1
  elif [ -n "$check" ] && ! grep -q "^FAIL smm-trace\.$check: " "$work/$name.out"; then
    echo "FAIL $name: no 'FAIL smm-trace.$check' line"
    sed 's/^/    /' "$work/$name.out"
    fail=1
  else
    echo "PASS $name"
  fi
}

# edit FIRST|LAST TEXT REPLACEMENT: the board trace with the first or last line
# holding TEXT changed (REPLACEMENT "" drops the line).
edit() {
  awk -v which="$1" -v text="$2" -v rep="$3" '
    NR == FNR { if (index($0, text)) last = FNR; if (index($0, text) && !first) first = FNR; next }
    FNR == (which == "FIRST" ? first : last) { if (rep == "") next; sub(text, rep) }
    { print }' "$board" "$board"
}
faulty() { edit "$@" >"$work/faulty.trace"; echo "$work/faulty.trace"; }

expect recorded-board 0 "" "$board" "$clean" --scenario "$service" $excerpt
expect recorded-no-service 0 "" "$work/nps.trace" "$clean" \
  --scenario "$no_service" --burst 0 --matrix none

# The handler's port sequence.
expect bit-not-cleared 1 sequences \
  "$(faulty FIRST "addr 0x2f value 0xfc" "addr 0x2f value 0xfd")" "$clean" --scenario "$service" $excerpt
expect config-mode-not-left 1 sequences \
  "$(faulty FIRST "addr 0x2e value 0xaa" "")" "$clean" --scenario "$service" $excerpt
expect handler-ran-without-platform-service 1 sequences "$board" "$clean" \
  --scenario "$no_service" $excerpt
# The power-button SMI of the first case differs from its S5 one.
expect events-differ 1 events-identical \
  "$(faulty FIRST "addr 0x2f value 0xfc" "addr 0x2f value 0xfd")" "$clean" --scenario "$service" $excerpt
# One burst SMI unlike the others; a burst of the wrong length.
expect burst-smi-differs 1 burst-identical \
  "$(faulty LAST "addr 0x2f value 0xfc" "addr 0x2f value 0xfd")" "$clean" --scenario "$service" $excerpt
expect burst-too-short 1 burst-identical "$board" "$clean" --scenario "$service" --burst 1000 --matrix none
# An SMI the stand-in never finished.
expect smi-not-ended 1 smis-complete \
  "$(faulty LAST "addr 0xb3 value 0xff" "")" "$clean" --scenario "$service" $excerpt
# A Super I/O write outside any SMI, after the application entered its SMM part.
sed -n "/addr 0x2e value 0x87/{p;q;}" "$board" | cat "$board" - >"$work/stray.trace"
expect port-outside-smi 1 no-stray-access "$work/stray.trace" "$clean" --scenario "$service" $excerpt
# No identifying reads: the judge cannot tell the ports apart and says so.
sed 1d "$board" >"$work/unidentified.trace"
expect ports-not-identified 1 ports-identified "$work/unidentified.trace" "$clean" \
  --scenario "$service" $excerpt
# SMIs on a firmware without SMM.
expect smis-without-smm 1 coverage "$board" "$clean" --scenario "$no_smm"
# An excerpt is not a full run.
expect cases-missing 1 coverage "$board" "$clean" --scenario "$service" --burst 3
# A callout from SMM after ExitBootServices: the dump is in the failure line.
expect callout-dump 1 no-exception-dump "$board" "$data/callout.serial" --scenario "$service" $excerpt
grep -q "^FAIL smm-trace.no-exception-dump: .*#PF - Page-Fault.* | ExceptionData" "$work/callout-dump.out" ||
  { echo "FAIL callout-dump: the dump is not in the failure line"; fail=1; }
# Usage.
expect no-scenario 2 "" "$board" "$clean"
expect unreadable-trace 2 "" "$work/no-such.trace" "$clean" --scenario "$service"
expect unknown-scenario 2 "" "$board" "$clean" --scenario no-such-scenario

exit $fail
