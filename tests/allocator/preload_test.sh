#!/usr/bin/env bash
# libmymalloc.so under LD_PRELOAD: the probe's checks with the heap walked
# around every call and with the per-thread cache on and off, the statistics on standard error only when asked for,
# C++17 aligned new, and what the library links and exports.
# Usage: preload_test.sh LIBMYMALLOC PROBE ALIGNED_NEW
set -u
lib=$1 probe=$2 alignednew=$3
fail() { echo "preload_test: $*" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

LD_PRELOAD=$lib MYMALLOC_CHECK=every:1 "$probe" >"$tmp/out" 2>"$tmp/err" || fail "probe: status $?: $(cat "$tmp/err")"
[ "$(cat "$tmp/out")" = "probe ok" ] && [ ! -s "$tmp/err" ] || fail "probe output: $(cat "$tmp/out" "$tmp/err")"
# Without the check, with the per-thread cache on (the default) and off.
for cache in 1 0; do
  LD_PRELOAD=$lib MYMALLOC_CACHE=$cache "$probe" >"$tmp/out" 2>"$tmp/err" ||
    fail "probe, MYMALLOC_CACHE=$cache: status $?: $(cat "$tmp/err")"
  [ "$(cat "$tmp/out")" = "probe ok" ] || fail "probe output, MYMALLOC_CACHE=$cache: $(cat "$tmp/out")"
done

LD_PRELOAD=$lib MYMALLOC_STATS=1 "$probe" >"$tmp/out" 2>"$tmp/err" || fail "probe with statistics: status $?"
[ "$(cat "$tmp/out")" = "probe ok" ] || fail "statistics reached standard output"
grep -qE '^# mallocs:	[1-9][0-9]*$' "$tmp/err" && grep -q '^HeapSize:' "$tmp/err" ||
  fail "no statistics on standard error: $(cat "$tmp/err")"
# Every block the probe allocates it frees, some in a thread that never allocates.
count() { sed -n "s/^# $1:	//p" "$tmp/err"; }
[ "$(count frees)" -ge $(($(count mallocs) + $(count callocs))) ] ||
  fail "frees missing from the statistics: $(cat "$tmp/err")"

out=$(LD_PRELOAD=$lib MYMALLOC_CHECK=every:1 "$alignednew" 2>&1) || fail "aligned new: status $?: $out"
[ "$out" = "aligned new ok" ] || fail "aligned new: $out"

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
[ "$needed" = "libc.so.6 " ] || fail "links $needed"
exports=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort | tr '\n' ' ')
want="aligned_alloc calloc free mallinfo mallinfo2 malloc malloc_info malloc_stats malloc_trim malloc_usable_size memalign posix_memalign pvalloc realloc valloc "
[ "$exports" = "$want" ] || fail "exports $exports"
echo "preload_test: ok"
