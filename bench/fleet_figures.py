#!/usr/bin/python3
# Copyright: the vexor developers
"""The figures of bench/fleet.sh, from the files its runs left: the vexor
runs fleet_timer.py logged (HOST START END CPU OWN-CPU a line), the times
bash printed (wall, user, system) and the rollout's kept results."""

import argparse
import collections
import json
import math
import os


def times(path):
    return [float(x) for x in open(path).read().split()]


def vexor_runs(path, per_host):
    """host -> [(start, end, cpu, own cpu)] of each host's first per_host runs."""
    runs, count = collections.defaultdict(list), collections.Counter()
    for host, start, end, cpu, own in (line.split() for line in open(path)):
        count[host] += 1
        if count[host] <= per_host:
            runs[host].append((float(start), float(end), float(cpu), float(own)))
    return runs


def flashed_hosts(report):
    hosts = os.path.join(report, 'hosts')
    return sum(1 for name in os.listdir(hosts)
               if any(r['outcome'] == 'flashed'
                      for r in json.load(open(os.path.join(hosts, name)))['result'].get('results', [])))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for name in ('runs', 'time', 'startup', 'again', 'report', 'started', 'load', 'one-runs', 'one'):
        parser.add_argument('--' + name, required=True)
    parser.add_argument('--hosts', type=int, required=True)
    parser.add_argument('--forks', type=int, required=True)
    parser.add_argument('--burn', type=float, required=True)
    a = parser.parse_args()

    # Every host runs vexor three times in the first rollout (-d, -u, -d), once in the second.
    first = vexor_runs(a.runs, 3)
    wall, user, system = times(a.time)
    again_wall, again_user, again_sys = times(a.again)
    per_host = {h: sum(e - s for s, e, _, _ in r) for h, r in first.items()}
    vexor_cpu = sum(c for r in first.values() for _, _, c, _ in r)
    timer_cpu = sum(o for r in first.values() for _, _, _, o in r)
    waves = math.ceil(a.hosts / a.forks)
    ideal = max(per_host.values()) * waves
    first_start = min(s for r in first.values() for s, _, _, _ in r)
    last_end = max(e for r in first.values() for _, e, _, _ in r)
    began = float(open(a.started).read())
    controller = user + system - vexor_cpu - timer_cpu
    print('hosts %d, forks %d, burn %.0f s, serial 100%%; hosts flashed: %d; load average before: %s'
          % (a.hosts, a.forks, a.burn, flashed_hosts(a.report), open(a.load).read().strip()))
    print('vexor time per host (-d, -u, -d): min %.2f s, median %.2f s, max %.2f s'
          % (min(per_host.values()), sorted(per_host.values())[len(per_host) // 2], max(per_host.values())))
    print('ideal (slowest host x %d waves):    %6.2f s' % (waves, ideal))
    print('rollout wall time:                  %6.2f s  (%.2f x ideal; goal 1.5)' % (wall, wall / ideal))
    print('  before the first run of vexor:    %6.2f s' % (first_start - began))
    print('  first run of vexor to last:       %6.2f s' % (last_end - first_start))
    print('  after the last run of vexor:      %6.2f s' % (began + wall - last_end))
    print('  ansible-playbook start-up alone:  %6.2f s' % times(a.startup)[0])
    print('controller CPU:                     %6.2f s  (%.3f s per host; goal 0.5)' % (controller, controller / a.hosts))
    print('  vexor and simulated hosts:        %6.2f s;  timing wrapper %.2f s' % (vexor_cpu, timer_cpu))
    one_wall = times(a.one)[0]
    one_host = collections.defaultdict(float)
    for host, start, end, _, _ in (line.split() for line in open(a.one_runs)):
        one_host[host] += float(end) - float(start)
    one_ideal = max(one_host.values()) * waves
    print('one vexor_update task alone:        %6.2f s  (%.2f x its ideal of %.2f s)'
          % (one_wall, one_wall / one_ideal, one_ideal))
    print('second rollout (nothing to do):     %6.2f s wall (%.2f of the first; goal under 0.33), %.2f s CPU'
          % (again_wall, again_wall / wall, again_user + again_sys))


if __name__ == '__main__':
    main()
