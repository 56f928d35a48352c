#!/bin/sh
# fwimage judged by UEFIExtract (an independent parser), five ways:
#
# (default) The kit's FFS files put into OVMF's own flash image with
#   `fwimage insert`, judged by UEFIExtract and by `fwimage list`:
#   - every header, data and volume checksum in the new image is valid;
#   - each kit file is there with the PE32 bytes of its .efi, the dependency
#     expression and FILE GUID the kit README states, and its UI name;
#   - every original file is listed unchanged, the image keeps its size, and
#     the bytes outside the rewritten volume (SECFV, the reset vector) are
#     the original ones.
# --listings: `fwimage list --json` over Debian's x64, IA32, AArch64 and ARM
#   firmware images and the real FSP binaries (tests/real-images) finds no
#   fault, and the same volumes (name, size) and files (GUID, type, machine,
#   UI name) at every nesting level as UEFIExtract's dump. On the FSPs: every
#   PE32 behind an EFI 1.1 section, as `extract --section pe32` writes it, is
#   UEFIExtract's decoded body; the kit's x64 DXE driver is refused, naming
#   both machines, by an IA32-only FSP volume, and goes into PantherLake's x64
#   FSP-S (--fv) with no complaint from UEFIExtract the original lacks.
# --descriptor: 12 MiB SPI images from a real two-chip laptop descriptor
#   (tests/real-images), OVMF at the top of the BIOS region, once as the
#   descriptor stands and once with its BIOS region over the whole flash:
#   `list` shows the regions UEFIExtract shows, the kit goes into the BIOS
#   region, UEFIExtract finds every checksum valid, every byte outside the
#   BIOS region is unchanged, and the whole-flash image boots to the Shell
#   with the kit's DXE driver run.
# --edit <image> [--boot]: one insert, replace and remove on an image of any
#   machine: x64 images get the kit's DXE driver, the others a copy of their
#   own DpcDxe re-packed under a new GUID; the replace puts a re-packed DpcDxe in place of the original,
#   the remove takes it out. Each result must show, in UEFIExtract's report,
#   no complaint the original does not have, the changed file with exactly the
#   bytes given (or gone), every other file with the size, CRC32 and (outside
#   compressed volumes) offset it had. The insert must cost the compressed
#   volume's container no more than the file's own LZMA size plus 1 KiB. With
#   --boot (AArch64), the image the insert grew must boot to the UEFI Shell.
#
# --real <real-images dir>: on each vendor FSP image, every file of each named
#   volume replaced with its own bytes gives the image back byte for byte;
#   removing the Volume Top File is refused; with the second volume's _FVH
#   damaged, `list` exits 1 with a fault of its offset and size, where
#   UEFIExtract shows non-empty padding, and an edit next to it is refused.
#
# usage: kit-check.sh [--listings | --descriptor] <fwimage> <kit dir> [<OVMF code image>]
#        kit-check.sh --edit <fwimage> <kit dir> <image> [--boot]
#        kit-check.sh --real <fwimage> <real-images dir>
set -eu
python=/usr/bin/python3 # the system Python reads fwimage's JSON
# The UEFI Shell over a serial console: QEMU (the arguments after the first
# two) boots with its console on a pipe, a key skips the startup.nsh
# countdown, the command is typed at the Shell> prompt, and once the next
# prompt shows QEMU stops and the console text, escape sequences removed, is
# in the file $1. Fails with the reason where no prompt comes.
qemu_pid=
# The work folder: in memory where the machine has /dev/shm. The 64 MiB
# images are then not fsynced to disk, and UEFIExtract's dumps (hundreds of MB
# of small files) take a third of the time they take on disk.
scratch_dir() { mktemp -d -p /dev/shm 2>/dev/null || mktemp -d; }
# On the way out, checks still running in the background finish first.
cleanup() {
  exec 3>&-
  [ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null || true
  wait
  rm -rf "$work"
}
shell_command() { # console file, command, QEMU command line...
  console=$1; command=$2; shift 2
  mkfifo "$console.keys"
  "$@" < "$console.keys" > "$console.raw" 2>&1 &
  qemu_pid=$!
  exec 3> "$console.keys"
  prompts() { grep -a -o 'Shell>' "$console.raw" 2>/dev/null | wc -l; }
  key=
  for _ in $(seq 480); do
    [ "$(prompts)" -ge 1 ] && break
    kill -0 "$qemu_pid" 2>/dev/null || break
    if [ -z "$key" ] && grep -q -a 'startup\.nsh' "$console.raw"; then
      printf ' ' >&3
      key=1
    fi
    sleep 0.25
  done
  [ "$(prompts)" -ge 1 ] || { tail -c 400 "$console.raw" >&2; fail "no Shell> prompt from $1"; }
  printf '%s\r' "$command" >&3
  for _ in $(seq 120); do
    [ "$(prompts)" -ge 2 ] && break
    sleep 0.25
  done
  kill "$qemu_pid"
  wait "$qemu_pid" 2>/dev/null || true
  qemu_pid=
  exec 3>&-
  esc=$(printf '\033')
  sed "s/$esc\[[0-9;]*[A-Za-z]//g" "$console.raw" > "$console"
}

if [ "${1:-}" = --edit ]; then
  fwimage=$2; kit=$3; image=$4; boot=${5:-}
  work=$(scratch_dir)
  trap cleanup EXIT
  fail() { echo "kit-check: $(basename "$image"): $*" >&2; exit 1; }
  command -v UEFIExtract >/dev/null || fail "UEFIExtract missing (tools/install-deps.sh installs uefitool-cli)"
  command -v xz >/dev/null || fail "xz missing (the LZMA size a file costs at best)"
  [ -f "$image" ] || fail "$image missing (tools/install-deps.sh installs its firmware package)"
  dpc=A210F973-229D-4F4D-AA37-9895E6C9EABA # DpcDxe: in every image, harmless twice
  copy=0D3C0B2A-3333-4A4A-8B8B-0000000DCC01
  crc32() { gzip -c "$1" | tail -c 8 | head -c 4 | od -An -tx4 | tr -d ' \n' | tr a-f A-F; }
  size8() { printf '%08X' "$(stat -c %s "$1")"; }

  cp "$image" "$work/orig.fd"
  UEFIExtract "$work/orig.fd" report > "$work/orig.msgs" 2>&1 || fail "UEFIExtract cannot read the original"
  # File records of a report: the File line and its sections, one line each
  # (Type|Subtype|Base|Size|CRC32|Name). The named file and pad files are left
  # out; the FV-image files around compressed volumes change size and CRC.
  records() { # report, GUIDs left out
    awk -F'|' -v skip="$2" -v skip2="$3" '
      function trim(s) { gsub(/^ +| +$/, "", s); return s }
      { t = trim($1); sub_ = trim($2) }
      t == "File" { drop = index($6, skip) > 0 || index($6, skip2) > 0 || sub_ == "Pad"; box = sub_ == "Volume image" }
      t != "File" && t != "Section" { drop = 1 }
      drop { next }
      box { print t "|" sub_ "|" trim($3) "|(container)|" trim($6); next }
      { print t "|" sub_ "|" trim($3) "|" trim($4) "|" trim($5) "|" trim($6) }' "$1"
  }
  judge() { # what, new image, GUID, FFS given (empty: removed)
    [ "$(stat -c %s "$2")" -eq "$(stat -c %s "$work/orig.fd")" ] || fail "$1: the image changed size"
    UEFIExtract "$2" report > "$2.msgs" 2>&1 || fail "$1: UEFIExtract cannot read the result"
    new_msgs=$(grep -vxF -f "$work/orig.msgs" "$2.msgs" || true)
    [ -z "$new_msgs" ] || fail "$1: UEFIExtract complains: $new_msgs"
    records "$work/orig.fd.report.txt" "$dpc" "$copy" > "$work/orig.records"
    records "$2.report.txt" "$dpc" "$copy" > "$2.records"
    diff "$work/orig.records" "$2.records" > "$2.diff" || { head -n 20 "$2.diff" >&2; fail "$1: other files changed"; }
    line=$(grep " File .*| -* *$3" "$2.report.txt" || true)
    if [ -z "$4" ]; then
      [ -z "$line" ] || fail "$1: file $3 is still there"
      return 0
    fi
    [ "$(echo "$line" | grep -c .)" -eq 1 ] || fail "$1: file $3 is not there once"
    echo "$line" | grep -q "| $(size8 "$4") | $(crc32 "$4") |" || fail "$1: file $3 is not the bytes given: $line"
  }

  boot_check() {
    # The grown image boots to the Shell, and the copy of DpcDxe in the grown
    # part of the volume was dispatched: two handles carry the DPC protocol.
    command -v qemu-system-aarch64 >/dev/null || fail "qemu-system-aarch64 missing (tools/install-deps.sh installs qemu-system-arm)"
    dpc_protocol=480F8AE9-0C46-4AA9-BC89-DB9FBA619806
    cp /usr/share/AAVMF/AAVMF_VARS.fd "$work/vars.fd"
    shell_command "$work/console" "dh -p $dpc_protocol" \
      qemu-system-aarch64 -M virt -cpu cortex-a57 -m 1024 -display none -no-reboot -net none -monitor none \
      -serial stdio -drive "if=pflash,format=raw,readonly=on,file=$work/insert.fd" \
      -drive "if=pflash,format=raw,file=$work/vars.fd"
    handles=$(grep -a -c "^[0-9A-F]*: $dpc_protocol" "$work/console" || true)
    [ "$handles" -eq 2 ] || fail "$handles handles carry the DPC protocol after the boot; the inserted copy did not run"
    echo "kit-check: $(basename "$image"): the grown image boots to Shell>, the inserted driver ran"
  }

  # A driver of the image's own machine.
  "$fwimage" extract "$work/orig.fd" "$dpc" --section pe32 --out "$work/dpc.efi"
  "$fwimage" extract "$work/orig.fd" "$dpc" --section depex --out "$work/dpc.depex"
  pe=$(od -An -tu4 -j60 -N4 "$work/dpc.efi" | tr -d ' ')
  machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$work/dpc.efi" | tr -d ' ')
  if [ "$machine" = 8664 ]; then
    new=$kit/BoardSetupDxe.ffs
    copy=$(sed -n 's/^- FILE GUID: `\([0-9A-F-]*\)`.*/\1/p' "$kit/README.md" | head -n 1)
  else
    new=$work/copy.ffs
    "$fwimage" ffs --type driver --pe "$work/dpc.efi" --depex "$work/dpc.depex" --ui DpcDxeCopy --version 1.0 \
      --guid "$copy" --out "$new"
  fi
  [ -n "$copy" ] || fail "no FILE GUID in the kit README"

  "$fwimage" insert "$work/orig.fd" --out "$work/insert.fd" --json "$new" > "$work/insert.json" ||
    fail "insert refused"
  judge insert "$work/insert.fd" "$copy" "$new"
  # From insert's JSON summary: the outermost volume's free space before and
  # after (around the recompressed stream), and the target's growth.
  [ -x "$python" ] || fail "$python missing (the system Python reads insert's JSON summary)"
  summary=$("$python" -c '
import json, sys
s = json.load(open(sys.argv[1]))
print(s["recompressed"], s["volumes"][0]["freeBefore"], s["volumes"][0]["freeAfter"], s["volumes"][-1]["grownBy"])
' "$work/insert.json") || fail "insert's summary is not the JSON expected"
  read -r recompressed outer_before outer_after grown <<EOF
$summary
EOF
  # Recompression costs the flash no more than the file compressed on its own.
  [ "$recompressed" -ge 1 ] || fail "insert reports no recompressed volume"
  cost=$((outer_before - outer_after))
  alone=$(xz --format=lzma -6 -c "$new" | wc -c)
  [ "$cost" -le $((alone + 1024)) ] ||
    fail "insert cost the compressed volume's container $cost bytes; the file alone compresses to $alone"

  [ "$boot" != --boot ] || boot_check

  "$fwimage" ffs --type driver --pe "$work/dpc.efi" --depex "$work/dpc.depex" --ui DpcDxe --version 2.0 \
    --guid "$dpc" --out "$work/dpc2.ffs"
  # The insert above showed what preset 6 costs; liblzma's fastest is enough here.
  "$fwimage" replace "$work/orig.fd" --out "$work/replace.fd" --preset 0 "$work/dpc2.ffs" > /dev/null ||
    fail "replace refused"
  judge replace "$work/replace.fd" "$dpc" "$work/dpc2.ffs"
  "$fwimage" remove "$work/orig.fd" --out "$work/remove.fd" --preset 0 "$dpc" > /dev/null || fail "remove refused"
  judge remove "$work/remove.fd" "$dpc" ""
  growth="no growth"
  [ "$grown" -eq 0 ] || growth="grew the target FV by $grown bytes"
  echo "kit-check: $(basename "$image"): insert ($growth; container $cost bytes, file alone $alone), replace, remove judged by UEFIExtract"

  exit 0
fi

if [ "${1:-}" = --real ]; then
  fwimage=$2; real=$3
  work=$(scratch_dir)
  trap cleanup EXIT
  fail() { echo "kit-check: $*" >&2; exit 1; }
  command -v UEFIExtract >/dev/null || fail "UEFIExtract missing (tools/install-deps.sh installs uefitool-cli)"
  [ -x "$python" ] || fail "$python missing (the system Python reads the JSON listings)"
  vtfs=0
  for image in "$real"/*-Fsp.fd; do
    [ -f "$image" ] || fail "no FSP image in $real"
    name=$(basename "$image" .fd)
    cp "$image" "$work/$name.fd"
    "$fwimage" list --json "$work/$name.fd" > "$work/$name.json" 2> /dev/null || true
    # One line a named volume, at any depth: its name, then its files (pad
    # files left out); then "top OFFSET SIZE" for each volume of the image.
    # A file of a volume no compressed section holds is cut from the image at
    # the offset the listing gives (written to DIR/<volume>-<file>.ffs, named
    # GUID=path); one inside a decoded stream is named by its GUID alone, for
    # fwimage extract.
    mkdir -p "$work/files"
    "$python" - "$work/$name.json" "$work/$name.fd" "$work/files" > "$work/$name.plan" <<'PY' || fail "$name: the listing is not the JSON expected"
import json, os, sys
listing = json.load(open(sys.argv[1]))
image = open(sys.argv[2], "rb").read()
volumes = 0
def volume(v, decoded):
    global volumes
    volumes += 1
    files = [f for f in v["files"] if f["type"] != 0xF0 and not f["deleted"]]
    if v["guid"] and files:
        given = []
        for n, f in enumerate(files):
            if decoded:
                given.append(f["guid"])
                continue
            path = os.path.join(sys.argv[3], f"{volumes}-{n}.ffs")
            with open(path, "wb") as out:
                out.write(image[f["offset"]:f["offset"] + f["size"]])
            given.append(f"{f['guid']}={path}")
        print(v["guid"], *given)
    for f in v["files"]:
        for s in f["sections"]:
            section(s, decoded)
def section(s, decoded):
    decoded = decoded or s["algorithm"] is not None
    for c in s["sections"]:
        section(c, decoded)
    for v in s["volumes"]:
        volume(v, decoded)
for v in listing["volumes"]:
    volume(v, False)
for v in listing["volumes"]:
    print("top", v["offset"], v["size"])
PY
    # Every file of each volume replaced with its own bytes, in one command a
    # volume: the image comes back byte for byte.
    volumes=0
    while read -r fv files; do
      [ "$fv" != top ] || continue
      given=""
      for file in $files; do
        case $file in
          *=*) given="$given ${file#*=}" ;;
          *) "$fwimage" extract "$work/$name.fd" "$file" --fv "$fv" --out "$work/$file.ffs" ||
               fail "$name: extract $file refused"
             given="$given $work/$file.ffs" ;;
        esac
      done
      # shellcheck disable=SC2086
      "$fwimage" replace "$work/$name.fd" --out "$work/same.fd" --fv "$fv" $given > /dev/null ||
        fail "$name: replacing the files of FV $fv with their own bytes refused"
      cmp -s "$work/$name.fd" "$work/same.fd" || fail "$name: FV $fv's files replaced with their own bytes change the image"
      rm -f "$work"/*.ffs "$work/same.fd"
      volumes=$((volumes + 1))
    done < "$work/$name.plan"
    rm -rf "$work/files"
    [ "$volumes" -ge 2 ] || fail "$name: $volumes named volumes with files"
    # The Volume Top File (the reset vector's) is never removed.
    vtf=1BA0062E-C779-4582-8566-336AE8F78F09
    vtfs_before=$vtfs
    if grep -q "$vtf" "$work/$name.plan"; then
      if "$fwimage" remove "$work/$name.fd" --out "$work/novtf.fd" "$vtf" 2> "$work/novtf.err"; then
        fail "$name: the Volume Top File was removed"
      fi
      grep -q "is the Volume Top File" "$work/novtf.err" || fail "$name: remove of the Volume Top File: $(cat "$work/novtf.err")"
      vtfs=$((vtfs + 1))
    fi
    # The second volume's signature damaged: its bytes are a fault of the
    # listing with their offset and size, where UEFIExtract shows non-empty
    # padding; an edit of the volume before it is refused.
    read -r _ offset size <<EOF
$(grep '^top ' "$work/$name.plan" | sed -n 2p)
EOF
    [ -n "$size" ] || fail "$name: fewer than two volumes"
    cp "$work/$name.fd" "$work/damaged.fd"
    printf 'X' | dd of="$work/damaged.fd" bs=1 seek=$((offset + 40)) conv=notrunc 2> /dev/null
    status=0
    "$fwimage" list "$work/damaged.fd" > "$work/damaged.list" 2> /dev/null || status=$?
    [ $status -eq 1 ] || fail "$name: list of the image with a damaged _FVH exits $status"
    stray=$(printf '0x%X bytes at 0x%X are neither erased nor in a firmware volume' "$size" "$offset")
    grep -q "^FAULT: $stray" "$work/damaged.list" || fail "$name: no fault '$stray' in the listing"
    UEFIExtract "$work/damaged.fd" report > /dev/null 2>&1 || fail "$name: UEFIExtract cannot read the damaged image"
    grep -q "^ Padding *| Non-empty *| $(printf '%08X | %08X' "$offset" "$size") |" "$work/damaged.fd.report.txt" ||
      fail "$name: UEFIExtract shows no non-empty padding of $size bytes at $offset"
    read -r fv file _ < "$work/$name.plan"
    file=${file%%=*}
    if "$fwimage" remove "$work/damaged.fd" --out "$work/edit.fd" --fv "$fv" "$file" 2> "$work/edit.err"; then
      fail "$name: an edit next to the damaged volume went on"
    fi
    grep -q "next to FV" "$work/edit.err" || fail "$name: an edit next to the damaged volume: $(cat "$work/edit.err")"
    echo "kit-check: $name: the files of $volumes volumes replaced by themselves give the image back;" \
      "the Volume Top File $( [ "$vtfs" -gt "$vtfs_before" ] && echo "kept" || echo "absent");" \
      "$(printf 'a damaged _FVH at 0x%X' "$offset") is a fault UEFIExtract agrees with, and stops an edit next to it"
  done
  [ "$vtfs" -ge 1 ] || fail "no Volume Top File in the FSP images to try removing"
  exit 0
fi

mode=kit
case "${1:-}" in
--listings | --descriptor) mode=${1#--}; shift ;;
esac
fwimage=$1; kit=$2; ovmf=${3:-/usr/share/OVMF/OVMF_CODE_4M.secboot.fd}
# The descriptor images boot with -bios: OVMF without SMM (ctest passes the
# bench's copy without the TPM probe).
[ "$mode" != descriptor ] || ovmf=${3:-/usr/share/OVMF/OVMF_CODE_4M.fd}
drivers="BoardSetupDxe UsbSupportS5Smm"
work=$(scratch_dir)
trap cleanup EXIT
fail() { echo "kit-check: $*" >&2; exit 1; }
command -v UEFIExtract >/dev/null || fail "UEFIExtract missing (tools/install-deps.sh installs uefitool-cli)"
[ "$mode" = kit ] || [ -x "$python" ] || fail "$python missing (the system Python reads the JSON listings)"

# compare.py NAME JSON DUMP...: fwimage's JSON listing against UEFIExtract's
# dump of the same image (one directory an item, children numbered in order,
# an info.txt each). Volumes by name (the file-system GUID when unnamed) and
# size, files by GUID, type byte, the machine of their first PE32/TE image
# and UI name, each at its nesting level; flash regions by name, offset and
# size.
# compare.py --pe32 FWIMAGE WORK IMAGE DUMP...: every PE32 section inside an
# EFI 1.1 compressed section of the dump, extracted by fwimage from the file
# and volume UEFIExtract names, equals the dump's decoded body.
# compare.py --targets JSON: for the machine check, an x64 volume holding DXE
# drivers ("insert GUID"), or else an IA32-only one ("refuse GUID").
cat > "$work/compare.py" <<'PY'
import json, os, sys

# UEFIExtract's words for the PE/TE Machine field and for flash regions.
MACHINES = {"x86-64": 0x8664, "x86": 0x014C, "AArch64": 0xAA64, "ARM Thumb": 0x01C2}
# The names UEFIExtract gives files of well-known GUIDs that have no UI section.
GIVEN_NAMES = {"Volume Top File", "PEI apriori file", "DXE apriori file"}
REGIONS = {"Descriptor": "descriptor", "BIOS": "BIOS", "ME": "ME", "GbE": "GbE", "PDR": "platform data",
           "EC": "EC"}

def info(path):
    kinds, fields = [], {}
    with open(os.path.join(path, "info.txt"), encoding="utf-8", errors="replace") as f:
        for line in f:
            key, sep, value = line.rstrip("\n").partition(": ")
            if sep and key == "Type":
                kinds.append(value)
            elif sep:
                fields.setdefault(key, value)
    return kinds, fields

def number(text):  # "34000h (212992)"
    return int(text.split("h", 1)[0], 16)

def dumped(top):
    items, regions = [], []
    def walk(path, level, file):
        children = [e for e in os.scandir(path) if e.is_dir()]
        for e in sorted(children, key=lambda e: int(e.name.split(" ", 1)[0])):
            kinds, f = info(e.path)
            if kinds[0] == "Volume":
                items.append(["FV", level, f.get("Volume GUID", f.get("FileSystem GUID")), number(f["Full size"])])
                walk(e.path, level + 1, None)
                continue
            if kinds[0] == "File":
                ui = f.get("Text")
                file = ["file", level, f["File GUID"], int(kinds[1].rstrip("h"), 16), None,
                        None if ui in GIVEN_NAMES else ui]
                items.append(file)
                walk(e.path, level, file)
                file = None
                continue
            if kinds[0] == "Region":
                regions.append((REGIONS.get(f["Subtype"], f["Subtype"]), number(f["Offset"]), number(f["Full size"])))
            if file is not None and file[4] is None and "Machine type" in f:
                if f["Machine type"] not in MACHINES:
                    sys.exit(f"UEFIExtract names machine '{f['Machine type']}', not in the table")
                file[4] = MACHINES[f["Machine type"]]
            walk(e.path, level, file)
    walk(top, 0, None)
    return items, sorted(regions, key=lambda r: r[1])

def listed(listing):
    items = []
    def volume(v, level):
        items.append(["FV", level, v["guid"] or v["fileSystem"], v["size"]])
        for f in v["files"]:
            items.append(["file", level + 1, f["guid"], f["type"], f["machine"], f["ui"]])
            for s in f["sections"]:
                section(s, level + 1)
    def section(s, level):
        for c in s["sections"]:
            section(c, level)
        for v in s["volumes"]:
            volume(v, level)
    for v in listing["volumes"]:
        volume(v, 0)
    regions = sorted(((r["name"], r["offset"], r["size"]) for r in listing["regions"]), key=lambda r: r[1])
    return items, regions

def volume_guid(path):  # of the volume around a dump directory
    while True:
        path = os.path.dirname(path)
        kinds, f = info(path)
        if kinds[0] == "Volume":
            return f.get("Volume GUID")

def check_pe32(fwimage, work, pairs):
    failed = False
    for image, dump in pairs:
        name, checked, wrong = os.path.basename(image), 0, False
        for root, _, files in sorted(os.walk(dump)):
            if "info.txt" not in files or info(root)[1].get("Compression algorithm") != "EFI 1.1":
                continue
            file_dir = os.path.dirname(root)
            guid = info(file_dir)[1]["File GUID"]
            bodies = [e.path for e in os.scandir(root) if e.is_dir() and info(e.path)[0][1:2] == ["10h"]]
            if not bodies:
                continue
            first = min(bodies, key=lambda p: int(os.path.basename(p).split(" ", 1)[0]))
            out = os.path.join(work, "pe32.efi")
            command = [fwimage, "extract", image, guid, "--section", "pe32", "--out", out]
            fv = volume_guid(file_dir)
            ran = __import__("subprocess").run(command + (["--fv", fv] if fv else []), capture_output=True, text=True)
            if ran.returncode != 0:
                print(f"{name}: extract {guid}: {ran.stderr.strip()}")
                wrong = True
            elif open(out, "rb").read() != open(os.path.join(first, "body.bin"), "rb").read():
                print(f"{name}: file {guid}: the PE32 fwimage extracts differs from UEFIExtract's decoded body")
                wrong = True
            checked += 1
        if checked == 0:
            print(f"{name}: no PE32 behind an EFI 1.1 section in UEFIExtract's dump")
            wrong = True
        failed = failed or wrong
        if not wrong:
            print(f"{name}: {checked} PE32 images behind EFI 1.1 sections extracted as UEFIExtract decodes them")
    sys.exit(1 if failed else 0)

def targets(json_path):
    listing = json.load(open(json_path, encoding="utf-8"))
    ia32 = None
    for v in listing["volumes"]:
        machines = {f["machine"] for f in v["files"] if f["machine"] is not None}
        if machines == {0x8664} and any(f["typeName"] == "DRIVER" for f in v["files"]):
            print("insert", v["guid"])
            return
        if machines == {0x014C} and ia32 is None:
            ia32 = v["guid"]
    if ia32 is None:
        sys.exit(f"{json_path}: no x64 volume with DXE drivers and no IA32-only volume")
    print("refuse", ia32)

if sys.argv[1] == "--pe32":
    check_pe32(sys.argv[2], sys.argv[3], list(zip(sys.argv[4::2], sys.argv[5::2])))
if sys.argv[1] == "--targets":
    targets(sys.argv[2])
    sys.exit(0)

failed = False
args = sys.argv[1:]
for name, json_path, dump in zip(args[0::3], args[1::3], args[2::3]):
    with open(json_path, encoding="utf-8") as f:
        listing = json.load(f)
    ours, our_regions = listed(listing)
    theirs, their_regions = dumped(dump)
    problems = []
    if listing["faultCount"] != 0:
        problems.append(f"{listing['faultCount']} fault(s) in fwimage's listing")
    if our_regions != their_regions:
        problems.append(f"regions: fwimage {our_regions}, UEFIExtract {their_regions}")
    for i, (a, b) in enumerate(zip(ours, theirs)):
        if a != b:
            problems.append(f"item {i}: fwimage {a}, UEFIExtract {b}")
            break
    if len(ours) != len(theirs):
        problems.append(f"fwimage lists {len(ours)} volumes and files, UEFIExtract {len(theirs)}")
    files = [x for x in ours if x[0] == "file"]
    machines = sorted({f"{x[4]:#06x}" for x in files if x[4] is not None})
    if problems:
        failed = True
        print(f"{name}: " + "; ".join(problems))
    else:
        print(f"{name}: {len(files)} files in {len(ours) - len(files)} volumes, nested "
              f"{max(x[1] for x in ours)} volumes deep, agree (GUID, type, machine {' '.join(machines)}, UI name)"
              + (f"; regions {our_regions}" if our_regions else ""))
sys.exit(1 if failed else 0)
PY

# What the README states, per driver: the first backticked value on its
# "- FILE GUID:" and "- Dependency expression" lines, inside "## <driver> ".
readme_value() { # driver, line prefix
  awk -v d="## $1 " -v p="$2" '
    index($0, "## ") == 1 { in_section = index($0, d) == 1 }
    in_section && index($0, p) == 1 { split($0, part, "`"); print part[2]; exit }' "$kit/README.md"
}

# Every checksum in UEFIExtract's dump valid, four volume checksums at least.
checksums_valid() { # dump, prefix of the failure
  bad=$(grep -rl "invalid" "$1" --include=info.txt || true)
  [ -z "$bad" ] || fail "${2:-}UEFIExtract finds invalid checksums in: $bad"
  [ "$(grep -rh '^Checksum: .*, valid$' "$1" --include=info.txt | wc -l)" -ge 4 ] ||
    fail "${2:-}UEFIExtract reports fewer than four valid volume checksums"
}

if [ "$mode" = listings ]; then
  # image, and where it comes from: a Debian package, or the repository.
  real=$(dirname "$0")/real-images
  fsps="$real/Braswell-Fsp.fd $real/Kabylake-Fsp.fd $real/Whitley-Fsp.fd $real/PantherLake-Fsp.fd"
  images="/usr/share/OVMF/OVMF_CODE_4M.secboot.fd:ovmf /usr/share/OVMF/OVMF_CODE.fd:ovmf
          /usr/share/ovmf/OVMF.fd:ovmf /usr/share/OVMF/OVMF32_CODE_4M.secboot.fd:ovmf-ia32
          /usr/share/AAVMF/AAVMF_CODE.fd:qemu-efi-aarch64 /usr/share/qemu-efi-aarch64/QEMU_EFI.fd:qemu-efi-aarch64
          /usr/share/AAVMF/AAVMF32_CODE.fd:qemu-efi-arm"
  for fsp in $fsps; do images="$images $fsp:"; done
  args=""; jobs=""; pe32_args=""
  for entry in $images; do
    image=${entry%%:*}; package=${entry#*:}; name=$(basename "$image")
    if [ -n "$package" ]; then
      [ -f "$image" ] || fail "$image missing (Debian package $package; tools/install-deps.sh installs it)"
    else
      [ -f "$image" ] || fail "$image missing (the repository's real images)"
      # Whitley's compressed volume is LZMA; the others hold EFI 1.1 sections.
      [ "$name" = Whitley-Fsp.fd ] || pe32_args="$pe32_args $work/$name $work/$name.dump"
    fi
    status=0
    "$fwimage" list --json "$image" > "$work/$name.json" || status=$?
    [ $status -eq 0 ] || fail "fwimage list $image exits $status"
    # UEFIExtract writes its dump beside the image it reads (past symbolic
    # links): it reads a copy. All run at once.
    cp "$image" "$work/$name"
    UEFIExtract "$work/$name" dump > "$work/$name.log" 2>&1 &
    jobs="$jobs $!:$name"
    args="$args $name $work/$name.json $work/$name.dump"
  done
  for job in $jobs; do
    wait "${job%%:*}" || fail "UEFIExtract ${job#*:}: $(tail -n 1 "$work/${job#*:}.log")"
  done
  # shellcheck disable=SC2086
  "$python" "$work/compare.py" $args || fail "fwimage's listings differ from UEFIExtract's"
  # shellcheck disable=SC2086
  "$python" "$work/compare.py" --pe32 "$fwimage" "$work" $pe32_args ||
    fail "fwimage's PE32 images from EFI 1.1 sections differ from UEFIExtract's"

  # Machines by boot phase on the FSPs, with the kit's x64 DXE driver.
  driver=$kit/BoardSetupDxe.ffs
  [ -f "$driver" ] || fail "$driver missing (the kit is built with the project)"
  guid=$(readme_value BoardSetupDxe "- FILE GUID:")
  for fsp in $fsps; do
    name=$(basename "$fsp")
    target=$("$python" "$work/compare.py" --targets "$work/$name.json") || fail "$name: $target"
    verdict=${target%% *}; fv=${target#* }
    status=0
    "$fwimage" insert "$work/$name" --out "$work/$name.new" --fv "$fv" --json "$driver" \
      > "$work/$name.insert" 2> "$work/$name.refusal" || status=$?
    if [ "$verdict" = refuse ]; then
      [ $status -eq 1 ] || fail "$name: the x64 driver went into IA32-only FV $fv (exit $status)"
      grep -q "holds an image for x64 (0x8664); FV $fv runs IA32 (0x014C) " "$work/$name.refusal" ||
        fail "$name: the refusal does not name both machines: $(cat "$work/$name.refusal")"
      [ ! -e "$work/$name.new" ] || fail "$name: a refused insert left an image behind"
      echo "kit-check: $name: $(sed 's/^fwimage: [^:]*: //' "$work/$name.refusal")"
      continue
    fi
    [ $status -eq 0 ] || fail "$name: insert into FV $fv refused: $(cat "$work/$name.refusal")"
    grep -q '"notes":\[\]' "$work/$name.insert" || fail "$name: insert notes $(cat "$work/$name.insert")"
    UEFIExtract "$work/$name" report > "$work/$name.msgs" 2>&1 || fail "UEFIExtract cannot report on $name"
    UEFIExtract "$work/$name.new" report > "$work/$name.new.msgs" 2>&1 ||
      fail "UEFIExtract cannot read $name with the driver"
    new_msgs=$(grep -vxF -f "$work/$name.msgs" "$work/$name.new.msgs" || true)
    [ -z "$new_msgs" ] || fail "$name: UEFIExtract complains about the result: $new_msgs"
    [ "$(grep -c " File .*| -* *$guid" "$work/$name.new.report.txt")" -eq 1 ] ||
      fail "$name: UEFIExtract does not find the driver $guid once"
    echo "kit-check: $name: the x64 driver went into FSP-S FV $fv; UEFIExtract finds it and nothing new to complain about"
  done
  exit 0
fi

if [ "$mode" = descriptor ]; then
  # Full SPI images as a board's flash holds them, from a real laptop's
  # two-chip descriptor (8 MiB + 4 MiB) and its GbE region: the ME region
  # erased (UEFIExtract gives up on bytes there that are no ME image), OVMF
  # without SMM at the top of the BIOS region, so that it boots from just
  # below 4 GiB. two-chip keeps the descriptor as it is; whole-flash gives the
  # BIOS region the whole flash (FLREG1 base 0, limit 0xBFF), as some board
  # makers write it, which UEFIExtract reads as the same region after the ME.
  real=$(dirname "$0")/real-images
  for part in two-chip-descriptor.bin two-chip-gbe.bin; do
    [ -f "$real/$part" ] || fail "$real/$part missing"
  done
  [ -f "$ovmf" ] || fail "$ovmf missing (Debian package ovmf, which tools/install-deps.sh installs; the bench's copy comes with the build)"
  command -v qemu-system-x86_64 >/dev/null ||
    fail "qemu-system-x86_64 missing (tools/install-deps.sh installs qemu-system-x86)"
  "$python" - "$real" "$ovmf" "$work" <<'PY'
import struct, sys
real, ovmf, work = sys.argv[1:]
size = 12 << 20
image = bytearray(b"\xff" * size)
for name, at in (("two-chip-descriptor.bin", 0), ("two-chip-gbe.bin", 0x1000)):
    part = open(f"{real}/{name}", "rb").read()
    image[at:at + len(part)] = part
bios = open(ovmf, "rb").read()
image[size - len(bios):] = bios
open(f"{work}/two-chip.fd", "wb").write(image)
struct.pack_into("<I", image, 0x44, 0x0BFF0000)  # FLREG1: 0x0-0xBFFFFF
open(f"{work}/whole-flash.fd", "wb").write(image)
PY
  # The layout UEFIExtract shows for both.
  cat > "$work/two-chip.want" <<'EOF'
flash descriptor  2 chips, flash size 0xC00000
  region 0 descriptor  offset 0x0  size 0x1000
  region 1 BIOS  offset 0x500000  size 0x700000
  region 2 ME  offset 0x3000  size 0x4FD000
  region 3 GbE  offset 0x1000  size 0x2000
EOF
  sed 's/^  region 1 .*/&  (the descriptor gives 0x0-0xBFFFFF, the whole flash: read from the end of the ME region)/' \
    "$work/two-chip.want" > "$work/whole-flash.want"
  bios_at=$((0x500000))
  compact_at=$(printf '0x%X' $((0xC00000 - $(stat -c %s "$ovmf"))))
  nic=$(sed -n 's/.*`BoardNicInfoProtocol` {\([0-9A-F-]*\)}.*/\1/p' "$kit/README.md" | head -n 1)
  [ -n "$nic" ] || fail "the kit README names no BoardNicInfoProtocol GUID"
  ffs_files=""
  for d in $drivers; do ffs_files="$ffs_files $kit/$d.ffs"; done

  # list shows the layout, and the kit goes into the BIOS region alone.
  edit() { # image name
    status=0
    "$fwimage" list "$work/$1.fd" > "$work/$1.list" || status=$?
    [ $status -eq 0 ] || fail "fwimage list $1.fd exits $status"
    sed -n '/^flash descriptor/p; /^  region /p' "$work/$1.list" | diff "$work/$1.want" - ||
      fail "$1: list shows another layout than UEFIExtract"
    grep -q "^FV 48DB5E17-707C-472D-91CD-1613E7EF51B0  offset $compact_at " "$work/$1.list" ||
      fail "$1: FVMAIN_COMPACT is not listed at $compact_at, its offset in the image"
    # The compression preset costs only flash here (KitCheck weighs it).
    # shellcheck disable=SC2086
    "$fwimage" insert "$work/$1.fd" --out "$work/$1-new.fd" --preset 0 $ffs_files > /dev/null || fail "$1: insert refused"
    [ "$(stat -c %s "$work/$1-new.fd")" -eq "$(stat -c %s "$work/$1.fd")" ] || fail "$1: the image changed size"
    cmp -s -n "$bios_at" "$work/$1.fd" "$work/$1-new.fd" || fail "$1: bytes outside the BIOS region changed"
    if cmp -s "$work/$1.fd" "$work/$1-new.fd"; then fail "$1: insert changed nothing"; fi
  }
  # UEFIExtract finds every checksum valid and each kit file once.
  judge() { # image name
    "$fwimage" list --json "$work/$1-new.fd" > "$work/$1-new.json"
    UEFIExtract "$work/$1-new.fd" dump > "$work/$1-new.log" 2>&1 || fail "UEFIExtract $1-new.fd: $(tail -n 1 "$work/$1-new.log")"
    dump=$work/$1-new.fd.dump
    checksums_valid "$dump" "$1: "
    for d in $drivers; do
      guid=$(readme_value "$d" "- FILE GUID:")
      [ "$(grep -rlx "File GUID: $guid" "$dump" --include=info.txt | wc -l)" -eq 1 ] ||
        fail "$1: $d ($guid) is not in the image once"
    done
  }
  # The two-chip image is checked beside the boot of the whole-flash one.
  (trap - EXIT; edit two-chip; judge two-chip) &
  two_chip=$!
  edit whole-flash
  (trap - EXIT; judge whole-flash) &
  whole_flash=$!

  # The image whose BIOS region the descriptor gives as the whole flash
  # boots, and the kit's DXE driver ran: its protocol is on a handle.
  shell_command "$work/console" "dh -p $nic" \
    qemu-system-x86_64 -machine q35 -m 512 -bios "$work/whole-flash-new.fd" -nographic -net none
  handles=$(grep -a -c "^[0-9A-F]*: $nic" "$work/console" || true)
  [ "$handles" -eq 1 ] ||
    { tail -n 5 "$work/console" >&2; fail "$handles handles carry BoardNicInfoProtocol after the boot"; }

  wait "$two_chip" || fail "two-chip: see above"
  wait "$whole_flash" || fail "whole-flash: see above"
  "$python" "$work/compare.py" two-chip-new "$work/two-chip-new.json" "$work/two-chip-new.fd.dump" \
    whole-flash-new "$work/whole-flash-new.json" "$work/whole-flash-new.fd.dump" ||
    fail "fwimage's listings differ from UEFIExtract's"
  echo "kit-check: two-chip SPI images, the descriptor as it is and with the BIOS region over the whole flash:" \
    "regions as UEFIExtract shows them, the kit in the BIOS region, checksums valid, the $bios_at bytes before" \
    "it unchanged; the whole-flash one boots with BoardNicInfoProtocol installed"
  exit 0
fi

ffs_files=""
for d in $drivers; do ffs_files="$ffs_files $kit/$d.ffs"; done
# shellcheck disable=SC2086
"$fwimage" insert "$ovmf" --out "$work/new.fd" $ffs_files
[ "$(stat -c %s "$work/new.fd")" -eq "$(stat -c %s "$ovmf")" ] || fail "the image changed size"

"$fwimage" list "$ovmf" > "$work/old.list"
"$fwimage" list "$work/new.fd" > "$work/new.list"

# The rewritten volume is the top-level one holding the compressed file;
# everything before and after it stays byte for byte.
top=$(grep -m1 '^FV ' "$work/old.list")
[ "$(grep -c '^FV ' "$work/old.list")" -ge 2 ] || fail "expected SECFV after FVMAIN_COMPACT"
offset=$(echo "$top" | sed 's/.*  offset \(0x[0-9A-F]*\).*/\1/')
size=$(echo "$top" | sed 's/.*  size \(0x[0-9A-F]*\).*/\1/')
end=$((offset + size))
cmp -s -n "$offset" "$ovmf" "$work/new.fd" || fail "bytes before the rewritten volume changed"
cmp -s -i "$end:$end" "$ovmf" "$work/new.fd" || fail "bytes after the rewritten volume (SECFV) changed"

# Original files unchanged: every file line of the old listing, in order,
# once the kit's lines are taken out of the new one. Only the size of the
# file holding the recompressed volume and free-space figures may differ.
normalise() {
  sed -e 's/\(FIRMWARE_VOLUME_IMAGE  size\) 0x[0-9A-F]*/\1 (recompressed)/' \
      -e 's/\(GUID_DEFINED .* size\) 0x[0-9A-F]*/\1 (recompressed)/' \
      -e 's/  free 0x[0-9A-F]*//'
}
pattern=""
for d in $drivers; do
  guid=$(readme_value "$d" "- FILE GUID:")
  [ -n "$guid" ] || fail "$d: no FILE GUID in the kit README"
  pattern="$pattern${pattern:+|}file $guid "
done
normalise < "$work/old.list" > "$work/old.norm"
grep -Ev "$pattern" "$work/new.list" | normalise > "$work/new.norm"
diff "$work/old.norm" "$work/new.norm" > "$work/list.diff" || { cat "$work/list.diff"; fail "original files changed"; }

UEFIExtract "$work/new.fd" all > "$work/uefiextract.log" 2>&1 || fail "UEFIExtract failed: $(tail -n 1 "$work/uefiextract.log")"
dump="$work/new.fd.dump"
checksums_valid "$dump"

for d in $drivers; do
  guid=$(readme_value "$d" "- FILE GUID:")
  want=$(readme_value "$d" "- Dependency expression")
  [ -n "$want" ] || fail "$d: no dependency expression in the kit README"
  info=$(grep -rlx "File GUID: $guid" "$dump" --include=info.txt)
  [ "$(echo "$info" | wc -l)" -eq 1 ] || fail "$d: file $guid found $(echo "$info" | grep -c .) times"
  dir=$(dirname "$info")
  grep -q '^Header checksum: .*, valid$' "$info" || fail "$d: header checksum"
  grep -q '^Data checksum: .*, valid$' "$info" || fail "$d: data checksum"
  grep -qx "Text: $d" "$info" || fail "$d: UI name is not $d"
  section() { # type byte -> the section's directory (UEFIExtract's names hold spaces)
    grep -lx "Type: $1" "$dir"/*/info.txt | head -n 1 | sed 's|/info.txt$||'
  }
  pe=$(section 10h)
  [ -n "$pe" ] && cmp -s "$pe/body.bin" "$kit/$d.efi" || fail "$d: PE32 section differs from $d.efi"
  depex=$(section 13h)
  [ -n "$depex" ] || depex=$(section 1Ch)
  [ -n "$depex" ] || fail "$d: no dependency section"
  got=$(sed -n '/^Parsed expression:/,$p' "$depex/info.txt" | sed 1d | tr '\n' ' ' | sed 's/ *$//')
  [ "$got" = "$want" ] || fail "$d: UEFIExtract parses '$got', the README states '$want'"
  echo "$d: $guid, depex as UEFIExtract parses it: $got"
done
echo "kit-check: $(grep -c '^ *file ' "$work/new.list") files listed, checksums valid, SECFV unchanged"
