#!/bin/sh
# A ctest run must have run every test the suite defines, and passed them:
# a test that configure dropped (a tool missing, a condition gone wrong) is a
# failure here, not a smaller green run.
# usage: check-ran.sh SUITE RUN JUNIT.xml
#   SUITE  tests/suite.list: one test a line, its name then the runs of
#          make test it belongs to (test: the one ctest run)
#   RUN    the run to check
#   JUNIT  the run's report (ctest --output-junit)
set -eu
suite=$1; run=$2; junit=$3
[ -f "$junit" ] || { echo "check-ran: no ctest report $junit"; exit 1; }
want=$(mktemp); ran=$(mktemp)
trap 'rm -f "$want" "$ran"' EXIT
awk -v run="$run" '
  /^[ \t]*(#|$)/ { next }
  { for (i = 2; i <= NF; ++i) if ($i == run) print $1 }' "$suite" | sort >"$want"
sed -n 's/.*<testcase name="\([^"]*\)".*status="run".*/\1/p' "$junit" | sort >"$ran"
missing=$(comm -23 "$want" "$ran")
extra=$(comm -13 "$want" "$ran")
status=0
if [ -n "$missing" ]; then
  echo "check-ran: defined but not run and passed ($run):" $missing
  status=1
fi
if [ -n "$extra" ]; then
  echo "check-ran: run but not listed in $suite ($run):" $extra
  status=1
fi
[ $status -eq 0 ] && echo "check-ran: all $(wc -l <"$want") $run tests ran and passed"
exit $status
