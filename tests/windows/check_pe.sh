#!/usr/bin/env bash
# Reads the PE headers of Velquor.dll with objdump and checks what a loader
# sees: the format and machine of the build, exactly the four entry points
# exported by name, and imports from system DLLs only (no C++, GCC or
# threads runtime DLL of the compiler).
#   check_pe.sh OBJDUMP DLL x86|x64
set -euo pipefail
objdump=$1 dll=$2 arch=$3
fail() { echo "$dll: $*" >&2; exit 1; }

headers=$("$objdump" -p "$dll") || fail "objdump cannot read it"

case $arch in
  x86) format=pei-i386 magic='010b' ;;
  x64) format=pei-x86-64 magic='020b' ;;
  *) fail "unknown architecture $arch" ;;
esac
grep -q "file format $format\$" <<<"$headers" ||
  fail "not $format: $(grep -m1 'file format' <<<"$headers")"
grep -qE "^Magic\s+$magic\s" <<<"$headers" || fail "optional header magic is not $magic"

# The name table of the export directory, one name a line, sorted.
exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" |
          sed -n 's/^\s*\[ *[0-9]*\] \(.*\)$/\1/p' | sort)
expected=$'DllCanUnloadNow\nDllGetClassObject\nDllRegisterServer\nDllUnregisterServer'
[ "$exports" = "$expected" ] || fail "exports are"$'\n'"$exports"$'\n'"expected"$'\n'"$expected"

# On x86 the entry points use the platform's __stdcall convention: the
# callee pops its arguments, 12 bytes for DllGetClassObject.
if [ "$arch" = x86 ]; then
  "$objdump" -d --disassemble='_DllGetClassObject@12' "$dll" | grep -qE 'ret +\$0xc' ||
    fail "DllGetClassObject does not return as __stdcall with 12 bytes of arguments"
fi

imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr '[:lower:]' '[:upper:]' | sort -u)
allowed='^(KERNEL32|ADVAPI32|OLE32|OLEAUT32|WININET|USER32|MSVCRT|URLMON)\.DLL$'
while read -r name; do
  [[ $name =~ $allowed ]] || fail "imports $name, which is not a system DLL"
done <<<"$imports"
for needed in KERNEL32.DLL ADVAPI32.DLL OLE32.DLL OLEAUT32.DLL; do
  grep -qx "$needed" <<<"$imports" || fail "does not import $needed"
done
echo "$dll: $format, exports:" $exports "; imports:" $imports
