#!/usr/bin/env bash
# Checks that a Windows program needs no DLL beside it: every DLL it imports
# is one that Windows itself provides, and it is a GUI program when asked.
#
#   check_imports.sh OBJDUMP PROGRAM.exe [gui]
set -u
objdump=$1 exe=$2 want=${3:-}
system='^(kernel32|user32|advapi32|shell32|ole32|oleaut32|comctl32|gdi32|msvcrt|ws2_32|version|shlwapi)\.dll$'
headers=$("$objdump" -p "$exe") || { echo "cannot read $exe" >&2; exit 1; }
status=0
while read -r dll; do
  echo "imports $dll"
  if ! echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$system"; then
    echo "FAIL: $dll is not a system DLL" >&2
    status=1
  fi
done < <(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p')
if [ "$want" = gui ] && ! echo "$headers" | grep -q 'Subsystem.*(Windows GUI)'; then
  echo "FAIL: not a GUI program" >&2
  status=1
fi
exit $status
