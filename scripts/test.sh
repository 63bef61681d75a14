#!/usr/bin/env bash
# Set-up and build first; then the cheap checks: no product function is
# longer than 60 lines, and all C++ is as clang-format writes it; then the
# whole test suite (unit and simulated-host tests); then the same suite built
# with AddressSanitizer and UndefinedBehaviorSanitizer, which must run without
# a single report; then each fuzz harness for a bounded time from a copy of
# its seed corpus, which must not crash. Every stage runs even when an
# earlier one failed; the last line counts them.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
fuzz_seconds=30
# Stages passed and failed, and the names of the failed ones.
passed=0
failed=0
failed_stages=()
# Counts for the closing line: the function-length and format checks, every
# test case of both ctest runs, and every fuzz harness, as passed or failed.
cases_passed=0
cases_failed=0
summary=$(mktemp -d /tmp/vexor-test-summary-XXXXXX)
trap 'rm -rf "$summary"' EXIT

count_ctest() {  # count_ctest LOG: adds "x tests failed out of y" to the totals
  local line failed_n total_n
  line=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$1" | tail -n 1) || true
  if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    failed_n=${BASH_REMATCH[1]}
    total_n=${BASH_REMATCH[2]}
    cases_passed=$((cases_passed + total_n - failed_n))
    cases_failed=$((cases_failed + failed_n))
  else
    cases_failed=$((cases_failed + 1))  # the run did not get as far as a summary
  fi
}

result() {  # result NAME STATUS
  if [[ $2 -eq 0 ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failed_stages+=("$1")
  fi
}

count_check() {  # count_check STATUS: a check that is one case of its own
  if [[ $1 -eq 0 ]]; then
    cases_passed=$((cases_passed + 1))
  else
    cases_failed=$((cases_failed + 1))
  fi
}

stage_function_lengths() {
  echo "== function lengths =="
  local status=0
  bash scripts/function-lengths.sh || status=$?
  result "function lengths" "$status"
  count_check "$status"
}

stage_formatting() {
  echo
  echo "== formatting (clang-format) =="
  local status=0
  bash scripts/format-check.sh || status=$?
  result "formatting" "$status"
  count_check "$status"
}

stage_tests() {
  echo
  echo "== tests (build) =="
  local status=0
  (cd build && ctest --output-on-failure -j"$jobs" </dev/null) | tee "$summary/tests.log" || status=$?
  result "tests" "$status"
  count_ctest "$summary/tests.log"
}

# Sanitizers. Reports go to files as well as ending the process, so a report
# in a child whose exit status no test looks at still fails this stage.
stage_sanitizers() {
  echo
  echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan) =="
  local status=0
  local reports=$PWD/build-asan/sanitizer-reports
  {
    cmake -S . -B build-asan -DVEXOR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null &&
      cmake --build build-asan -j"$jobs" >/dev/null
  } || status=$?
  if [[ $status -eq 0 ]]; then
    rm -rf "$reports"
    mkdir -p "$reports"
    (
      cd build-asan
      export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$reports/asan"
      export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
      ctest --output-on-failure -j"$jobs" </dev/null
    ) | tee "$summary/sanitizers.log" || status=$?
    sanitizer_reports "$reports" || status=1
  else
    echo "build-asan: configuring or building failed"
  fi
  if [[ -f $summary/sanitizers.log ]]; then
    count_ctest "$summary/sanitizers.log"
  else
    cases_failed=$((cases_failed + 1))
  fi
  result "sanitizers" "$status"
}

sanitizer_reports() {  # sanitizer_reports DIR: shows the reports; 1 when there is one
  local report_files f
  shopt -s nullglob
  report_files=("$1"/*)
  shopt -u nullglob
  if ((${#report_files[@]} == 0)); then
    echo "sanitizer reports: 0"
    return 0
  fi
  echo "sanitizer reports: ${#report_files[@]} (in $1)"
  for f in "${report_files[@]}"; do
    echo "--- $f"
    head -n 40 "$f"
  done
  return 1
}

# Fuzzing: every harness for fuzz_seconds, as many at a time as there are
# cores. The repository's corpus is copied so that nothing in it changes.
stage_fuzzing() {
  echo
  echo "== fuzzing, ${fuzz_seconds} s per harness (build-fuzz) =="
  local status=0 scratch artifacts
  local -a harnesses=()
  {
    cmake -S . -B build-fuzz -DVEXOR_FUZZ=ON -DBUILD_TESTING=OFF \
      -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
      cmake --build build-fuzz --target vexor_fuzzers -j"$jobs" >/dev/null &&
      # The list is kept in fuzz/CMakeLists.txt, which writes it here.
      mapfile -t harnesses <build-fuzz/fuzz/harnesses.txt &&
      ((${#harnesses[@]}))
  } || status=$?
  if [[ $status -eq 0 ]]; then
    scratch=$(mktemp -d "$summary/fuzz-XXXXXX")
    artifacts=$PWD/build-fuzz/artifacts
    mkdir -p "$artifacts"
    run_harnesses
    fuzz_results || status=1
  else
    echo "build-fuzz: configuring, building or reading build-fuzz/fuzz/harnesses.txt failed"
    cases_failed=$((cases_failed + 1))
  fi
  result "fuzzing" "$status"
}

# The helpers of stage_fuzzing see its harnesses, scratch and artifacts.
fuzz_one() {  # fuzz_one NAME: runs one harness; its log and exit status go to scratch
  local name=$1
  cp -r "fuzz/corpus/$name" "$scratch/$name"
  local rc=0
  "build-fuzz/fuzz/fuzz_$name" -max_total_time="$fuzz_seconds" -timeout=25 \
    -print_final_stats=1 -artifact_prefix="$artifacts/$name-" "$scratch/$name" \
    >"$scratch/$name.log" 2>&1 || rc=$?
  echo "$rc" >"$scratch/$name.rc"
}

run_harnesses() {  # every harness, at most jobs at a time
  local name running=0
  for name in "${harnesses[@]}"; do
    fuzz_one "$name" &
    running=$((running + 1))
    if ((running >= jobs)); then
      wait -n || true
      running=$((running - 1))
    fi
  done
  wait
}

fuzz_results() {  # one line per harness; 1 when one of them failed
  local name rc runs corpus status=0
  for name in "${harnesses[@]}"; do
    rc=$(cat "$scratch/$name.rc")
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/$name.log")
    corpus=$(find "$scratch/$name" -mindepth 1 -maxdepth 1 ! -name '.*' | wc -l)
    if [[ $rc -eq 0 ]]; then
      cases_passed=$((cases_passed + 1))
      echo "fuzz_$name: no crash, ${runs:-?} runs, corpus $corpus"
    else
      cases_failed=$((cases_failed + 1))
      echo "fuzz_$name: FAILED (exit $rc); the input is kept under $artifacts"
      tail -n 40 "$scratch/$name.log"
      status=1
    fi
  done
  return "$status"
}

closing_lines() {
  echo
  if ((failed)); then
    echo "failed: ${failed_stages[*]}"
  fi
  echo "stages (function lengths, formatting, tests, sanitizers, fuzzing): $passed of 5 passed"
  echo "total: $cases_passed passed, $cases_failed failed"
}

# The checks use tools that set-up installs.
bash scripts/setup.sh
stage_function_lengths
stage_formatting
stage_tests
stage_sanitizers
stage_fuzzing
closing_lines
((failed == 0))
