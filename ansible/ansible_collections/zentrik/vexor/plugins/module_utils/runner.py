# -*- coding: utf-8 -*-
# Running vexor in its component directory through an optional command
# prefix, and what its exit status and reason line say. Standard library
# only: this runs on the managed host.

import os
import tempfile

from ansible_collections.zentrik.vexor.plugins.module_utils.log import LOG_NAME, log_since, log_size
from ansible_collections.zentrik.vexor.plugins.module_utils.report import ReportError, read_report, write_report

# vexor's one line on standard error when a mode ends non-zero, and the
# reasons a caller acts on.
REASON_PREFIX = 'vexor: '
NO_VENDOR_ADAPTER = 'no Quorvane adapter found'

# What an exit status says when vexor printed no reason of its own.
STATUS_MEANING = {
    ('-d', 1): 'usage, event log not writable, catalog missing, or the adapters in use by another run',
    ('-d', 2): 'no usable adapter, or the report could not be saved',
}


class VexorError(Exception):
    """A vexor run that ended in a way the caller cannot go on from."""

    def __init__(self, msg, rc=None, stderr='', log=None):
        super().__init__(msg)
        self.msg = msg
        self.rc = rc
        self.stderr = stderr
        self.log = log or []


def reason_line(stderr):
    """vexor's own reason on standard error (the last such line), or None."""
    found = None
    for line in (stderr or '').splitlines():
        if line.startswith(REASON_PREFIX):
            found = line.strip()
    return found


def describe_failure(mode, rc, stderr, log):
    """Why a vexor run in mode (-d, -u) failed: its reason line when it printed
    one, else the exit status, what it means and the last line on standard error."""
    reason = reason_line(stderr)
    if reason is None:
        last = [line.strip() for line in (stderr or '').splitlines() if line.strip()]
        reason = f'vexor {mode} ended with status {rc}'
        if (mode, rc) in STATUS_MEANING:
            reason += f' ({STATUS_MEANING[(mode, rc)]})'
        if last:
            reason += ': ' + last[-1]
    if log:
        reason += f" (pyxflash.log: {' | '.join(log)})"
    return reason


class Vexor:
    """vexor in its component directory, run through an optional command prefix."""

    def __init__(self, module, directory, prefix):
        self.module = module
        self.dir = directory
        self.prefix = list(prefix or [])
        self.log_path = os.path.join(directory, LOG_NAME)

    def check_dir(self):
        if not os.path.isdir(self.dir):
            raise VexorError(f'the vexor component directory {self.dir} does not exist')

    def run(self, args):
        """Runs ./vexor with args: (rc, stderr, the log lines the run added)."""
        offset = log_size(self.log_path)
        rc, _, err = self.module.run_command(self.prefix + ['./vexor'] + list(args), cwd=self.dir)
        return rc, err, log_since(self.log_path, offset)

    def own_file(self, kind):
        """A new, empty file of this run's own in the component directory:
        its name relative to it (vexor may see the directory under another path)."""
        fd, path = tempfile.mkstemp(prefix=f'ansible-vexor-{kind}-', suffix='.xml', dir=self.dir)
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
            try:
                tree, devices = read_report(os.path.join(self.dir, name))
            except ReportError as e:
                raise VexorError(str(e), log=log) from e
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


def common_options():
    return {
        'dir': {'type': 'path', 'default': '/opt/vexor'},
        'command_prefix': {'type': 'list', 'elements': 'str', 'default': []},
    }
