# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT

import os
import tempfile
import unittest

from ansible_collections.zentrik.vexor.plugins.module_utils.report import edit_report, read_report, write_report
from ansible_collections.zentrik.vexor.tests.unit.plugins.fake_vexor import BEHIND, CURRENT, NEWER, report_xml


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


if __name__ == '__main__':
    unittest.main()
