#!/usr/bin/python3
"""Prints the figures of a fleet rollout from what bench/fleet.sh measured:
the runs of vexor that fleet_timer.py logged, the `time` lines of each
playbook run, the rollout's reports and the start time and load before it.

    fleet_figures.py --hosts N --forks N --burn SECONDS --runs LOG
        --rollout-time FILE --startup-time FILE --again-time FILE
        --report DIR --started FILE --load FILE
        --one-task-runs LOG --one-task-time FILE
"""
import argparse
import collections
import json
import math
import os


def read_text(path):
    with open(path) as f:
        return f.read()


def read_time(path):
    """The wall, user and system seconds of a bash `time` with
    TIMEFORMAT='%R %U %S'."""
    return tuple(float(x) for x in read_text(path).split())


def read_runs(path):
    """Per host, its runs of vexor in order: (start, end, cpu, timer cpu)."""
    runs = collections.defaultdict(list)
    with open(path) as f:
        for line in f:
            host, start, end, cpu, own = line.split()
            runs[host].append((float(start), float(end), float(cpu), float(own)))
    return runs


def hosts_flashed(report):
    hosts = os.path.join(report, 'hosts')
    flashed = 0
    for name in os.listdir(hosts):
        with open(os.path.join(hosts, name)) as f:
            results = json.load(f)['result'].get('results', [])
        flashed += any(r['outcome'] == 'flashed' for r in results)
    return flashed


def rollout_figures(a):
    # Every host runs vexor three times in the first rollout (-d, -u, -d),
    # once in the second, which logs to the same file.
    first = {host: runs[:3] for host, runs in read_runs(a.runs).items()}
    wall, user, system = read_time(a.rollout_time)
    per_host = {h: sum(e - s for s, e, _, _ in r) for h, r in first.items()}
    vexor_cpu = sum(c for r in first.values() for _, _, c, _ in r)
    timer_cpu = sum(o for r in first.values() for _, _, _, o in r)
    waves = math.ceil(a.hosts / a.forks)
    ideal = max(per_host.values()) * waves
    first_start = min(s for r in first.values() for s, _, _, _ in r)
    last_end = max(e for r in first.values() for _, e, _, _ in r)
    began = float(read_text(a.started))
    controller = user + system - vexor_cpu - timer_cpu
    times = sorted(per_host.values())
    print('hosts %d, forks %d, burn %.0f s, serial 100%%; hosts flashed: %d; load average before: %s'
          % (a.hosts, a.forks, a.burn, hosts_flashed(a.report), read_text(a.load).strip()))
    print('vexor time per host (-d, -u, -d): min %.2f s, median %.2f s, max %.2f s'
          % (times[0], times[len(times) // 2], times[-1]))
    print('ideal (slowest host x %d waves):    %6.2f s' % (waves, ideal))
    print('rollout wall time:                  %6.2f s  (%.2f x ideal)' % (wall, wall / ideal))
    print('  before the first run of vexor:    %6.2f s' % (first_start - began))
    print('  first run of vexor to last:       %6.2f s' % (last_end - first_start))
    print('  after the last run of vexor:      %6.2f s' % (began + wall - last_end))
    print('  ansible-playbook start-up alone:  %6.2f s' % read_time(a.startup_time)[0])
    print('controller CPU:                     %6.2f s  (%.3f s per host)'
          % (controller, controller / a.hosts))
    print('  vexor and simulated hosts:        %6.2f s;  timing wrapper %.2f s' % (vexor_cpu, timer_cpu))
    return waves


def one_task_figures(a, waves):
    one_wall = read_time(a.one_task_time)[0]
    per_host = {h: sum(e - s for s, e, _, _ in r) for h, r in read_runs(a.one_task_runs).items()}
    one_ideal = max(per_host.values()) * waves
    print('one vexor_update task alone:        %6.2f s  (%.2f x its ideal of %.2f s)'
          % (one_wall, one_wall / one_ideal, one_ideal))
    again_wall, again_user, again_sys = read_time(a.again_time)
    print('second rollout (nothing to do):     %6.2f s wall, %.2f s CPU' % (again_wall, again_user + again_sys))


def main():
    p = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    p.add_argument('--hosts', type=int, required=True)
    p.add_argument('--forks', type=int, required=True)
    p.add_argument('--burn', type=float, required=True, help='seconds a burn takes')
    p.add_argument('--runs', required=True, help="fleet_timer.py's log of both rollouts")
    p.add_argument('--rollout-time', required=True, help='time of the first rollout')
    p.add_argument('--startup-time', required=True, help='time of ansible-playbook --version')
    p.add_argument('--again-time', required=True, help='time of the second rollout')
    p.add_argument('--report', required=True, help="the first rollout's report directory")
    p.add_argument('--started', required=True, help='epoch seconds when the first rollout began')
    p.add_argument('--load', required=True, help='load average before the first rollout')
    p.add_argument('--one-task-runs', required=True, help="fleet_timer.py's log of the one-task play")
    p.add_argument('--one-task-time', required=True, help='time of the one-task play')
    a = p.parse_args()
    waves = rollout_figures(a)
    one_task_figures(a, waves)


if __name__ == '__main__':
    main()
