# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
# Which task arguments vexor_update's action plans with on the controller:
# only those the module would take as they are; everything else is the module's.

import unittest

from ansible_collections.zentrik.vexor.plugins.module_utils.plan import plain_update_options, update_options

PREFIX = ['/usr/bin/ssh-wrapper', '--in']


class PlainOptionsTest(unittest.TestCase):
    def test_which_arguments_are_planned_here(self):
        cases = [
            # (arguments, planned on the controller)
            ({}, True),
            ({'dir': '/srv/vexor', 'command_prefix': PREFIX, 'allow': ['upgrade', 'rewrite'],
              'exclude': ['0000:81:00.1'], 'versions': {'QRV11': '16.35.2000'}, 'query_timeout': 5,
              'burn_timeout': 600, 'keep_dir': '/tmp/k', 'rollout': 'r1'}, True),
            ({'dir': 'relative/vexor'}, False),             # the module makes it a path
            ({'exclude': '0000:81:00.1'}, False),            # a string the module splits into a list
            ({'allow': ['upgrade', 'sideways']}, False),     # a choice the module refuses
            ({'query_timeout': '60'}, False),                # a string the module converts
            ({'burn_timeout': 0}, False),                    # a limit the module refuses
            ({'burn_timeout': True}, False),
            ({'versions': ['QRV11=16.35.2000']}, False),
            ({'command_prefix': ['sudo', 3]}, False),
            ({'colour': 'red'}, False),                      # an option the module does not know
            ({'rollout': 42}, False),
        ]
        for args, planned in cases:
            with self.subTest(args=args):
                options = plain_update_options(args)
                self.assertEqual(options is not None, planned)
                if planned:
                    defaults = {name: option.get('default') for name, option in update_options().items()}
                    self.assertEqual(options, dict(defaults, **args))


if __name__ == '__main__':
    unittest.main()
