#!/bin/sh
# clang-tidy (checks in .clang-tidy) and cppcheck over the drivers, the seam,
# the simulator, fwimage and the SMM trace judge; any finding fails.
# usage: static-analysis.sh <source dir> <build dir with compile_commands.json>
set -eu
src=$1; build=$2
cd "$src"
for tool in run-clang-tidy clang-tidy cppcheck; do
  command -v "$tool" >/dev/null 2>&1 || { echo "static analysis: $tool is not installed (tools/install-deps.sh installs it)"; exit 1; }
done
# Firmware code gets the analyzer's full depth. The simulator and fwimage (which
# reads images from anywhere) are heavy with standard-library templates: the
# same checks there, with the analyzer's shallow inlining (a third of the
# time). The trace judge, a test-side tool, gets every check but the analyzer.
firmware="BoardSetupDxe UsbSupportS5Smm Hal"
host="Simulator tools/fwimage"
judge="firmware-tests/Judge"
dirs="$firmware $host $judge"
# The source tree's folders only: the build tree holds generated sources
# (precompiled-header stubs) under the same names.
pattern() { echo "^$(pwd)/($(echo "$*" | sed 's/ /|/g'))/"; }
status=0
echo "clang-tidy: drivers and seam"
# shellcheck disable=SC2086
run-clang-tidy -quiet -p "$build" "$(pattern $firmware)" >"$build/clang-tidy.log" 2>&1 || status=1
echo "clang-tidy: simulator and host tools"
# shellcheck disable=SC2086
run-clang-tidy -quiet -p "$build" -extra-arg=-Xclang -extra-arg=-analyzer-config \
  -extra-arg=-Xclang -extra-arg=mode=shallow "$(pattern $host)" >>"$build/clang-tidy.log" 2>&1 || status=1
echo "clang-tidy: trace judge"
run-clang-tidy -quiet -p "$build" -checks=-clang-analyzer-* "$(pattern $judge)" \
  >>"$build/clang-tidy.log" 2>&1 || status=1
grep -E "(warning|error):" "$build/clang-tidy.log" || true
echo "clang-tidy: the image seam (Windows x64 target)"
for f in Hal/X64/*.cpp; do
  clang-tidy --quiet "$f" -- --target=x86_64-unknown-windows -std=c++20 -ffreestanding \
    -I Include 2>/dev/null || status=1
done
echo "cppcheck"
# shellcheck disable=SC2086
cppcheck --quiet --enable=warning,performance,portability --std=c++20 --language=c++ \
  --error-exitcode=1 --inline-suppr --suppress=missingIncludeSystem -I Include -I . $dirs || status=1
[ $status -eq 0 ] && echo "static analysis: no findings"
exit $status
