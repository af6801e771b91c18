#!/bin/sh
# Checks the ELF facts of a module: a position-independent shared object that lists no libraries
# and binds lazily, defines httprun (plain name), and takes the host utilities, under their C++
# names only, and libc's functions from the loading process; the order form also defines its
# four tables.
# Usage: elf_check.sh MODULE [order-form|plain]
module=${1:?Usage: elf_check.sh MODULE [order-form|plain]}
kind=${2:-order-form}
status=0
fail() {
  echo "FAIL: $*"
  status=1
}

readelf -hW "$module" | grep -q 'Type: *DYN' || fail "not a shared object"
dynamic=$(readelf -dW "$module") || exit 1
echo "$dynamic" | grep -q '(NEEDED)' && fail "lists libraries: $(echo "$dynamic" | grep NEEDED)"
echo "$dynamic" | grep -Eq '\(BIND_NOW\)|\(FLAGS.*NOW' && fail "binds every function at load time"
echo "$dynamic" | grep -q 'TEXTREL' && fail "has text relocations: not position independent"

symbols=$(nm -DS "$module")
[ "$kind" = order-form ] && for table in sublist:60 slimlist:30 sidelist:10 poplist:20; do
  name=${table%:*} size=${table#*:}
  echo "$symbols" | grep -Eq "^[0-9a-f]+ 0+$size [DdBbRr] $name\$" ||
    fail "$name is not a global table of 0x$size bytes"
done
echo "$symbols" | grep -Eq '^[0-9a-f]+ [0-9a-f]+ T httprun$' || fail "httprun not exported"

relocations=$(readelf -rW "$module")
for utility in _Z7getwordPcS_c _Z11plustospacePc _Z12unescape_urlPc; do
  echo "$symbols" | grep -Eq "^ +U $utility\$" || fail "$utility not taken from the host"
  echo "$relocations" | grep -Eq "R_X86_64_JUMP_SLOT .* $utility \+ 0\$" ||
    fail "$utility not bound at its first call"
done
echo "$symbols" | grep -Eq ' (getword|plustospace|unescape_url)$' &&
  fail "a utility under its plain name"
# Nothing of the C++ runtime: the only outside C++ names are the three utilities.
outside=$(echo "$symbols" | awk '$1 == "U" { print $2 }' |
  grep -Ev '^(_Z7getwordPcS_c|_Z11plustospacePc|_Z12unescape_urlPc)$' | grep -E '^_Z|^__cxa|^__gxx')
[ -z "$outside" ] || fail "needs the C++ runtime: $outside"

[ $status -eq 0 ] && echo "ok: $module"
exit $status
