# Sourced by the export checks: prints the names in bridge/exports.txt, the one list of the
# library's exports, sorted.
export_names() {
  local list
  list="$(dirname "${BASH_SOURCE[0]}")/../bridge/exports.txt"
  grep -E '^[A-Za-z_][A-Za-z0-9_]*$' "$list" | LC_ALL=C sort
}
