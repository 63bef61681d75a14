#!/usr/bin/env bash
# Times `vexor -u` applying discovery reports of 500 and 2,000 devices
# against a firmware catalog of 50,000 entries, beside the work no apply can
# avoid: the Secure Boot gate's pipe and one streaming read each of the
# catalog and of the report by `xmllint --stream` (bench/bench.cpp --apply
# does the measuring, inside the host). Every device of the report has two
# catalog entries and the action "Nothing": each is looked up in the
# catalog, none is burned, so what is timed is the reading and the lookups.
# Prints one row per size: median wall time of each over REPS runs, their
# ratio, and the peak resident memory of each.
#
# Usage: bash bench/apply.sh [BUILD-DIR [REPS [ENTRIES [DEVICES...]]]]
#        (as root; default build, 3, 50000, 500 2000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
reps=${2:-3}
entries=${3:-50000}
shift $(($# < 3 ? $# : 3))
sizes=("$@")
((${#sizes[@]})) || sizes=(500 2000)
. bench/common.sh
bench_prepare "$build"

# A report of N devices at addresses of their own, with the elements -u
# reads in the form -d writes them.
make_report() {
  awk -v n="$1" 'BEGIN {
    print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    print "<zk_rom_discovery version=\"2.0.0.0\">"
    print "    <type value=\"QUORVANE_NIC\"/>"
    print "    <version value=\"1.0.0\"/>"
    print "    <devices>"
    for (i = 0; i < n; i++) {
      print "        <device>"
      printf "            <venid value=\"15B3\"/>\n            <devid value=\"1017\"/>\n"
      printf "            <subvenid value=\"15B3\"/>\n            <subdevid value=\"0050\"/>\n"
      printf "            <busnumber value=\"0000:%02x\"/>\n", 16 + int(i / 32)
      printf "            <devicenumber value=\"%02x\"/>\n            <funcnumber value=\"0\"/>\n", i % 32
      print "            <fw_item>"
      printf "                <type value=\"ROM\"/>\n                <firmware_id value=\"QRVB%05d\"/>\n", i
      printf "                <version value=\"16.35.2000\"/>\n                <active_version value=\"16.35.1012\"/>\n"
      print "                <action value=\"Nothing\"/>"
      print "            </fw_item>"
      print "        </device>"
    }
    print "    </devices>"
    print "</zk_rom_discovery>"
  }'
}

printf '%-8s %-8s %10s %10s %8s %11s %10s\n' devices entries "vexor ms" "bare ms" ratio "vexor KiB" "bare KiB"
for n in "${sizes[@]}"; do
  host="$work/apply$n-$entries.host"
  dir="$work/apply$n-$entries"
  write_catalog "$n" "$entries" "QRVB%05d" >"$work/apply$n-$entries.xml"
  printf 'secure-boot disabled\ncatalog %s\n' "apply$n-$entries.xml" >"$host"
  rm -rf "$dir"
  "$sim" --dir "$dir" "$host" --shell true
  make_report "$n" >"$dir/component/report.xml"
  read -r vexor_ms bare_ms vexor_kib bare_kib < <("$sim" --dir "$dir" "$host" --shell "'$driver_seen' --apply $reps report.xml")
  awk -v n="$n" -v e="$entries" -v v="$vexor_ms" -v b="$bare_ms" -v vm="$vexor_kib" -v bm="$bare_kib" \
    'BEGIN { printf "%-8d %-8d %10.1f %10.1f %8.2f %11d %10d\n", n, e, v, b, v / b, vm, bm }'
done
