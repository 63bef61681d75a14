# -*- coding: utf-8 -*-

import importlib.util
import json
import os
import tempfile
import unittest
from unittest import mock

from ansible.playbook.play_context import PlayContext

# Loaded from its file: the plugin needs nothing of the collection, and an
# import by its collection name would go through the collection loader that
# the action machinery installs.
_found = importlib.util.spec_from_file_location(
    'save_result', os.path.join(os.path.dirname(__file__), *['..'] * 4, 'plugins', 'action', 'save_result.py'))
save_result = importlib.util.module_from_spec(_found)
_found.loader.exec_module(save_result)
ActionModule = save_result.ActionModule


def run(dest, data, check_mode=False):
    task = mock.MagicMock(async_val=0, args={'dest': dest, 'data': data})
    context = PlayContext()
    context.check_mode = check_mode
    action = ActionModule(task, mock.MagicMock(), context, loader=None, templar=None, shared_loader_obj=None)
    return action.run(task_vars={})


class SaveResultTest(unittest.TestCase):
    def test_writes_json_into_new_directories_and_tells_a_change(self):
        with tempfile.TemporaryDirectory() as d:
            dest = os.path.join(d, 'report', 'hosts', 'web1.json')
            data = {'host': 'web1', 'result': {'results': [{'outcome': 'flashed'}]}}
            cases = [
                # (check mode, data) -> changed, what the file holds afterwards
                (True, data, True, None),      # check mode writes nothing
                (False, data, True, data),
                (False, data, False, data),    # the same again
                (False, {'host': 'web1'}, True, {'host': 'web1'}),
            ]
            for check_mode, value, changed, held in cases:
                with self.subTest(check_mode=check_mode, value=value):
                    result = run(dest, value, check_mode)
                    self.assertEqual((result['changed'], result['dest']), (changed, dest))
                    if held is None:
                        self.assertFalse(os.path.exists(dest))
                    else:
                        with open(dest) as f:
                            self.assertEqual(json.load(f), held)
            self.assertEqual(os.listdir(os.path.dirname(dest)), ['web1.json'])  # no temporary file left

    def test_unwritable_destination_fails_with_the_reason(self):
        with tempfile.TemporaryDirectory() as d:
            blocker = os.path.join(d, 'file')
            open(blocker, 'w').close()
            with self.assertRaisesRegex(Exception, 'cannot write %s/x.json' % blocker):
                run(os.path.join(blocker, 'x.json'), {})


if __name__ == '__main__':
    unittest.main()
