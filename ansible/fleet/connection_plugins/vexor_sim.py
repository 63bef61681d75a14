# -*- coding: utf-8 -*-
# SPDX-License-Identifier: MIT
# The connection to a host of the simulated fleet: the local connection, but
# for a reboot, which it performs on the simulated host.

DOCUMENTATION = r'''
name: vexor_sim
short_description: A host of the simulated fleet of make_fleet.py
description:
  - Runs everything on this machine as the local connection does, except a reboot. The commands
    that M(ansible.builtin.reboot) runs to read the boot id and to shut down are answered by the
    simulated host instead, whose adapters then run their pending versions. No command that names
    shutdown or reboot ever reaches this machine.
  - Not being the local connection, it lets M(ansible.builtin.reboot) run.
options:
  sim_dir:
    description: The simulated host's directory.
    vars:
      - name: vexor_sim_dir
'''

import os
import re
import subprocess

from ansible.errors import AnsibleConnectionFailure
from ansible.plugins.connection.local import Connection as LocalConnection

BOOT_ID = '/proc/sys/kernel/random/boot_id'
REBOOT_RE = re.compile(r'\b(shutdown|reboot)\b')


class Connection(LocalConnection):
    transport = 'vexor_sim'

    def exec_command(self, cmd, in_data=None, sudoable=True):
        if BOOT_ID in cmd:
            return self._host('--boot-id')
        if REBOOT_RE.search(cmd):
            return self._host('--simulated-reboot')
        return super().exec_command(cmd, in_data=in_data, sudoable=sudoable)

    def _host(self, request):
        """What the simulated host's flash utility says to request: (rc, stdout, stderr)."""
        directory = self.get_option('sim_dir')
        if not directory:
            raise AnsibleConnectionFailure('vexor_sim: vexor_sim_dir is not set; refusing to run a reboot command')
        utility = os.path.join(directory, 'component', 'nic_fw', 'pyxflash')
        env = dict(os.environ, VEXOR_SIM_STATE=os.path.join(directory, 'state'))
        run = subprocess.run([utility, request], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
        return run.returncode, run.stdout, run.stderr
