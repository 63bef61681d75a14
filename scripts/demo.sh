#!/usr/bin/env bash
# vexor on the simulated demo host: installs what is missing, builds, then
# runs the interactive update (you answer the questions), the listing (-c),
# the discovery report (-d), applies that report with one device set to
# Nothing (-u) as a deployment framework would, and shows what the flash
# utility was asked to do.
#
#   bash scripts/demo.sh               set up and build into build/, then the demo
#   bash scripts/demo.sh --build DIR   the demo with the build tree DIR as it is
#
# Run as root: the simulated host lives in a private mount namespace. All it
# lays out is in one temporary directory, removed when the script ends, also
# on Ctrl-C. Without a terminal on standard input (e.g. </dev/null) each
# question is answered with Enter, which takes the default it shows.
set -euo pipefail

source "$(dirname "$0")/demo-setup.sh"
demo_setup demo "$@"

state=$(mktemp -d -t vexor-demo-XXXXXX)
trap 'rm -rf "$state"' EXIT
trap 'echo; echo "demo: interrupted"; exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
host=$state/host
sim() { "$vexor_sim" --dir "$host" sim/hosts/demo.host "$@"; }

# Runs one vexor command on the host and reports its exit status; a host that
# cannot be set up (vexor-sim's own status 125) ends the demo.
run() {
  local title=$1 status=0
  shift
  printf '\n\n== %s ==\n' "$title"
  sim "$@" || status=$?
  if ((status == 125)); then
    echo "demo: the simulated host could not be set up (see above)" >&2
    exit 1
  fi
  echo "== exit status $status =="
}

cat <<'TXT'

== The demo host (simulated) ==
  0000:02:00.0  Ostrova Systems Ethernet controller (another vendor: listed, left alone)
  0000:05:00.0  Quorvane adapter running 16.35.1012; the catalog has 16.35.2000
  0000:81:00.0  Quorvane dual-port adapter (functions .0 and .1) running 2.42.5000, the latest
Simulated: the PCI bus and sysfs, the network interface names, the vendor-name
database, mokutil (Secure Boot off) and the flash utility nic_fw/pyxflash, which
keeps each adapter's firmware version in a file.
Real: vexor and getqrvninfo, run from their component directory with the demo
catalog nic_fw/NICFWData.xml and its images. Nothing outside the simulated host
is touched.
TXT

if [[ -t 0 ]]; then
  echo
  echo "Answer y (or Enter) to flash, n to skip, q to quit."
  run "vexor: the interactive update"
else
  echo
  echo "No terminal on standard input: each question is answered with Enter (its default)."
  printf '\n%.0s' {1..8} >"$state/answers"
  run "vexor: the interactive update" <"$state/answers"
fi
run "vexor -c: the firmware installed now and the catalog's versions" -- -c
run "vexor -d: the discovery report for a deployment framework" -- -d
echo
echo "== nicdiscovery.xml =="
cat "$host/component/nicdiscovery.xml"

burns() { "$vexor_sim" --dir "$host" --journal | grep ' b$' || true; }
burns_before=$(burns | wc -l)

# As a deployment framework would: leave the dual-port adapter alone by
# setting its action to Nothing, and apply the report.
python3 - "$host/component/nicdiscovery.xml" <<'PY'
import sys
import xml.etree.ElementTree as ET
path = sys.argv[1]
tree = ET.parse(path)
for device in tree.getroot().iter("device"):
    if device.find("busnumber").get("value") == "0000:81":
        device.find("fw_item/action").set("value", "Nothing")
tree.write(path, xml_declaration=True, encoding="UTF-8")
print("\n== nicdiscovery.xml, edited: the action of each device ==")
for device in tree.getroot().iter("device"):
    print("  %s:%s.%s  %s" % (device.find("busnumber").get("value"),
                              device.find("devicenumber").get("value"),
                              device.find("funcnumber").get("value"),
                              device.find("fw_item/action").get("value")))
PY
run "vexor -u nicdiscovery.xml: apply the edited report" -- -u nicdiscovery.xml

echo
echo "== The burns the flash utility was asked for by the interactive update =="
burns | head -n "$burns_before" | sed 's/^/  /'
[[ $burns_before -gt 0 ]] || echo "  (none)"
echo
echo "== ... and by -u: only the device whose action asked for it =="
burns | tail -n +"$((burns_before + 1))" | sed 's/^/  /'
[[ $(burns | wc -l) -gt $burns_before ]] || echo "  (none)"
echo
echo "== The event log, pyxflash.log =="
cat "$host/component/pyxflash.log"

cat <<'TXT'

The simulated host is removed now.
TXT
