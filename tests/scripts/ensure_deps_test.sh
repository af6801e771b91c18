#!/usr/bin/env bash
# scripts/ensure-deps on a machine that lacks things, simulated by a PATH of stand-ins for every
# command the check list names (less those taken away) and a dpkg that knows no package: the
# packages of missing commands are installed, a command present from elsewhere is left alone,
# libraries go by dpkg, without root the packages are named and nothing runs, and a Node.js
# that a lockfile's engines refuse stops it with what they need.
# The script runs from a copy (with the scripts/deps/ it reads beside itself) in a folder anyone
# can read: the user without root cannot enter a clone under /root.
# Usage: ensure_deps_test.sh REPO
set -u
repo=$1
fail() { echo "ensure_deps_test: $*" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
chmod 755 "$tmp"
copy=$tmp/repo
mkdir -p "$copy/scripts" "$copy/tests"
cp "$repo/scripts/ensure-deps" "$copy/scripts/" && cp -R "$repo/scripts/deps" "$copy/scripts/" ||
  fail "cannot copy the script"
chmod -R a+rX "$copy"
ensureDeps=$copy/scripts/ensure-deps
list=$copy/scripts/deps/check.apt
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
  out=$(PATH=$1 ENSURE_DEPS_DRY_RUN=1 "$ensureDeps" check) || fail "dry run failed: $out"
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
  err=$(PATH=$dir "$setpriv" --reuid=65534 --regid=65534 --clear-groups "$ensureDeps" check 2>&1 >/dev/null)
  status=$?
  [ "$status" -eq 1 ] || fail "without root: status $status: $err"
  [ "$err" = "ensure-deps: missing Debian packages; run: apt-get install ${libraries}npm" ] ||
    fail "without root: $err"
fi

# A Node.js that a lockfile's engines refuse: the packages are named with what they need, the
# status is 1 and npm does not run; one they accept goes on to npm. (The libraries that the
# stand-in dpkg lacks are left out of what is compared.)
node=$(command -v node)
if [ -n "$node" ]; then
  dir=$(stubPath real-node node)
  ln -s "$node" "$dir/node"
  mkdir -p "$copy/tests/web"
  nodeRun() {
    PATH=$dir ENSURE_DEPS_DRY_RUN=1 "$ensureDeps" check 2>&1 | sed '/would install/d'
    return "${PIPESTATUS[0]}"
  }
  lock() {  # the engines.node of package "new"
    printf '{ "name": "web", "lockfileVersion": 3, "packages": {
      "": { "name": "web", "dependencies": { "old": "1.0.0", "new": "2.0.0" } },
      "node_modules/old": { "version": "1.0.0", "engines": { "node": ">=0.10" } },
      "node_modules/new": { "version": "2.0.0", "engines": { "node": "%s" } } } }\n' "$1" \
      >"$copy/tests/web/package-lock.json"
  }
  lock '>=999 || ^0.1'
  out=$(nodeRun)
  status=$?
  nodeVersion=$("$node" --version)
  want="ensure-deps: node $nodeVersion at $dir/node is too old for the tests:
  new 2.0.0 (tests/web) needs Node.js >=999 || ^0.1, not ${nodeVersion#v}
ensure-deps: install a newer one (Debian 12's nodejs will do), then make check again"
  [ "$status" -eq 1 ] || fail "refused Node.js: status $status: $out"
  [ "$out" = "$want" ] || fail "refused Node.js: [$out], want [$want]"
  lock '>=0.10 <999'
  out=$(nodeRun) || fail "accepted Node.js: $out"
  [ "$out" = "ensure-deps: would run npm ci in tests/web" ] || fail "accepted Node.js: $out"
  # An install emptied or cut short is made again; a whole one newer than its lockfile is not.
  mkdir -p "$copy/tests/web/node_modules"
  out=$(nodeRun)
  [ "$out" = "ensure-deps: would run npm ci in tests/web" ] || fail "emptied install: $out"
  touch "$copy/tests/web/node_modules/.package-lock.json"
  out=$(nodeRun)
  [ -z "$out" ] || fail "whole install: $out"
  rm -rf "$copy/tests/web/node_modules"
  lock '>=18.0.0-rc.1'
  out=$(nodeRun) && fail "unreadable range passed: $out"
  grep -q '^ensure-deps: cannot check node v' <<<"$out" || fail "unreadable range: $out"
fi
echo "ensure_deps_test: ok"
