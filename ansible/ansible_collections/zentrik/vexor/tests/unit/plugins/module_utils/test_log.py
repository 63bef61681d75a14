# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT

import os
import tempfile
import unittest

from ansible_collections.zentrik.vexor.plugins.module_utils.log import log_by_device, log_since
from ansible_collections.zentrik.vexor.tests.unit.plugins.fake_vexor import BEHIND, CURRENT


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


if __name__ == '__main__':
    unittest.main()
