# -*- coding: utf-8 -*-
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


def reboot_task():
    tasks = [t for t in load('tasks', 'main.yml') if 'ansible.builtin.reboot' in t]
    if len(tasks) != 1:
        raise AssertionError('expected one reboot task, found %d' % len(tasks))
    return tasks[0]


class RolloutRoleTest(unittest.TestCase):
    def test_documented_options_and_defaults_agree(self):
        options = load('meta', 'argument_specs.yml')['argument_specs']['main']['options']
        defaults = load('defaults', 'main.yml')
        self.assertEqual(sorted(options), sorted(defaults))
        for name, option in options.items():
            self.assertEqual(option.get('default'), defaults[name], name)

    def test_reboots_only_when_asked_and_a_device_was_flashed(self):
        task = reboot_task()
        self.assertIn('vexor_reboot', task['tags'])
        loader = DataLoader()
        cases = [
            # (vexor_reboot, vexor_reboot_required) -> reboot; extra vars arrive as strings
            (False, False, False), (False, True, False), (True, False, False), (True, True, True),
            ('true', 'True', True), ('yes', 'False', False), ('false', 'True', False),
        ]
        for asked, flashed, reboots in cases:
            with self.subTest(asked=asked, flashed=flashed):
                variables = {'vexor_reboot': asked, 'vexor_reboot_required': flashed}
                conditional = Conditional(loader=loader)
                conditional.when = [task['when']]
                self.assertEqual(conditional.evaluate_conditional(Templar(loader, variables=variables), variables),
                                 reboots)


if __name__ == '__main__':
    unittest.main()
