# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
# vexor_info and vexor_update run as Ansible runs them, with vexor replaced
# by the fake behind run_command.

import errno
import json
import os
import shutil
import tempfile
import unittest
from unittest import mock

from ansible.module_utils import basic
from ansible.module_utils.common.text.converters import to_bytes

from ansible_collections.zentrik.vexor.plugins.modules import vexor_info, vexor_update
from ansible_collections.zentrik.vexor.plugins.module_utils import runner
from ansible_collections.zentrik.vexor.tests.unit.plugins.fake_vexor import (
    FakeVexor, adapter, install, report_xml, write_catalog)

LOCK_HELD = 'vexor: another vexor run (pid 4242) is using the adapters'


class Exit(Exception):
    pass


class Fail(Exception):
    pass


def _exit(self, **kwargs):
    raise Exit(kwargs)


def _fail(self, **kwargs):
    raise Fail(kwargs)


class ModuleCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)
        for name, replacement in (('exit_json', _exit), ('fail_json', _fail)):
            self.addCleanup(setattr, basic.AnsibleModule, name, getattr(basic.AnsibleModule, name))
            setattr(basic.AnsibleModule, name, replacement)
        # The operator's own report, which no module may touch.
        with open(os.path.join(self.dir, 'nicdiscovery.xml'), 'w') as f:
            f.write('operator')

    def run_module(self, module, fake, check=False, diff=False, **params):
        install(self, fake)
        params.setdefault('dir', self.dir)
        params.update(_ansible_check_mode=check, _ansible_diff=diff, _ansible_remote_tmp=self.dir,
                      _ansible_keep_remote_files=False)
        basic._ANSIBLE_ARGS = to_bytes(json.dumps({'ANSIBLE_MODULE_ARGS': params}))
        try:
            module.main()
        except Exit as e:
            return False, e.args[0]
        except Fail as e:
            return True, e.args[0]
        finally:
            basic._ANSIBLE_ARGS = None
        self.fail('the module returned without exit_json or fail_json')

    def assertLeftNothingBehind(self, catalog=False):
        self.assertEqual(sorted(f for f in os.listdir(self.dir) if f != 'pyxflash.log'),
                         ['nic_fw', 'nicdiscovery.xml'] if catalog else ['nicdiscovery.xml'])
        with open(os.path.join(self.dir, 'nicdiscovery.xml')) as f:
            self.assertEqual(f.read(), 'operator')


def fleet_host():
    return [adapter('0000:05:00.0', '16.35.1012', '16.35.2000', 'upgrade'),
            adapter('0000:81:00.0', '2.42.5000', '2.42.5000', 'rewrite', psid='QRV0000000022'),
            adapter('0000:82:00.0', '2.50.0', '2.42.5000', 'downgrade', psid='QRV0000000033')]


class InfoTest(ModuleCase):
    def test_lists_the_devices_and_changes_nothing(self):
        fake = FakeVexor(self.dir, fleet_host())
        failed, out = self.run_module(vexor_info, fake, check=True, command_prefix=['wrap', '--in'])
        self.assertFalse(failed)
        self.assertFalse(out['changed'])
        self.assertEqual([(d['address'], d['installed'], d['available'], d['action']) for d in out['devices']],
                         [('0000:05:00.0', '16.35.1012', '16.35.2000', 'upgrade'),
                          ('0000:81:00.0', '2.42.5000', '2.42.5000', 'rewrite'),
                          ('0000:82:00.0', '2.50.0', '2.42.5000', 'downgrade')])
        self.assertEqual(out['devices'][0]['psid'], 'QRV0000000011')
        self.assertEqual(out['devices'][0]['interface'], 'ens00')
        self.assertEqual([c[:4] for c in fake.calls], [['wrap', '--in', './vexor', '-d']])
        self.assertLeftNothingBehind()

    def test_reasons(self):
        cases = [
            # (status, standard error, fails, text the failure must carry)
            (2, 'vexor: no Quorvane adapter found (see pyxflash.log)\n', False, None),
            (2, 'vexor: adapters found, but no usable adapter: nic_fw/pyxflash cannot be run\n', True,
             'no usable adapter'),
            (1, 'vexor: the firmware catalog nic_fw/NICFWData.xml is missing\n', True, 'catalog'),
            (1, LOCK_HELD + '\n', True, LOCK_HELD),
            # Devices vexor could not read: never taken for a host without adapters.
            (2, 'vexor: 1 PCI function could not be read (0000:05:00.0); none of the 1 network and '
                'InfiniBand devices read is a Quorvane adapter, but those may be (see pyxflash.log)\n',
             True, 'could not be read (0000:05:00.0)'),
            # A vexor without reason lines: the status and what it means.
            (2, '', True, 'vexor -d ended with status 2 (no usable adapter'),
        ]
        for status, stderr, fails, text in cases:
            with self.subTest(stderr=stderr or status):
                fake = FakeVexor(self.dir, fleet_host(), d_failure=(status, stderr))
                failed, out = self.run_module(vexor_info, fake)
                self.assertEqual(failed, fails)
                if fails:
                    self.assertIn(text, out['msg'])
                    self.assertIn('discovery log line', out['msg'])  # the run's log lines
                    self.assertEqual(out['rc'], status)
                else:
                    self.assertEqual(out['devices'], [])
                self.assertLeftNothingBehind()

    def test_missing_component_directory_fails_before_running_anything(self):
        fake = FakeVexor(self.dir, fleet_host())
        failed, out = self.run_module(vexor_info, fake, dir=os.path.join(self.dir, 'nowhere'))
        self.assertTrue(failed)
        self.assertIn('does not exist', out['msg'])
        self.assertEqual(fake.calls, [])


class UpdateTest(ModuleCase):
    def modes(self, fake):
        return [c[c.index('./vexor') + 1] for c in fake.calls]

    def test_check_mode_returns_the_plan_and_burns_nothing(self):
        fake = FakeVexor(self.dir, fleet_host())
        failed, out = self.run_module(vexor_update, fake, check=True, diff=True)
        self.assertFalse(failed)
        self.assertTrue(out['changed'])
        self.assertEqual(self.modes(fake), ['-d'])
        self.assertEqual(out['plan'], [{'address': '0000:05:00.0', 'psid': 'QRV0000000011', 'from': '16.35.1012',
                                        'to': '16.35.2000', 'action': 'upgrade', 'pinned': False}])
        self.assertEqual([(r['address'], r['outcome']) for r in out['results']],
                         [('0000:05:00.0', 'planned'), ('0000:81:00.0', 'unchanged'), ('0000:82:00.0', 'unchanged')])
        self.assertEqual(out['diff']['before'], '0000:05:00.0 QRV0000000011: 16.35.1012\n')
        self.assertEqual(out['diff']['after'], '0000:05:00.0 QRV0000000011: 16.35.2000\n')
        self.assertLeftNothingBehind()

    def test_nothing_to_do_burns_nothing_and_changes_nothing(self):
        fake = FakeVexor(self.dir, fleet_host())
        failed, out = self.run_module(vexor_update, fake, exclude=['0000:05:00.0'])
        self.assertFalse(failed)
        self.assertFalse(out['changed'])
        self.assertEqual(self.modes(fake), ['-d'])
        self.assertEqual([r['outcome'] for r in out['results']], ['skipped', 'unchanged', 'unchanged'])

    def test_flashes_the_plan_with_the_pins_and_verifies(self):
        write_catalog(self.dir, [('QRV0000000033', '2.42.5000'), ('QRV0000000011', '16.35.1012')])
        fake = FakeVexor(self.dir, fleet_host())
        failed, out = self.run_module(vexor_update, fake, diff=True, allow=['upgrade', 'rewrite'],
                                      versions={'QRV0000000033': '2.42.5000', 'QRV0000000011': '16.35.1012'})
        self.assertFalse(failed, out.get('msg'))
        self.assertEqual(self.modes(fake), ['-d', '-u', '-d'])
        # -u was given only the planned devices, each with its target as the version.
        applied = [(d.find('busnumber').get('value'), d.find('fw_item/version').get('value'),
                    d.find('fw_item/action').get('value')) for d in fake.applied[0].getroot().iter('device')]
        self.assertEqual(applied, [('0000:81', '2.42.5000', 'rewrite'), ('0000:82', '2.42.5000', 'downgrade')])
        self.assertEqual([(r['address'], r['outcome'], r['to']) for r in out['results']],
                         [('0000:05:00.0', 'unchanged', '16.35.1012'),  # at its pin
                          ('0000:81:00.0', 'flashed', '2.42.5000'),
                          ('0000:82:00.0', 'flashed', '2.42.5000')])
        self.assertTrue(out['changed'])
        self.assertTrue(out['reboot_required'])
        self.assertEqual(out['diff']['after'], '0000:81:00.0 QRV0000000022: 2.42.5000\n'
                                               '0000:82:00.0 QRV0000000033: 2.42.5000\n')
        self.assertTrue(any('Upgrade SUCCESS' in line for line in out['results'][2]['log']))
        self.assertLeftNothingBehind(catalog=True)

    def test_a_discovery_handed_over_by_the_action_replaces_the_first_one(self):
        fake = FakeVexor(self.dir, fleet_host())
        handed = {'report': report_xml(fleet_host()), 'log': ['[INFO] the action\'s discovery']}
        failed, out = self.run_module(vexor_update, fake, _discovery=handed)
        self.assertFalse(failed, out.get('msg'))
        self.assertEqual(self.modes(fake), ['-u', '-d'])
        self.assertEqual([(r['address'], r['outcome']) for r in out['results']],
                         [('0000:05:00.0', 'flashed'), ('0000:81:00.0', 'unchanged'), ('0000:82:00.0', 'unchanged')])
        self.assertEqual(out['log'][0], "[INFO] the action's discovery")
        for broken in ({'log': []}, {'report': '<zk_rom_discovery>'}):
            with self.subTest(broken=broken):
                fake = FakeVexor(self.dir, fleet_host())
                failed, out = self.run_module(vexor_update, fake, _discovery=broken)
                self.assertTrue(failed)
                self.assertIn('the discovery handed over is not one', out['msg'])
                self.assertEqual(self.modes(fake), [])

    def test_verdict_comes_from_the_discovery_and_every_burn_is_a_change(self):
        cases = [
            # (burn behaviour, -u status, allow) -> fails, outcome, changed, reboot required
            ('fail', 0, ['upgrade'], True, 'failed', True, False),    # -u says 0 although the burn failed
            ('later', 0, ['upgrade'], False, 'pending', True, True),  # logged a success, runs it after a reboot
            ('ok', 2, ['upgrade'], False, 'flashed', True, True),     # -u says 2 although the burn succeeded
            ('ok', 0, ['rewrite'], False, 'flashed', True, True),     # a rewrite changes no version, yet burns
            ('fail', 0, ['rewrite'], True, 'failed', True, False),
        ]
        for burn, status, allow, fails, outcome, changed, reboot in cases:
            with self.subTest(burn=burn, status=status, allow=allow):
                installed = '16.35.2000' if 'rewrite' in allow else '16.35.1012'
                action = 'rewrite' if 'rewrite' in allow else 'upgrade'
                adapters = [adapter('0000:05:00.0', installed, '16.35.2000', action, burn=burn)]
                fake = FakeVexor(self.dir, adapters, u_status=status)
                failed, out = self.run_module(vexor_update, fake, allow=allow)
                self.assertEqual(failed, fails)
                self.assertEqual(out['results'][0]['outcome'], outcome)
                self.assertEqual((out['changed'], out['reboot_required']), (changed, reboot))
                # Check mode promises the same change.
                self.assertTrue(self.run_module(vexor_update, FakeVexor(self.dir, adapters), check=True,
                                                allow=allow)[1]['changed'])
                if fails:
                    self.assertIn('0000:05:00.0', out['msg'])
                    self.assertIn('runs %s after the burns, not 16.35.2000' % installed
                                  if action == 'upgrade' else 'no successful burn logged', out['msg'])

    def test_pins_compare_as_three_numbers_and_the_catalog_must_hold_them(self):
        write_catalog(self.dir, [('QRV0000000011', '16.35.2000'), ('QRV0000000011', '16.34.1002')])
        cases = [
            # (installed, pin, check mode) -> modes run, failure text, outcome, version written for -u
            ('16.35.2000', '16.035.2000', False, ['-d'], None, 'unchanged', None),
            ('16.35.1012', '16.035.2000', False, ['-d', '-u', '-d'], None, 'flashed', '16.35.2000'),
            ('16.35.1012', '16.99.1', True, ['-d'], 'the catalog holds no 16.99.1 for QRV0000000011', None, None),
            ('16.35.1012', '16.99.1', False, ['-d'], 'the catalog holds no 16.99.1 for QRV0000000011', None, None),
            ('16.35.1012', '16.34.01002', True, ['-d'], None, 'planned', None),
        ]
        for installed, pin, check, modes, failure, outcome, written in cases:
            with self.subTest(installed=installed, pin=pin, check=check):
                fake = FakeVexor(self.dir, [adapter('0000:05:00.0', installed, '16.35.2000', 'upgrade')])
                failed, out = self.run_module(vexor_update, fake, check=check, versions={'QRV0000000011': pin})
                self.assertEqual(self.modes(fake), modes)
                self.assertEqual(failed, failure is not None, out.get('msg'))
                if failure:
                    self.assertIn(failure, out['msg'])
                else:
                    self.assertEqual(out['results'][0]['outcome'], outcome)
                if written:
                    self.assertEqual(fake.applied[0].find('.//fw_item/version').get('value'), written)

    def test_failures_around_the_burns_are_named(self):
        cases = [
            (dict(u_failure=(1, LOCK_HELD + '\n')), [LOCK_HELD, '0000:05:00.0']),
            (dict(d_failure_after_u=(1, LOCK_HELD + '\n')), ['no discovery after the burns', LOCK_HELD]),
        ]
        for failures, texts in cases:
            with self.subTest(failures=failures):
                fake = FakeVexor(self.dir, [adapter('0000:05:00.0', '16.35.1012', '16.35.2000', 'upgrade')], **failures)
                failed, out = self.run_module(vexor_update, fake)
                self.assertTrue(failed)
                for text in texts:
                    self.assertIn(text, out['msg'])
                self.assertEqual(out['results'][0]['outcome'], 'failed')
                self.assertLeftNothingBehind()

    def test_bad_options_fail_before_vexor_runs(self):
        for params, text in ((dict(exclude=['05:00.0']), 'exclude'),
                             (dict(versions={'QRV0000000011': '16.35'}), 'not a version'),
                             (dict(allow=['everything']), 'allow')):
            with self.subTest(params=params):
                fake = FakeVexor(self.dir, fleet_host())
                failed, out = self.run_module(vexor_update, fake, **params)
                self.assertTrue(failed)
                self.assertIn(text, out['msg'])
                self.assertEqual(fake.calls, [])

    def test_exclusions_are_matched_in_any_case_and_by_board(self):
        cases = [
            # (exclude) -> outcome of the first function of a dual-port board
            (['0000:AF:00.0'], 'skipped'),
            (['0000:af:00.1'], 'skipped'),  # the second function: vexor lists only the first
            (['0000:af:01.0'], 'flashed'),  # another board
        ]
        for exclude, outcome in cases:
            with self.subTest(exclude=exclude):
                fake = FakeVexor(self.dir, [adapter('0000:af:00.0', '16.35.1012', '16.35.2000', 'upgrade')])
                failed, out = self.run_module(vexor_update, fake, exclude=exclude)
                self.assertFalse(failed, out.get('msg'))
                self.assertEqual(out['results'][0]['outcome'], outcome)
                self.assertEqual(len(fake.applied), outcome == 'flashed')

    def test_unwritable_component_directory_fails_with_a_message(self):
        for module in (vexor_info, vexor_update):
            with self.subTest(module=module.__name__):
                fake = FakeVexor(self.dir, fleet_host())
                with mock.patch.object(runner.tempfile, 'mkstemp',
                                       side_effect=OSError(errno.EROFS, 'Read-only file system')):
                    failed, out = self.run_module(module, fake)
                self.assertTrue(failed)
                self.assertEqual(out['msg'], 'cannot create a report in the vexor component directory %s: '
                                             'Read-only file system' % self.dir)
                self.assertEqual(fake.calls, [])


class TimeLimitTest(ModuleCase):
    def test_limits_reach_vexor_and_bound_each_run(self):
        adapters = [adapter('0000:05:00.0', '16.35.1012', '16.35.2000', 'upgrade'),
                    adapter('0000:06:00.0', '16.35.1012', '16.35.2000', 'upgrade')]
        cases = [
            # (options) -> environment, limit of -d after the first, limit of -u
            ({}, {}, 2 * 3 * 60 + 60, 2 * 3 * 60 + 2 * 1800 + 60),
            (dict(query_timeout=5, burn_timeout=100), {'VEXOR_QUERY_TIMEOUT': '5', 'VEXOR_BURN_TIMEOUT': '100'},
             2 * 3 * 5 + 60, 2 * 3 * 5 + 2 * 100 + 60),
        ]
        for options, env, d_limit, u_limit in cases:
            with self.subTest(options=options):
                fake = FakeVexor(self.dir, [dict(a) for a in adapters])
                failed, out = self.run_module(vexor_update, fake, **options)
                self.assertFalse(failed, out.get('msg'))
                self.assertEqual([mode for mode, _, _ in fake.runs], ['-d', '-u', '-d'])
                self.assertTrue(all(e == env for _, e, _ in fake.runs))
                self.assertEqual([limit for _, _, limit in fake.runs[1:]], [u_limit, d_limit])

    def test_a_run_past_its_limit_fails_the_host_with_vexors_reason(self):
        fake = FakeVexor(self.dir, [adapter('0000:05:00.0', '16.35.1012', '16.35.2000', 'upgrade')], u_hangs=True)
        failed, out = self.run_module(vexor_update, fake, burn_timeout=10)
        self.assertTrue(failed)
        self.assertIn('vexor -u did not end within 250 s and was sent SIGTERM '
                      '(vexor: stopping after the burn of 0000:05:00.0)', out['msg'])
        self.assertEqual(out['results'][0]['outcome'], 'failed')
        self.assertTrue(out['changed'])  # the burn had started
        self.assertEqual(self.modes(fake), ['-d', '-u'])  # no discovery while the burn may go on

    def test_bad_limits_fail_before_vexor_runs(self):
        for module in (vexor_info, vexor_update):
            with self.subTest(module=module.__name__):
                fake = FakeVexor(self.dir, fleet_host())
                failed, out = self.run_module(module, fake, query_timeout=0)
                self.assertTrue(failed)
                self.assertIn('query_timeout: 0 is not a positive number of seconds', out['msg'])
                self.assertEqual(fake.calls, [])

    def modes(self, fake):
        return [c[c.index('./vexor') + 1] for c in fake.calls]


class RunProcessTest(unittest.TestCase):
    def test_a_process_past_its_limit_gets_sigterm_and_is_not_left_running(self):
        with tempfile.TemporaryDirectory() as d:
            rc, _, err, timed_out = runner.run_process(
                ['/bin/sh', '-c', 'echo "vexor: burning" >&2; exec sleep 30'], d, {'VEXOR_BURN_TIMEOUT': '7'}, 0.5)
            self.assertEqual((rc, timed_out, err), (-15, True, 'vexor: burning\n'))
            rc, out, _, timed_out = runner.run_process(['/bin/sh', '-c', 'echo $VEXOR_BURN_TIMEOUT'], d,
                                                       {'VEXOR_BURN_TIMEOUT': '7'}, 5)
            self.assertEqual((rc, out, timed_out), (0, '7\n', False))


if __name__ == '__main__':
    unittest.main()
