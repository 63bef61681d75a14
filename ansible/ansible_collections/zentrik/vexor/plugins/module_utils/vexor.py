# -*- coding: utf-8 -*-
# Shared by vexor_info and vexor_update: running vexor in its component
# directory, reading and editing its discovery report, the rollout plan and
# the verdict on each device. Standard library only: this runs on the
# managed host.

import os
import re
import tempfile
import xml.etree.ElementTree as ET

# What vexor -u flashes: an action containing one of these words.
FLASH_ACTIONS = ('upgrade', 'rewrite', 'downgrade')

ADDRESS_RE = re.compile(r'^[0-9a-f]{4}:[0-9a-f]{2}:[0-9a-f]{2}\.[0-7]$')
VERSION_RE = re.compile(r'^[0-9]+\.[0-9]+\.[0-9]+$')

# vexor's one line on standard error when a mode ends non-zero, and the
# reasons a caller acts on.
REASON_PREFIX = 'vexor: '
NO_VENDOR_ADAPTER = 'no Quorvane adapter found'

# Event-log texts of a burn's end.
BURN_SUCCESS = 'Upgrade SUCCESS'
BURN_FAILURES = ('Upgrade failed', 'Fimware upgrade on this device is not supported')

LOG_NAME = 'pyxflash.log'


class VexorError(Exception):
    """A vexor run that ended in a way the caller cannot go on from."""

    def __init__(self, msg, rc=None, stderr='', log=None):
        super(VexorError, self).__init__(msg)
        self.msg = msg
        self.rc = rc
        self.stderr = stderr
        self.log = log or []


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
    for word in FLASH_ACTIONS:
        if word in (action or ''):
            return word
    return None


# ---------------------------------------------------------------------------
# The discovery report
# ---------------------------------------------------------------------------

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
    return '%s:%s.%s' % (_value(device, 'busnumber'), _value(device, 'devicenumber'),
                         _value(device, 'funcnumber'))


def read_report(path):
    """Parses a discovery report: (tree, devices), one dict per device element in order.

    Raises VexorError when the file cannot be read or parsed."""
    try:
        tree = ET.parse(path)
    except (OSError, ET.ParseError) as e:
        raise VexorError('cannot read the discovery report %s: %s' % (path, e))
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
    return tree, devices


def edit_report(tree, planned):
    """Keeps only the planned devices in tree, each with the action and version
    that make vexor -u burn its target. planned maps address -> plan entry."""
    root = tree.getroot()
    for container in root.iter('devices'):
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


# ---------------------------------------------------------------------------
# The plan
# ---------------------------------------------------------------------------

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
    allow = set(allow)
    exclude = set(exclude)
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
        'before': ''.join('%s %s: %s\n' % (a, p, v) for a, p, v, _ in rows),
        'after': ''.join('%s %s: %s\n' % (a, p, v if v is not None else '(unknown)') for a, p, _, v in rows),
        'before_header': 'installed firmware',
        'after_header': after_header,
    }


# ---------------------------------------------------------------------------
# The event log
# ---------------------------------------------------------------------------

def log_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def log_since(path, offset):
    """The non-blank lines appended to the log after offset (from the start if it shrank)."""
    try:
        with open(path, 'rb') as f:
            f.seek(0, os.SEEK_END)
            if f.tell() < offset:
                offset = 0
            f.seek(offset)
            data = f.read()
    except OSError:
        return []
    text = data.decode('utf-8', 'replace')
    return [line.rstrip() for line in text.splitlines() if line.strip()]


LOG_PREFIX_RE = re.compile(r'^\[[A-Z]+\]\s+\[[^]]*\]\s*')


def _text_of(line):
    """A log line without its tag and time stamp."""
    return LOG_PREFIX_RE.sub('', line)


def log_by_device(lines, devices):
    """Attributes log lines to devices: a line naming a device's address or MAC
    is that device's, and so is each line after it up to the next one naming
    another device. Lines before the first such line are the run's own."""
    keys = []
    for device in devices:
        keys.append((device['address'], device['address']))
        if device.get('mac'):
            keys.append((device['mac'], device['address']))
    out = dict((device['address'], []) for device in devices)
    run, current = [], None
    for line in lines:
        for key, address in keys:
            if key in line:
                current = address
                break
        if current is None:
            run.append(line)
        else:
            out[current].append(line)
    return run, out


# ---------------------------------------------------------------------------
# The verdict
# ---------------------------------------------------------------------------

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
    planned = dict((p['address'], p) for p in plan)
    results = []
    for device in before:
        entry = planned.get(device['address'])
        if entry:
            results.append(_result(device, entry, None, 'planned'))
        else:
            results.append(_result(device, None, device['installed'], left.get(device['address'], 'unchanged')))
    return results


def verdict(plan, left, before, after, lines):
    """One result per device found before the burns, in report order.

    after is the devices found by the discovery after the burns, or None when
    it could not run; lines are the log lines the burns added."""
    planned = dict((p['address'], p) for p in plan)
    now = dict((d['address'], d) for d in after or [])
    _, device_log = log_by_device(lines, before)
    results = []
    for device in before:
        address = device['address']
        entry = planned.get(address)
        current = now.get(address)
        log = device_log.get(address, [])
        to = current['installed'] if current else None
        reason = None
        if entry is None:
            outcome = left.get(address, 'unchanged')
        elif current is None:
            reason = 'not found by the discovery after the burns' if after is not None \
                else 'no discovery after the burns'
        elif to != entry['to']:
            reason = 'runs %s after the burns, not %s' % (to, entry['to'])
        elif entry['from'] == entry['to'] and not any(BURN_SUCCESS in line for line in log):
            # A rewrite leaves the version as it was: only the log tells it happened.
            reason = 'no successful burn logged'
        else:
            outcome = 'flashed'
        if reason:
            outcome = 'failed'
            said = [_text_of(line) for line in log if any(f in line for f in BURN_FAILURES)]
            if said:
                reason += ' (pyxflash.log: %s)' % '; '.join(said)
        result = _result(device, entry, to, outcome, log)
        if reason:
            result['reason'] = reason
        results.append(result)
    return results


def failure_message(results):
    bad = [r for r in results if r['outcome'] == 'failed']
    if not bad:
        return None
    return 'not at the target firmware: ' + '; '.join(
        '%s (%s, target %s): %s' % (r['address'], r['psid'], r['target'], r['reason']) for r in bad)


# ---------------------------------------------------------------------------
# Running vexor
# ---------------------------------------------------------------------------

def reason_line(stderr):
    """vexor's own reason on standard error (the last such line), or None."""
    found = None
    for line in (stderr or '').splitlines():
        if line.startswith(REASON_PREFIX):
            found = line.strip()
    return found


# What an exit status says when vexor printed no reason of its own.
STATUS_MEANING = {
    ('-d', 1): 'usage, event log not writable, catalog missing, or the adapters in use by another run',
    ('-d', 2): 'no usable adapter, or the report could not be saved',
}


def describe_failure(mode, rc, stderr, log):
    """Why a vexor run in mode (-d, -u) failed: its reason line when it printed
    one, else the exit status, what it means and the last line on standard error."""
    reason = reason_line(stderr)
    if reason is None:
        last = [line.strip() for line in (stderr or '').splitlines() if line.strip()]
        reason = 'vexor %s ended with status %s' % (mode, rc)
        if (mode, rc) in STATUS_MEANING:
            reason += ' (%s)' % STATUS_MEANING[(mode, rc)]
        if last:
            reason += ': ' + last[-1]
    if log:
        reason += ' (pyxflash.log: %s)' % ' | '.join(log)
    return reason


class Vexor(object):
    """vexor in its component directory, run through an optional command prefix."""

    def __init__(self, module, directory, prefix):
        self.module = module
        self.dir = directory
        self.prefix = list(prefix or [])
        self.log_path = os.path.join(directory, LOG_NAME)

    def check_dir(self):
        if not os.path.isdir(self.dir):
            raise VexorError('the vexor component directory %s does not exist' % self.dir)

    def run(self, args):
        """Runs ./vexor with args: (rc, stderr, the log lines the run added)."""
        offset = log_size(self.log_path)
        rc, _, err = self.module.run_command(self.prefix + ['./vexor'] + list(args), cwd=self.dir)
        return rc, err, log_since(self.log_path, offset)

    def own_file(self, kind):
        """A new, empty file of this run's own in the component directory:
        its name relative to it (vexor may see the directory under another path)."""
        fd, path = tempfile.mkstemp(prefix='ansible-vexor-%s-' % kind, suffix='.xml', dir=self.dir)
        os.close(fd)
        return os.path.basename(path)

    def remove(self, name):
        try:
            os.unlink(os.path.join(self.dir, name))
        except OSError:
            pass

    def discover(self):
        """vexor -d into a report of its own: (tree, devices, log lines).

        No adapter of the vendor is an empty list; every other failure raises
        VexorError with vexor's reason."""
        name = self.own_file('discovery')
        try:
            rc, err, log = self.run(['-d', name])
            if rc != 0:
                if NO_VENDOR_ADAPTER in (reason_line(err) or ''):
                    return None, [], log
                raise VexorError(describe_failure('-d', rc, err, log), rc=rc, stderr=err, log=log)
            tree, devices = read_report(os.path.join(self.dir, name))
            return tree, devices, log
        finally:
            self.remove(name)

    def apply(self, tree):
        """vexor -u on the edited report: (rc, stderr, log lines). Its exit
        status is no verdict on any device; the caller verifies."""
        name = self.own_file('apply')
        try:
            write_report(tree, os.path.join(self.dir, name))
            return self.run(['-u', name])
        finally:
            self.remove(name)


DEVICE_FIELDS = ('address', 'interface', 'product', 'psid', 'installed', 'available', 'action')


def public_device(device):
    """A device as the modules return it."""
    return dict((k, device[k]) for k in DEVICE_FIELDS)


def common_options():
    return dict(
        dir=dict(type='path', default='/opt/vexor'),
        command_prefix=dict(type='list', elements='str', default=[]),
    )
