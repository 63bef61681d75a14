# -*- coding: utf-8 -*-
# The rollout plan: which devices to flash, to which version. Standard
# library only: this runs on the managed host.

import re

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

    A device is planned unless excluded when its PSID has a pin other than
    its installed version (target: the pin), or when it has no pin and its
    action is one of allow (target: the catalog's best version). A pin equal
    to the installed version is already met. Returns (plan, left): plan a list
    of {address, psid, from, to, action}, left a dict address -> outcome:
    skipped when the options hold back a change (an excluded device off its
    pin or behind the catalog, an upgrade that allow leaves out), else
    unchanged."""
    allow, exclude = set(allow), set(exclude)
    plan, left = [], {}
    for device in devices:
        address, installed = device['address'], device['installed']
        word = flash_action(device['action'])
        pin = versions.get(device['psid'])
        if pin is not None:
            wanted, target, action = pin != installed, pin, action_towards(installed, pin)
            behind = wanted
        else:
            wanted, target, action = word in allow, device['available'], word
            behind = word == 'upgrade'
        if wanted and address not in exclude:
            plan.append({'address': address, 'psid': device['psid'], 'from': installed,
                         'to': target, 'action': action})
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
