#!/usr/bin/env bash
# Set-up, build, and vexor's main job on the simulated demo host: the
# interactive update (you answer the questions), then a second look that
# shows what is installed now. Run as root: the simulated host lives in a
# private mount namespace and changes nothing outside its own directory.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

host_file=sim/hosts/demo.host
state=$(mktemp -d /tmp/vexor-demo-XXXXXX)
trap 'rm -rf "$state"' EXIT
sim() { ./build/sim/vexor-sim --dir "$state/host" "$host_file" "$@"; }

cat <<'TXT'

== The demo host (simulated) ==
  0000:02:00.0  Ostrova Systems Ethernet controller (another vendor: listed, left alone)
  0000:05:00.0  Quorvane adapter running 16.35.1012; the catalog has 16.35.2000
  0000:81:00.0  Quorvane dual-port adapter (functions .0 and .1) running 2.42.5000, the latest
PCI bus, network names, mokutil and the flash utility nic_fw/pyxflash are simulated;
vexor itself is the real binary, run from its component directory.

== vexor: the interactive update. Answer y (or Enter) to flash, n to skip, q to quit. ==
TXT
status=0
sim || status=$?
echo "== vexor exited with status $status =="

echo
echo
echo "== vexor -c: the firmware installed now and the catalog's versions =="
status=0
sim -- -c || status=$?
echo "== vexor -c exited with status $status =="
echo
echo "== What the flash utility was asked to do =="
./build/sim/vexor-sim --dir "$state/host" --journal
