#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Ansible collection zentrik.vexor on a simulated fleet of six hosts:
# installs what is missing, builds vexor and the simulated host, lays the
# fleet out, rolls the firmware out with zentrik.vexor.rollout (a canary,
# then a tenth of the fleet, then the rest), prints the fleet summary of
# zentrik.vexor.report and what each host's flash utility was asked to burn.
#
#   bash scripts/fleet-demo.sh               set up and build into build/, then the demo
#   bash scripts/fleet-demo.sh --build DIR   the demo with the build tree DIR as it is
#
# Run as root: each simulated host lives in a private mount namespace. All
# the demo lays out is in one temporary directory, removed when it ends.
set -euo pipefail

source "$(dirname "$0")/demo-setup.sh"
demo_setup fleet-demo "$@"

state=$(mktemp -d -t vexor-fleet-demo-XXXXXX)
trap 'rm -rf "$state"' EXIT
trap 'echo; echo "fleet-demo: interrupted"; exit 130' INT
trap 'exit 143' TERM
fleet=$state/fleet
# The fleet: each host's name, its kind (a host file of ansible/fleet/) and
# what it shows.
fleet_hosts=(
  "behind    behind   one adapter at 16.35.1012; the catalog has 16.35.2000"
  "current   current  one adapter at 16.35.2000, the catalog's newest (vexor recommends \"rewrite\")"
  "newer     newer    one adapter at 16.36.1000, newer than the catalog (\"downgrade\")"
  "noadapter none     no adapter of the vendor, only another vendor's controller"
  "dual      dual     two adapters behind the catalog (one of them dual-port)"
  "failing   failing  one adapter behind the catalog whose burn fails"
)
hosts=() pairs=()
for line in "${fleet_hosts[@]}"; do
  read -r name kind _ <<<"$line"
  hosts+=("$name") pairs+=("$name=$kind")
done
/usr/bin/python3 ansible/fleet/make_fleet.py --sim "$vexor_sim" --out "$fleet" "${pairs[@]}" >/dev/null
export ANSIBLE_CONFIG=$fleet/ansible.cfg

printf '\n== The fleet (%d simulated hosts on this machine) ==\n' "${#hosts[@]}"
for line in "${fleet_hosts[@]}"; do
  read -r name _ what <<<"$line"
  printf '  %-10s %s\n' "$name" "$what"
done
cat <<'TXT'
Each host runs the real vexor in its own simulated host (fake PCI bus, a
simulated flash utility that records every command in a journal). The
rollout flashes only upgrades (vexor_allow: [upgrade]), in batches of 1
(the canary), 10% and 100%; a failed host stops the batches after its own.
TXT

printf '\n== ansible-playbook zentrik.vexor.rollout ==\n'
status=0
ansible-playbook zentrik.vexor.rollout -e vexor_report_dir="$state/report" || status=$?
echo "== exit status $status (2: a host failed) =="

printf '\n== ansible-playbook zentrik.vexor.report ==\n'
ansible-playbook zentrik.vexor.report -e vexor_report_dir="$state/report" >"$state/report.log" ||
  { cat "$state/report.log"; exit 1; }
cat "$state/report/fleet-summary.txt"
echo "(also written: fleet-summary.json, fleet-summary.csv)"

printf '\n== What each flash utility was asked to burn (its journal) ==\n'
for h in "${hosts[@]}"; do
  mapfile -t burns < <("$vexor_sim" --dir "$fleet/hosts/$h" --journal | grep ' b$' || true)
  ((${#burns[@]})) || burns=("(nothing)")
  label=$h
  for b in "${burns[@]}"; do
    printf '%-10s %s\n' "$label" "$b"
    label=
  done
done
