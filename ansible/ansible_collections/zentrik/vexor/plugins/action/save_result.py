# -*- coding: utf-8 -*-
# Writes a value as JSON into a file on the controller, in the worker that
# runs the task: no module is sent anywhere, so keeping every host's result
# costs a rollout next to nothing.

import json
import os
import tempfile

from ansible.errors import AnsibleActionFail
from ansible.plugins.action import ActionBase


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(('dest', 'data'))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        _, args = self.validate_argument_spec(argument_spec={
            'dest': {'type': 'path', 'required': True},
            'data': {'type': 'raw', 'required': True},
        })
        dest = args['dest']
        text = json.dumps(args['data'], indent=4, sort_keys=True) + '\n'
        try:
            with open(dest) as f:
                unchanged = f.read() == text
        except OSError:
            unchanged = False
        if not unchanged and not self._play_context.check_mode:
            directory = os.path.dirname(os.path.abspath(dest))
            try:
                # Hosts of one batch save at the same time: whoever comes
                # first makes the directory.
                os.makedirs(directory, exist_ok=True)
                fd, temporary = tempfile.mkstemp(dir=directory, prefix='.' + os.path.basename(dest) + '.')
                with os.fdopen(fd, 'w') as f:
                    f.write(text)
                os.chmod(temporary, 0o644)
                os.rename(temporary, dest)
            except OSError as e:
                raise AnsibleActionFail(f'cannot write {dest}: {e}') from e
        result.update(changed=not unchanged, dest=dest)
        return result
