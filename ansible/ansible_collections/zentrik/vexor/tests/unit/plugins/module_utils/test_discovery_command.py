# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
# The discovery as one shell command (what vexor_update's action runs
# before it decides whether the module is needed), run by /bin/sh against a
# stand-in for vexor, and read back as Vexor.discover reads its own.

import os
import stat
import subprocess
import tempfile
import unittest

from ansible_collections.zentrik.vexor.plugins.module_utils.runner import (
    VexorError, discovery_command, discovery_output)
from ansible_collections.zentrik.vexor.tests.unit.plugins.fake_vexor import adapter, report_xml

BANNER = '#####\nZentrik Quorvane utility\n#####\n\n'
REPORT = ('<?xml version="1.0" encoding="UTF-8"?>\n'
          + report_xml([adapter('0000:05:00.0', '16.35.1012', '16.35.2000', 'upgrade')]))


def stand_in(body):
    """A ./vexor that checks its arguments, then runs body (sh)."""
    return ('#!/bin/sh\n[ "$*" = "-d /dev/stdout" ] || { echo "vexor: called with $*" >&2; exit 64; }\n'
            + body)


class DiscoveryCommandTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(subprocess.run, ['rm', '-rf', self.dir])

    def discover(self, body, directory=None, prefix=(), env=None, limit=30, log=None):
        if log is not None:
            with open(os.path.join(self.dir, 'pyxflash.log'), 'w') as f:
                f.write(log)
        path = os.path.join(self.dir, 'vexor')
        with open(path, 'w') as f:
            f.write(stand_in(body))
        os.chmod(path, stat.S_IRWXU)
        with open(os.path.join(self.dir, 'report.xml'), 'w') as f:
            f.write(REPORT)
        command = discovery_command(directory or self.dir, list(prefix), env or {}, limit)
        ran = subprocess.run(['/bin/sh', '-c', command], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             universal_newlines=True, errors='surrogateescape')
        return discovery_output(ran.returncode, ran.stdout, ran.stderr)

    def test_outcomes(self):
        cases = [
            # (name, body of ./vexor, log before, devices' addresses or None, log lines)
            ('report after the banner', f"printf '{BANNER}'; cat report.xml; echo '[INFO] new' >> pyxflash.log",
             '[INFO] old\n', ['0000:05:00.0'], ['[INFO] new']),
            ('no log yet', f"printf '{BANNER}'; cat report.xml", None, ['0000:05:00.0'], []),
            ('a log that shrank is read whole', "cat report.xml; echo '[INFO] rotated' > pyxflash.log",
             '[INFO] a long earlier line\n', ['0000:05:00.0'], ['[INFO] rotated']),
            ('no adapter of the vendor',
             "echo 'vexor: no Quorvane adapter found among the 1 network devices' >&2; exit 1",
             '', [], []),
        ]
        for name, body, log, addresses, lines in cases:
            with self.subTest(name):
                tree, devices, added = self.discover(body, log=log)
                self.assertEqual([d['address'] for d in devices], addresses)
                self.assertEqual(added, lines)
                self.assertEqual(tree is None, not addresses)

    def test_failures_carry_vexor_s_reason(self):
        cases = [
            ("echo '[ERROR] x' >> pyxflash.log; echo 'vexor: 1 PCI function could not be read (0000:05:00.0)' >&2; "
             "exit 2", 'vexor: 1 PCI function could not be read (0000:05:00.0) (pyxflash.log: [ERROR] x)'),
            ("echo 'not a report'", 'cannot read the discovery report vexor -d wrote on standard output'),
            ('exit 2', 'vexor -d ended with status 2 (no usable adapter, or the report could not be saved)'),
        ]
        for body, msg in cases:
            with self.subTest(msg):
                with self.assertRaises(VexorError) as caught:
                    self.discover(body, log='')
                self.assertIn(msg, caught.exception.msg)

    def test_left_to_the_module_when_the_discovery_did_not_run_as_its_own(self):
        cases = [
            ('no such directory', dict(directory='/nonexistent/vexor')),
            ('a command prefix that is not there', dict(prefix=['/nonexistent/wrapper'])),
            ('the time limit', dict(limit=1)),
        ]
        for name, how in cases:
            with self.subTest(name):
                self.assertIsNone(self.discover('sleep 5; cat report.xml', **how))

    def test_prefix_and_limits_reach_vexor_as_in_the_module(self):
        body = ('[ "$VEXOR_QUERY_TIMEOUT" = 7 ] && [ "$WRAPPED" = yes ] || exit 3; '
                f"printf '{BANNER}'; cat report.xml")
        _, devices, _ = self.discover(body, prefix=['env', 'WRAPPED=yes'], env={'VEXOR_QUERY_TIMEOUT': '7'})
        self.assertEqual([d['address'] for d in devices], ['0000:05:00.0'])


if __name__ == '__main__':
    unittest.main()
