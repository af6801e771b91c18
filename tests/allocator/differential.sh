#!/bin/bash
# Runs one seeded call sequence through two builds of the allocator and
# compares their reports line by line.
# Usage: differential.sh INDEXED PLAIN SEED CALLS [MAPS]
set -u
if [ $# -ne 4 ] && [ $# -ne 5 ]; then
  echo "Usage: differential.sh INDEXED PLAIN SEED CALLS [MAPS]" >&2
  exit 2
fi
dir=$(mktemp -d) || exit 2
trap 'rm -rf "$dir"' EXIT
# With MAPS, each build's mappings must come alike: the table by address takes one for each
# 4 GiB of address space the heap lies in, and a heap placed at random across such a line would
# take one more in one build than in the other. Without address randomization both heaps start
# where the program ends, far from any such line.
run=()
if [ $# -eq 5 ]; then run=(setarch "$(uname -m)" -R); fi
"${run[@]}" "$1" "$3" "$4" ${5:-} >"$dir/indexed" || { echo "differential: $1 failed" >&2; exit 1; }
"${run[@]}" "$2" "$3" "$4" ${5:-} >"$dir/plain" || { echo "differential: $2 failed" >&2; exit 1; }
lines=$(grep -c '^calls ' "$dir/plain")
if [ "$lines" -lt $(( $4 / 1000 )) ]; then
  echo "differential: only $lines reports from $4 calls" >&2
  exit 1
fi
if ! cmp -s "$dir/indexed" "$dir/plain"; then
  echo "differential: the builds differ; first differing lines:" >&2
  diff "$dir/indexed" "$dir/plain" | head -n 4 >&2
  exit 1
fi
echo "differential: $lines reports agree"
grep "^calls " "$dir/plain" | tail -n 1
