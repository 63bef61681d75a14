# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
# vexor_info on the controller: fails an unreachable host; with keep_dir
# adds the result, as "check", to what vexor_update kept for the same
# rollout (see plugins/plugin_utils/vexor_action.py).

from ansible_collections.zentrik.vexor.plugins.plugin_utils.vexor_action import VexorAction


class ActionModule(VexorAction):
    KEPT_AS = 'check'
