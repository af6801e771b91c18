#!/usr/bin/env bash
# Checks scripts/demo: every exercise program, in order, under its header;
# long free lists shortened to their ends; status 0.
# Usage: demo_test.sh REPO BINDIR
set -u
repo=$1 bin=$2
fail() { echo "demo_test: $*" >&2; exit 1; }

out=$("$repo/scripts/demo" "$bin" 2>&1) || fail "demo exited with status $?"
headers=$(printf '%s\n' "$out" | sed -n 's/^===== \([^:]*\): .* =====$/\1/p' | tr '\n' ' ')
want="test0 test1 test1-1 test1-2 test1-3 test1-4 test2 test3 test4 test5 test6 test7 test8 test9 test10 "
[ "$headers" = "$want" ] || fail "headers: $headers"

# Each program's whole output follows its header unchanged, except the long
# lists (test4, test10) and test9's, which its threads' interleaving may change.
for prog in test0 test1 test1-1 test1-2 test1-3 test1-4 test2 test3 test5 test6 test7 test8; do
  own=$("$bin/$prog" | cat)
  [[ "$out" == *"$prog: "*" ====="$'\n'"$own"* ]] || fail "$prog: output missing or changed"
done
long=$(printf '%s\n' "$out" | awk 'length > 300' | wc -l)
[ "$long" -eq 0 ] || fail "$long long lines left"
printf '%s\n' "$out" | grep -qE '^FreeList: (\[offset:[0-9]+,size:120\]->){3}\.\.\. 4996 more \.\.\.->\[offset:[0-9]+,size:120\]->\[offset:16,size:[0-9]+\]$' ||
  fail "no shortened test4 list"
[ "$(printf '%s\n' "$out" | grep -c '(long lists shortened)')" -eq 2 ] || fail "shortening not announced"

# A missing program is reported, and the status says so.
empty=$(mktemp -d)
"$repo/scripts/demo" "$empty" >/dev/null 2>&1 && { rmdir "$empty"; fail "status 0 with nothing built"; }
rmdir "$empty"
echo "demo_test: ok"
