#!/usr/bin/env bash
# A rollout of the collection zentrik.vexor over 120 simulated hosts whose
# burns take 3 seconds, in one batch (serial 100%) with 20 forks. Prints the
# wall time against the ideal: the slowest host's own vexor time (its -d, -u
# and second -d, measured around each run) times the waves of forks
# (120 / 20 = 6); the controller's CPU per host: the CPU of
# ansible-playbook with everything it ran, less that of the vexor runs; and
# a second rollout with nothing to do against the first
# (bench/fleet_figures.py works the figures out).
#
# Usage: bash bench/fleet.sh [BUILD-DIR [HOSTS [FORKS [BURN-SECONDS]]]]   (as root; build 120 20 3)
# ANSIBLE_* variables of the caller (ANSIBLE_PIPELINING, ANSIBLE_STRATEGY...)
# reach every playbook run, for trying settings.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
hosts=${2:-120}
forks=${3:-20}
burn=${4:-3}
sim="$(cd "$build" && pwd)/sim/vexor-sim"
[[ -x $sim ]] || { echo "bench: $sim is missing; build first (bash scripts/setup.sh)" >&2; exit 1; }

work=$(mktemp -d -t vexor-fleet-bench-XXXXXX)
keep=${VEXOR_BENCH_KEEP:-}; trap '[[ -n $keep ]] || rm -rf "$work"' EXIT
runs=$work/runs.log
/usr/bin/python3 ansible/fleet/make_fleet.py --sim "$sim" --out "$work/fleet" --burn-seconds "$burn" \
  --wrap "/usr/bin/python3 $PWD/bench/fleet_timer.py $runs {host}" "behind:$hosts" >/dev/null
export ANSIBLE_CONFIG=$work/fleet/ansible.cfg ANSIBLE_FORKS=$forks

TIMEFORMAT='%R %U %S'
cut -d' ' -f1 /proc/loadavg >"$work/load"
date +%s.%N >"$work/started"
{ time ansible-playbook zentrik.vexor.rollout -e vexor_report_dir="$work/report" \
    -e '{"vexor_serial": ["100%"]}' >"$work/rollout.log" 2>&1; } 2>"$work/time" ||
  { tail -n 30 "$work/rollout.log"; echo "bench: the rollout failed" >&2; exit 1; }
{ time ansible-playbook --version >/dev/null; } 2>"$work/startup"
# The floor: one vexor_update task and nothing else, on a fresh fleet of the
# same hosts (their runs are logged apart).
/usr/bin/python3 ansible/fleet/make_fleet.py --sim "$sim" --out "$work/fleet1" --burn-seconds "$burn" \
  --wrap "/usr/bin/python3 $PWD/bench/fleet_timer.py $work/runs1.log {host}" "behind:$hosts" >/dev/null
cat >"$work/one-task.yml" <<'YML'
- hosts: all
  gather_facts: false
  tasks:
    - zentrik.vexor.vexor_update:
        dir: "{{ vexor_dir }}"
        command_prefix: "{{ vexor_command_prefix }}"
YML
{ time ANSIBLE_CONFIG=$work/fleet1/ansible.cfg ansible-playbook "$work/one-task.yml" >"$work/one.log" 2>&1; } 2>"$work/one"
{ time ansible-playbook zentrik.vexor.rollout -e vexor_report_dir="$work/report2" \
    -e '{"vexor_serial": ["100%"]}' >"$work/again.log" 2>&1; } 2>"$work/again"

/usr/bin/python3 bench/fleet_figures.py --runs "$runs" --time "$work/time" --startup "$work/startup" \
  --again "$work/again" --hosts "$hosts" --forks "$forks" --burn "$burn" --report "$work/report" \
  --started "$work/started" --load "$work/load" --one-runs "$work/runs1.log" --one "$work/one"
