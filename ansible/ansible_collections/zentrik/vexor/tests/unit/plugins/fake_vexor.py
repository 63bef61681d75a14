# -*- coding: utf-8 -*-
# A stand-in for vexor behind AnsibleModule.run_command: -d writes a report
# of the adapters' current state, -u burns what the report asks for as each
# adapter's burn behaviour says, and both append to pyxflash.log the way
# vexor does. Records every command line it is given.

import os
import tempfile
import xml.etree.ElementTree as ET

from ansible.module_utils.basic import AnsibleModule

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


class FakeVexor(object):
    """adapters: what -d finds. d_failure, d_failure_after_u, u_failure:
    (status, standard error) of a run that ends before it does anything.
    After -u an adapter with burn 'ok' runs the report's version, 'fail'
    keeps its version, 'stale' keeps it although the log says the burn
    succeeded; u_status is the status -u then ends with."""

    def __init__(self, directory, adapters, d_failure=None, u_failure=None, d_failure_after_u=None, u_status=0):
        self.dir = directory
        self.adapters = adapters
        self.d_failure = d_failure
        self.u_failure = u_failure
        self.d_failure_after_u = d_failure_after_u
        self.u_status = u_status
        self.calls = []
        self.applied = []  # the reports -u was given, parsed

    def log(self, *lines):
        with open(os.path.join(self.dir, 'pyxflash.log'), 'a') as f:
            for line in lines:
                f.write('[INFO]      [Tue Dec  8 03:00:00 2026] %s\n\n' % line)

    def __call__(self, args, cwd=None, **kwargs):
        assert cwd == self.dir, cwd
        self.calls.append(list(args))
        mode, name = args[-2], args[-1]
        if mode == '-d':
            failure = self.d_failure_after_u if self.applied else self.d_failure
            if failure:
                self.log('discovery log line')
                return failure[0], '', failure[1]
            with open(os.path.join(self.dir, name), 'w') as f:
                f.write(report_xml(self.adapters))
            return 0, 'banner\n', ''
        if mode == '-u':
            tree = ET.parse(os.path.join(self.dir, name))
            self.applied.append(tree)
            if self.u_failure:
                return self.u_failure[0], '', self.u_failure[1]
            by_address = dict((a['address'], a) for a in self.adapters)
            for device in tree.getroot().iter('device'):
                address = '%s:%s.%s' % tuple(device.find(n).get('value')
                                             for n in ('busnumber', 'devicenumber', 'funcnumber'))
                action = device.find('fw_item/action').get('value')
                if not any(word in action for word in ('upgrade', 'rewrite', 'downgrade')):
                    continue
                a = by_address[address]
                self.log('Burning %s with ./nic_fw/image-%s.bin' % (address, device.find('fw_item/version').get('value')))
                if a['burn'] == 'fail':
                    self.log('Upgrade failed')
                    continue
                self.log('MAC %s Upgrade SUCCESS' % a['mac'])
                if a['burn'] == 'ok':
                    a['installed'] = device.find('fw_item/version').get('value')
            return self.u_status, 'banner\n', ''
        raise AssertionError('unexpected command %r' % (args,))


def install(testcase, fake):
    """Puts fake behind AnsibleModule.run_command for the test's duration."""
    original = AnsibleModule.run_command
    AnsibleModule.run_command = lambda self, args, **kwargs: fake(args, **kwargs)
    testcase.addCleanup(setattr, AnsibleModule, 'run_command', original)


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
