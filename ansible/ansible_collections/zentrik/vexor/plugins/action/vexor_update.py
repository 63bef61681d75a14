# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
# vexor_update on the controller: fails an unreachable host, keeps the result
# with keep_dir (see plugins/plugin_utils/vexor_action.py), and spares a host
# with nothing to burn the module's run.
#
# Most hosts of a second rollout have nothing to burn, and the module's run
# (its upload, a Python start and its imports on the host) costs several
# times what vexor's discovery does. So the discovery runs first as one shell
# command, and its report is planned here with the module's own code. Only
# a host whose plan holds a burn gets the module, which plans again from that
# same discovery and burns; so does a host whose discovery did not run as the
# module's would (no directory, a limit reached, odd arguments), and the
# module then discovers for itself and says what is wrong.

import xml.etree.ElementTree as ET

from ansible_collections.zentrik.vexor.plugins.module_utils.plan import make_plan, plain_update_options, read_options
from ansible_collections.zentrik.vexor.plugins.module_utils.runner import Vexor, VexorError, discovery_output
from ansible_collections.zentrik.vexor.plugins.module_utils.verdict import unburnt_result
from ansible_collections.zentrik.vexor.plugins.plugin_utils.vexor_action import VexorAction


class ActionModule(VexorAction):
    KEPT_AS = 'result'

    def _without_module(self, task_vars):
        o = plain_update_options(self._task.args)
        # An environment of the task's own reaches the module, not this command.
        if o is None or any(self._task.environment or []):
            return None
        exclude, versions, why = read_options(o['exclude'], o['versions'])
        if why:
            return None
        vexor = Vexor(o['dir'], o['command_prefix'], o['query_timeout'], o['burn_timeout'])
        ran = self._low_level_execute_command(vexor.discovery_command(), encoding_errors='surrogateescape')
        try:
            found = discovery_output(ran['rc'], ran.get('stdout', ''), ran.get('stderr', ''))
        except VexorError as e:
            return {'failed': True, 'msg': e.msg, 'rc': e.rc, 'stderr': e.stderr, 'log': e.log,
                    'reboot_required': False}
        if found is None:
            return None
        tree, before, log = found
        plan, left = make_plan(before, o['allow'], exclude, versions)
        if not plan:
            return unburnt_result(before, plan, left, log, bool(self._task.check_mode), bool(self._task.diff))
        # The module plans again (pins are checked against the catalog on the
        # host) and burns, from this discovery rather than one of its own.
        report = ET.tostring(tree.getroot(), encoding='unicode')
        result = self._execute_module(module_args=dict(self._task.args, _discovery={'report': report, 'log': log}),
                                      task_vars=task_vars)
        # What the task was given, not the report handed over.
        result.get('invocation', {}).get('module_args', {}).pop('_discovery', None)
        return result
