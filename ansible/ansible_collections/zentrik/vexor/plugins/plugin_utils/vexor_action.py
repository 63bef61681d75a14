# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
# What the action plugins of vexor_info and vexor_update add to their
# modules, on the controller: a host that cannot be reached fails the task
# (so that it stops the later batches of a rollout as a failure does), and
# with keep_dir the result is kept in a file of the host's own.

from ansible.errors import AnsibleConnectionFailure
from ansible.plugins.action import ActionBase

from ansible_collections.zentrik.vexor.plugins.plugin_utils.keep import host_file, keep, read_kept


class VexorAction(ActionBase):
    # The key of the host's kept file that holds this module's result.
    KEPT_AS = 'result'

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        try:
            quick = self._without_module(task_vars)
            result.update(quick if quick is not None else self._execute_module(task_vars=task_vars))
        except AnsibleConnectionFailure as e:
            result.update(failed=True, host_unreachable=True, msg=f'the host cannot be reached: {e}')
        keep_dir = self._task.args.get('keep_dir')
        if keep_dir:
            self._keep(result, keep_dir, self._task.args.get('rollout'), task_vars['inventory_hostname'])
        return result

    def _without_module(self, task_vars):
        """The task's result where it can be had without running the module
        on the host, else None."""
        return None

    def _keep(self, result, keep_dir, rollout, host):
        path = host_file(keep_dir, host)
        kept = read_kept(path) if self.KEPT_AS != 'result' else None
        if not kept or kept.get('rollout') != rollout:
            kept = {'rollout': rollout, 'host': host}
        kept[self.KEPT_AS] = {k: v for k, v in result.items() if not k.startswith('_ansible')}
        try:
            keep(path, kept)
        except OSError as e:
            result['failed'] = True
            result['msg'] = f"{result.get('msg', '')}; cannot keep the result in {path}: {e}".lstrip('; ')
