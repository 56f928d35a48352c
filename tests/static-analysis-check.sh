#!/bin/sh
# The static analysis' own promises, on a source tree of a few lines: a
# finding in a library analysed as one translation unit is reported at its
# own file and line, a define with quotes in the compile command reaches the
# analysis as written, and a product source no compile command reads fails
# the run instead of going unanalysed.
# usage: static-analysis-check.sh <source dir>
set -eu
src=$(cd "$1" && pwd)
fail() { echo "static-analysis-check: $*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tree=$work/src
mkdir -p "$tree/Simulator" "$work/build"
cp "$src/.clang-tidy" "$tree/"
printf 'static_assert(sizeof(LABEL) == 3, "LABEL as defined");\nint First(int X) { return X + 1; }\n' \
  >"$tree/Simulator/First.cpp"
printf '// planted: both sides of == are the same\nint Second(int X) {\n  return X == X;\n}\n' \
  >"$tree/Simulator/Second.cpp"
entry() { printf '{"directory": "%s", "file": "%s", "command": "clang++ -std=c++20 \\"-DLABEL=\\\\\\"ab\\\\\\"\\" -o %s.o -c %s"}' \
  "$work/build" "$tree/Simulator/$1" "$1" "$tree/Simulator/$1"; }
printf '[%s, %s]\n' "$(entry First.cpp)" "$(entry Second.cpp)" >"$work/build/compile_commands.json"

status=0
"$src/tools/static-analysis.sh" "$tree" "$work/build" >"$work/out" 2>&1 || status=$?
[ $status -ne 0 ] || fail "a planted finding passed"
! grep -q "^Simulator/First.cpp" "$work/out" || fail "the define did not reach the analysis: $(grep First "$work/out")"
grep -q "^Simulator/Second.cpp:3:[0-9]*: .*misc-redundant-expression" "$work/out" ||
  fail "the planted finding is not reported at Simulator/Second.cpp:3: $(grep -E 'warning|error' "$work/out" | head -n 3)"

printf 'int Third() { return 3; }\n' >"$tree/Simulator/Third.cpp"
"$src/tools/static-analysis.sh" "$tree" "$work/build" >"$work/out" 2>&1 && fail "a source without a compile command passed"
grep -q "no compile command reads Simulator/Third.cpp" "$work/out" ||
  fail "a source without a compile command: $(tail -n 2 "$work/out")"
echo "static-analysis-check: a joined library's finding is reported at its own line, a quoted define reaches it; a source no compile command reads fails the run"
