#!/usr/bin/python
# -*- coding: utf-8 -*-

DOCUMENTATION = r'''
module: vexor_update
short_description: Flashes the firmware of a host's Quorvane adapters with vexor and verifies it
version_added: 1.0.0
description:
  - Discovery, plan, apply and verification in one task.
  - Runs C(vexor -d) into a discovery report of its own and plans the devices to flash. A device
    is planned when it is not excluded and either its PSID is pinned in C(versions) to a version
    other than the installed one (target the pin), or it has no pin and its action is one of
    C(allow) (target the catalog's best version).
  - Writes a report of its own holding only the planned devices, each with its target as the
    report's version, runs C(vexor -u) on it, then runs C(vexor -d) again. A device counts as
    flashed only when that discovery finds it running its target; the exit status of C(vexor -u)
    is not taken as a verdict.
  - Fails when a planned device did not reach its target, naming it; the results are returned
    all the same.
  - With nothing to do it runs only the first discovery, burns nothing and reports no change.
  - Never reboots; the result says whether a reboot is needed for new firmware to run.
options:
  allow:
    description:
      - The recommended actions that may be flashed. C(rewrite) burns the installed version
        again, C(downgrade) the catalog's best version although it is older than the installed
        one.
    type: list
    elements: str
    choices: [upgrade, rewrite, downgrade]
    default: [upgrade]
  exclude:
    description:
      - PCI addresses (C(dddd:bb:dd.f)) never flashed, whatever their action or pin.
    type: list
    elements: str
    default: []
  versions:
    description:
      - Pins, PSID to firmware version (C(major.minor.release)). A pinned device is flashed to its
        pin when it runs another version, whatever C(allow) says; the catalog must hold the
        pinned version for the board.
      - Pins for PSIDs the host lacks are ignored, so one dictionary can serve a whole fleet.
    type: dict
    default: {}
attributes:
  check_mode:
    support: full
    details: Returns the plan and burns nothing.
  diff_mode:
    support: full
    details: The installed and the planned (check mode) or reached version of each planned device.
  platform:
    support: full
    platforms: posix
notes:
  - Every run of vexor appends to C(pyxflash.log) in the component directory; the lines each run
    added are returned.
extends_documentation_fragment:
  - zentrik.vexor.vexor
  - ansible.builtin.action_common_attributes
author:
  - Zentrik firmware engineering (!UNKNOWN)
'''

EXAMPLES = r'''
- name: Upgrade every adapter the catalog has newer firmware for
  zentrik.vexor.vexor_update:
  register: vexor

- name: Pin a board to a release, leave one adapter alone
  zentrik.vexor.vexor_update:
    versions:
      QRV0000000011: 16.35.2000
    exclude:
      - "0000:81:00.0"

- name: See what would be flashed
  zentrik.vexor.vexor_update:
  check_mode: true
  diff: true
'''

RETURN = r'''
devices:
  description: The devices the first discovery found, as M(zentrik.vexor.vexor_info) returns them.
  returned: success or a failure after the first discovery
  type: list
  elements: dict
plan:
  description: The devices to flash.
  returned: success or a failure after the first discovery
  type: list
  elements: dict
  contains:
    address:
      description: PCI address.
      type: str
    psid:
      description: Board identifier.
      type: str
    from:
      description: Installed version.
      type: str
    to:
      description: Target version.
      type: str
    action:
      description: The action written into the report for C(vexor -u).
      type: str
results:
  description: One entry per device the first discovery found.
  returned: success or a failure after the first discovery
  type: list
  elements: dict
  contains:
    address:
      description: PCI address.
      type: str
    interface:
      description: Network interface name.
      type: str
    psid:
      description: Board identifier.
      type: str
    from:
      description: Version before the run.
      type: str
    to:
      description: >-
        Version the discovery after the burns found; the installed version for a device left
        alone; null when it is not known (check mode, or the device was not found again).
      type: str
    target:
      description: The version a planned device was to reach; null for the others.
      type: str
    outcome:
      description: >-
        C(flashed) (planned and now runs its target), C(failed) (planned and does not),
        C(skipped) (the options hold back a change: excluded, or an upgrade that C(allow)
        leaves out), C(unchanged) (nothing to do), C(planned) (check mode: would be flashed).
      type: str
      sample: flashed
    reason:
      description: Why a failed device failed.
      type: str
      returned: when outcome is failed
    log:
      description: The lines the burns added to C(pyxflash.log) that concern this device.
      type: list
      elements: str
    reboot_required:
      description: Whether the device runs new firmware only after a reboot.
      type: bool
reboot_required:
  description: Whether some device was flashed, so that the host needs a reboot.
  returned: always
  type: bool
log:
  description: The lines all runs of vexor added to C(pyxflash.log).
  returned: always
  type: list
  elements: str
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.zentrik.vexor.plugins.module_utils.plan import (
    FLASH_ACTIONS, make_plan, normalize_address, version_key, versions_diff)
from ansible_collections.zentrik.vexor.plugins.module_utils.report import edit_report, public_device
from ansible_collections.zentrik.vexor.plugins.module_utils.runner import (
    Vexor, VexorError, common_options, describe_failure)
from ansible_collections.zentrik.vexor.plugins.module_utils.verdict import failure_message, preview, verdict


def check_options(module):
    """The exclusions as vexor writes addresses, and the pins; fails on a malformed one."""
    exclude = []
    for text in module.params['exclude']:
        address = normalize_address(text)
        if address is None:
            module.fail_json(msg=f'exclude: "{text}" is not a PCI address of the form dddd:bb:dd.f')
        exclude.append(address)
    versions = {}
    for psid, version in module.params['versions'].items():
        version = str(version)
        if version_key(version) is None:
            module.fail_json(msg=f'versions: the pin "{version}" for {psid} is not a version major.minor.release')
        versions[str(psid)] = version
    return exclude, versions


def main():
    options = common_options()
    options.update(
        allow={'type': 'list', 'elements': 'str', 'choices': list(FLASH_ACTIONS), 'default': ['upgrade']},
        exclude={'type': 'list', 'elements': 'str', 'default': []},
        versions={'type': 'dict', 'default': {}},
    )
    module = AnsibleModule(argument_spec=options, supports_check_mode=True)
    exclude, versions = check_options(module)
    vexor = Vexor(module, module.params['dir'], module.params['command_prefix'])

    try:
        vexor.check_dir()
        tree, before, log = vexor.discover()
    except VexorError as e:
        module.fail_json(msg=e.msg, rc=e.rc, stderr=e.stderr, log=e.log, reboot_required=False)

    plan, left = make_plan(before, module.params['allow'], exclude, versions)
    out = dict(devices=[public_device(d) for d in before], plan=plan, reboot_required=False)

    if module.check_mode or not plan:
        results = preview(plan, left, before)
        if module._diff:
            out['diff'] = versions_diff([(p['address'], p['psid'], p['from'], p['to']) for p in plan],
                                        'planned firmware')
        module.exit_json(changed=bool(plan), results=results, log=log, **out)

    planned = {p['address']: p for p in plan}
    rc, err, applied = vexor.apply(edit_report(tree, planned))
    log = log + applied
    problems = []
    if rc != 0:
        # Only a hint: the verdict comes from the discovery below.
        problems.append(describe_failure('-u', rc, err, []))
    try:
        _, after, again = vexor.discover()
        log = log + again
    except VexorError as e:
        after = None
        problems.append('the discovery after the burns failed: ' + e.msg)
        log = log + e.log

    results = verdict(plan, left, before, after, applied)
    out.update(
        results=results,
        log=log,
        reboot_required=any(r['reboot_required'] for r in results),
    )
    if module._diff:
        out['diff'] = versions_diff([(r['address'], r['psid'], r['from'], r['to'])
                                     for r in results if r['address'] in planned], 'firmware after the burns')
    changed = any(r['to'] is not None and r['to'] != r['from'] for r in results)
    msg = failure_message(results)
    if msg:
        module.fail_json(msg='; '.join([msg] + problems), changed=changed, **out)
    module.exit_json(changed=changed, **out)


if __name__ == '__main__':
    main()
