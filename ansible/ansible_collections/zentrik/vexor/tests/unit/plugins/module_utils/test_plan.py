# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT

import unittest

from ansible_collections.zentrik.vexor.plugins.module_utils.plan import make_plan
from ansible_collections.zentrik.vexor.tests.unit.plugins.fake_vexor import BEHIND, CURRENT, NEWER, UNKNOWN


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


if __name__ == '__main__':
    unittest.main()
