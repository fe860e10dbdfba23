#!/usr/bin/env bash
# Checks wsbridge.dll and its import libraries:
#
#     check_dll.sh DLL [IMPORT_LIBRARY...]
#
# - the DLL exports exactly the functions of bridge/exports.txt, by their plain names;
# - it imports only the functions listed in tests/windows/imports.txt (all of which Windows 8
#   has), from system DLLs only: the C and C++ runtime are linked into it;
# - it carries a version resource;
# - each import library (libwsbridge.dll.a for mingw-w64, wsbridge.lib for MSVC linkers) imports
#   those same functions, by name, from wsbridge.dll.
set -euo pipefail
here=$(dirname "$0")
source "$here/../export_names.sh"
dll=$1
shift
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
nm=${NM:-x86_64-w64-mingw32-nm}
readobj=${LLVM_READOBJ:-llvm-readobj}
table=$("$objdump" -p "$dll")
expected=$(export_names)
failed=0

# fail WHAT EXPECTED ACTUAL
fail() {
  echo "$1:"; diff <(echo "$2") <(echo "$3") || true
  failed=1
}

exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" |
  sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | LC_ALL=C sort)
[[ "$exports" == "$expected" ]] || fail "$dll: unexpected exports" "$expected" "$exports"

imports=$(awk '/DLL Name:/ { dll = tolower($3) }
  /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print dll, $3 }' <<<"$table" | LC_ALL=C sort)
allowed=$(grep -v '^#' "$here/imports.txt")
unlisted=$(LC_ALL=C comm -23 <(echo "$imports") <(echo "$allowed"))
if [[ -n "$unlisted" ]]; then
  echo "$dll imports functions not in tests/windows/imports.txt (check that Windows 8 has them):"
  echo "$unlisted"
  failed=1
fi

resources=$("$readobj" --coff-resources "$dll")
if ! grep -q 'Type: VERSIONINFO' <<<"$resources"; then
  echo "$dll has no version resource"
  failed=1
fi

for library in "$@"; do
  case "$library" in
    *.dll.a) # GNU import library: one member per function, __imp_NAME with the plain NAME
      imported=$("$nm" "$library" | awk '$2 == "I" && $3 ~ /^__imp_/ { print substr($3, 7) }' |
        LC_ALL=C sort)
      dll_names=$(strings "$library" | grep -ix 'wsbridge.dll' | sort -u) ;;
    *.lib) # short import members (COFF-import-file), as MSVC's linker writes them
      records=$("$readobj" "$library")
      imported=$(awk '/^Name type:/ { type = $3 } /^Symbol: __imp_/ && type == "name" {
        print substr($2, 7) }' <<<"$records" | LC_ALL=C sort)
      dll_names=$(awk '/^File: / { file = $2 } /^Format: COFF-import-file/ { print file }' \
        <<<"$records" | sort -u) ;;
    *) echo "$library: not an import library"; exit 2 ;;
  esac
  [[ "$imported" == "$expected" ]] || fail "$library: unexpected imports" "$expected" "$imported"
  [[ "$dll_names" == "wsbridge.dll" ]] || fail "$library: wrong DLL name" "wsbridge.dll" "$dll_names"
done

((failed == 0)) || exit 1
echo "$dll: exports exactly the $(wc -l <<<"$expected") functions of bridge/exports.txt; imports" \
  "$(wc -l <<<"$imports") listed functions from $(awk '{ print $1 }' <<<"$imports" | sort -u | xargs)"
echo "import libraries checked: ${*:-none}"
