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
sim="$build/sim/vexor-sim"
[[ -x $sim ]] || { echo "bench: $sim is missing; build first (bash scripts/setup.sh)" >&2; exit 1; }
for tool in xmllint g++; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (bash scripts/setup.sh installs it)" >&2; exit 1; }
done

work="$(cd "$build" && pwd)/bench-hosts"
mkdir -p "$work"
driver="$work/vexor-bench"
g++ -std=c++20 -O2 -Wall -Wextra -o "$driver" bench/bench.cpp
# Inside the host /tmp is the host's own, which would hide a driver built
# under /tmp (a clone there). This shell's root still shows the real /tmp, so
# the host runs the driver through it, as the simulated flash utility
# reaches its state.
driver_seen="/proc/$$/root$driver"

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
  awk -v n="$n" -v total="$entries" 'BEGIN {
    print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    print "<NICFWData>"
    fmt = "  <nic name=\"%s\" venid=\"15B3\" devid=\"%s\" subvenid=\"15B3\" PSID=\"%s\" subdevid=\"0050\" rom=\"%s\" fwFile=\"%s\"/>\n"
    for (i = 0; i < total - 2 * n; i++)
      printf fmt, "Quorvane QX-900 Other Board", "101D", sprintf("QRVX%05d", i), "22.39." i, sprintf("qx900-%05d.bin", i)
    for (i = 0; i < n; i++) {
      psid = sprintf("QRVB%04d", i)
      printf fmt, "Quorvane QX-50 Single Port 25G", "1017", psid, "16.35.1012", psid "-1012.bin"
      printf fmt, "Quorvane QX-50 Single Port 25G", "1017", psid, "16.35.2000", psid "-2000.bin"
    }
    print "</NICFWData>"
  }' >"$cat"
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
