#!/usr/bin/env bash
# A rollout of the collection zentrik.vexor over 24 simulated hosts whose
# burns take 3 seconds, in one batch (serial 100%) with 8 forks. Prints the
# wall time against the ideal: the slowest host's own vexor time (its -d, -u
# and second -d, measured around each run) times the waves of forks
# (24 / 8 = 3); and the controller's CPU per host: the CPU of
# ansible-playbook with everything it ran, less that of the vexor runs.
#
# Usage: bash bench/fleet.sh [BUILD-DIR [HOSTS [FORKS [BURN-SECONDS]]]]   (as root; build 24 8 3)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
hosts=${2:-24}
forks=${3:-8}
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

/usr/bin/python3 - "$runs" "$work/time" "$work/startup" "$work/again" "$hosts" "$forks" "$burn" "$work/report" \
  "$work/started" "$work/load" "$work/runs1.log" "$work/one" <<'PY'
import collections, json, math, os, sys
runs, timing, startup, again, hosts, forks, burn, report, started, load, runs1, one = sys.argv[1:]
hosts, forks, burn = int(hosts), int(forks), float(burn)
first = collections.defaultdict(list)   # host -> runs of the first rollout
count = collections.Counter()
lines = [l.split() for l in open(runs)]
# Every host runs vexor three times in the first rollout (-d, -u, -d), once in the second.
for host, start, end, cpu, own in lines:
    count[host] += 1
    if count[host] <= 3:
        first[host].append((float(start), float(end), float(cpu), float(own)))
wall, user, system = map(float, open(timing).read().split())
start_wall = float(open(startup).read().split()[0])
again_wall, again_user, again_sys = map(float, open(again).read().split())
per_host = dict((h, sum(e - s for s, e, _, _ in r)) for h, r in first.items())
vexor_cpu = sum(c for r in first.values() for _, _, c, _ in r)
timer_cpu = sum(o for r in first.values() for _, _, _, o in r)
waves = math.ceil(hosts / forks)
ideal = max(per_host.values()) * waves
flashed = sum(1 for name in os.listdir(os.path.join(report, 'hosts'))
              if any(r['outcome'] == 'flashed'
                     for r in json.load(open(os.path.join(report, 'hosts', name)))['result'].get('results', [])))
first_start = min(s for r in first.values() for s, _, _, _ in r)
last_end = max(e for r in first.values() for _, e, _, _ in r)
began = float(open(started).read())
print('hosts %d, forks %d, burn %.0f s, serial 100%%; hosts flashed: %d; load average before: %s'
      % (hosts, forks, burn, flashed, open(load).read().strip()))
print('vexor time per host (-d, -u, -d): min %.2f s, median %.2f s, max %.2f s'
      % (min(per_host.values()), sorted(per_host.values())[len(per_host) // 2], max(per_host.values())))
print('ideal (slowest host x %d waves):    %6.2f s' % (waves, ideal))
print('rollout wall time:                  %6.2f s  (%.2f x ideal)' % (wall, wall / ideal))
print('  before the first run of vexor:    %6.2f s' % (first_start - began))
print('  first run of vexor to last:       %6.2f s' % (last_end - first_start))
print('  after the last run of vexor:      %6.2f s' % (began + wall - last_end))
print('  ansible-playbook start-up alone:  %6.2f s' % start_wall)
print('controller CPU:                     %6.2f s  (%.3f s per host)'
      % (user + system - vexor_cpu - timer_cpu, (user + system - vexor_cpu - timer_cpu) / hosts))
print('  vexor and simulated hosts:        %6.2f s;  timing wrapper %.2f s' % (vexor_cpu, timer_cpu))
one_wall = float(open(one).read().split()[0])
one_host = collections.defaultdict(float)
for host, start, end, _, _ in (l.split() for l in open(runs1)):
    one_host[host] += float(end) - float(start)
one_ideal = max(one_host.values()) * waves
print('one vexor_update task alone:        %6.2f s  (%.2f x its ideal of %.2f s)' % (one_wall, one_wall / one_ideal, one_ideal))
print('second rollout (nothing to do):     %6.2f s wall, %.2f s CPU' % (again_wall, again_user + again_sys))
PY
