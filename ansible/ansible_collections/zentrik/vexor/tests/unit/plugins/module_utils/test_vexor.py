# -*- coding: utf-8 -*-

import os
import tempfile
import unittest

from ansible_collections.zentrik.vexor.plugins.module_utils.vexor import (
    edit_report, log_by_device, log_since, make_plan, read_report, verdict, write_report)
from ansible_collections.zentrik.vexor.tests.unit.plugins.fake_vexor import adapter, report_xml


def parsed(adapters):
    """The adapters as read_report gives them back from a report vexor wrote."""
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, 'r.xml')
        with open(path, 'w') as f:
            f.write(report_xml(adapters))
        return read_report(path)[1]


# One host with a device of every action.
BEHIND, CURRENT, NEWER, UNKNOWN = parsed([
    adapter('0000:05:00.0', '16.35.1012', '16.35.2000', 'upgrade', psid='P-BEHIND'),
    adapter('0000:06:00.0', '16.35.2000', '16.35.2000', 'rewrite', psid='P-CURRENT'),
    adapter('0000:07:00.0', '16.36.1000', '16.35.2000', 'downgrade', psid='P-NEWER'),
    adapter('0000:08:00.0', '1.2.3', '', 'Nothing', psid='P-UNKNOWN')])


class PlanTest(unittest.TestCase):
    def test_plan_table(self):
        devices = [BEHIND, CURRENT, NEWER, UNKNOWN]
        cases = [
            # (allow, exclude, versions) -> planned (address, target, action), outcomes of the rest
            ((['upgrade'], [], {}),
             [('0000:05:00.0', '16.35.2000', 'upgrade')],
             {'0000:06:00.0': 'unchanged', '0000:07:00.0': 'unchanged', '0000:08:00.0': 'unchanged'}),
            ((['upgrade', 'rewrite', 'downgrade'], [], {}),
             [('0000:05:00.0', '16.35.2000', 'upgrade'), ('0000:06:00.0', '16.35.2000', 'rewrite'),
              ('0000:07:00.0', '16.35.2000', 'downgrade')],
             {'0000:08:00.0': 'unchanged'}),
            (([], [], {}), [], {'0000:05:00.0': 'skipped', '0000:06:00.0': 'unchanged',
                                '0000:07:00.0': 'unchanged', '0000:08:00.0': 'unchanged'}),
            ((['upgrade'], ['0000:05:00.0', '0000:06:00.0'], {}), [],
             {'0000:05:00.0': 'skipped', '0000:06:00.0': 'unchanged', '0000:07:00.0': 'unchanged',
              '0000:08:00.0': 'unchanged'}),
            # Pins override the action both ways; a met pin holds back an upgrade.
            ((['upgrade'], [], {'P-CURRENT': '16.34.1002', 'P-NEWER': '16.36.2000', 'P-BEHIND': '16.35.1012',
                                'P-ABSENT': '9.9.9'}),
             [('0000:06:00.0', '16.34.1002', 'downgrade'), ('0000:07:00.0', '16.36.2000', 'upgrade')],
             {'0000:05:00.0': 'unchanged', '0000:08:00.0': 'unchanged'}),
            # A pin on a board the catalog lacks is still tried (and fails in the verdict).
            ((['upgrade'], ['0000:06:00.0'], {'P-UNKNOWN': '1.2.4', 'P-CURRENT': '16.34.1002'}),
             [('0000:05:00.0', '16.35.2000', 'upgrade'), ('0000:08:00.0', '1.2.4', 'upgrade')],
             {'0000:06:00.0': 'skipped', '0000:07:00.0': 'unchanged'}),
        ]
        for (allow, exclude, versions), planned, left in cases:
            with self.subTest(allow=allow, exclude=exclude, versions=versions):
                plan, rest = make_plan(devices, allow, exclude, versions)
                self.assertEqual([(p['address'], p['to'], p['action']) for p in plan], planned)
                self.assertEqual(rest, left)
                for p in plan:
                    self.assertEqual(p['from'], [d for d in devices if d['address'] == p['address']][0]['installed'])


class ReportTest(unittest.TestCase):
    def test_edited_report_holds_only_the_planned_devices_with_their_targets(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, 'r.xml')
            with open(path, 'w') as f:
                f.write(report_xml([dict(x, burn='ok') for x in (BEHIND, CURRENT, NEWER)]))
            tree, devices = read_report(path)
            self.assertEqual(devices, [BEHIND, CURRENT, NEWER])
            plan = {NEWER['address']: {'to': '16.34.1002', 'action': 'downgrade'}}
            write_report(edit_report(tree, plan), path)
            with open(path, 'rb') as f:
                self.assertTrue(f.read().startswith(b"<?xml version='1.0' encoding='UTF-8'?>"))
            self.assertEqual(read_report(path)[1], [dict(NEWER, available='16.34.1002', action='downgrade')])

    def test_unreadable_report_is_an_error(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, 'r.xml')
            with open(path, 'w') as f:
                f.write('<zk_rom_discovery><devices>')
            with self.assertRaisesRegex(Exception, 'cannot read the discovery report'):
                read_report(path)


class LogTest(unittest.TestCase):
    def test_lines_since_the_offset(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, 'pyxflash.log')
            self.assertEqual(log_since(path, 0), [])
            with open(path, 'w') as f:
                f.write('old\n\n')
            offset = os.path.getsize(path)
            with open(path, 'a') as f:
                f.write('new one\n\n new two \n')
            self.assertEqual(log_since(path, offset), ['new one', ' new two'])
            # A log that shrank (rotated) during the run is read from its start.
            self.assertEqual(log_since(path, 10 ** 6), ['old', 'new one', ' new two'])

    def test_lines_are_given_to_the_device_they_follow(self):
        devices = [dict(BEHIND, mac='00aa'), dict(CURRENT, mac='00bb')]
        lines = ['The Firmware Upgrade will take several minutes.',
                 'Burning 0000:05:00.0 with ./nic_fw/x.bin, output in /tmp/dataA',
                 'Upgrade failed',
                 'Burning 0000:06:00.0 with ./nic_fw/y.bin, output in /tmp/dataB',
                 'MAC 00bb Upgrade SUCCESS']
        run, by_device = log_by_device(lines, devices)
        self.assertEqual(run, lines[:1])
        self.assertEqual(by_device, {'0000:05:00.0': lines[1:3], '0000:06:00.0': lines[3:]})


class VerdictTest(unittest.TestCase):
    def test_outcomes(self):
        upgrade = {'address': BEHIND['address'], 'from': '16.35.1012', 'to': '16.35.2000'}
        rewrite = {'address': CURRENT['address'], 'from': '16.35.2000', 'to': '16.35.2000'}
        success = 'MAC %s Upgrade SUCCESS' % CURRENT['mac']
        cases = [
            # (plan entry, versions found afterwards or None, log lines) -> outcome, reason
            (upgrade, {BEHIND['address']: '16.35.2000'}, [], 'flashed', None),
            (upgrade, {BEHIND['address']: '16.34.1002'}, [], 'failed', 'runs 16.34.1002 after the burns, not 16.35.2000'),
            (upgrade, {}, [], 'failed', 'not found by the discovery after the burns'),
            (upgrade, None, [], 'failed', 'no discovery after the burns'),
            (rewrite, {CURRENT['address']: '16.35.2000'}, [success], 'flashed', None),
            (rewrite, {CURRENT['address']: '16.35.2000'}, [], 'failed', 'no successful burn logged'),
            (upgrade, {BEHIND['address']: '16.35.1012'},
             ['[INFO]      [Tue Dec  8 03:00:00 2026] Burning %s' % BEHIND['address'],
              '[ERROR]     [Tue Dec  8 03:00:00 2026] Upgrade failed'],
             'failed', 'runs 16.35.1012 after the burns, not 16.35.2000 (pyxflash.log: Upgrade failed)'),
        ]
        for entry, found, lines, outcome, reason in cases:
            with self.subTest(entry=entry['address'], found=found, lines=lines):
                device = BEHIND if entry is upgrade else CURRENT
                after = None if found is None else [dict(device, installed=v) for v in found.values()]
                result, = verdict([entry], {}, [device], after, lines)
                self.assertEqual((result['outcome'], result.get('reason')), (outcome, reason))
                self.assertEqual(result['reboot_required'], outcome == 'flashed')


if __name__ == '__main__':
    unittest.main()
