#!/usr/bin/env bash
# wsbridge.dll must export exactly the eleven functions (the seven and the four beside them), by
# their plain names, and import only from system DLLs: the C and C++ runtime are linked into it.
set -euo pipefail
dll=$1
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
table=$("$objdump" -p "$dll")

expected=$'WsConnect\nWsConnectWithHeaders\nWsDisconnect\nWsGetCloseStatus\nWsGetLastError\nWsGetMessageLength\nWsGetStatus\nWsHasMessages\nWsReadMessage\nWsSendMessage\nWsWaitForMessage'
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" |
  sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort)
if [[ "$exports" != "$expected" ]]; then
  echo "$dll: unexpected exports:"; diff <(echo "$expected") <(echo "$exports") || true
  exit 1
fi

imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$table" | tr '[:upper:]' '[:lower:]' | sort -u)
system_dll='^(kernel32|ntdll|user32|advapi32|ws2_32|winhttp|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'
foreign=$(grep -Ev "$system_dll" <<<"$imports" || true)
if [[ -n "$foreign" ]]; then
  echo "$dll imports non-system DLLs:"; echo "$foreign"
  exit 1
fi
echo "$dll: exports exactly the eleven functions; imports only $(echo $imports)"
