# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
"""The collection on a simulated fleet: real ansible-playbook, real vexor,
each host's flash utility journal as the record of what was burnt.

Needs VEXOR_SIM (the built vexor-sim) and root, and the project's fleet kit
(ansible/fleet of the vexor tree, or VEXOR_FLEET_KIT). A failed test keeps
its fleet directory and says where it is."""

import csv
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
# This target lies in ansible/ansible_collections/zentrik/vexor/tests/integration/targets/.
KIT = os.environ.get('VEXOR_FLEET_KIT') or os.path.join(HERE, *['..'] * 7, 'fleet')
MAKE_FLEET = os.path.join(KIT, 'make_fleet.py')
SIM = os.environ.get('VEXOR_SIM', '')

QX200_NEW = './nic_fw/qx200-16.35.2000.bin'
QX200_OLD = './nic_fw/qx200-16.34.1002.bin'
QX100_NEW = './nic_fw/qx100-2.42.5000.bin'


class Fleet(object):
    """A simulated fleet in a scratch directory, and the ansible runs on it."""

    def __init__(self, testcase, *hosts, activation=()):
        self.testcase = testcase
        self.dir = tempfile.mkdtemp(prefix='vexor-fleet-', dir=os.environ.get('VEXOR_FLEET_TMP'))
        self.names = [h.split('=')[0] for h in hosts]
        options = [f'--activation={a}' for a in activation]
        subprocess.run([sys.executable, MAKE_FLEET, '--sim', SIM, '--out', self.dir] + options + list(hosts),
                       check=True, stdout=subprocess.DEVNULL)
        self.report = os.path.join(self.dir, 'report')
        self.env = dict(os.environ, ANSIBLE_CONFIG=os.path.join(self.dir, 'ansible.cfg'), ANSIBLE_NOCOLOR='1')
        testcase.addCleanup(self.cleanup)

    def cleanup(self):
        outcome = getattr(self.testcase, '_outcome', None)
        failed = outcome is not None and not getattr(outcome, 'success', True)
        if failed:
            print('\nfleet kept in %s' % self.dir, file=sys.stderr)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)

    def playbook(self, name, *args, **extra_vars):
        extra_vars.setdefault('vexor_report_dir', self.report)
        cmd = ['ansible-playbook', 'zentrik.vexor.' + name,
               '-e', json.dumps(extra_vars)] + list(args)
        run = subprocess.run(cmd, cwd=self.dir, env=self.env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, universal_newlines=True)
        with open(os.path.join(self.dir, name + '.out'), 'a') as f:
            f.write(run.stdout)
        return run

    def rollout(self, *args, **extra_vars):
        return self.playbook('rollout', *args, **extra_vars)

    def unreachable(self, name):
        """Makes host name one that cannot be reached: ssh to a closed port."""
        os.makedirs(os.path.join(self.dir, 'host_vars'), exist_ok=True)
        with open(os.path.join(self.dir, 'host_vars', name + '.yml'), 'w') as f:
            f.write('ansible_connection: ssh\nansible_host: 127.0.0.1\nansible_port: 1\n'
                    'ansible_ssh_common_args: -o ConnectTimeout=5 -o BatchMode=yes\n')

    def summary(self, *args):
        """(host, address, outcome) of each row of the report playbook's CSV."""
        report = self.playbook('report', *args)
        self.testcase.assertEqual(report.returncode, 0, report.stdout[-4000:])
        with open(os.path.join(self.report, 'fleet-summary.csv'), newline='') as f:
            return [(r['host'], r['address'], r['outcome']) for r in csv.DictReader(f)]

    def boot_id(self, host):
        utility = os.path.join(self.dir, 'hosts', host, 'component', 'nic_fw', 'pyxflash')
        env = dict(os.environ, VEXOR_SIM_STATE=os.path.join(self.dir, 'hosts', host, 'state'))
        return subprocess.run([utility, '--boot-id'], env=env, check=True, stdout=subprocess.PIPE,
                              universal_newlines=True).stdout.strip()

    def saved(self):
        """What the last rollout kept per host: {host: {'rollout': ..., 'result': ..., ['check': ...]}}."""
        kept = []
        hosts_dir = os.path.join(self.report, 'hosts')
        for name in os.listdir(hosts_dir):
            with open(os.path.join(hosts_dir, name)) as f:
                kept.append(json.load(f))
        latest = max(k['rollout'] for k in kept)
        return dict((k['host'], k) for k in kept if k['rollout'] == latest)

    def journal(self, host):
        run = subprocess.run([SIM, '--dir', os.path.join(self.dir, 'hosts', host), '--journal'],
                             check=True, stdout=subprocess.PIPE, universal_newlines=True)
        return run.stdout.splitlines()

    def burns(self, host):
        """(address, image) of every burn the host's flash utility was asked for."""
        out = []
        for line in self.journal(host):
            words = line.split()
            if words and words[-1] == 'b':
                out.append((words[words.index('-d') + 1], words[words.index('-i') + 1]))
        return out


def recap(output):
    """{host: {ok, changed, failed, ...}} from the PLAY RECAP."""
    out = {}
    for m in re.finditer(r'^(\S+)\s+: ((?:\w+=\d+\s*)+)$', output, re.M):
        out[m.group(1)] = dict((k, int(v)) for k, v in re.findall(r'(\w+)=(\d+)', m.group(2)))
    return out


def task_lines(output, name):
    """The lines the default callback printed under every TASK [... name]."""
    lines, inside = [], False
    for line in output.splitlines():
        if line.startswith('TASK [') or line.startswith('PLAY '):
            inside = line.startswith('TASK [') and name in line
        elif inside:
            lines.append(line)
    return lines


def outcomes(saved):
    return dict((host, [(r['address'], r['outcome']) for r in s['result'].get('results', [])])
                for host, s in saved.items())


@unittest.skipUnless(SIM and os.geteuid() == 0, 'needs VEXOR_SIM and root')
class FleetTest(unittest.TestCase):
    maxDiff = None

    def assertRan(self, run, status=0):
        self.assertEqual(run.returncode, status, run.stdout[-4000:])

    def test_check_mode_burns_nothing_and_reports_the_plan(self):
        fleet = Fleet(self, 'behind=behind', 'current=current', 'failing=failing', 'newer=newer', 'dual=dual')
        run = fleet.rollout('--check', '--diff')
        self.assertRan(run)
        self.assertIn('+0000:81:00.0 QRV0000000022: 2.42.5000', run.stdout)  # the diff
        self.assertEqual(outcomes(fleet.saved()), {
            'behind': [('0000:05:00.0', 'planned')],
            'current': [('0000:05:00.0', 'unchanged')],
            'failing': [('0000:05:00.0', 'planned')],
            'newer': [('0000:05:00.0', 'unchanged')],
            'dual': [('0000:05:00.0', 'planned'), ('0000:81:00.0', 'planned')],
        })
        self.assertEqual(dict((h, s['result']['changed']) for h, s in fleet.saved().items()),
                         {'behind': True, 'current': False, 'failing': True, 'newer': False, 'dual': True})
        # The read-only module, ad hoc, on the same fleet.
        tree = os.path.join(fleet.dir, 'tree')
        info = subprocess.run(['ansible', 'all', '-m', 'zentrik.vexor.vexor_info', '-t', tree,
                               '-a', '{"dir": "{{ vexor_dir }}", "command_prefix": "{{ vexor_command_prefix }}"}'],
                              cwd=fleet.dir, env=fleet.env, stdout=subprocess.PIPE, universal_newlines=True)
        self.assertRan(info)
        with open(os.path.join(tree, 'dual')) as f:
            dual = json.load(f)
        self.assertFalse(dual['changed'])
        self.assertEqual([(d['address'], d['installed'], d['available'], d['action']) for d in dual['devices']],
                         [('0000:05:00.0', '16.35.1012', '16.35.2000', 'upgrade'),
                          ('0000:81:00.0', '2.40.7000', '2.42.5000', 'upgrade')])
        for host in fleet.names:
            self.assertEqual(fleet.burns(host), [], host)

    def test_rollout_burns_the_plan_the_summary_matches_and_a_second_is_unchanged(self):
        fleet = Fleet(self, 'behind=behind', 'current=current', 'newer=newer', 'dual=dual', 'failing=failing')
        run = fleet.rollout()
        self.assertRan(run, 2)  # the failing burn, in the last batch
        self.assertEqual(dict((h, fleet.burns(h)) for h in fleet.names), {
            'behind': [('0000:05:00.0', QX200_NEW)],
            'current': [],  # rewrite: not flashed by default
            'newer': [],    # downgrade: not flashed by default
            'dual': [('0000:05:00.0', QX200_NEW), ('0000:81:00.0', QX100_NEW)],
            'failing': [('0000:05:00.0', QX200_NEW)],
        })
        self.assertEqual(recap(run.stdout)['failing']['failed'], 1)
        self.assertIn('0000:05:00.0', fleet.saved()['failing']['result']['msg'])

        report = fleet.playbook('report')
        self.assertRan(report)
        with open(os.path.join(fleet.report, 'fleet-summary.csv')) as f:
            rows = list(csv.DictReader(f))
        with open(os.path.join(fleet.report, 'fleet-summary.json')) as f:
            self.assertEqual(json.load(f)['counts'], {'flashed': 3, 'failed': 1, 'unchanged': 2})
        self.assertRegex(report.stdout, r'"dual +0000:81:00\.0 +2\.40\.7000 +2\.42\.5000 +flashed"')
        for row in rows:
            burnt = [b for b in fleet.burns(row['host']) if b[0] == row['address']]
            if row['outcome'] == 'flashed':
                self.assertEqual(len(burnt), 1, row)
                self.assertEqual(row['to'], row['target'])
                self.assertIn(row['to'], burnt[0][1])
            elif row['outcome'] == 'failed':
                self.assertEqual((row['host'], row['to'], len(burnt)), ('failing', row['from'], 1))
            else:
                self.assertEqual((burnt, row['to']), ([], row['from']), row)

        before = dict((h, fleet.journal(h)) for h in fleet.names)
        again = fleet.rollout(vexor_hosts='all:!sim_failing')
        self.assertRan(again)
        self.assertEqual(dict((h, recap(again.stdout)[h]['changed']) for h in fleet.names if h != 'failing'),
                         {'behind': 0, 'current': 0, 'newer': 0, 'dual': 0})
        self.assertFalse(any(s['result']['changed'] for s in fleet.saved().values()))
        for host in fleet.names:
            added = fleet.journal(host)[len(before[host]):]
            self.assertEqual([line for line in added if line.endswith(' b')], [], host)
            # No report is left behind, and none of the operator's is written.
            component = os.path.join(fleet.dir, 'hosts', host, 'component')
            self.assertEqual([f for f in os.listdir(component) if f.endswith('.xml')], [], host)

    def test_failing_canary_stops_the_later_batches(self):
        fleet = Fleet(self, 'canary=failing', 'second=behind', 'third=dual')
        run = fleet.rollout()
        self.assertRan(run, 2)
        self.assertEqual(fleet.burns('canary'), [('0000:05:00.0', QX200_NEW)])
        for host in ('second', 'third'):
            self.assertEqual(fleet.journal(host), [], host)  # not even queried
        self.assertRan(fleet.playbook('report'))
        with open(os.path.join(fleet.report, 'fleet-summary.csv')) as f:
            self.assertEqual([(r['host'], r['outcome']) for r in csv.DictReader(f)],
                             [('canary', 'failed'), ('second', 'not reached'), ('third', 'not reached')])

    def test_rewrite_and_exclusion_when_asked(self):
        fleet = Fleet(self, 'current=current', 'dual=dual')
        run = fleet.rollout(vexor_allow=['upgrade', 'rewrite'], vexor_exclude=['0000:81:00.1'])  # the second port
        self.assertRan(run)
        self.assertEqual(fleet.burns('current'), [('0000:05:00.0', QX200_NEW)])
        self.assertEqual(fleet.burns('dual'), [('0000:05:00.0', QX200_NEW)])
        self.assertEqual(outcomes(fleet.saved()), {'current': [('0000:05:00.0', 'flashed')],
                                                   'dual': [('0000:05:00.0', 'flashed'), ('0000:81:00.0', 'skipped')]})
        # A rewrite changes no version, yet writes flash: a change, as check mode said.
        self.assertEqual(dict((h, s['result']['changed']) for h, s in fleet.saved().items()),
                         {'current': True, 'dual': True})

    def test_reboot_only_when_asked_and_flashed_then_each_flashed_adapter_is_checked(self):
        # later runs a burnt version after the (simulated) reboot, stuck not
        # even then; behind runs it at once, newer has nothing to flash.
        fleet = Fleet(self, 'behind=behind', 'newer=newer', 'later=behind', 'stuck=behind',
                      activation=['later=reboot', 'stuck=never'])
        booted = {h: fleet.boot_id(h) for h in fleet.names}
        run = fleet.rollout(vexor_reboot=True, vexor_serial=['100%'])
        self.assertRan(run, 2)
        self.assertEqual([h for h in fleet.names if fleet.boot_id(h) != booted[h]], ['behind', 'later', 'stuck'])
        self.assertEqual({h: n['failed'] for h, n in recap(run.stdout).items()},
                         {'behind': 0, 'newer': 0, 'later': 0, 'stuck': 1})
        self.assertIn('0000:05:00.0 runs 16.35.1012, not 16.35.2000', fleet.saved()['stuck']['check']['msg'])
        self.assertEqual(fleet.summary(), [('behind', '0000:05:00.0', 'flashed'), ('newer', '0000:05:00.0', 'unchanged'),
                                           ('later', '0000:05:00.0', 'flashed'), ('stuck', '0000:05:00.0', 'failed')])
        # Not asked: no reboot, and the adapter that runs its version only
        # after one is pending.
        fleet2 = Fleet(self, 'behind=behind', 'later=behind', activation=['later=reboot'])
        run2 = fleet2.rollout()
        self.assertRan(run2)
        self.assertEqual({h: fleet2.boot_id(h) for h in fleet2.names}, {'behind': '0', 'later': '0'})
        self.assertEqual(outcomes(fleet2.saved()), {'behind': [('0000:05:00.0', 'flashed')],
                                                    'later': [('0000:05:00.0', 'pending')]})
        self.assertTrue(all(s['result']['reboot_required'] for s in fleet2.saved().values()))

    def test_a_failure_in_any_batch_stops_every_later_batch(self):
        # b fails in the second batch, of two hosts: d and e are never queried.
        fleet = Fleet(self, 'a=behind', 'b=failing', 'c=behind', 'd=behind', 'e=behind')
        run = fleet.rollout(vexor_serial=[1, 2, '100%'])
        self.assertRan(run, 2)
        self.assertEqual([h for h in fleet.names if fleet.burns(h)], ['a', 'b', 'c'])
        for host in ('d', 'e'):
            self.assertEqual(fleet.journal(host), [], host)
        self.assertEqual(fleet.summary(), [('a', '0000:05:00.0', 'flashed'), ('b', '0000:05:00.0', 'failed'),
                                           ('c', '0000:05:00.0', 'flashed'), ('d', '', 'not reached'),
                                           ('e', '', 'not reached')])

    def test_an_unreachable_host_has_an_outcome_of_its_own_and_stops_the_later_batches(self):
        fleet = Fleet(self, 'a=behind', 'b=behind', 'c=behind', 'd=behind')
        fleet.unreachable('b')
        run = fleet.rollout(vexor_serial=[1, 2, '100%'])
        self.assertRan(run, 2)
        self.assertEqual(fleet.journal('d'), [])
        rows = fleet.summary()
        self.assertEqual(rows, [('a', '0000:05:00.0', 'flashed'), ('b', '', 'unreachable'),
                                ('c', '0000:05:00.0', 'flashed'), ('d', '', 'not reached')])
        with open(os.path.join(fleet.report, 'fleet-summary.txt')) as f:
            self.assertRegex(f.read(), r'(?m)^unreachable: b -: the host cannot be reached: .+')

    def test_hosts_are_selected_by_limit_and_retry_files_as_for_any_play(self):
        fleet = Fleet(self, 'one=behind', 'two=dual', 'three=behind')
        run = fleet.rollout('--limit', 'one,two')
        self.assertRan(run)
        self.assertEqual([h for h in fleet.names if fleet.burns(h)], ['one', 'two'])
        self.assertEqual(outcomes(fleet.saved()), {'one': [('0000:05:00.0', 'flashed')],
                                                   'two': [('0000:05:00.0', 'flashed'), ('0000:81:00.0', 'flashed')]})
        self.assertEqual(fleet.summary('--limit', 'one,two'), [('one', '0000:05:00.0', 'flashed'),
                                                               ('two', '0000:05:00.0', 'flashed'),
                                                               ('two', '0000:81:00.0', 'flashed')])
        retry = os.path.join(fleet.dir, 'retry')
        with open(retry, 'w') as f:
            f.write('three\n')
        self.assertRan(fleet.rollout('--limit', '@' + retry))
        self.assertEqual(outcomes(fleet.saved()), {'three': [('0000:05:00.0', 'flashed')]})
        # A group: one was not reached by the latest rollout.
        self.assertEqual(fleet.summary('--limit', 'sim_behind'), [('one', '', 'not reached'),
                                                                  ('three', '0000:05:00.0', 'flashed')])

    # The pin is the report's version, which -u burns.
    def test_pin_burns_the_pinned_image(self):
        fleet = Fleet(self, 'dual=dual')
        run = fleet.rollout(vexor_versions={'QRV0000000011': '16.34.1002'})
        self.assertRan(run)
        self.assertEqual(fleet.burns('dual'), [('0000:05:00.0', QX200_OLD), ('0000:81:00.0', QX100_NEW)])
        self.assertEqual(outcomes(fleet.saved()), {'dual': [('0000:05:00.0', 'flashed'), ('0000:81:00.0', 'flashed')]})

    # vexor's reason line ("no Quorvane adapter found") tells an empty host from a broken one.
    def test_host_without_adapters_is_no_failure(self):
        fleet = Fleet(self, 'none=none', 'behind=behind')
        run = fleet.rollout()
        self.assertRan(run)
        self.assertEqual(outcomes(fleet.saved()), {'none': [], 'behind': [('0000:05:00.0', 'flashed')]})
        self.assertRan(fleet.playbook('report'))
        with open(os.path.join(fleet.report, 'fleet-summary.csv')) as f:
            self.assertEqual([(r['host'], r['outcome']) for r in csv.DictReader(f)],
                             [('none', 'no adapter'), ('behind', 'flashed')])

    # A host whose adapter's PCI class cannot be read may well have adapters:
    # it fails, as the canary, and nothing after it is touched.
    def test_host_whose_devices_cannot_be_read_fails_and_stops_the_rollout(self):
        fleet = Fleet(self, 'sick=unread', 'behind=behind')
        run = fleet.rollout()
        self.assertRan(run, 2)
        self.assertEqual(recap(run.stdout)['sick']['failed'], 1)
        self.assertEqual(fleet.burns('sick'), [])
        self.assertEqual(fleet.journal('behind'), [])  # not even queried
        msg = fleet.saved()['sick']['result']['msg']
        self.assertIn('1 PCI function could not be read (0000:05:00.0)', msg)
        self.assertNotIn('no Quorvane adapter found', msg)
        self.assertEqual(fleet.summary(), [('sick', '', 'failed'), ('behind', '', 'not reached')])


if __name__ == '__main__':
    if sys.argv[1:] == ['--list']:  # one name a line, for the CTest registration
        print('\n'.join(unittest.TestLoader().getTestCaseNames(FleetTest)))
        sys.exit(0)
    unittest.main()
