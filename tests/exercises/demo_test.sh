#!/usr/bin/env bash
# Checks scripts/demo: every exercise program, in order, under its header;
# long free lists shortened to their ends; status 0.
# Usage: demo_test.sh REPO BINDIR PROGRAM...   (the exercise programs, in the build's order)
set -u
repo=$1 bin=$2
shift 2
fail() { echo "demo_test: $*" >&2; exit 1; }

out=$("$repo/scripts/demo" "$bin" 2>&1) || fail "demo exited with status $?"
headers=$(printf '%s\n' "$out" | sed -n 's/^===== \([^:]*\): .* =====$/\1/p' | tr '\n' ' ')
want="$* "
[ "$headers" = "$want" ] || fail "headers: $headers"

# Each program's whole output follows its header unchanged, except the long
# lists (test4, test10) and test9's, which its threads' interleaving may change.
for prog in "$@"; do
  case "$prog" in test4|test10|test9) continue ;; esac
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
