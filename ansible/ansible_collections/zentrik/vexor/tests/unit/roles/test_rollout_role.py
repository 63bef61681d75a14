# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
# The rollout role's files, read as Ansible reads them.

import os
import unittest

import yaml
from ansible.parsing.dataloader import DataLoader
from ansible.playbook.conditional import Conditional
from ansible.template import Templar

ROLE = os.path.join(os.path.dirname(__file__), '..', '..', '..', 'roles', 'rollout')


def load(*parts):
    with open(os.path.join(ROLE, *parts)) as f:
        return yaml.safe_load(f)


def task_of(path, action):
    tasks = [t for t in load(*path) if action in t]
    if len(tasks) != 1:
        raise AssertionError('expected one %s task, found %d' % (action, len(tasks)))
    return tasks[0]


class RolloutRoleTest(unittest.TestCase):
    def test_documented_options_and_defaults_agree(self):
        options = load('meta', 'argument_specs.yml')['argument_specs']['main']['options']
        defaults = load('defaults', 'main.yml')
        self.assertEqual(sorted(options), sorted(defaults))
        for name, option in options.items():
            self.assertEqual(option.get('default'), defaults[name], name)

    def test_reboots_only_when_asked_and_a_device_was_flashed(self):
        # The role's own condition, and the playbook's, which ends the other
        # hosts before the reboot.
        task = task_of(('tasks', 'main.yml'), 'ansible.builtin.include_tasks')
        self.assertEqual(task['ansible.builtin.include_tasks'], 'reboot.yml')
        self.assertIn('vexor_reboot', task['tags'])
        with open(os.path.join(ROLE, '..', '..', 'playbooks', 'rollout.yml')) as f:
            play = yaml.safe_load(f)[-1]
        end = [t for t in play['tasks'] if t.get('ansible.builtin.meta') == 'end_host']
        self.assertEqual(len(end), 1)
        self.assertEqual(end[0]['when'], 'not (%s)' % task['when'])
        loader = DataLoader()
        cases = [
            # (vexor_reboot, vexor_result.reboot_required) -> reboot; extra vars arrive as strings
            (False, False, False), (False, True, False), (True, False, False), (True, True, True),
            ('true', 'True', True), ('yes', 'False', False), ('false', 'True', False), (True, None, False),
        ]
        for asked, flashed, reboots in cases:
            with self.subTest(asked=asked, flashed=flashed):
                result = {} if flashed is None else {'reboot_required': flashed}
                variables = {'vexor_reboot': asked, 'vexor_result': result}
                conditional = Conditional(loader=loader)
                conditional.when = [task['when']]
                self.assertEqual(conditional.evaluate_conditional(Templar(loader, variables=variables), variables),
                                 reboots)

    def test_after_the_reboot_each_flashed_device_is_checked_for_its_target(self):
        tasks = load('tasks', 'reboot.yml')
        self.assertEqual([next(k for k in t if '.' in k) for t in tasks],
                         ['ansible.builtin.reboot', 'zentrik.vexor.vexor_info'])
        self.assertTrue(all('vexor_reboot' in t['tags'] for t in tasks))
        expect = tasks[1]['zentrik.vexor.vexor_info']['expect']
        results = [
            {'address': '0000:05:00.0', 'target': '16.35.2000', 'reboot_required': True},   # flashed
            {'address': '0000:06:00.0', 'target': '2.42.5000', 'reboot_required': True},    # pending
            {'address': '0000:07:00.0', 'target': '2.42.5000', 'reboot_required': False},   # failed
            {'address': '0000:08:00.0', 'target': None, 'reboot_required': False},          # unchanged
        ]
        templar = Templar(DataLoader(), variables={'vexor_result': {'results': results}})
        self.assertEqual(templar.template(expect), {'0000:05:00.0': '16.35.2000', '0000:06:00.0': '2.42.5000'})


if __name__ == '__main__':
    unittest.main()
