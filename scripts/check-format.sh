#!/usr/bin/env bash
# Fails when a tracked C or C++ file differs from what clang-format makes of it with the
# tree's .clang-format; lists the files and the command that formats them.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
differ=()
for file in "${files[@]}"; do
  if ! clang-format --dry-run --Werror "$file" >/dev/null 2>&1; then differ+=("$file"); fi
done
if [ ${#differ[@]} -gt 0 ]; then
  echo "These files differ from .clang-format (clang-format -i FILE... formats them):"
  printf '  %s\n' "${differ[@]}"
  exit 1
fi
echo "format: ${#files[@]} files as .clang-format has them"
