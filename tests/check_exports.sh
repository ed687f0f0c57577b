#!/bin/sh
# Usage: check_exports.sh LIBRARY LIST
# Fails when a name of LIST is not a defined, unmangled dynamic symbol of LIBRARY.
lib=$1 list=$2
syms=$(nm -D --defined-only "$lib" | awk '{print $NF}')
missing=0
for name in $(grep -v '^#' "$list"); do
  if ! printf '%s\n' "$syms" | grep -qx "$name"; then
    echo "missing export: $name"
    missing=1
  fi
done
# Internal helpers must stay hidden: no symbol of the anonymous namespace leaks.
if nm -D --defined-only -C "$lib" | grep -q '(anonymous namespace)'; then
  echo "anonymous-namespace symbols are exported"; missing=1
fi
[ $missing = 0 ] && echo "all $(grep -vc '^#' "$list") plain C exports present"
exit $missing
