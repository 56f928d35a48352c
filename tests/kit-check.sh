#!/bin/sh
# The kit's FFS files put into OVMF's own flash image with `fwimage insert`,
# judged by UEFIExtract (an independent parser) and by `fwimage list`:
#   - every header, data and volume checksum in the new image is valid;
#   - each kit file is there with the PE32 bytes of its .efi, the dependency
#     expression and FILE GUID the kit README states, and its UI name;
#   - every original file is listed unchanged, the image keeps its size, and
#     the bytes outside the rewritten volume (SECFV, the reset vector) are
#     the original ones.
# usage: kit-check.sh <fwimage> <kit dir> [<OVMF code image>]
set -eu
fwimage=$1; kit=$2; ovmf=${3:-/usr/share/OVMF/OVMF_CODE_4M.secboot.fd}
drivers="BoardSetupDxe UsbSupportS5Smm"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "kit-check: $*" >&2; exit 1; }
command -v UEFIExtract >/dev/null || fail "UEFIExtract missing (tools/install-deps.sh installs uefitool-cli)"

# What the README states, per driver: the first backticked value on its
# "- FILE GUID:" and "- Dependency expression" lines, inside "## <driver> ".
readme_value() { # driver, line prefix
  awk -v d="## $1 " -v p="$2" '
    index($0, "## ") == 1 { in_section = index($0, d) == 1 }
    in_section && index($0, p) == 1 { split($0, part, "`"); print part[2]; exit }' "$kit/README.md"
}

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
bad=$(grep -rl "invalid" "$dump" --include=info.txt || true)
[ -z "$bad" ] || fail "UEFIExtract finds invalid checksums in: $bad"
[ "$(grep -rh '^Checksum: .*, valid$' "$dump" --include=info.txt | wc -l)" -ge 4 ] ||
  fail "UEFIExtract reports fewer than four valid volume checksums"

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
