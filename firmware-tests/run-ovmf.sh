#!/bin/sh
# Boots the OVMF test application under QEMU and judges the run on the host:
# every expected check PASSes, none FAILs, the application reached its end
# (DONE) and powered the machine off, and the Super I/O ports saw exactly
# the expected bytes. A hang is a failure that shows the last serial lines.
#
# usage: run-ovmf.sh --app BoardSetupTests.efi --work DIR [--sets a,b]
#                    [--firmware CODE.fd] [--vars VARS.fd] [--smm on|off]
#                    [--timeout SECONDS] [--report]
#   --sets      scenario sets, comma-separated, in scenario-table order
#               (default board-setup); expected/<set>.checks lists each
#               set's check names, expected/<set>.port2e|.port2f the bytes
#               written to the Super I/O ports (hex; no file: nothing)
#   --firmware  OVMF code image (default OVMF_CODE_4M.secboot.fd, which
#               needs SMM; --smm defaults to on exactly for .secboot images)
#   --report    print the boot report (what the drivers did, as the
#               firmware saw it) before the verdict
set -eu

here=$(cd "$(dirname "$0")" && pwd)
ovmf=/usr/share/OVMF
app= work= sets=board-setup firmware=$ovmf/OVMF_CODE_4M.secboot.fd vars=$ovmf/OVMF_VARS_4M.fd
smm= limit=60 report=0
while [ $# -gt 0 ]; do
  case $1 in
    --app) app=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --sets) sets=$2; shift 2 ;;
    --firmware) firmware=$2; shift 2 ;;
    --vars) vars=$2; shift 2 ;;
    --smm) smm=$2; shift 2 ;;
    --timeout) limit=$2; shift 2 ;;
    --report) report=1; shift ;;
    *) echo "run-ovmf: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$app" ] && [ -n "$work" ] || { echo "run-ovmf: --app and --work are required" >&2; exit 2; }
[ -f "$app" ] || { echo "run-ovmf: no application image $app" >&2; exit 2; }
[ -f "$firmware" ] || { echo "run-ovmf: no firmware image $firmware" >&2; exit 2; }
if [ -z "$smm" ]; then
  case $(basename "$firmware") in *secboot*) smm=on ;; *) smm=off ;; esac
fi

rm -rf "$work"
mkdir -p "$work/esp/EFI/BOOT"
cp "$app" "$work/esp/EFI/BOOT/BOOTX64.EFI"
cp "$vars" "$work/vars.fd"
: >"$work/port2e.bin"
: >"$work/port2f.bin"

secure=
[ "$smm" = on ] && secure="-global driver=cfi.pflash01,property=secure,value=on"

# QEMU's option parser splits on commas; a doubled comma is a literal one.
fw_cfg_sets=$(printf '%s' "$sets" | sed 's/,/,,/g')

start=$(date +%s.%N)
set +e
# shellcheck disable=SC2086
timeout "$limit" qemu-system-x86_64 \
  -machine q35,smm=$smm,smbios-entry-point-type=64 $secure \
  -nodefaults -m 256 -nographic -no-reboot -net none -monitor none \
  -serial file:"$work/serial.log" \
  -drive if=pflash,format=raw,unit=0,readonly=on,file="$firmware" \
  -drive if=pflash,format=raw,unit=1,file="$work/vars.fd" \
  -drive file=fat:rw:"$work/esp",format=raw,media=disk \
  -fw_cfg name=opt/board-tests/sets,string="$fw_cfg_sets" \
  -chardev file,id=p2e,path="$work/port2e.bin" -device isa-debugcon,iobase=0x2e,chardev=p2e \
  -chardev file,id=p2f,path="$work/port2f.bin" -device isa-debugcon,iobase=0x2f,chardev=p2f,readback=0xfd \
  >"$work/qemu.out" 2>&1
qemu=$?
set -e
end=$(date +%s.%N)
wall=$(echo "$end $start" | awk '{printf "%.1f", $1 - $2}')

# The console is a terminal: drop its escape sequences and carriage returns.
sed -e 's/\x1b\[[0-9;?=]*[A-Za-z]//g' -e 's/\r//g' "$work/serial.log" >"$work/console.log"
hexbytes() { od -An -tx1 -v "$1" | tr -s ' \n' ' ' | sed -e 's/^ //' -e 's/ $//'; }

if [ $report -eq 1 ]; then
  echo "== Boot report: $(basename "$app") on $(basename "$firmware") (smm=$smm), sets $sets"
  grep -E '^(SCENARIO|INFO) ' "$work/console.log" |
    sed -e 's/^SCENARIO /\n-- /' -e 's/^INFO [^:]*: /   /'
  echo
  echo "-- Super I/O port bytes written"
  echo "   0x2E: $(hexbytes "$work/port2e.bin")"
  echo "   0x2F: $(hexbytes "$work/port2f.bin")"
  echo
fi

fail=0
problem() { echo "FAIL $*"; fail=1; }

if [ $qemu -eq 124 ]; then
  problem "no shutdown within ${limit}s: the run hung; last serial lines:"
  tail -n 20 "$work/console.log" | sed 's/^/    /'
elif [ $qemu -ne 0 ]; then
  problem "qemu exited with status $qemu:"
  tail -n 5 "$work/qemu.out" | sed 's/^/    /'
fi
grep -q '^DONE ' "$work/console.log" || problem "the application did not reach its end (no DONE line)"
grep '^FAIL ' "$work/console.log" || true
grep -q '^FAIL ' "$work/console.log" && fail=1

# Every expected check passed, and nothing passed that the lists do not name.
expected="$work/expected.checks"
: >"$expected"
port2e= port2f=
for set in $(echo "$sets" | tr ',' ' '); do
  list="$here/expected/$set.checks"
  [ -f "$list" ] || { problem "no expected list for set $set ($list)"; continue; }
  grep -v -e '^#' -e '^[[:space:]]*$' "$list" >>"$expected" || true
  [ -f "$here/expected/$set.port2e" ] && port2e="$port2e $(cat "$here/expected/$set.port2e")"
  [ -f "$here/expected/$set.port2f" ] && port2f="$port2f $(cat "$here/expected/$set.port2f")"
done
sed -n 's/^PASS \([^ ]*\).*/\1/p' "$work/console.log" >"$work/passed.checks"
# Lists are cut at ten lines: after a hang most names are missing.
listed() {
  head -n 10 "$1" | sed "s/^/FAIL $2: /"
  n=$(wc -l <"$1")
  [ "$n" -le 10 ] || echo "FAIL ... and $((n - 10)) more ($1)"
  [ "$n" -eq 0 ] || fail=1
}
# A check that printed FAIL is already reported above.
sed -n 's/^FAIL \([^ :]*\).*/\1/p' "$work/console.log" | cat "$work/passed.checks" - >"$work/seen.checks"
grep -vxF -f "$work/seen.checks" "$expected" >"$work/missing.checks" || true
listed "$work/missing.checks" "missing check"
grep -vxF -f "$expected" "$work/passed.checks" >"$work/unlisted.checks" || true
listed "$work/unlisted.checks" "check not in the expected lists"

norm() { echo "$*" | tr 'A-F' 'a-f' | tr -s ' \n' ' ' | sed -e 's/^ //' -e 's/ $//'; }
[ "$(hexbytes "$work/port2e.bin")" = "$(norm "$port2e")" ] ||
  problem "port 0x2E bytes: got '$(hexbytes "$work/port2e.bin")', want '$(norm "$port2e")'"
[ "$(hexbytes "$work/port2f.bin")" = "$(norm "$port2f")" ] ||
  problem "port 0x2F bytes: got '$(hexbytes "$work/port2f.bin")', want '$(norm "$port2f")'"

passed=$(wc -l <"$work/passed.checks")
if [ $fail -eq 0 ]; then
  echo "OVMF run passed: $passed checks, sets $sets, $(basename "$firmware"), ${wall}s wall"
else
  echo "OVMF run FAILED ($passed checks passed, ${wall}s wall); logs in $work"
fi
exit $fail
