#!/bin/sh
# The bench's edited firmware images as UEFIExtract (an independent parser)
# reads them: every checksum valid, BoardSetupDxe's file carrying the
# replacement's VERSION string in the replaced image, and no UsbSupportS5Smm
# file left in the image it was removed from.
# usage: check-edited-images.sh REPLACED.fd VERSION DXE-FILE-GUID REMOVED.fd SMM-FILE-GUID
set -eu
replaced=$1 version=$2 dxe=$3 removed=$4 smm=$5
fail() { echo "check-edited-images: $*" >&2; exit 1; }
command -v UEFIExtract >/dev/null || fail "UEFIExtract missing (tools/install-deps.sh installs uefitool-cli)"
work=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT
for image in "$replaced" "$removed"; do
  cp "$image" "$work/"
  name=$(basename "$image")
  (cd "$work" && UEFIExtract "$name" all >/dev/null 2>&1) || fail "UEFIExtract cannot read $name"
  bad=$(grep -rli "checksum:.*invalid" "$work/$name.dump" --include=info.txt | head -n 3)
  [ -z "$bad" ] || fail "$name: invalid checksums in $bad"
done
file=$(grep -rl "^File GUID: $dxe" "$work/$(basename "$replaced").dump" --include=info.txt | head -n 1)
[ -n "$file" ] || fail "$(basename "$replaced"): no file $dxe"
got=$(grep -rh "^Version string: " "$(dirname "$file")" --include=info.txt | head -n 1)
[ "$got" = "Version string: $version" ] || fail "$(basename "$replaced"): BoardSetupDxe's '$got', want '$version'"
! grep -rq "^File GUID: $smm" "$work/$(basename "$removed").dump" --include=info.txt ||
  fail "$(basename "$removed"): file $smm is still there"
echo "check-edited-images: $(basename "$replaced"): BoardSetupDxe $got; $(basename "$removed"): no UsbSupportS5Smm; every checksum valid"
