#!/bin/sh
# The trace judge judged. testdata/ holds port traces recorded from real
# boots (a scenario with the SMM platform service and one without), cut down
# to a few SMIs per phase and three burst SMIs and gzipped, two serial
# consoles (a clean one, and one with the dump OVMF printed when an SMI
# handler read a boot-services table after ExitBootServices), and
# boot.trace, a whole boot written out by hand: a log line, the DXE part's
# Super I/O accesses, the identifying reads, PHASE smm and the power-off.
# The good traces must pass; each fault put into them must fail with the
# check that names it.
#
# usage: judge-selftest.sh TraceJudge TESTDATA WORKDIR SERVICE NO-SERVICE NO-SMM
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

# judged NAME STATUS CHECK ARGS...: the judge run with ARGS exits with STATUS
# and, when CHECK is given, prints "FAIL trace.CHECK: ...".
judged() {
  name=$1 status=$2 check=$3
  shift 3
  set +e
  "$judge" "$@" >"$work/$name.out" 2>&1
  got=$?
  set -e
  if [ "$got" -ne "$status" ]; then
    echo "FAIL $name: exit $got, want $status"
    sed 's/^/    /' "$work/$name.out"
    fail=1
  elif [ -n "$check" ] && ! grep -q "^FAIL trace\.$check: " "$work/$name.out"; then
    echo "FAIL $name: no 'FAIL trace.$check' line"
    sed 's/^/    /' "$work/$name.out"
    fail=1
  else
    echo "PASS $name"
  fi
}
# expect NAME STATUS CHECK TRACE SERIAL [ARGS...]: an excerpt judged.
expect() {
  name=$1 status=$2 check=$3 trace=$4 serial=$5
  shift 5
  judged "$name" "$status" "$check" --trace "$trace" --serial "$serial" "$@"
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
grep -q "^FAIL trace.no-exception-dump: .*#PF - Page-Fault.* | ExceptionData" "$work/callout-dump.out" ||
  { echo "FAIL callout-dump: the dump is not in the failure line"; fail=1; }
# A whole boot (--work): the hand-written boot on the firmware without SMM,
# its debugcon files and its Super I/O lines. boot WORK TRACE 2E 2F: a work
# folder with that trace and those files (bytes as printf %b escapes).
boot() {
  mkdir -p "$1/expected"
  cp "$2" "$1/trace.raw"
  cp "$clean" "$1/serial.log"
  printf '%b' "$3" >"$1/port2e.bin"
  printf '%b' "$4" >"$1/port2f.bin"
  echo "out 2E 87  out 2E 87
out 2E 07  out 2F 03  out 2E 30  out 2F 01  out 2E F2  in 2F FD  out 2E F2  out 2F FF
out 2E AA" >"$1/expected/$no_smm.superio"
  echo "$1"
}
whole=$data/boot.trace
e2='\0207\0207\0007\0060\0362\0362\0252' f2='\0003\0001\0377'
judged_boot() { judged "$1" "$2" "$3" --work "$4" --expected "$4/expected" --scenario "$no_smm"; }
judged_boot boot 0 "" "$(boot "$work/boot" "$whole" "$e2" "$f2")"
# Decoded: the log's bytes as its line, the identifying reads left out.
cat >"$work/boot.want" <<EOF
out PM1a_CNT 0001
log PASS standin.depex-held
out 2E 87
out 2E 87
out 2E 07
out 2F 03
out 2E 30
out 2F 01
out 2E F2
in 2F FD
out 2E F2
out 2F FF
out 2E AA
out B3 A5
log PHASE smm
out PM1a_CNT 2001
EOF
cmp -s "$work/boot.want" "$work/boot/ports.trace" ||
  { echo "FAIL boot: ports.trace is not the boot decoded"; diff "$work/boot.want" "$work/boot/ports.trace"; fail=1; }
# QEMU's file holds a byte the trace does not show.
judged_boot port-file-differs 1 ports-agree "$(boot "$work/differs" "$whole" "$e2" '\0003\0001\0375')"
# The DXE part's read of 0x2F missing (the first of the two reads of 0xFD).
awk '!done && /addr 0x2f value 0xfd/ { done = 1; next } { print }' "$whole" >"$work/no-read.trace"
judged_boot superio-read-missing 1 dxe-superio "$(boot "$work/no-read" "$work/no-read.trace" "$e2" "$f2")"
# A Super I/O write after PHASE smm is not the DXE part's (outside an SMI it is a stray one).
sed "/value 0x2001 size 2/i memory_region_ops_write cpu 0 mr 0x5600000001e0 addr 0x2e value 0x55 size 1 name 'isa-debugcon'" \
  "$whole" >"$work/late.trace"
judged_boot write-after-phase 1 no-stray-access "$(boot "$work/late" "$work/late.trace" "$e2\0125" "$f2")"
grep -qx "PASS trace.dxe-superio" "$work/write-after-phase.out" ||
  { echo "FAIL write-after-phase: counted as the DXE part's"; fail=1; }
# The boot ended by a reset (SLP_EN clear), or never wrote PM1a_CNT at its end.
sed 's/value 0x2001 size 2/value 0x1 size 2/' "$whole" >"$work/reset.trace"
judged_boot reset 1 powered-off "$(boot "$work/reset" "$work/reset.trace" "$e2" "$f2")"
grep -v "acpi-cnt" "$whole" >"$work/no-power-off.trace"
judged_boot no-power-off 1 powered-off "$(boot "$work/no-pm1" "$work/no-power-off.trace" "$e2" "$f2")"

# Usage.
expect no-scenario 2 "" "$board" "$clean"
expect unreadable-trace 2 "" "$work/no-such.trace" "$clean" --scenario "$service"
expect unknown-scenario 2 "" "$board" "$clean" --scenario no-such-scenario

exit $fail
