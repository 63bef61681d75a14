# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT

import unittest

from ansible_collections.zentrik.vexor.plugins.module_utils.verdict import verdict
from ansible_collections.zentrik.vexor.tests.unit.plugins.fake_vexor import BEHIND, CURRENT


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
            # Burnt, still runs the installed version: runs the new one after a reboot.
            (upgrade, {BEHIND['address']: '16.35.1012'}, ['MAC %s Upgrade SUCCESS' % BEHIND['mac']], 'pending', None),
            # Compared as three numbers, as vexor compares them.
            (upgrade, {BEHIND['address']: '16.035.2000'}, [], 'flashed', None),
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
                self.assertEqual(result['reboot_required'], outcome in ('flashed', 'pending'))


if __name__ == '__main__':
    unittest.main()
