#!/usr/bin/env bash
# scripts/ensure-deps on a machine that lacks things, simulated by a PATH of stand-ins for every
# command the check list names (less those taken away) and a dpkg that knows no package: the
# packages of missing commands are installed, a command present from elsewhere is left alone,
# libraries go by dpkg, and without root the packages are named and nothing runs.
# Usage: ensure_deps_test.sh REPO
set -u
repo=$1
fail() { echo "ensure_deps_test: $*" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
chmod 755 "$tmp"
list=$repo/scripts/deps/check.apt
commands=$(sed 's/#.*//' "$list" | awk 'NF > 1 { for (i = 2; i <= NF; i++) print $i }')
libraries=$(sed 's/#.*//' "$list" | awk 'NF == 1 { printf "%s ", $1 }')
[ -n "$commands" ] || fail "no commands in $list"

# Makes the folder $tmp/$1 with a stand-in for every command of the list except the others
# given, the tools the script itself runs, and a dpkg-query that finds nothing.
stubPath() {
  local dir=$tmp/$1 cmd
  shift
  mkdir -p "$dir"
  for cmd in $commands; do
    case " $* " in *" $cmd "*) continue ;; esac
    case $cmd in /*) continue ;; esac
    printf '#!/bin/sh\nexit 0\n' >"$dir/$cmd"
    chmod 755 "$dir/$cmd"
  done
  for cmd in bash dirname grep id find; do ln -sf "$(command -v "$cmd")" "$dir/$cmd"; done
  printf '#!/bin/sh\nexit 1\n' >"$dir/dpkg-query"
  chmod 755 "$dir/dpkg-query" "$dir"
  echo "$dir"
}

# Prints what a dry run with PATH $1 would install.
wouldInstall() {
  local out
  out=$(PATH=$1 ENSURE_DEPS_DRY_RUN=1 "$repo/scripts/ensure-deps" check) || fail "dry run failed: $out"
  sed -n 's/^ensure-deps: would install //p' <<<"$out"
}

sorted() { tr ' ' '\n' <<<"$*" | sed '/^$/d' | sort | tr '\n' ' '; }

expect() {  # removed-commands... -- the packages expected besides the libraries
  local removed=() want got
  while [ "$1" != -- ]; do removed+=("$1"); shift; done
  shift
  want=$(sorted "$libraries$*")
  got=$(sorted "$(wouldInstall "$(stubPath "without-${removed[*]:-none}" "${removed[@]}")")")
  [ "$got" = "$want" ] || fail "without ${removed[*]:-nothing}: would install [$got], want [$want]"
}

expect -- ""
expect node npm -- nodejs npm
expect npm -- npm
expect nm -- binutils
expect cmake ninja g++ -- cmake ninja-build g++
expect chromium valgrind sqlite3 -- chromium valgrind sqlite3

# Without root: the packages are named, nothing is installed, the status is 1.
setpriv=$(command -v setpriv)
if [ "$(id -u)" -eq 0 ] && [ -n "$setpriv" ]; then
  dir=$(stubPath user npm)
  err=$(PATH=$dir "$setpriv" --reuid=65534 --regid=65534 --clear-groups "$repo/scripts/ensure-deps" check 2>&1 >/dev/null)
  status=$?
  [ "$status" -eq 1 ] || fail "without root: status $status: $err"
  [ "$err" = "ensure-deps: missing Debian packages; run: apt-get install ${libraries}npm" ] ||
    fail "without root: $err"
fi
echo "ensure_deps_test: ok"
