#!/usr/bin/env bash
# The shared library's dynamic symbol table must define exactly the eleven exported functions:
# the seven and the four beside them.
set -euo pipefail
library=$1
expected=$'WsConnect\nWsConnectWithHeaders\nWsDisconnect\nWsGetCloseStatus\nWsGetLastError\nWsGetMessageLength\nWsGetStatus\nWsHasMessages\nWsReadMessage\nWsSendMessage\nWsWaitForMessage'
actual=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
if [[ "$actual" != "$expected" ]]; then
  echo "unexpected dynamic symbols in $library:"; diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
# A unique-binding symbol would make dlclose a no-op, so the unload hook could never run.
if readelf -Ws "$library" | grep -q ' UNIQUE '; then
  echo "$library has unique-binding symbols and cannot be unloaded"; exit 1
fi
echo "exports: exactly the eleven functions"
