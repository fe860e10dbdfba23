#!/usr/bin/env bash
# The shared library's dynamic symbol table must define exactly the functions of
# bridge/exports.txt.
set -euo pipefail
source "$(dirname "$0")/export_names.sh"
library=$1
expected=$(export_names)
actual=$(nm -D --defined-only "$library" | awk '{print $3}' | LC_ALL=C sort)
if [[ "$actual" != "$expected" ]]; then
  echo "unexpected dynamic symbols in $library:"; diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
# A unique-binding symbol would make dlclose a no-op, so the unload hook could never run.
if readelf -Ws "$library" | grep -q ' UNIQUE '; then
  echo "$library has unique-binding symbols and cannot be unloaded"; exit 1
fi
echo "exports: exactly the $(wc -l <<<"$expected") functions of bridge/exports.txt"
