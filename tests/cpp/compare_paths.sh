#!/bin/sh
# Runs the vectorised build ($1) and the one-by-one build ($2) of the same scenario program and
# fails unless both print the same, non-empty output. Passes on exit status 77 of the vectorised
# build (this processor cannot take its path) so that ctest can report the test as skipped.
set -u
fast_output=$(mktemp)
scalar_output=$(mktemp)
trap 'rm -f "$fast_output" "$scalar_output"' EXIT
"$1" >"$fast_output"
status=$?
if [ "$status" -eq 77 ]; then
  exit 77
fi
[ "$status" -eq 0 ] || { echo "$1 failed with $status"; exit 1; }
"$2" >"$scalar_output" || { echo "$2 failed"; exit 1; }
[ -s "$fast_output" ] || { echo "$1 printed nothing"; exit 1; }
if ! cmp -s "$fast_output" "$scalar_output"; then
  echo "the paths differ; first differing lines:"
  diff "$fast_output" "$scalar_output" | head -n 6
  exit 1
fi
echo "identical: $(wc -l <"$fast_output") lines"
