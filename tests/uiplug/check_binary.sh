#!/usr/bin/env bash
# check_binary.sh OBJDUMP DLL: the DLL exports its two entry points by plain name at
# ordinals 1 and 2 and imports only Windows' own DLLs and msvcrt.dll.
set -u
objdump=$1 dll=$2
dump=$("$objdump" -p "$dll") || { echo "objdump failed"; exit 1; }
status=0
grep -Eq '^Name[[:space:]]+[0-9a-f]+ uiplug\.dll$' <<<"$dump" || { echo "export name is not uiplug.dll"; status=1; }
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^\t\[/ {print $NF; next} on {on=0}' <<<"$dump")
ordinals=$(sed -n '/Export Address Table -- Ordinal Base/,/Ordinal\/Name Pointer/p' <<<"$dump" | grep -c 'Export RVA')
if [ "$exports" != $'DllCanUnloadNow\nDllGetClassObject' ] || [ "$ordinals" != 2 ]; then
  echo "unexpected exports:"; echo "$exports"; status=1
fi
grep -Eq 'Ordinal Base[[:space:]]+1$' <<<"$dump" || { echo "ordinal base is not 1"; status=1; }
allowed='^(KERNEL32|USER32|GDI32|ADVAPI32|SHELL32|msvcrt)\.dll$'
while read -r name; do
  grep -Eiq "$allowed" <<<"$name" || { echo "unexpected import: $name"; status=1; }
done < <(awk '/DLL Name:/ {print $3}' <<<"$dump")
[ $status -eq 0 ] && echo "exports and imports as expected"
exit $status
