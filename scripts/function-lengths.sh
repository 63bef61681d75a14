#!/usr/bin/env bash
# Lists the functions longer than the limit, from the line that names the
# function to its closing brace, and exits with 1 when there is one; 0 and a
# one-line count otherwise.
#   bash scripts/function-lengths.sh [--max N] [DIR|FILE...]
# Without arguments it reads the product code: the directories in dirs below.
# A function that grows past a screen usually hides a second function with a
# name; this keeps that true without anyone having to remember to look.
# Universal Ctags finds the functions and their end lines (setup.sh installs
# it); a lambda, or a member of a class local to a function, counts as part
# of the function around it.
set -euo pipefail
cd "$(dirname "$0")/.."

dirs=(main common getqrvninfo sim)
max=60
if [[ ${1:-} == --max ]]; then
  max=$2
  shift 2
fi
(($#)) || set -- "${dirs[@]}"
mapfile -t files < <(find "$@" -type f \
  \( -name '*.cpp' -o -name '*.cc' -o -name '*.h' -o -name '*.hpp' \) | LC_ALL=C sort)
if ! ctags --version 2>/dev/null | grep -q 'Universal Ctags'; then
  echo "function-lengths: Universal Ctags is missing (bash scripts/setup.sh installs it)" >&2
  exit 2
fi

# One tab-separated line per function: file, first line, end line, the kind
# and name of its scope, its name.
ctags -x --sort=no --language-force=C++ --kinds-C++=f \
  --_xformat='%{input}	%{line}	%{end}	%{scopeKind}	%{scope}	%{name}' -o - "${files[@]}" |
  LC_ALL=C sort -t $'\t' -k1,1 -k2,2n -k3,3nr |
  awk -F '\t' -v max="$max" -v files="${#files[@]}" '
    # Sorted by start, the outermost first: a function that ends inside the
    # one before it is nested in it.
    $1 != file { file = $1; outer_end = 0 }
    $3 <= outer_end { next }
    {
      outer_end = $3
      functions++
      name = $6
      if ($4 ~ /^(class|struct|union)$/) {
        scope = $5
        gsub(/__anon[0-9a-f]+(::)?/, "", scope)
        name = scope "::" name
      }
      n = $3 - $2 + 1
      if (n > max) {
        printf "%s:%d: %s is %d lines (the limit is %d)\n", $1, $2, name, n, max
        over++
      }
    }
    END {
      if (over) exit 1
      printf "function-lengths: no function is longer than %d lines (%d functions in %d files)\n", max, functions, files
    }'
