# -*- coding: utf-8 -*-
# vexor_info and vexor_update run as Ansible runs them, with vexor replaced
# by the fake behind run_command.

import json
import os
import shutil
import tempfile
import unittest

from ansible.module_utils import basic
from ansible.module_utils.common.text.converters import to_bytes

from ansible_collections.zentrik.vexor.plugins.modules import vexor_info, vexor_update
from ansible_collections.zentrik.vexor.tests.unit.plugins.fake_vexor import FakeVexor, adapter, install

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

    def assertLeftNothingBehind(self):
        self.assertEqual(sorted(f for f in os.listdir(self.dir) if f != 'pyxflash.log'), ['nicdiscovery.xml'])
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
                                        'to': '16.35.2000', 'action': 'upgrade'}])
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
        self.assertLeftNothingBehind()

    def test_verdict_comes_from_the_discovery_not_from_the_apply_status(self):
        cases = [
            # (burn behaviour, -u status, fails, outcome, changed)
            ('fail', 0, True, 'failed', False),   # -u says 0 although the burn failed
            ('stale', 0, True, 'failed', False),  # logged a success, still runs the old version
            ('ok', 2, False, 'flashed', True),    # -u says 2 although the burn succeeded
        ]
        for burn, status, fails, outcome, changed in cases:
            with self.subTest(burn=burn, status=status):
                adapters = [adapter('0000:05:00.0', '16.35.1012', '16.35.2000', 'upgrade', burn=burn)]
                fake = FakeVexor(self.dir, adapters, u_status=status)
                failed, out = self.run_module(vexor_update, fake)
                self.assertEqual(failed, fails)
                self.assertEqual(out['results'][0]['outcome'], outcome)
                self.assertEqual(out['changed'], changed)
                if fails:
                    self.assertIn('0000:05:00.0', out['msg'])
                    self.assertIn('runs 16.35.1012 after the burns, not 16.35.2000', out['msg'])

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

    def test_exclusions_are_matched_in_any_case(self):
        fake = FakeVexor(self.dir, [adapter('0000:af:00.0', '16.35.1012', '16.35.2000', 'upgrade')])
        failed, out = self.run_module(vexor_update, fake, exclude=['0000:AF:00.0'])
        self.assertFalse(failed)
        self.assertEqual(out['results'][0]['outcome'], 'skipped')
        self.assertEqual(self.modes(fake), ['-d'])


if __name__ == '__main__':
    unittest.main()
