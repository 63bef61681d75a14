# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT

import importlib.util
import json
import os
import sys
import tempfile
import unittest
from unittest import mock

from ansible.errors import AnsibleConnectionFailure
from ansible.playbook.play_context import PlayContext

PLUGIN_UTILS = 'ansible_collections.zentrik.vexor.plugins.plugin_utils'


def load(name):
    """plugin_utils/NAME.py, loaded from its file under its collection name:
    once the action machinery is imported, Ansible's collection finder
    handles imports by collection name, and it knows no collection here."""
    found = importlib.util.spec_from_file_location(
        f'{PLUGIN_UTILS}.{name}', os.path.join(os.path.dirname(__file__), *['..'] * 4, 'plugins', 'plugin_utils',
                                               name + '.py'))
    module = sys.modules[found.name] = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


keep = load('keep')
VexorAction = load('vexor_action').VexorAction


class KeepTest(unittest.TestCase):
    def test_no_host_name_leads_out_of_the_directory(self):
        with tempfile.TemporaryDirectory() as d:
            kept = os.path.join(d, 'hosts')
            for host in ('../../../out/escaped', '..', '.hidden', 'a/b', 'web1.example.net', '/etc/passwd'):
                with self.subTest(host=host):
                    path = keep.host_file(kept, host)
                    self.assertEqual(os.path.dirname(path), kept)
                    self.assertFalse(os.path.basename(path).startswith('.'))
                    keep.keep(path, {'host': host})
                    self.assertEqual(keep.read_kept(path), {'host': host})
            self.assertEqual(sorted(os.listdir(d)), ['hosts'])

    def test_a_failed_write_leaves_no_temporary_file(self):
        with tempfile.TemporaryDirectory() as d:
            with self.assertRaises(TypeError):
                keep.keep(os.path.join(d, 'h.json'), {'not json': object()})
            self.assertEqual(os.listdir(d), [])


def action(kept_as, args, outcome):
    """A VexorAction whose module run returns outcome, or raises it."""
    task = mock.MagicMock(async_val=0, args=args, check_mode=False)
    cls = type('Action', (VexorAction,), {'KEPT_AS': kept_as})
    act = cls(task, mock.MagicMock(), PlayContext(), loader=None, templar=None, shared_loader_obj=None)
    run = mock.Mock(side_effect=outcome) if isinstance(outcome, Exception) else mock.Mock(return_value=outcome)
    act._execute_module = run
    return act


class VexorActionTest(unittest.TestCase):
    def test_results_are_kept_and_an_unreachable_host_fails(self):
        with tempfile.TemporaryDirectory() as d:
            args = {'keep_dir': d, 'rollout': 'R1'}
            done = action('result', args, {'changed': True, 'results': [], '_ansible_no_log': False})
            self.assertTrue(done.run(task_vars={'inventory_hostname': 'h1'})['changed'])
            check = action('check', args, {'failed': True, 'msg': 'runs 1.0.0, not 2.0.0'})
            check.run(task_vars={'inventory_hostname': 'h1'})
            self.assertEqual(keep.read_kept(os.path.join(d, 'h1.json')),
                             {'rollout': 'R1', 'host': 'h1', 'result': {'changed': True, 'results': []},
                              'check': {'failed': True, 'msg': 'runs 1.0.0, not 2.0.0'}})

            gone = action('result', args, AnsibleConnectionFailure('ssh: connect to host h2 port 22: refused'))
            result = gone.run(task_vars={'inventory_hostname': 'h2'})
            self.assertEqual((result['failed'], result['host_unreachable']), (True, True))
            self.assertNotIn('unreachable', result)  # a failure, which max_fail_percentage counts
            with open(os.path.join(d, 'h2.json')) as f:
                self.assertIn('refused', json.load(f)['result']['msg'])


if __name__ == '__main__':
    unittest.main()
