# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
# vexor's discovery report: reading it, and editing it into the report that
# makes vexor -u burn exactly the plan. Standard library only: this runs on
# the managed host.

import xml.etree.ElementTree as ET

# The fields of a device as the modules return them.
DEVICE_FIELDS = ('address', 'interface', 'product', 'psid', 'installed', 'available', 'action')


class ReportError(Exception):
    """A discovery report that cannot be read."""


def _value(parent, name):
    element = parent.find(name) if parent is not None else None
    return element.get('value', '') if element is not None else ''


def _set_value(parent, name, value):
    element = parent.find(name)
    if element is None:
        element = ET.SubElement(parent, name)
    element.set('value', value)


def _address(device):
    # vexor -u joins the three parts the same way.
    return f"{_value(device, 'busnumber')}:{_value(device, 'devicenumber')}.{_value(device, 'funcnumber')}"


def read_report(path):
    """Parses a discovery report: (tree, devices), one dict per device element in order."""
    try:
        tree = ET.parse(path)
    except (OSError, ET.ParseError) as e:
        raise ReportError(f'cannot read the discovery report {path}: {e}') from e
    return tree, _devices_of(tree)


def report_of_text(text, origin):
    """read_report of a report held in text; origin names it in errors."""
    try:
        tree = ET.ElementTree(ET.fromstring(text))
    except ET.ParseError as e:
        raise ReportError(f'cannot read the discovery report {origin}: {e}') from e
    return tree, _devices_of(tree)


def _devices_of(tree):
    devices = []
    for element in tree.getroot().iter('device'):
        item = element.find('fw_item')
        devices.append({
            'address': _address(element),
            'interface': _value(element, 'device_id'),
            'product': _value(element, 'product_id'),
            'mac': _value(element, 'macaddress'),
            'psid': _value(item, 'firmware_id'),
            'installed': _value(item, 'active_version'),
            'available': _value(item, 'version'),
            'action': _value(item, 'action'),
        })
    return devices


def edit_report(tree, planned):
    """Keeps only the planned devices in tree, each with the action and version
    that make vexor -u burn its target. planned maps address -> plan entry."""
    for container in tree.getroot().iter('devices'):
        for element in list(container.findall('device')):
            entry = planned.get(_address(element))
            if entry is None:
                container.remove(element)
                continue
            item = element.find('fw_item')
            if item is None:
                item = ET.SubElement(element, 'fw_item')
            _set_value(item, 'version', entry['to'])
            _set_value(item, 'action', entry['action'])
    return tree


def write_report(tree, path):
    tree.write(path, encoding='UTF-8', xml_declaration=True)


def public_device(device):
    """A device as the modules return it."""
    return {k: device[k] for k in DEVICE_FIELDS}
