#!/bin/sh
# Checks a built DLL: PE32 for i386, imports from system DLLs only (the
# runtime is linked in), and exactly the exports named, undecorated.
# Usage: check-dll.sh DLL EXPORT...
set -eu
dll=$1
shift
dump=$(i686-w64-mingw32-objdump -p "$dll")
fail() { echo "$dll: $*" >&2; exit 1; }

echo "$dump" | grep -q 'file format pei-i386' || fail "not a PE file for i386"
echo "$dump" | grep -Eq '^Magic[[:space:]]+010b' || fail "not PE32 (optional header magic is not 010b)"

system='^(kernel32|user32|gdi32|advapi32|shell32|shlwapi|ole32|oleaut32|wininet|crypt32|comctl32|comdlg32|windowscodecs|version|msvcrt)\.dll$'
for import in $(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
  echo "$import" | tr 'A-Z' 'a-z' | grep -Eq "$system" || fail "imports $import, which is not a system DLL"
done

# The export name table: lines "[   n] Name" after "[Ordinal/Name Pointer] Table".
actual=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
  | sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\] \([^ ]*\)$/\1/p' | sort)
expected=$(printf '%s\n' "$@" | sort)
[ "$actual" = "$expected" ] || fail "exports differ; expected:
$expected
actual:
$actual"
echo "$dll: PE32 i386, system imports only, $# exports as expected"
