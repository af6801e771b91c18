#!/usr/bin/env bash
# The allocator from a C program, built as the README shows:
# `gcc -I allocator prog.c allocator/MyMalloc.cc -pthread`. It must compile without a warning,
# link no C++ runtime and print exactly what the build's test1-4 prints with the same calls.
# Usage: c_header_test.sh REPO BINDIR
set -u
repo=$1 bin=$2
fail() { echo "c_header_test: $*" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp" || exit 1

cp "$repo/tests/allocator/from-c.c" prog.c
gcc -Wall -Wextra -Werror -I "$repo/allocator" prog.c "$repo/allocator/MyMalloc.cc" -pthread -o prog ||
  fail "a C program that includes MyMalloc.h does not build"
readelf -d prog | grep -q 'libstdc++' && fail "the C program links libstdc++"
runtime=$(nm -u prog | grep -E '@(GLIBCXX|CXXABI)|__gxx_personality' | tr -s ' \n' ' ')
[ -z "$runtime" ] || fail "the C program needs the C++ runtime:$runtime"
"$bin/test1-4" >want || fail "build's test1-4: status $?"
./prog >got || fail "C program: status $?"
cmp -s want got || fail "outputs differ:$(diff want got)"
echo "c_header_test: ok"
