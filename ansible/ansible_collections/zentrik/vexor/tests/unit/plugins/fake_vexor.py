# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
# A stand-in for vexor behind the modules' run_process: -d writes a report
# of the adapters' current state, -u burns what the report asks for as each
# adapter's burn behaviour says, and both append to pyxflash.log the way
# vexor does. Records every command line it is given.

import os
import tempfile
import xml.etree.ElementTree as ET

from ansible_collections.zentrik.vexor.plugins.module_utils import runner
from ansible_collections.zentrik.vexor.plugins.module_utils.report import read_report

DEVICE_LEAVES = ('device_id', 'venid', 'devid', 'subvenid', 'subdevid', 'macaddress', 'product_id',
                 'busnumber', 'devicenumber', 'funcnumber', 'slotnumber', 'nictype')


def adapter(address, installed, available, action, psid='QRV0000000011', mac=None, burn='ok'):
    return {'address': address, 'installed': installed, 'available': available, 'action': action,
            'psid': psid, 'mac': mac or '0002c9' + address.replace(':', '').replace('.', '')[-6:],
            'burn': burn}


def report_xml(adapters):
    """A discovery report laid out as vexor -d writes it."""
    root = ET.Element('zk_rom_discovery', version='2.0.0.0')
    for name, value in (('type', 'QUORVANE_NIC'), ('version', '1.0.0'), ('takes_effect', 'reboot')):
        ET.SubElement(root, name, value=value)
    devices = ET.SubElement(root, 'devices')
    for a in adapters:
        device = ET.SubElement(devices, 'device')
        bus, rest = a['address'].rsplit(':', 1)
        slot, function = rest.split('.')
        values = dict(device_id='ens' + slot, venid='15B3', devid='1017', subvenid='15B3', subdevid='0020',
                      macaddress=a['mac'], product_id='QX-200', busnumber=bus, devicenumber=slot,
                      funcnumber=function, slotnumber='', nictype='QUORVANE')
        for leaf in DEVICE_LEAVES:
            ET.SubElement(device, leaf, value=values[leaf])
        item = ET.SubElement(device, 'fw_item')
        for leaf, value in (('type', 'ROM'), ('firmware_id', a['psid']), ('version', a['available']),
                            ('active_version', a['installed']), ('action', a['action']),
                            ('duration', '210'), ('message', ''), ('shared', 'no')):
            ET.SubElement(item, leaf, value=value)
    return ET.tostring(root, encoding='unicode')


class FakeVexor:
    """adapters: what -d finds. d_failure, d_failure_after_u, u_failure:
    (status, standard error) of a run that ends before it does anything.
    After -u an adapter with burn 'ok' runs the report's version, 'fail'
    keeps its version, 'later' keeps it although the log says the burn
    succeeded (as an adapter that runs it after a reboot); u_status is the
    status -u then ends with. u_hangs: -u outlives its time limit. Records
    each run's arguments (calls), environment and time limit (runs)."""

    def __init__(self, directory, adapters, d_failure=None, u_failure=None, d_failure_after_u=None, u_status=0,
                 u_hangs=False):
        self.dir = directory
        self.adapters = adapters
        self.d_failure = d_failure
        self.u_failure = u_failure
        self.d_failure_after_u = d_failure_after_u
        self.u_status = u_status
        self.u_hangs = u_hangs
        self.calls = []
        self.runs = []  # (mode, environment, time limit)
        self.applied = []  # the reports -u was given, parsed

    def log(self, *lines):
        with open(os.path.join(self.dir, 'pyxflash.log'), 'a') as f:
            for line in lines:
                f.write('[INFO]      [Tue Dec  8 03:00:00 2026] %s\n\n' % line)

    def __call__(self, args, cwd, env, limit):
        assert cwd == self.dir, cwd
        self.calls.append(list(args))
        mode, name = args[-2], args[-1]
        self.runs.append((mode, env, limit))
        if mode == '-d':
            failure = self.d_failure_after_u if self.applied else self.d_failure
            if failure:
                self.log('discovery log line')
                return failure[0], '', failure[1], False
            with open(os.path.join(self.dir, name), 'w') as f:
                f.write(report_xml(self.adapters))
            return 0, 'banner\n', '', False
        if mode == '-u':
            tree = ET.parse(os.path.join(self.dir, name))
            self.applied.append(tree)
            if self.u_failure:
                return self.u_failure[0], '', self.u_failure[1], False
            if self.u_hangs:
                self.log('Burning ./nic_fw/image.bin into 0000:05:00.0; the flash utility\'s output goes to /tmp/dataA')
                return -15, '', 'vexor: stopping after the burn of 0000:05:00.0\n', True
            by_address = dict((a['address'], a) for a in self.adapters)
            for device in tree.getroot().iter('device'):
                address = '%s:%s.%s' % tuple(device.find(n).get('value')
                                             for n in ('busnumber', 'devicenumber', 'funcnumber'))
                action = device.find('fw_item/action').get('value')
                if not any(word in action for word in ('upgrade', 'rewrite', 'downgrade')):
                    continue
                a = by_address[address]
                self.log("Burning ./nic_fw/image-%s.bin into %s; the flash utility's output goes to /tmp/dataA"
                         % (device.find('fw_item/version').get('value'), address))
                if a['burn'] == 'fail':
                    self.log('Upgrade failed')
                    continue
                self.log('MAC %s Upgrade SUCCESS' % a['mac'])
                if a['burn'] == 'ok':
                    a['installed'] = device.find('fw_item/version').get('value')
            return self.u_status, 'banner\n', '', False
        raise AssertionError('unexpected command %r' % (args,))


def install(testcase, fake):
    """Puts fake behind the modules' run_process for the test's duration."""
    original = runner.run_process
    runner.run_process = fake
    testcase.addCleanup(setattr, runner, 'run_process', original)


def parsed(adapters):
    """The adapters as read_report gives them back from a report vexor wrote."""
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, 'r.xml')
        with open(path, 'w') as f:
            f.write(report_xml(adapters))
        return read_report(path)[1]


# One host with a device of every action.
BEHIND, CURRENT, NEWER, UNKNOWN = parsed([
    adapter('0000:05:00.0', '16.35.1012', '16.35.2000', 'upgrade', psid='P-BEHIND'),
    adapter('0000:06:00.0', '16.35.2000', '16.35.2000', 'rewrite', psid='P-CURRENT'),
    adapter('0000:07:00.0', '16.36.1000', '16.35.2000', 'downgrade', psid='P-NEWER'),
    adapter('0000:08:00.0', '1.2.3', '', 'Nothing', psid='P-UNKNOWN')])


def write_catalog(directory, entries):
    """nic_fw/NICFWData.xml in directory, one entry per (PSID, version)."""
    os.makedirs(os.path.join(directory, 'nic_fw'), exist_ok=True)
    root = ET.Element('NICFWData')
    for psid, version in entries:
        ET.SubElement(root, 'nic', name='board', PSID=psid, rom=version, fwFile=f'{psid}-{version}.bin')
    ET.ElementTree(root).write(os.path.join(directory, 'nic_fw', 'NICFWData.xml'))
