#!/usr/bin/python
# -*- coding: utf-8 -*-

DOCUMENTATION = r'''
module: vexor_info
short_description: Lists the Quorvane adapters of a host and the firmware vexor would flash
version_added: 1.0.0
description:
  - Runs C(vexor -d) in the vexor component directory into a discovery report of its own
    (never the operator's C(nicdiscovery.xml)), reads it and removes it.
  - Changes nothing on the host or its adapters.
  - A host without adapters of the vendor returns an empty list of devices.
  - A missing firmware catalog, a vexor run already holding the adapters, or a flash utility
    that cannot query any adapter fail the task with vexor's reason and the lines the run added
    to C(pyxflash.log).
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
  platform:
    support: full
    platforms: posix
extends_documentation_fragment:
  - zentrik.vexor.vexor
  - ansible.builtin.action_common_attributes
author:
  - Zentrik firmware engineering (!UNKNOWN)
'''

EXAMPLES = r'''
- name: Take stock of the adapters
  zentrik.vexor.vexor_info:
  register: vexor

- name: Show each adapter and what the catalog offers
  ansible.builtin.debug:
    msg: "{{ item.address }} {{ item.psid }}: {{ item.installed }} -> {{ item.available }} ({{ item.action }})"
  loop: "{{ vexor.devices }}"
'''

RETURN = r'''
devices:
  description: One entry per adapter that vexor can query, in vexor's order.
  returned: success
  type: list
  elements: dict
  contains:
    address:
      description: PCI address, C(dddd:bb:dd.f).
      type: str
      sample: "0000:05:00.0"
    interface:
      description: Network interface name, or empty.
      type: str
      sample: ens5f0
    product:
      description: Board name from the firmware catalog, or empty when the catalog has no entry.
      type: str
    psid:
      description: Board identifier (PSID).
      type: str
      sample: QRV0000000011
    installed:
      description: Installed firmware version.
      type: str
      sample: 16.35.1012
    available:
      description: The catalog's best version for the board, or empty.
      type: str
      sample: 16.35.2000
    action:
      description: >-
        vexor's recommendation: C(upgrade) (the catalog has a newer version), C(rewrite)
        (it has the installed one), C(downgrade) (only older ones) or C(Nothing) (no entry).
      type: str
      sample: upgrade
log:
  description: The lines the discovery added to C(pyxflash.log).
  returned: always
  type: list
  elements: str
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.zentrik.vexor.plugins.module_utils.report import public_device
from ansible_collections.zentrik.vexor.plugins.module_utils.runner import Vexor, VexorError, common_options


def main():
    module = AnsibleModule(argument_spec=common_options(), supports_check_mode=True)
    vexor = Vexor(module, module.params['dir'], module.params['command_prefix'])
    try:
        vexor.check_dir()
        _, devices, log = vexor.discover()
    except VexorError as e:
        module.fail_json(msg=e.msg, rc=e.rc, stderr=e.stderr, log=e.log)
    module.exit_json(changed=False, devices=[public_device(d) for d in devices], log=log)


if __name__ == '__main__':
    main()
