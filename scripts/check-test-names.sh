#!/usr/bin/env bash
# Test names must read the same on every run and stay short enough for a
# terminal line: a parameter printed as its raw bytes (pointers among them)
# gives a name that changes from run to run and build to build.
# Usage: check-test-names.sh <build dir> <gtest program>...
set -uo pipefail
build=$1; shift
limit=150
status=0
for program in "$@"; do
  first=$("$program" --gtest_list_tests) || { echo "cannot list the tests of $program"; exit 1; }
  second=$("$program" --gtest_list_tests) || { echo "cannot list the tests of $program"; exit 1; }
  if [ "$first" != "$second" ]; then
    echo "$(basename "$program"): two listings differ:"
    diff <(echo "$first") <(echo "$second") | head -6
    status=1
  fi
  if grep -q -- '-byte object <' <<<"$first"; then
    echo "$(basename "$program"): parameters listed as raw bytes (give their type a PrintTo):"
    grep -- '-byte object <' <<<"$first" | head -3
    status=1
  fi
done
names=$(ctest --test-dir "$build" -N | sed -n 's/^ *Test *#[0-9]*: //p')
[ -n "$names" ] || { echo "ctest lists no tests in $build"; exit 1; }
long=$(awk -v n=$limit 'length($0) > n' <<<"$names")
if [ -n "$long" ]; then
  echo "$(wc -l <<<"$long") ctest names are longer than $limit characters, for example:"
  head -3 <<<"$long"
  status=1
fi
exit $status
