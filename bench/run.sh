#!/usr/bin/env bash
# Times `vexor -c` on simulated hosts of 1, 8 and 32 adapters with firmware
# catalogs of 100 and 10,000 entries, beside the work no listing can avoid:
# three flash-utility queries per adapter through `sh -c`, and one streaming
# read of the catalog per adapter by `xmllint --stream` (bench/bench.cpp does
# the measuring, inside each host). The bare work also opens the Secure Boot
# gate's pipe once, as every run of vexor must. Prints one row per size:
# median wall time of each over REPS runs, their ratio, the median time of
# the gate's pipe alone, and the peak resident memory of each.
#
# Usage: bash bench/run.sh [BUILD-DIR [REPS]]   (as root; default build, 7)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
reps=${2:-7}
. bench/common.sh
bench_prepare "$build"

# The host file and catalog for N adapters and ENTRIES catalog entries: two
# entries per adapter (its installed version and a newer one), the rest for
# boards the host does not have.
make_host() {
  local n=$1 entries=$2 host=$3 cat=$4
  {
    echo "secure-boot disabled"
    for ((i = 0; i < n; i++)); do
      printf 'function 0000:%02x:00.0 15b3:1017 15b3:0050 020700 ib%d\n' $((i + 16)) "$i"
      printf 'adapter  0000:%02x:00.0 fw=16.35.1012 psid=QRVB%04d mac=0002c9aa%04x\n' $((i + 16)) "$i" "$i"
    done
    echo "catalog $(basename "$cat")"
  } >"$host"
  write_catalog "$n" "$entries" "QRVB%04d" >"$cat"
}

printf '%-9s %-8s %10s %10s %7s %9s %11s %10s\n' adapters entries "vexor ms" "bare ms" ratio "gate ms" "vexor KiB" "bare KiB"
for n in 1 8 32; do
  for entries in 100 10000; do
    host="$work/h$n-$entries.host"
    cat="$work/h$n-$entries.xml"
    dir="$work/h$n-$entries"
    make_host "$n" "$entries" "$host" "$cat"
    rm -rf "$dir"
    addresses=()
    for ((i = 0; i < n; i++)); do addresses+=("$(printf '0000:%02x:00.0' $((i + 16)))"); done
    read -r vexor_ms bare_ms gate_ms vexor_kib bare_kib < <("$sim" --dir "$dir" "$host" --shell "'$driver_seen' $reps ${addresses[*]}")
    awk -v n="$n" -v e="$entries" -v v="$vexor_ms" -v b="$bare_ms" -v g="$gate_ms" -v vm="$vexor_kib" -v bm="$bare_kib" \
      'BEGIN { printf "%-9d %-8d %10.1f %10.1f %7.3f %9.1f %11d %10d\n", n, e, v, b, v / b, g, vm, bm }'
  done
done
