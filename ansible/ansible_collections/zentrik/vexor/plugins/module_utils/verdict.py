# -*- coding: utf-8 -*-
# The verdict on each device of a run: flashed, failed, skipped, unchanged
# or planned, from the discoveries before and after the burns and the log
# lines the burns added. Standard library only: this runs on the managed
# host.

from ansible_collections.zentrik.vexor.plugins.module_utils.log import (
    BURN_FAILURES, BURN_SUCCESS, log_by_device, text_of)


def _result(device, entry, to, outcome, log=None):
    return {
        'address': device['address'],
        'interface': device['interface'],
        'psid': device['psid'],
        'from': device['installed'],
        'to': to,
        'target': entry['to'] if entry else None,
        'outcome': outcome,
        'log': log or [],
        'reboot_required': outcome == 'flashed',
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


def _failure(entry, current, after, log):
    """Why a planned device did not reach its target, or None when it did."""
    if current is None:
        return 'not found by the discovery after the burns' if after is not None else 'no discovery after the burns'
    if current['installed'] != entry['to']:
        return f"runs {current['installed']} after the burns, not {entry['to']}"
    if entry['from'] == entry['to'] and not any(BURN_SUCCESS in line for line in log):
        # A rewrite leaves the version as it was: only the log tells it happened.
        return 'no successful burn logged'
    return None


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
        reason = _failure(entry, current, after, log)
        result = _result(device, entry, to, 'failed' if reason else 'flashed', log)
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
