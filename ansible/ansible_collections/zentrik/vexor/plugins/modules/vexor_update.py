#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT

DOCUMENTATION = r'''
module: vexor_update
short_description: Flashes the firmware of a host's Quorvane adapters with vexor and verifies it
version_added: 1.0.0
description:
  - Discovery, plan, apply and verification in one task.
  - Runs C(vexor -d) into a discovery report of its own and plans the devices to flash. A device
    is planned when its board is not excluded and either its PSID is pinned in C(versions) to a
    version other than the installed one (target the pin), or it has no pin and its action is one
    of C(allow) (target the catalog's best version).
  - Writes a report of its own holding only the planned devices, each with its target as the
    report's version, runs C(vexor -u) on it, then runs C(vexor -d) again. A device counts as
    flashed when that discovery finds it running its target; as pending when it still runs its
    installed version although the log reports its burn's success (the adapter runs the new
    version after a reboot). The exit status of C(vexor -u) is not taken as a verdict.
  - Fails when a planned device is neither, naming it; the results are returned all the same.
  - Every burn is a change, also a rewrite of the installed version and a burn that failed; check
    mode reports the same change for the plan.
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
      - PCI addresses (C(dddd:bb:dd.f)) never flashed, whatever their action or pin. Any function
        of a board excludes the whole board (the functions of a multi-port adapter are one board).
    type: list
    elements: str
    default: []
  versions:
    description:
      - Pins, PSID to firmware version (C(major.minor.release), compared as three numbers as vexor
        compares them, so C(16.035.2000) is C(16.35.2000)). A pinned device is flashed to its pin
        when it runs another version, whatever C(allow) says.
      - The catalog must hold the pinned version for the board; a pin it lacks fails the task
        before anything is burnt, in check mode too.
      - Pins for PSIDs the host lacks are ignored, so one dictionary can serve a whole fleet.
    type: dict
    default: {}
  _discovery:
    description:
      - Set by this module's action plugin, not by playbooks. The action runs vexor's discovery
        on the host first and finishes the task on the controller when nothing is to be burnt;
        otherwise it hands that discovery (C(report), the report's text, and C(log), the lines
        it added to C(pyxflash.log)) to the module, which plans from it instead of discovering
        again.
    type: dict
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
msg:
  description: The outcomes counted, or why the task failed.
  returned: always
  type: str
  sample: 1 flashed, 1 unchanged
diff:
  description: The version of each planned device before and after (planned in check mode), in diff mode.
  returned: in diff mode, when a device was planned
  type: dict
  sample: {"before": "0000:05:00.0 QRV0000000011: 16.35.1012\n", "after": "0000:05:00.0 QRV0000000011: 16.35.2000\n",
           "before_header": "installed firmware", "after_header": "firmware after the burns"}
devices:
  description: The devices the first discovery found, as M(zentrik.vexor.vexor_info) returns them.
  returned: success or a failure after the first discovery
  type: list
  elements: dict
  sample: [{"address": "0000:05:00.0", "interface": "ens5f0", "product": "Quorvane QX-200 Single Port 25G",
            "psid": "QRV0000000011", "installed": "16.35.1012", "available": "16.35.2000", "action": "upgrade"}]
plan:
  description: The devices to flash.
  returned: success or a failure after the first discovery
  type: list
  elements: dict
  contains:
    address:
      description: PCI address.
      type: str
      sample: "0000:05:00.0"
    psid:
      description: Board identifier.
      type: str
      sample: QRV0000000011
    from:
      description: Installed version.
      type: str
      sample: 16.35.1012
    to:
      description: Target version (for a pin, as the catalog spells it).
      type: str
      sample: 16.35.2000
    action:
      description: The action written into the report for C(vexor -u).
      type: str
      sample: upgrade
    pinned:
      description: Whether the target is a pin of C(versions).
      type: bool
      sample: false
results:
  description: One entry per device the first discovery found.
  returned: success or a failure after the first discovery
  type: list
  elements: dict
  contains:
    address:
      description: PCI address.
      type: str
      sample: "0000:05:00.0"
    interface:
      description: Network interface name.
      type: str
      sample: ens5f0
    psid:
      description: Board identifier.
      type: str
      sample: QRV0000000011
    from:
      description: Version before the run.
      type: str
      sample: 16.35.1012
    to:
      description: >-
        Version the discovery after the burns found; the installed version for a device left
        alone; null when it is not known (check mode, or the device was not found again).
      type: str
      sample: 16.35.2000
    target:
      description: The version a planned device was to reach; null for the others.
      type: str
      sample: 16.35.2000
    outcome:
      description: >-
        C(flashed) (planned and now runs its target), C(pending) (planned, burnt, and runs its
        target after a reboot), C(failed) (planned and neither), C(skipped) (the options hold back
        a change: excluded, or an upgrade that C(allow) leaves out), C(unchanged) (nothing to do),
        C(planned) (check mode: would be flashed).
      type: str
      sample: flashed
    reason:
      description: Why a failed device failed.
      type: str
      returned: when outcome is failed
      sample: "runs 16.35.1012 after the burns, not 16.35.2000 (pyxflash.log: Upgrade failed)"
    log:
      description: The lines the burns added to C(pyxflash.log) that concern this device.
      type: list
      elements: str
      sample: ["[INFO]      [Tue Dec  8 03:00:00 2026] MAC 0002c9a0b1c2 Upgrade SUCCESS"]
    burn_started:
      description: Whether vexor started a burn of this device.
      type: bool
      sample: true
    reboot_required:
      description: Whether vexor flashed the device in this run, so that it runs new firmware only after a reboot.
      type: bool
      sample: true
reboot_required:
  description: Whether vexor flashed some device in this run, so that the host needs a reboot.
  returned: always
  type: bool
  sample: true
log:
  description: The lines all runs of vexor added to C(pyxflash.log).
  returned: always
  type: list
  elements: str
  sample: ["[INFO]      [Tue Dec  8 03:00:00 2026] MAC 0002c9a0b1c2 Upgrade SUCCESS"]
host_unreachable:
  description: Set when the host could not be reached, which fails the task.
  returned: when the host could not be reached
  type: bool
  sample: true
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.zentrik.vexor.plugins.module_utils.plan import (
    CATALOG, catalog_versions, check_pins, make_plan, read_options, update_options, versions_diff)
from ansible_collections.zentrik.vexor.plugins.module_utils.report import (
    ReportError, edit_report, public_device, report_of_text)
from ansible_collections.zentrik.vexor.plugins.module_utils.runner import VexorError, describe_failure, vexor_of
from ansible_collections.zentrik.vexor.plugins.module_utils.verdict import (
    failure_message, summary, unburnt_result, verdict)


def check_options(module):
    """The exclusions as vexor writes addresses, and the pins; fails on a malformed one."""
    exclude, versions, why = read_options(module.params['exclude'], module.params['versions'])
    if why:
        module.fail_json(msg=why)
    return exclude, versions


def checked_plan(module, vexor, before, exclude, versions):
    """The plan and the rest (make_plan), with every pin the plan burns held by
    the catalog; fails the module, before anything is burnt, on one it lacks."""
    plan, left = make_plan(before, module.params['allow'], exclude, versions)
    if any(entry['pinned'] for entry in plan):
        try:
            problems = check_pins(plan, catalog_versions(os.path.join(vexor.dir, CATALOG)))
        except ValueError as e:
            problems = [str(e)]
        if problems:
            module.fail_json(msg='versions: ' + '; '.join(problems), changed=False, plan=plan, reboot_required=False,
                             devices=[public_device(d) for d in before])
    return plan, left


def first_discovery(vexor, given):
    """The discovery the plan is made from: (tree, devices, log lines). The
    action plugin hands over the one it ran moments before on this host (see
    plugins/action/vexor_update.py) rather than have vexor run it twice."""
    if not given:
        return vexor.discover()
    try:
        tree, devices = report_of_text(given['report'], 'the discovery of the action plugin')
    except (KeyError, TypeError, ReportError) as e:
        raise VexorError(f'the discovery handed over is not one: {e}') from e
    vexor.adapters = len(devices)
    return tree, devices, [str(line) for line in given.get('log') or []]


def burn_and_verify(vexor, tree, plan, left, before):
    """Runs -u on the plan and -d after it: (results, the log lines of both,
    the problems around the burns that no device's verdict shows)."""
    planned = {p['address']: p for p in plan}
    problems, after = [], None
    try:
        rc, err, applied = vexor.apply(edit_report(tree, planned), len(plan))
        if rc != 0:
            # vexor says which burns asked for were not done; each device's
            # outcome still comes from the discovery below.
            problems.append(describe_failure('-u', rc, err, []))
    except VexorError as e:
        return verdict(plan, left, before, None, e.log), e.log, [e.msg]
    log = applied
    try:
        _, after, again = vexor.discover()
        log = log + again
    except VexorError as e:
        problems.append('the discovery after the burns failed: ' + e.msg)
        log = log + e.log
    return verdict(plan, left, before, after, applied), log, problems


def main():
    module = AnsibleModule(argument_spec=update_options(), supports_check_mode=True)
    exclude, versions = check_options(module)
    vexor = vexor_of(module)

    try:
        vexor.check_dir()
        tree, before, log = first_discovery(vexor, module.params['_discovery'])
    except VexorError as e:
        module.fail_json(msg=e.msg, rc=e.rc, stderr=e.stderr, log=e.log, reboot_required=False)

    plan, left = checked_plan(module, vexor, before, exclude, versions)
    if module.check_mode or not plan:
        module.exit_json(**unburnt_result(before, plan, left, log, module.check_mode, module._diff))
    out = {'devices': [public_device(d) for d in before], 'plan': plan}

    results, burnt_log, problems = burn_and_verify(vexor, tree, plan, left, before)
    out.update(results=results, log=log + burnt_log, reboot_required=any(r['reboot_required'] for r in results))
    if module._diff:
        out['diff'] = versions_diff([(r['address'], r['psid'], r['from'], r['to'])
                                     for r in results if r['target'] is not None], 'firmware after the burns')
    changed = any(r['burn_started'] or (r['to'] is not None and r['to'] != r['from']) for r in results)
    msg = failure_message(results)
    if msg:
        module.fail_json(msg='; '.join([msg] + problems), changed=changed, **out)
    module.exit_json(changed=changed, msg=summary(results, False), **out)


if __name__ == '__main__':
    main()
