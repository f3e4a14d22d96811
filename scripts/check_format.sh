#!/usr/bin/env bash
# Checks that every C++ file of src/, tests/ and bench/ is laid out as .clang-format
# says; prints the files that are not. `clang-format -i FILE` puts one right.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "=== format check (clang-format)"
mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h')
unformatted=()
for file in "${files[@]}"; do
  clang-format --dry-run --Werror "$file" > /dev/null 2>&1 || unformatted+=("$file")
done
if [ ${#unformatted[@]} -gt 0 ]; then
  printf 'not formatted: %s\n' "${unformatted[@]}" >&2
  exit 1
fi
echo "${#files[@]} files formatted"
