# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
# Running vexor in its component directory through an optional command
# prefix, and what its exit status and reason line say. Standard library
# only: this runs on the managed host.

import os
import shlex
import signal
import subprocess
import tempfile

from ansible_collections.zentrik.vexor.plugins.module_utils.log import LOG_NAME, log_lines, log_since, log_size
from ansible_collections.zentrik.vexor.plugins.module_utils.report import (
    ReportError, read_report, report_of_text, write_report)

# vexor's one line on standard error when a mode ends non-zero, and the
# reasons a caller acts on.
REASON_PREFIX = 'vexor: '
NO_VENDOR_ADAPTER = 'no Quorvane adapter found'

# vexor's own limits on waiting, in seconds (its defaults; the environment
# variables set them), and what the modules add on top of vexor's own limit
# before they stop waiting for it.
QUERY_TIMEOUT = 60
BURN_TIMEOUT = 1800
QUERIES_PER_ADAPTER = 3
SLACK = 60
# How long vexor has to end after SIGTERM before the module stops waiting.
TERM_GRACE = 10

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


def time_limit(adapters, burns, query_timeout, burn_timeout):
    """Seconds to wait for a run of vexor that queries adapters and burns
    burns of them: what vexor's own limits allow it, and a margin."""
    return max(adapters, 1) * QUERIES_PER_ADAPTER * query_timeout + burns * burn_timeout + SLACK


def run_process(args, cwd, env, limit):
    """Runs args in cwd with env added to the environment: (rc, stdout,
    stderr, timed_out). A process that has not ended after limit seconds gets
    SIGTERM (it, not its children: vexor never has a burn killed) and
    TERM_GRACE seconds more; so does it when this process is told to stop."""
    process = subprocess.Popen(args, cwd=cwd, env=dict(os.environ, **env), stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)

    def stop(signum, _frame):
        process.terminate()
        raise SystemExit(128 + signum)

    previous = {s: signal.signal(s, stop) for s in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)}
    try:
        out, err = process.communicate(timeout=limit)
        return process.returncode, out, err, False
    except subprocess.TimeoutExpired:
        process.terminate()
        try:
            out, err = process.communicate(timeout=TERM_GRACE)
        except subprocess.TimeoutExpired:
            out, err = '', ''
        return process.returncode, out, err, True
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)


class Vexor:
    """vexor in its component directory, run through an optional command prefix."""

    def __init__(self, directory, prefix, query_timeout=None, burn_timeout=None):
        self.dir = directory
        self.prefix = list(prefix or [])
        self.log_path = os.path.join(directory, LOG_NAME)
        self.query_timeout = query_timeout or QUERY_TIMEOUT
        self.burn_timeout = burn_timeout or BURN_TIMEOUT
        # Only the limits asked for are handed to vexor; it knows its defaults.
        self.env = {name: str(value) for name, value in (('VEXOR_QUERY_TIMEOUT', query_timeout),
                                                         ('VEXOR_BURN_TIMEOUT', burn_timeout)) if value}
        # Until a discovery has counted them: a guess that errs on the long side.
        self.adapters = 16

    def check_dir(self):
        if not os.path.isdir(self.dir):
            raise VexorError(f'the vexor component directory {self.dir} does not exist')

    def run(self, args, burns=0):
        """Runs ./vexor with args: (rc, stderr, the log lines the run added).
        Raises VexorError when it outlives its time limit."""
        offset = log_size(self.log_path)
        limit = time_limit(self.adapters, burns, self.query_timeout, self.burn_timeout)
        rc, _, err, timed_out = run_process(self.prefix + ['./vexor'] + list(args), self.dir, self.env, limit)
        log = log_since(self.log_path, offset)
        if timed_out:
            said = reason_line(err)
            raise VexorError(f"vexor {args[0]} did not end within {limit} s and was sent SIGTERM"
                             + (f' ({said})' if said else '') + ('' if rc is not None else '; it is still running'),
                             rc=rc, stderr=err, log=log)
        return rc, err, log

    def discovery_command(self):
        """vexor -d /dev/stdout as run() would run it, as one /bin/sh command
        line (the module-level discovery_command)."""
        limit = time_limit(self.adapters, 0, self.query_timeout, self.burn_timeout)
        return discovery_command(self.dir, self.prefix, self.env, limit)

    def own_file(self, kind):
        """A new, empty file of this run's own in the component directory:
        its name relative to it (vexor may see the directory under another path)."""
        try:
            fd, path = tempfile.mkstemp(prefix=f'ansible-vexor-{kind}-', suffix='.xml', dir=self.dir)
        except OSError as e:
            raise VexorError(f'cannot create a report in the vexor component directory {self.dir}: '
                             f'{e.strerror}') from e
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
            tree, devices, log = discovered(rc, err, log, lambda: read_report(os.path.join(self.dir, name)))
            self.adapters = len(devices)
            return tree, devices, log
        finally:
            self.remove(name)

    def apply(self, tree, burns):
        """vexor -u on the edited report, which asks for burns burns: (rc,
        stderr, log lines). Its exit status is no verdict on any device; the
        caller verifies."""
        name = self.own_file('apply')
        try:
            try:
                write_report(tree, os.path.join(self.dir, name))
            except OSError as e:
                raise VexorError(f'cannot write a report in the vexor component directory {self.dir}: '
                                 f'{e.strerror}') from e
            return self.run(['-u', name], burns)
        finally:
            self.remove(name)


def discovered(rc, err, log, read):
    """What a run of vexor -d that ended with rc says: (tree, devices, log),
    read() giving the report's tree and devices. No adapter of the vendor is
    an empty list; every other failure raises VexorError with vexor's reason."""
    if rc != 0:
        # Only a host whose every device was read and none is the vendor's
        # has nothing to do; vexor names unread devices.
        if (reason_line(err) or '').startswith(REASON_PREFIX + NO_VENDOR_ADAPTER):
            return None, [], log
        raise VexorError(describe_failure('-d', rc, err, log), rc=rc, stderr=err, log=log)
    try:
        tree, devices = read()
    except ReportError as e:
        raise VexorError(str(e), log=log) from e
    return tree, devices, log


# The discovery as one shell command, for a caller that runs a command on
# the host but no Python there (an action plugin on the controller): what
# separates vexor's standard error from the log lines it added, and the
# statuses of the command itself.
LOG_MARK = '@@ vexor: the lines this run added to pyxflash.log @@'
NO_DIRECTORY = 97
TIMED_OUT = 124


def discovery_command(directory, prefix, env, limit):
    """A /bin/sh command line that runs vexor -d /dev/stdout as Vexor.run
    runs it (in directory, through prefix, with env, SIGTERM after limit
    seconds), then writes LOG_MARK and the log's new bytes to standard error
    and ends with vexor's status (NO_DIRECTORY when directory cannot be
    entered, TIMED_OUT at the limit)."""
    argv = [f'{name}={value}' for name, value in sorted(env.items())]
    argv = (['env'] + argv if argv else []) + ['timeout', '-s', 'TERM', str(limit)]
    argv += list(prefix) + ['./vexor', '-d', '/dev/stdout']
    log = shlex.quote(LOG_NAME)
    return ' '.join([
        f'cd {shlex.quote(directory)} || exit {NO_DIRECTORY};',
        f'before=$(wc -c < {log} 2>/dev/null) || before=0;',
        ' '.join(shlex.quote(a) for a in argv) + ' </dev/null; rc=$?;',
        f'now=$(wc -c < {log} 2>/dev/null) || now=0;',
        '[ "$now" -ge "$before" ] || before=0;',
        f'printf "\\n%s\\n" {shlex.quote(LOG_MARK)} >&2;',
        f'tail -c +$((before + 1)) {log} >&2 2>/dev/null;',
        'exit $rc'])


def discovery_output(rc, out, err):
    """What discovery_command printed: (tree, devices, log) as discovered()
    gives it, from the report after the banner on standard output; None when
    the command did not get to run vexor's discovery as Vexor.discover would
    (no directory, the time limit, a command not found or not run, no mark),
    for the caller to run the module that says why."""
    if rc in (NO_DIRECTORY, TIMED_OUT, 126, 127) or LOG_MARK not in err:
        return None
    err, _, added = err.rpartition('\n' + LOG_MARK + '\n')
    log = log_lines(added.encode('utf-8', 'surrogateescape'))
    report = out[out.find('<?xml'):] if '<?xml' in out else ''
    return discovered(rc, err, log, lambda: report_of_text(report, 'vexor -d wrote on standard output'))


def common_options():
    return {
        'dir': {'type': 'path', 'default': '/opt/vexor'},
        'command_prefix': {'type': 'list', 'elements': 'str', 'default': []},
        'query_timeout': {'type': 'int'},
        'burn_timeout': {'type': 'int'},
        'keep_dir': {'type': 'path'},
        'rollout': {'type': 'str'},
    }


def vexor_of(module):
    """The Vexor that the module's common options describe; fails the module
    on a time limit that is not a positive number of seconds."""
    params = module.params
    for name in ('query_timeout', 'burn_timeout'):
        if params[name] is not None and params[name] < 1:
            module.fail_json(msg=f'{name}: {params[name]} is not a positive number of seconds')
    return Vexor(params['dir'], params['command_prefix'], params['query_timeout'], params['burn_timeout'])
