#!/bin/sh
# Boots one scenario of the bench (OVMF with BoardSetupDxe, UsbSupportS5Smm
# and the test stand-ins in its DXE firmware volume) and judges it on the host:
# every expected check PASSes and none FAILs, the application reached DONE,
# QEMU ended within the time limit, and the judge of the port trace and the
# serial console (TraceJudge: the power-off, no exception dump, the Super I/O
# traffic of the DXE part exactly the scenario's, every SMI by the handler's
# rules) passes. A hang or a dump fails with what the log and serial showed.
#
# usage: run-dispatch.sh --firmware OVMF_BOARD.fd --app DispatchTests.efi
#                        --scenario NAME --expected DIR --judge PATH --work DIR
#                        [--smm on|off] [--timeout SECONDS] [--report]
#   --scenario   a scenario of the build's list (firmware-tests/CMakeLists.txt),
#                passed to the firmware through fw_cfg
#   --expected   the build's expected/ folder: NAME.checks and NAME.superio,
#                the scenario's lines of expected/checks and expected/superio
#   --smm        off for a firmware image without SMM (booted with smm=off
#                and no secure flash); default on
#   --judge      TraceJudge, run as PATH --work DIR --expected DIR --scenario NAME
#   --report     print the boot report, in the order a board boots, first
#   --pictures DIR  also show the Setup pages before and after the driver's
#                work with the firmware's form browser (a VGA display, QMP),
#                take DIR/setup-<page>-<before|after>.png of each, check each
#                screen against the application's SHOW lines and write
#                DIR/index.html (setup-screens.py)
#
# The work folder keeps: board.log (the log port, one line per check),
# serial.log (OVMF's console), port2e.bin/port2f.bin (every byte written to
# the Super I/O ports), trace.raw (QEMU's port trace, filtered to the
# debugcon, APM and PM1a_CNT regions), what the judge wrote (ports.trace: the
# trace decoded, "out 2E 87", "in 2F FD", "out B2 5B", "log <line>";
# superio-dxe.trace; judge.out), expected.checks, missing.checks.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
firmware= app= scenario= expected= work= limit=60 judge= report=0 smm=on pictures=
vars=/usr/share/OVMF/OVMF_VARS_4M.fd
while [ $# -gt 0 ]; do
  case $1 in
    --firmware) firmware=$2; shift 2 ;;
    --app) app=$2; shift 2 ;;
    --scenario) scenario=$2; shift 2 ;;
    --expected) expected=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --timeout) limit=$2; shift 2 ;;
    --judge) judge=$2; shift 2 ;;
    --vars) vars=$2; shift 2 ;;
    --smm) smm=$2; shift 2 ;;
    --report) report=1; shift ;;
    --pictures) pictures=$2; shift 2 ;;
    *) echo "run-dispatch: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$firmware" ] && [ -n "$app" ] && [ -n "$scenario" ] && [ -n "$expected" ] && [ -n "$judge" ] &&
  [ -n "$work" ] ||
  { echo "run-dispatch: --firmware, --app, --scenario, --expected, --judge and --work are required" >&2
    exit 2; }
case $smm in on|off) ;; *) echo "run-dispatch: --smm is on or off" >&2; exit 2 ;; esac
[ -f "$firmware" ] || { echo "run-dispatch: no firmware image $firmware" >&2; exit 2; }
command -v qemu-system-x86_64 >/dev/null ||
  { echo "FAIL run-dispatch: qemu-system-x86_64 not found (Debian qemu-system-x86; tools/install-deps.sh)"; exit 1; }
[ -f "$app" ] || { echo "run-dispatch: no application image $app" >&2; exit 2; }
[ -f "$expected/$scenario.checks" ] && [ -f "$expected/$scenario.superio" ] ||
  { echo "run-dispatch: no expected checks or Super I/O accesses for scenario $scenario in $expected" >&2; exit 2; }

rm -rf "$work"
mkdir -p "$work/esp/EFI/BOOT"
cp "$app" "$work/esp/EFI/BOOT/BOOTX64.EFI"

# QEMU writes its trace (70-90 MB a boot) a line at a time: into a file, not
# a pipe, whose reader it would wake for every line (a quarter of a million
# context switches, half the boot's CPU). After the boot it is cut down to the
# debugcon and APM regions and PM1a_CNT (how the boot ended), then deleted.
# The trace, the variable store's copy (programmed 512 bytes a write) and the
# files QEMU writes a byte at a time (the consoles, the debug ports) are in
# memory where the machine has /dev/shm: 210,000 writes a boot, 0.5 s less
# than on disk. The work folder links to those files during the boot (the
# Setup pictures read them) and holds them after it.
scratch=$(mktemp -d -p /dev/shm board-boot.XXXXXX 2>/dev/null || mktemp -d -p "$work")
trap 'rm -rf "$scratch"' EXIT
trace=$scratch/trace
: >"$trace"  # a QEMU that never starts writes none
cp "$vars" "$scratch/vars.fd"
outputs="port2e.bin port2f.bin board.log serial.log"
for f in $outputs; do
  : >"$scratch/$f"
  ln -s "$scratch/$f" "$work/$f"
done

# The SMM build keeps its variable store in flash only SMM may write.
secure=
[ "$smm" = on ] && secure="-global driver=cfi.pflash01,property=secure,value=on"

# The Setup pages: a VGA display for the browser, QMP for the pictures and
# the Esc key, and the fw_cfg file that tells the application to show them.
screens=$here/setup-screens.py
display=-nographic
if [ -n "$pictures" ]; then
  [ -x /usr/bin/python3 ] && /usr/bin/python3 -c 'import pyte' 2>/dev/null ||
    { echo "FAIL the Setup pages need /usr/bin/python3 with pyte (Debian python3-pyte)"; exit 1; }
  display="-display none -vga std -qmp unix:$work/qmp.sock,server=on,wait=off
           -fw_cfg name=opt/board-tests/pictures,string=1"
  /usr/bin/python3 "$screens" shoot --work "$work" --out "$pictures" --timeout "$limit" &
  shooter=$!
fi

start=$(date +%s.%N)
set +e
# shellcheck disable=SC2086
timeout "$limit" qemu-system-x86_64 \
  -machine q35,smm=$smm,smbios-entry-point-type=64 $secure \
  -nodefaults -m 256 $display -no-reboot -net none -monitor none \
  -serial file:"$work/serial.log" \
  -drive if=pflash,format=raw,unit=0,readonly=on,file="$firmware" \
  -drive if=pflash,format=raw,unit=1,file="$scratch/vars.fd" \
  -drive file=fat:rw:"$work/esp",format=raw,media=disk \
  -fw_cfg name=opt/board-tests/dispatch,string="$scenario" \
  -chardev file,id=p2e,path="$work/port2e.bin" -device isa-debugcon,iobase=0x2e,chardev=p2e,readback=0x2e \
  -chardev file,id=p2f,path="$work/port2f.bin" -device isa-debugcon,iobase=0x2f,chardev=p2f,readback=0xfd \
  -chardev file,id=log,path="$work/board.log" -device isa-debugcon,iobase=0x402,chardev=log,readback=0x42 \
  -trace memory_region_ops_read -trace memory_region_ops_write -D "$trace" \
  >"$work/qemu.out" 2>&1
qemu=$?
LC_ALL=C grep -a -F -e "name 'isa-debugcon'" -e "name 'apm-io'" -e "name 'acpi-cnt'" \
  "$trace" >"$work/trace.raw" || true
rm -f "$trace"
shot=0
[ -z "$pictures" ] || wait $shooter || shot=$?
for f in $outputs; do
  rm -f "$work/$f"
  mv "$scratch/$f" "$work/$f"
done
set -e
end=$(date +%s.%N)
wall=$(echo "$end $start" | awk '{printf "%.1f", $1 - $2}')

# The trace and the console, judged once; the report shows what it decoded.
judged=0
"$judge" --work "$work" --expected "$expected" --scenario "$scenario" >"$work/judge.out" || judged=$?

if [ $report -eq 1 ]; then {
  echo "== Dispatch boot: scenario $scenario, $(basename "$firmware")"
  # Sections in the order a board boots; the SMM side's in log order after.
  awk -v order="app dispatch standin relabel expander superio smbios nic" '
    BEGIN { n = split(order, known, " "); for (i = 1; i <= n; i++) rank[known[i]] = i }
    /^INFO / {
      s = $2; sub(/:$/, "", s); line = $0; sub(/^INFO [^:]*: /, "", line)
      if (!(s in seen)) { seen[s] = 1; if (!(s in rank)) extra[++m] = s }
      body[s] = body[s] "   " line "\n"
    }
    /^PHASE / { if (!("phase " $2 in seen)) { seen["phase " $2] = 1; extra[++m] = "phase " $2 } }
    END {
      for (i = 1; i <= n; i++) if (known[i] in seen) printf "\n-- %s\n%s", known[i], body[known[i]]
      for (i = 1; i <= m; i++) if (extra[i] ~ /^phase /) printf "\n== %s\n", substr(extra[i], 7)
                               else printf "\n-- %s\n%s", extra[i], body[extra[i]]
    }' "$work/board.log"
  echo
  echo "-- Super I/O accesses of the DXE part (port trace)"
  [ ! -f "$work/superio-dxe.trace" ] || tr '\n' ' ' <"$work/superio-dxe.trace" | fold -s -w 96 | sed 's/^/   /'
  echo
  echo "-- Super I/O bytes written in the whole boot: $(wc -c <"$work/port2e.bin") to 0x2E," \
       "$(wc -c <"$work/port2f.bin") to 0x2F (port2e.bin, port2f.bin)"
  echo
} >"$work/report.txt"; cat "$work/report.txt"; fi

# ---- Judge ------------------------------------------------------------------
fail=0
problem() { echo "FAIL $*"; fail=1; }

if [ $qemu -eq 124 ]; then
  problem "no power-off within ${limit}s: the boot hung; last log lines:"
  tail -n 8 "$work/board.log" | sed 's/^/    /'
elif [ $qemu -ne 0 ]; then
  problem "qemu exited with status $qemu:"
  tail -n 5 "$work/qemu.out" | sed 's/^/    /'
fi
grep -q '^DONE ' "$work/board.log" || problem "the application did not reach its end (no DONE line)"
grep '^FAIL ' "$work/board.log" || true
grep -q '^FAIL ' "$work/board.log" && fail=1

# Every expected check passed, and nothing passed that the lists do not name.
cat "$expected/$scenario.checks" ${pictures:+"$here/expected/pages.checks"} | grep -v -e '^#' -e '^[[:space:]]*$' >"$work/expected.checks" || true
sed -n 's/^PASS \([^ ]*\).*/\1/p' "$work/board.log" >"$work/passed.checks"
sed -n 's/^FAIL \([^ :]*\).*/\1/p' "$work/board.log" | cat "$work/passed.checks" - >"$work/seen.checks"
listed() {
  head -n 10 "$1" | sed "s/^/FAIL $2: /"
  n=$(wc -l <"$1")
  [ "$n" -le 10 ] || echo "FAIL ... and $((n - 10)) more ($1)"
  [ "$n" -eq 0 ] || fail=1
}
grep -vxF -f "$work/seen.checks" "$work/expected.checks" >"$work/missing.checks" || true
listed "$work/missing.checks" "missing check"
grep -vxF -f "$work/expected.checks" "$work/passed.checks" >"$work/unlisted.checks" || true
listed "$work/unlisted.checks" "check not in the expected lists"

if [ -n "$pictures" ]; then
  [ $shot -eq 0 ] || problem "the pictures of the Setup pages were not all taken"
  /usr/bin/python3 "$screens" check --work "$work" --out "$pictures" || fail=1
fi

cat "$work/judge.out"
[ $judged -eq 0 ] || fail=1

passed=$(wc -l <"$work/passed.checks")
if [ $fail -eq 0 ]; then
  echo "Dispatch boot passed: scenario $scenario, $passed checks, ${wall}s wall"
else
  echo "Dispatch boot FAILED: scenario $scenario ($passed checks passed, ${wall}s wall); logs in $work"
fi
exit $fail
