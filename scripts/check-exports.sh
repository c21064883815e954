#!/usr/bin/env bash
# Checks the export and import tables of the Windows engine library:
#  - exports: ordinal base 1000, exactly 36 entries (1000..1035), no exported names;
#  - imports: only DLLs that come with Windows (no compiler runtime DLLs).
# Prints the relevant part of the table and exits non-zero on any deviation.
#   scripts/check-exports.sh voiceengine.dll [objdump]
set -euo pipefail
dll="$1"
objdump="${2:-}"
if [ -z "$objdump" ]; then
  case "$(file -b "$dll")" in
    *x86-64*) objdump=x86_64-w64-mingw32-objdump ;;
    *) objdump=i686-w64-mingw32-objdump ;;
  esac
fi
table="$("$objdump" -p "$dll")"
fail=0

base=$(sed -n 's/^Ordinal Base[[:space:]]*\([0-9]*\).*/\1/p' <<<"$table")
entries=$(sed -n "s/^[[:space:]]*Export Address Table[[:space:]]*\([0-9a-fA-F]*\).*/\1/p" <<<"$table" | head -1)
names=$(sed -n "s/^[[:space:]]*\[Name Pointer\/Ordinal\] Table[[:space:]]*\([0-9a-fA-F]*\).*/\1/p" <<<"$table" | head -1)
entries=$((16#${entries:-0}))
names=$((16#${names:-0}))
listed=$(sed -n '/^Export Address Table -- Ordinal Base/,/^$/p' <<<"$table" | grep -cE '^[[:space:]]*\[[[:space:]]*[0-9]+\] \+base\[[[:space:]]*[0-9]+\]' || true)

echo "$dll: ordinal base ${base:-none}, $entries export entries ($listed listed), $names names"
sed -n '/^Export Address Table -- Ordinal Base/,/^$/p' <<<"$table" | grep -v '^$'
[ "${base:-}" = "1000" ] || { echo "FAIL: ordinal base is not 1000"; fail=1; }
[ "$entries" -eq 36 ] || { echo "FAIL: $entries export entries, expected 36"; fail=1; }
[ "$listed" -eq 36 ] || { echo "FAIL: $listed ordinals listed, expected 36"; fail=1; }
[ "$names" -eq 0 ] || { echo "FAIL: $names exported names, expected none"; fail=1; }

imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$table" | sort -uf)
echo "imports: $(tr '\n' ' ' <<<"$imports")"
while read -r name; do
  [ -z "$name" ] && continue
  case "${name,,}" in
    kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|winmm.dll|msacm32.dll|ws2_32.dll|bcrypt.dll|api-ms-win-crt-*.dll|ucrtbase.dll) ;;
    *) echo "FAIL: imports $name, which Windows does not provide"; fail=1 ;;
  esac
done <<<"$imports"
exit $fail
