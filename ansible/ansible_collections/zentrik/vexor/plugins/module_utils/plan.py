# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
# The rollout plan: which devices to flash, to which version. Standard
# library only: this runs on the managed host.

import re
import xml.etree.ElementTree as ET

from ansible_collections.zentrik.vexor.plugins.module_utils.runner import common_options

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


def update_options():
    """vexor_update's argument_spec."""
    options = common_options()
    options.update(
        allow={'type': 'list', 'elements': 'str', 'choices': list(FLASH_ACTIONS), 'default': ['upgrade']},
        exclude={'type': 'list', 'elements': 'str', 'default': []},
        versions={'type': 'dict', 'default': {}},
        # The action plugin's own: the discovery it ran on the host before it
        # ran the module, {'report': text, 'log': lines}.
        _discovery={'type': 'dict'},
    )
    return options


def _strings(value):
    return isinstance(value, list) and all(isinstance(v, str) for v in value)


def plain_update_options(args):
    """vexor_update's arguments args with the defaults of the others, when
    each is of the type the module takes as it is; else None: anything the
    module would convert, refuse or complain about is left to it."""
    options = update_options()
    if not set(args) <= set(options) - {'_discovery'}:
        return None
    o = dict({name: option.get('default') for name, option in options.items()}, **args)
    plain = (isinstance(o['dir'], str) and o['dir'].startswith('/') and _strings(o['command_prefix'])
             and _strings(o['allow']) and set(o['allow']) <= set(FLASH_ACTIONS) and _strings(o['exclude'])
             and isinstance(o['versions'], dict)
             and all(o[n] is None or (type(o[n]) is int and o[n] > 0) for n in ('query_timeout', 'burn_timeout'))
             and all(o[n] is None or isinstance(o[n], str) for n in ('keep_dir', 'rollout')))
    return o if plain else None


def read_options(exclude, versions):
    """The exclusions as vexor writes addresses, and the pins: (exclude,
    versions, None), or (None, None, why) for the first malformed one."""
    addresses = []
    for text in exclude:
        address = normalize_address(text)
        if address is None:
            return None, None, f'exclude: "{text}" is not a PCI address of the form dddd:bb:dd.f'
        addresses.append(address)
    pins = {}
    for psid, version in versions.items():
        version = str(version)
        if version_key(version) is None:
            return None, None, f'versions: the pin "{version}" for {psid} is not a version major.minor.release'
        pins[str(psid)] = version
    return addresses, pins, None


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
