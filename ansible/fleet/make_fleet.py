#!/usr/bin/env python3
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
"""Lays out a simulated fleet and writes its Ansible inventory.

    make_fleet.py --sim VEXOR_SIM --out DIR [--burn-seconds S] [--wrap WORDS]
                  [--activation NAME=reboot|never]... HOST...

Each HOST is NAME=KIND (one host) or KIND:N (hosts KIND-01 to KIND-N), KIND
being a host file of this directory without its .host (behind, current,
failing, newer, none, dual, unread). In DIR it writes:

    hostfiles/KIND.host, hostfiles/catalog.xml   the host files used
    hosts/NAME/                                  each host, laid out by vexor-sim
    inventory.yml                                the hosts in the order given, with a
                                                 group sim_KIND per kind
    ansible.cfg                                  that inventory, this collection,
                                                 the connection plugin of
                                                 connection_plugins/, temporary
                                                 files in DIR, 8 forks: run with
                                                 ANSIBLE_CONFIG=DIR/ansible.cfg

Every inventory host runs on this machine (ansible_connection: vexor_sim, the
local connection with a simulated reboot) and runs vexor inside its own
simulated host through vexor_command_prefix. --activation makes the
adapters of host NAME run a burnt version only after a simulated reboot
(reboot), or not even then (never). With
--burn-seconds every burn that does not fail takes S seconds. --wrap puts
WORDS (split as the shell would, "{host}" standing for the host's name) in
front of each host's prefix, e.g. a program that times each run of vexor.
A host of DIR laid out earlier is laid out afresh.
"""

import argparse
import json
import os
import re
import shlex
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
NAME_RE = re.compile(r'^[A-Za-z0-9][A-Za-z0-9_.-]*$')


def kinds():
    return sorted(f[:-5] for f in os.listdir(HERE) if f.endswith('.host'))


def parse_hosts(words):
    """[(name, kind)] in order; raises ValueError on a bad or repeated one."""
    known = kinds()
    hosts = []
    for word in words:
        if '=' in word:
            name, kind = word.split('=', 1)
            names = [name]
        elif ':' in word:
            kind, count = word.split(':', 1)
            if not count.isdigit() or int(count) < 1:
                raise ValueError('bad host count in "%s"' % word)
            names = ['%s-%02d' % (kind, i) for i in range(1, int(count) + 1)]
        else:
            raise ValueError('"%s" is neither NAME=KIND nor KIND:N' % word)
        if kind not in known:
            raise ValueError('unknown kind "%s" (known: %s)' % (kind, ', '.join(known)))
        for name in names:
            if not NAME_RE.match(name):
                raise ValueError('bad host name "%s"' % name)
            hosts.append((name, kind))
    seen = set()
    for name, _ in hosts:
        if name in seen:
            raise ValueError('host "%s" given twice' % name)
        seen.add(name)
    return hosts


def host_text(kind, burn_seconds):
    """The kind's host file, every burn not told otherwise made to take burn_seconds."""
    with open(os.path.join(HERE, kind + '.host')) as f:
        lines = f.read().splitlines()
    if burn_seconds:
        lines = [line + ' burn=slow seconds=%g' % burn_seconds
                 if line.split()[:1] == ['adapter'] and ' burn=' not in line else line
                 for line in lines]
    return '\n'.join(lines) + '\n'


def set_activation(state_dir, when):
    """Tells each adapter of a laid-out host when a burnt version runs (its
    state file's "activation", see sim/sim_state.h)."""
    for name in os.listdir(state_dir):
        if name.startswith('adapter-') and not name.endswith('.new'):
            with open(os.path.join(state_dir, name), 'a') as f:
                f.write('activation=%s\n' % when)


def yaml_str(text):
    # A JSON string is a YAML double-quoted scalar.
    return json.dumps(text)


def inventory(hosts, sim, out, wrap=''):
    lines = [
        '# The simulated fleet written by ansible/fleet/make_fleet.py. Every host',
        '# runs on this machine and runs vexor inside its own simulated host.',
        'all:',
        '  vars:',
        '    ansible_connection: vexor_sim',
        '    ansible_python_interpreter: /usr/bin/python3',
        '  hosts:',
    ]
    for name, kind in hosts:
        host_dir = os.path.join(out, 'hosts', name)
        prefix = [w.replace('{host}', name) for w in shlex.split(wrap)]
        prefix += [sim, '--dir', host_dir, os.path.join(out, 'hostfiles', kind + '.host'), '--shell']
        lines += [
            '    %s:' % name,
            '      vexor_sim_kind: %s' % kind,
            '      vexor_sim_dir: %s' % yaml_str(host_dir),
            '      vexor_dir: %s' % yaml_str(os.path.join(host_dir, 'component')),
            '      vexor_command_prefix: [%s]' % ', '.join(yaml_str(w) for w in prefix),
        ]
    lines.append('  children:')
    for kind in sorted(set(k for _, k in hosts)):
        lines += ['    sim_%s:' % kind, '      hosts:']
        lines += ['        %s:' % name for name, k in hosts if k == kind]
    return '\n'.join(lines) + '\n'


def ansible_cfg(out):
    return '\n'.join([
        '[defaults]',
        'inventory = %s' % os.path.join(out, 'inventory.yml'),
        'collections_path = %s' % os.path.dirname(HERE),
        'connection_plugins = %s' % os.path.join(HERE, 'connection_plugins'),
        'local_tmp = %s' % os.path.join(out, 'ansible-local'),
        'remote_tmp = %s' % os.path.join(out, 'ansible-remote'),
        'forks = 8',
        'retry_files_enabled = False',
        '',
    ])


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--sim', required=True, help='the built vexor-sim')
    parser.add_argument('--out', required=True, help='the scratch directory')
    parser.add_argument('--burn-seconds', type=float, default=0)
    parser.add_argument('--wrap', default='', help='words before each host\'s command prefix')
    parser.add_argument('--activation', action='append', default=[], metavar='NAME=reboot|never')
    parser.add_argument('hosts', nargs='+', metavar='HOST')
    args = parser.parse_args(argv)
    try:
        hosts = parse_hosts(args.hosts)
    except ValueError as e:
        parser.error(str(e))
    sim = os.path.abspath(args.sim)
    out = os.path.abspath(args.out)
    if re.search(r'[:,\s]', out):
        parser.error('the directory may not contain blanks, ":" or ","')  # vexor-sim refuses them

    hostfiles = os.path.join(out, 'hostfiles')
    os.makedirs(hostfiles, exist_ok=True)
    shutil.copy(os.path.join(HERE, 'catalog.xml'), hostfiles)
    for kind in set(k for _, k in hosts):
        with open(os.path.join(hostfiles, kind + '.host'), 'w') as f:
            f.write(host_text(kind, args.burn_seconds))
    for name, kind in hosts:
        host_dir = os.path.join(out, 'hosts', name)
        shutil.rmtree(host_dir, ignore_errors=True)
        subprocess.run([sim, '--dir', host_dir, os.path.join(hostfiles, kind + '.host'), '--shell', 'true'],
                       check=True)
    for name, when in (a.partition('=')[::2] for a in args.activation):
        if name not in dict(hosts) or when not in ('reboot', 'never'):
            parser.error(f'bad --activation "{name}={when}"')
        set_activation(os.path.join(out, 'hosts', name, 'state'), when)
    path = os.path.join(out, 'inventory.yml')
    with open(path, 'w') as f:
        f.write(inventory(hosts, sim, out, args.wrap))
    with open(os.path.join(out, 'ansible.cfg'), 'w') as f:
        f.write(ansible_cfg(out))
    print(path)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
