# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
# The verdict on each device of a run: flashed, pending, failed, skipped,
# unchanged or planned, from the discoveries before and after the burns and
# the log lines the burns added. Standard library only: this runs on the
# managed host.

from ansible_collections.zentrik.vexor.plugins.module_utils.log import (
    BURN_FAILURES, BURN_START, BURN_SUCCESS, log_by_device, text_of)
from ansible_collections.zentrik.vexor.plugins.module_utils.plan import version_key, versions_diff
from ansible_collections.zentrik.vexor.plugins.module_utils.report import public_device


def _result(device, entry, to, outcome, log=None):
    log = log or []
    burnt = any(BURN_SUCCESS in line for line in log)
    return {
        'address': device['address'],
        'interface': device['interface'],
        'psid': device['psid'],
        'from': device['installed'],
        'to': to,
        'target': entry['to'] if entry else None,
        'outcome': outcome,
        'log': log,
        # Writing flash is a change, whether the burn succeeded or not.
        'burn_started': any(text_of(line).startswith(BURN_START) for line in log),
        # As vexor decides it: an adapter it flashed in this run.
        'reboot_required': outcome in ('flashed', 'pending') or burnt,
    }


def preview(plan, left, before):
    """Results when nothing is burnt (check mode, or an empty plan): planned
    devices are 'planned' with no version yet, the others as left says."""
    planned = {p['address']: p for p in plan}
    results = []
    for device in before:
        entry = planned.get(device['address'])
        if entry:
            results.append(_result(device, entry, None, 'planned'))
        else:
            results.append(_result(device, None, device['installed'], left.get(device['address'], 'unchanged')))
    return results


def _judge(entry, current, after, log):
    """(outcome, reason) of a planned device: flashed, pending (burnt, still
    runs the installed version: the new one runs after a reboot) or failed."""
    if current is None:
        return 'failed', ('not found by the discovery after the burns' if after is not None
                          else 'no discovery after the burns')
    now, target = version_key(current['installed']), version_key(entry['to'])
    succeeded = any(BURN_SUCCESS in line for line in log)
    if now == target and (succeeded or entry['from'] != current['installed']):
        return 'flashed', None
    if now == target:
        # A rewrite leaves the version as it was: only the log tells it happened.
        return 'failed', 'no successful burn logged'
    if now == version_key(entry['from']) and succeeded:
        return 'pending', None
    return 'failed', f"runs {current['installed']} after the burns, not {entry['to']}"


def verdict(plan, left, before, after, lines):
    """One result per device found before the burns, in report order.

    after is the devices found by the discovery after the burns, or None when
    it could not run; lines are the log lines the burns added."""
    planned = {p['address']: p for p in plan}
    now = {d['address']: d for d in after or []}
    _, device_log = log_by_device(lines, before)
    results = []
    for device in before:
        address = device['address']
        entry, current = planned.get(address), now.get(address)
        log = device_log.get(address, [])
        to = current['installed'] if current else None
        if entry is None:
            results.append(_result(device, None, to, left.get(address, 'unchanged'), log))
            continue
        outcome, reason = _judge(entry, current, after, log)
        result = _result(device, entry, to, outcome, log)
        if reason:
            said = [text_of(line) for line in log if any(f in line for f in BURN_FAILURES)]
            result['reason'] = reason + (f" (pyxflash.log: {'; '.join(said)})" if said else '')
        results.append(result)
    return results


def failure_message(results):
    bad = [r for r in results if r['outcome'] == 'failed']
    if not bad:
        return None
    return 'not at the target firmware: ' + '; '.join(
        f"{r['address']} ({r['psid']}, target {r['target']}): {r['reason']}" for r in bad)


def unmet_expectations(devices, expect):
    """The devices that do not run the version expect names for them
    ({address: version}): {address, expected, runs (None: not found), reason}."""
    found = {d['address']: d['installed'] for d in devices}
    unmet = []
    for address, version in sorted(expect.items()):
        runs = found.get(address)
        if runs is None:
            unmet.append({'address': address, 'expected': version, 'runs': None,
                          'reason': f'{address} was not found (expected {version})'})
        elif version_key(runs) != version_key(version):
            unmet.append({'address': address, 'expected': version, 'runs': runs,
                          'reason': f'{address} runs {runs}, not {version}'})
    return unmet


def summary(results, check_mode):
    """The task's msg: how many devices came to each outcome."""
    counts = {}
    for r in results:
        counts[r['outcome']] = counts.get(r['outcome'], 0) + 1
    if not counts:
        return 'no adapter of the vendor'
    said = ', '.join(f'{n} {outcome}' for outcome, n in sorted(counts.items()))
    return ('check mode: ' if check_mode else '') + said


def unburnt_result(before, plan, left, log, check_mode, diff):
    """vexor_update's result when nothing is burnt (check mode, or an empty
    plan): the devices, the plan, each device's preview; every planned burn
    writes flash, so a plan is a change, as the real run reports it."""
    results = preview(plan, left, before)
    out = {'changed': bool(plan), 'devices': [public_device(d) for d in before], 'plan': plan,
           'results': results, 'log': log, 'reboot_required': False, 'msg': summary(results, check_mode)}
    if diff:
        out['diff'] = versions_diff([(p['address'], p['psid'], p['from'], p['to']) for p in plan],
                                    'planned firmware')
    return out
