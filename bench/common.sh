# shellcheck shell=bash
# Sourced by the benchmarks (run.sh, apply.sh), from the top of the tree.

# bench_prepare BUILD-DIR: checks that BUILD-DIR holds the simulator and
# that the tools are there, compiles bench/bench.cpp, and sets sim (the
# simulator), work (BUILD-DIR/bench-hosts), driver and driver_seen (the
# driver's path as a host's shell sees it).
# shellcheck disable=SC2034  # the variables are the caller's
bench_prepare() {
  sim="$1/sim/vexor-sim"
  [[ -x $sim ]] || { echo "bench: $sim is missing; build first (bash scripts/setup.sh)" >&2; exit 1; }
  local tool
  for tool in xmllint g++; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing (bash scripts/setup.sh installs it)" >&2; exit 1; }
  done
  work="$(cd "$1" && pwd)/bench-hosts"
  mkdir -p "$work"
  driver="$work/vexor-bench"
  g++ -std=c++20 -O2 -Wall -Wextra -o "$driver" bench/bench.cpp
  # Inside the host /tmp is the host's own, which would hide a driver built
  # under /tmp (a clone there). This shell's root still shows the real /tmp,
  # so the host runs the driver through it, as the simulated flash utility
  # reaches its state.
  driver_seen="/proc/$$/root$driver"
}

# write_catalog N ENTRIES PSID-FORMAT: a catalog of ENTRIES entries on
# standard output, two for each of N boards (PSID-FORMAT of 0 to N-1; its
# installed version 16.35.1012 and a newer one) at the end, the rest for
# boards nothing asks about.
write_catalog() {
  awk -v n="$1" -v total="$2" -v psid_format="$3" 'BEGIN {
    print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    print "<NICFWData>"
    fmt = "  <nic name=\"%s\" venid=\"15B3\" devid=\"%s\" subvenid=\"15B3\" PSID=\"%s\" subdevid=\"0050\" rom=\"%s\" fwFile=\"%s\"/>\n"
    for (i = 0; i < total - 2 * n; i++)
      printf fmt, "Quorvane QX-900 Other Board", "101D", sprintf("QRVX%05d", i), "22.39." i, sprintf("qx900-%05d.bin", i)
    for (i = 0; i < n; i++) {
      psid = sprintf(psid_format, i)
      printf fmt, "Quorvane QX-50 Single Port 25G", "1017", psid, "16.35.1012", psid "-1012.bin"
      printf fmt, "Quorvane QX-50 Single Port 25G", "1017", psid, "16.35.2000", psid "-2000.bin"
    }
    print "</NICFWData>"
  }'
}
