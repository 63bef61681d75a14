#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT

DOCUMENTATION = r'''
module: vexor_info
short_description: Lists the Quorvane adapters of a host and the firmware vexor would flash
version_added: 1.0.0
description:
  - Runs C(vexor -d) in the vexor component directory into a discovery report of its own
    (never the operator's C(nicdiscovery.xml)), reads it and removes it.
  - Changes nothing on the host or its adapters.
  - A host without adapters of the vendor returns an empty list of devices. A host where vexor
    could not read every device fails with vexor's reason, which names them.
  - A missing firmware catalog, a vexor run already holding the adapters, or a flash utility
    that cannot query any adapter fail the task with vexor's reason and the lines the run added
    to C(pyxflash.log).
  - With C(expect), fails when a device does not run the version named for it (the rollout role's
    check after a reboot).
options:
  expect:
    description:
      - PCI address (C(dddd:bb:dd.f)) to the firmware version the device is to run; versions compare
        as three numbers. A device not found, or running another version, fails the task.
    type: dict
    default: {}
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

- name: Fail unless an adapter runs a given version
  zentrik.vexor.vexor_info:
    expect:
      "0000:05:00.0": 16.35.2000
'''

RETURN = r'''
msg:
  description: What the task found, or why it failed.
  returned: always
  type: str
  sample: 2 adapters
devices:
  description: One entry per adapter that vexor can query, in vexor's order.
  returned: success, or a failure after the discovery
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
      sample: Quorvane QX-200 Single Port 25G
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
unmet:
  description: The devices of C(expect) that do not run the version named for them.
  returned: always
  type: list
  elements: dict
  sample: [{"address": "0000:05:00.0", "expected": "16.35.2000", "runs": "16.35.1012",
            "reason": "0000:05:00.0 runs 16.35.1012, not 16.35.2000"}]
  contains:
    address:
      description: PCI address.
      type: str
      sample: "0000:05:00.0"
    expected:
      description: The version C(expect) names.
      type: str
      sample: 16.35.2000
    runs:
      description: The version the device runs; null when it was not found.
      type: str
      sample: 16.35.1012
    reason:
      description: The two in one sentence.
      type: str
      sample: 0000:05:00.0 runs 16.35.1012, not 16.35.2000
log:
  description: The lines the discovery added to C(pyxflash.log).
  returned: always
  type: list
  elements: str
  sample: ["[INFO]      [Tue Dec  8 03:00:00 2026] vexor -d: 2 adapters"]
host_unreachable:
  description: Set when the host could not be reached, which fails the task.
  returned: when the host could not be reached
  type: bool
  sample: true
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.zentrik.vexor.plugins.module_utils.plan import normalize_address, version_key
from ansible_collections.zentrik.vexor.plugins.module_utils.report import public_device
from ansible_collections.zentrik.vexor.plugins.module_utils.runner import VexorError, common_options, vexor_of
from ansible_collections.zentrik.vexor.plugins.module_utils.verdict import unmet_expectations


def checked_expectations(module):
    expect = {}
    for text, version in module.params['expect'].items():
        address, version = normalize_address(text), str(version)
        if address is None or version_key(version) is None:
            module.fail_json(msg=f'expect: "{text}: {version}" is not a PCI address dddd:bb:dd.f and a version '
                                 'major.minor.release')
        expect[address] = version
    return expect


def main():
    options = common_options()
    options.update(expect={'type': 'dict', 'default': {}})
    module = AnsibleModule(argument_spec=options, supports_check_mode=True)
    expect = checked_expectations(module)
    vexor = vexor_of(module)
    try:
        vexor.check_dir()
        _, devices, log = vexor.discover()
    except VexorError as e:
        module.fail_json(msg=e.msg, rc=e.rc, stderr=e.stderr, log=e.log, unmet=[])
    unmet = unmet_expectations(devices, expect)
    out = {'changed': False, 'devices': [public_device(d) for d in devices], 'log': log, 'unmet': unmet}
    if unmet:
        module.fail_json(msg='not the expected firmware: ' + '; '.join(u['reason'] for u in unmet), **out)
    module.exit_json(msg=f'{len(devices)} adapters' + (', each expected version found' if expect else ''), **out)


if __name__ == '__main__':
    main()
