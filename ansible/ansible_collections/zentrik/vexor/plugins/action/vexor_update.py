# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
# vexor_update on the controller: fails an unreachable host, keeps the result
# with keep_dir (see plugins/plugin_utils/vexor_action.py).

from ansible_collections.zentrik.vexor.plugins.plugin_utils.vexor_action import VexorAction


class ActionModule(VexorAction):
    KEPT_AS = 'result'
