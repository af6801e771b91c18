#!/usr/bin/env bash
# A learner's build: test1-1 compiled the plain way, `g++ prog.cc MyMalloc.cc`
# with no flags, must need no C++ runtime (whose start-up allocation would
# shift every offset) and print exactly what the build's test1-1 prints; and
# test1-4's calls from a C program, `gcc -I allocator prog.c MyMalloc.cc
# -pthread`, must compile without a warning, link no C++ runtime either and
# print what the build's test1-4 prints.
# Usage: plain_build_test.sh REPO BINDIR
set -u
repo=$1 bin=$2
fail() { echo "plain_build_test: $*" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp" || exit 1

g++ -c -I "$repo/allocator" "$repo/allocator/MyMalloc.cc" -o MyMalloc.o || fail "MyMalloc.cc does not compile"
runtime=$(nm -u MyMalloc.o | grep -E '__gxx_personality|__cxa_|_ZSt|_Zn[wa]|_Zd[la]' | tr -s ' \n' ' ')
[ -z "$runtime" ] || fail "MyMalloc.o needs the C++ runtime:$runtime"

g++ -I "$repo/allocator" "$repo/alloc-exercises/test1-1.cc" "$repo/allocator/MyMalloc.cc" -o test1-1 ||
  fail "test1-1 does not build"
readelf -d test1-1 | grep -q 'libstdc++' && fail "test1-1 links libstdc++"
"$bin/test1-1" >want || fail "build's test1-1: status $?"
./test1-1 >got || fail "plain test1-1: status $?"
cmp -s want got || fail "outputs differ:$(diff want got)"

cp "$repo/tests/exercises/test1-4-from-c.c" prog.c
gcc -Wall -Wextra -Werror -I "$repo/allocator" prog.c "$repo/allocator/MyMalloc.cc" -pthread -o prog ||
  fail "a C program that includes MyMalloc.h does not build"
readelf -d prog | grep -q 'libstdc++' && fail "the C program links libstdc++"
runtime=$(nm -u prog | grep -E '@(GLIBCXX|CXXABI)|__gxx_personality' | tr -s ' \n' ' ')
[ -z "$runtime" ] || fail "the C program needs the C++ runtime:$runtime"
"$bin/test1-4" >want || fail "build's test1-4: status $?"
./prog >got || fail "C program: status $?"
cmp -s want got || fail "C program's output differs:$(diff want got)"
echo "plain_build_test: ok"
