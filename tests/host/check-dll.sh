#!/bin/sh
# Checks a built DLL from outside: the PE kind of its build (PE32 for i386 in
# the x86 build, PE32+ for x86-64 in the x64 build), imports from system DLLs
# only (the runtime is linked in), exactly the exports named, undecorated,
# and with --typelib its type library resource (TYPELIB, 1) for that build.
# Usage: check-dll.sh x86|x64 DLL [--typelib] EXPORT...
set -eu
arch=$1 dll=$2
shift 2
typelib=0
if [ "${1:-}" = --typelib ]; then typelib=1; shift; fi
case "$arch" in
  x86) objdump=i686-w64-mingw32-objdump format=pei-i386 magic=010b kind="PE32 i386" syskind=1 ;;
  x64) objdump=x86_64-w64-mingw32-objdump format=pei-x86-64 magic=020b kind="PE32+ x86-64" syskind=3 ;;
  *) echo "check-dll.sh: unknown build $arch" >&2; exit 2 ;;
esac
fail() { echo "$dll: $*" >&2; exit 1; }
dump=$($objdump -p "$dll" 2>&1) || fail "not a $kind file: $dump"

echo "$dump" | grep -q "file format $format\$" || fail "not a $kind file"
echo "$dump" | grep -Eq "^Magic[[:space:]]+$magic" || fail "not $kind (optional header magic is not $magic)"

system='^(kernel32|user32|gdi32|advapi32|shell32|shlwapi|ole32|oleaut32|wininet|crypt32|comctl32|comdlg32|windowscodecs|version|msvcrt)\.dll$'
for import in $(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
  echo "$import" | tr 'A-Z' 'a-z' | grep -Eq "$system" || fail "imports $import, which is not a system DLL"
done

# The export name table: lines "[   n] Name" after "[Ordinal/Name Pointer] Table".
# A stdcall name that kept its decoration (Name@8) fails here too.
actual=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
  | sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\] \([^ ]*\)$/\1/p' | sort)
expected=$(printf '%s\n' "$@" | sort)
[ "$actual" = "$expected" ] || fail "exports differ; expected:
$expected
actual:
$actual"

if [ "$typelib" = 1 ]; then
  # The resource directory lists the named type TYPELIB with the entry ID 1.
  echo "$dump" | sed -n '/Resource Directory section/,$p' | grep -A2 ': TYPELIB,' | grep -q 'Entry: ID: 0x000001,' \
    || fail "carries no type library resource TYPELIB 1"
  # The library's own platform (SYSKIND in the MSFT header's flags) decides
  # which key registration writes: win32 or win64.
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  ${objdump%objdump}objcopy -O binary --only-section=.rsrc "$dll" "$tmp/rsrc" 2>/dev/null || fail "no .rsrc section"
  offset=$(grep -abo MSFT "$tmp/rsrc" | head -n 1 | cut -d: -f1)
  [ -n "$offset" ] || fail "the type library resource holds no MSFT type library"
  flags=$(od -An -tu4 -j $((offset + 20)) -N4 "$tmp/rsrc" | tr -d ' ')
  [ $((flags & 15)) = "$syskind" ] || fail "its type library is for platform $((flags & 15)), not $syskind"
fi
echo "$dll: $kind, system imports only, $# exports as expected$([ $typelib = 1 ] && echo ', type library for its platform')"
