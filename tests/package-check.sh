#!/bin/sh
# The Debian package of fwimage, as an integrator gets it: built by CPack from
# this build tree, unpacked into a temporary root, and run from there.
# usage: package-check.sh <build dir> <kit version> <image to list>
set -eu
build=$1; version=$2; image=$3
fail() { echo "package-check: $*" >&2; exit 1; }
command -v cpack >/dev/null || fail "cpack missing (package cmake)"
command -v dpkg-deb >/dev/null || fail "dpkg-deb missing (package dpkg)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  fail "cpack failed: $(tail -n 3 "$work/cpack.log")"
deb=$(find "$work/out" -maxdepth 1 -name 'fwimage_*.deb')
[ -n "$deb" ] || fail "cpack wrote no fwimage_*.deb"
[ "$(dpkg-deb -f "$deb" Package)" = fwimage ] || fail "the package is not named fwimage"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version $(dpkg-deb -f "$deb" Version), want $version"
dpkg-deb -x "$deb" "$work/root"

# The package holds the tool and its README, nothing of the drivers' build.
(cd "$work/root" && find . -type f | sort) >"$work/files"
printf './usr/bin/fwimage\n./usr/share/doc/fwimage/README.md\n' >"$work/want"
diff "$work/want" "$work/files" >&2 || fail "the package holds other files than fwimage and its README"

PATH="$work/root/usr/bin:$PATH"
[ "$(fwimage --version)" = "fwimage $version" ] || fail "fwimage --version says '$(fwimage --version)'"
fwimage list "$image" >"$work/list" || fail "fwimage list $image exits $?"
grep -q '^FV ' "$work/list" || fail "fwimage list $image shows no volume"
echo "package-check: $(basename "$deb") unpacked; fwimage $version lists $(grep -c '^FV ' "$work/list") volumes"
