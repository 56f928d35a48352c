#!/bin/sh
# Checks each built EFI image: x86-64 PE32+, subsystem 11 (boot service
# driver), base relocations present and not stripped; then builds the images
# (and, with --kit, the integrator kit) again in a fresh directory and
# requires the same bytes.
# The second build packs the kit with the first build's fwimage: the tool's
# own build is not what is being checked.
# usage: image-check.sh <source dir> [--kit <kit dir> --fwimage <fwimage>] <image.efi>...
set -eu
src=$1; shift
kit= fwimage=
if [ "${1:-}" = --kit ]; then kit=$2; shift 2; fi
if [ "${1:-}" = --fwimage ]; then fwimage=$2; shift 2; fi
fail=0
for img in "$@"; do
  name=$(basename "$img" .efi)
  hdr=$(objdump -p "$img")
  echo "$hdr" | grep -q "^Magic[[:space:]]*020b" || { echo "FAIL $name: not PE32+"; fail=1; }
  echo "$hdr" | grep -q "^Subsystem[[:space:]]*0000000b" || { echo "FAIL $name: subsystem is not 11"; fail=1; }
  echo "$hdr" | grep -q "RELOCS_STRIPPED" && { echo "FAIL $name: relocations stripped"; fail=1; }
  objdump -h "$img" | grep -q " \.reloc " || { echo "FAIL $name: no .reloc section"; fail=1; }
  objdump -f "$img" | grep -q "x86-64" || { echo "FAIL $name: not x86-64"; fail=1; }
  echo "$name: $(stat -c %s "$img") bytes"
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake -S "$src" -B "$tmp" -G Ninja -DCMAKE_BUILD_TYPE= -DBOARD_HOST=OFF ${fwimage:+-DFWIMAGE_EXECUTABLE="$fwimage"} >/dev/null
for img in "$@"; do
  name=$(basename "$img" .efi)
  cmake --build "$tmp" --parallel 2 --target "$name" >/dev/null
  again=$(find "$tmp" -name "$name.efi" -not -path "*/kit/*" | head -n 1)
  if cmp -s "$img" "$again"; then
    echo "$name: a second clean build gives the same bytes"
  else
    echo "FAIL $name: a second clean build differs"; fail=1
  fi
done
if [ -n "$kit" ]; then
  cmake --build "$tmp" --parallel 2 --target kit >/dev/null
  if diff -r "$kit" "$tmp/kit" >/dev/null; then
    echo "kit: a second clean build gives the same files ($(ls "$kit" | wc -l) files)"
  else
    echo "FAIL kit: a second clean build differs:"; diff -rq "$kit" "$tmp/kit" | sed 's/^/    /'; fail=1
  fi
fi
[ $fail -eq 0 ] && echo "image check passed"
exit $fail
