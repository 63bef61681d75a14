#!/usr/bin/env bash
# Lists the C++ files that are not as clang-format writes them with the
# .clang-format at the top of the tree, and exits with 1 when there is one;
# 0 and a one-line count otherwise. With --fix it rewrites them instead.
#   bash scripts/format-check.sh [--fix] [DIR|FILE...]
# Without arguments it reads all of the project's C++: the directories in
# dirs below.
set -euo pipefail
cd "$(dirname "$0")/.."

dirs=(main common getqrvninfo sim tests fuzz bench)
clang_format=clang-format-14
fix=0
if [[ ${1:-} == --fix ]]; then
  fix=1
  shift
fi
(($#)) || set -- "${dirs[@]}"
mapfile -t files < <(find "$@" -type f \
  \( -name '*.cpp' -o -name '*.cc' -o -name '*.h' -o -name '*.hpp' \) | LC_ALL=C sort)
if ! command -v "$clang_format" >/dev/null; then
  echo "format-check: $clang_format is missing (bash scripts/setup.sh installs it)" >&2
  exit 2
fi

if ((fix)); then
  "$clang_format" -i --style=file "${files[@]}"
  exit 0
fi
unformatted=()
for f in "${files[@]}"; do
  "$clang_format" --style=file --dry-run --Werror "$f" >/dev/null 2>&1 || unformatted+=("$f")
done
if ((${#unformatted[@]})); then
  echo "format-check: ${#unformatted[@]} of ${#files[@]} files are not as $clang_format writes them:"
  printf '  %s\n' "${unformatted[@]}"
  echo "format-check: bash scripts/format-check.sh --fix FILE... rewrites them"
  exit 1
fi
echo "format-check: all ${#files[@]} files are as $clang_format writes them"
