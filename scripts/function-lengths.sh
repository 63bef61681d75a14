#!/usr/bin/env bash
# Lists the functions of main/, common/, getqrvninfo/ and sim/ that are longer
# than the limit, from the first line of the signature to the closing brace,
# and exits with 1 when there is one; 0 and a one-line count otherwise.
#   bash scripts/function-lengths.sh [--max N] [FILE...]
# A function that grows past a screen usually hides a second function with a
# name; this keeps that true without anyone having to remember to look.
set -euo pipefail
cd "$(dirname "$0")/.."

max=60
if [[ ${1:-} == --max ]]; then
  max=$2
  shift 2
fi
if (($#)); then
  files=("$@")
else
  mapfile -t files < <(find main common getqrvninfo sim -type f \
    \( -name '*.cpp' -o -name '*.cc' -o -name '*.h' -o -name '*.hpp' \) | LC_ALL=C sort)
fi

# A small C++ scanner: comments, string and character literals and
# preprocessor lines are passed over; braces are matched. A "{" at file,
# namespace or class level whose preceding text ends in ")" (and qualifiers
# such as const, noexcept, override or a trailing return type) opens a
# function; lambdas and blocks inside a function belong to that function.
awk -v max="$max" '
function reset_header() { header = ""; header_line = 0 }
function kind_of(h,    t) {
  t = h
  gsub(/[ \t]+/, " ", t)
  sub(/^ /, "", t)
  sub(/ $/, "", t)
  if (t ~ /(^|[^A-Za-z0-9_])namespace([^A-Za-z0-9_]|$)/ || t ~ /^extern ?""$/) return "ns"
  if (t !~ /\(/ && t ~ /(^|[^A-Za-z0-9_])(struct|class|union|enum)([^A-Za-z0-9_]|$)/) return "class"
  if (t ~ /\)( ?(const|noexcept|override|final|mutable|volatile|&|&&))*( ?->[^;{}=]*)?$/) return "fn"
  return "block"
}
function name_of(h,    t) {
  t = h
  sub(/\(.*/, "", t)
  sub(/[ \t]+$/, "", t)
  n = split(t, words, /[ \t*&]+/)
  return words[n]
}
FNR == 1 {
  depth = 0; in_comment = 0; in_pp = 0; reset_header()
  delete kind; delete fn_start; delete fn_name
}
{
  line = $0
  # Preprocessor lines, with their continuations.
  if (!in_comment && (in_pp || line ~ /^[ \t]*#/)) {
    in_pp = (line ~ /\\$/)
    next
  }
  i = 1
  len = length(line)
  while (i <= len) {
    c = substr(line, i, 1)
    two = substr(line, i, 2)
    if (in_comment) {
      if (two == "*/") { in_comment = 0; i += 2 } else i++
      continue
    }
    if (two == "//") break
    if (two == "/*") { in_comment = 1; i += 2; continue }
    if (c == "\"" || c == "\047") {
      # A literal: skipped to its closing quote; the header keeps the quotes.
      q = c; i++
      while (i <= len && substr(line, i, 1) != q) {
        if (substr(line, i, 1) == "\\") i++
        i++
      }
      i++
      if (depth_kind() != "fn") add_header(q q)
      continue
    }
    if (c == "{") {
      outer = depth_kind()
      depth++
      if (outer == "fn" || outer == "block") {
        kind[depth] = "block"
      } else {
        k = kind_of(header)
        kind[depth] = k
        if (k == "fn") { fn_start[depth] = header_line; fn_name[depth] = name_of(header) }
      }
      reset_header(); i++
      continue
    }
    if (c == "}") {
      if (depth > 0) {
        if (kind[depth] == "fn") {
          functions++
          n = FNR - fn_start[depth] + 1
          if (n > max) {
            printf "%s:%d: %s is %d lines (the limit is %d)\n", FILENAME, fn_start[depth], fn_name[depth], n, max
            over++
          }
        }
        depth--
      }
      reset_header(); i++
      continue
    }
    if (c == ";") { if (depth_kind() != "fn") reset_header(); i++; continue }
    if (depth_kind() != "fn" && depth_kind() != "block") {
      add_header(c)
      if (header ~ /^[ \t]*(public|private|protected)[ \t]*:$/) reset_header()
    }
    i++
  }
  if (depth_kind() != "fn" && depth_kind() != "block") add_header(" ")
}
function depth_kind() { return depth == 0 ? "ns" : kind[depth] }
function add_header(s) {
  if (header_line == 0 && s !~ /^[ \t]*$/) header_line = FNR
  if (header_line != 0) header = header s
}
END {
  if (over) exit 1
  printf "function-lengths: no product function is longer than %d lines (%d functions in %d files)\n", max, functions, files
}
FNR == 1 { files++ }
' "${files[@]}"
