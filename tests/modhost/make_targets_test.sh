#!/usr/bin/env bash
# make serve and make explore: on a port that is taken both fail, naming bind, and take PORT=
# (explore EXPLORE_PORT= too); scripts/explore on a free port shows the page's address, serves
# it and ends with modhost's status.
# Usage: make_targets_test.sh REPO BUILD
set -u
repo=$1 build=$2
unset MAKEFLAGS MFLAGS MAKELEVEL  # this make is no part of the one that runs the tests
# The build is there already: make takes `all` as done (-o all) instead of building anew.
tmp=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "make_targets_test: $*" >&2; exit 1; }

# Waits up to 10 seconds for a line matching pattern in file; prints it.
awaitLine() {
  for _ in $(seq 100); do
    grep -m1 "$2" "$1" && return 0
    sleep 0.1
  done
  return 1
}

# Another modhost holds a port.
"$build/bin/modhost" 0 "$build/bin" >"$tmp/holder" 2>&1 &
pids+=($!)
line=$(awaitLine "$tmp/holder" 'listening on http://') || fail "the holding modhost did not start"
port=${line#*127.0.0.1:}
port=${port%%/*}

for args in "serve PORT=$port" "explore PORT=$port" "explore EXPLORE_PORT=$port"; do
  # shellcheck disable=SC2086
  timeout 60 make -s -o all -C "$repo" $args BUILD="$build" >"$tmp/out" 2>"$tmp/err" </dev/null
  status=$?
  [ "$status" -ne 0 ] || fail "make $args exited 0 with the port taken: $(cat "$tmp/out")"
  grep -q '^bind: Address already in use$' "$tmp/err" || fail "make $args: no bind error: $(cat "$tmp/err")"
done

# A free port: the address is shown, the page served, and a stopped server ends the script with 0.
"$repo/scripts/explore" "$build/bin" 0 >"$tmp/explore" 2>&1 &
explore=$!
pids+=($explore)
line=$(awaitLine "$tmp/explore" '^Heap explorer: http://127.0.0.1:[0-9]*/heap ') ||
  fail "no address shown: $(cat "$tmp/explore")"
port=${line#*127.0.0.1:}
port=${port%%/*}
exec 3<>"/dev/tcp/127.0.0.1/$port" || fail "nothing listens on $port"
printf 'GET /heap HTTP/1.0\r\n\r\n' >&3
read -r status <&3
exec 3<&-
[ "$status" = $'HTTP/1.0 200 OK\r' ] || fail "GET /heap: $status"
server=$(pgrep -P "$explore" -x modhost) || fail "no modhost under the script"
kill -TERM "$server"
wait "$explore" || fail "scripts/explore ended with $? after modhost stopped cleanly"
echo "make_targets_test: ok"
