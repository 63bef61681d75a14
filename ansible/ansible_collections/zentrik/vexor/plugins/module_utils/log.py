# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
# vexor's event log, pyxflash.log: the lines a run added, and which device
# each concerns. Standard library only: this runs on the managed host.

import os
import re

LOG_NAME = 'pyxflash.log'

# Event-log texts of a burn's start and end.
BURN_START = 'Burning '
BURN_SUCCESS = 'Upgrade SUCCESS'
BURN_FAILURES = ('Upgrade failed', 'Fimware upgrade on this device is not supported')

LOG_PREFIX_RE = re.compile(r'^\[[A-Z]+\]\s+\[[^]]*\]\s*')


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
    return log_lines(data)


def log_lines(data):
    """The non-blank lines of data, bytes appended to the log."""
    return [line.rstrip() for line in data.decode('utf-8', 'replace').splitlines() if line.strip()]


def text_of(line):
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
    out = {device['address']: [] for device in devices}
    run, current = [], None
    for line in lines:
        current = next((address for key, address in keys if key in line), current)
        (run if current is None else out[current]).append(line)
    return run, out
