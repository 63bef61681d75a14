# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
# The rollout plan: which devices to flash, to which version. Standard
# library only: this runs on the managed host.

import re
import xml.etree.ElementTree as ET

# The firmware catalog in the component directory.
CATALOG = 'nic_fw/NICFWData.xml'

# What vexor -u flashes: an action containing one of these words.
FLASH_ACTIONS = ('upgrade', 'rewrite', 'downgrade')

ADDRESS_RE = re.compile(r'^[0-9a-f]{4}:[0-9a-f]{2}:[0-9a-f]{2}\.[0-7]$')
VERSION_RE = re.compile(r'^[0-9]+\.[0-9]+\.[0-9]+$')


def normalize_address(text):
    """The bus address in vexor's form (lower case), or None if it is not one."""
    address = str(text).strip().lower()
    return address if ADDRESS_RE.match(address) else None


def version_key(text):
    """Major, minor and release as numbers, or None for anything else."""
    if text is None or not VERSION_RE.match(text):
        return None
    return tuple(int(part) for part in text.split('.'))


def board(address):
    """The PCI device an address belongs to (dddd:bb:dd): the functions of a
    multi-port adapter share it, and vexor lists only the first."""
    return address.rsplit('.', 1)[0]


def catalog_versions(path):
    """What the firmware catalog holds: {PSID: {version key: version text}}."""
    held = {}
    try:
        for _, element in ET.iterparse(path):
            if element.tag == 'nic':
                key = version_key(element.get('rom'))
                if key is not None:
                    held.setdefault(element.get('PSID', ''), {}).setdefault(key, element.get('rom'))
            element.clear()
    except (OSError, ET.ParseError) as e:
        raise ValueError(f'cannot read the firmware catalog {path}: {e}') from e
    return held


def check_pins(plan, catalog):
    """Gives each pinned entry of the plan the catalog's spelling of its version;
    returns why the pins the catalog does not hold cannot be burnt."""
    problems = []
    for entry in plan:
        if not entry['pinned']:
            continue
        held = catalog.get(entry['psid'], {}).get(version_key(entry['to']))
        if held is None:
            problems.append(f"the catalog holds no {entry['to']} for {entry['psid']} ({entry['address']})")
        else:
            entry['to'] = held
    return problems


def action_towards(installed, target):
    """The report action that asks -u to move a device from installed to target."""
    have, want = version_key(installed), version_key(target)
    if have is None or want is None or want > have:
        return 'upgrade'
    return 'rewrite' if want == have else 'downgrade'


def flash_action(action):
    """The flash word vexor -u reads into action, or None when it leaves the device alone."""
    return next((word for word in FLASH_ACTIONS if word in (action or '')), None)


def make_plan(devices, allow, exclude, versions):
    """Splits devices into the plan and the rest.

    A device is planned unless its board is excluded (any function of it)
    when its PSID has a pin other than its installed version (target: the
    pin), or when it has no pin and its action is one of allow (target: the
    catalog's best version). Versions are compared as vexor compares them, as
    three numbers: a pin equal to the installed version is already met.
    Returns (plan, left): plan a list of {address, psid, from, to, action,
    pinned}, left a dict address -> outcome: skipped when the options hold
    back a change (an excluded device off its pin or behind the catalog, an
    upgrade that allow leaves out), else unchanged."""
    allow, excluded = set(allow), {board(a) for a in exclude}
    plan, left = [], {}
    for device in devices:
        address, installed = device['address'], device['installed']
        word = flash_action(device['action'])
        pin = versions.get(device['psid'])
        if pin is not None:
            wanted, target, action = version_key(pin) != version_key(installed), pin, action_towards(installed, pin)
            behind = wanted
        else:
            wanted, target, action = word in allow, device['available'], word
            behind = word == 'upgrade'
        if wanted and board(address) not in excluded:
            plan.append({'address': address, 'psid': device['psid'], 'from': installed,
                         'to': target, 'action': action, 'pinned': pin is not None})
        else:
            left[address] = 'skipped' if behind else 'unchanged'
    return plan, left


def versions_diff(rows, after_header):
    """Diff-mode text: rows of (address, psid, version before, version after)."""
    return {
        'before': ''.join(f'{a} {p}: {v}\n' for a, p, v, _ in rows),
        'after': ''.join(f"{a} {p}: {v if v is not None else '(unknown)'}\n" for a, p, _, v in rows),
        'before_header': 'installed firmware',
        'after_header': after_header,
    }
