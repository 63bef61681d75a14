# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
# Keeping a host's result on the controller, in the worker that ran the
# host's task: one JSON file per host in a directory, replaced in one step,
# named so that no inventory name leads out of the directory.

import json
import os
import tempfile
from urllib.parse import quote


def host_file(directory, host):
    """The file of host in directory: the name with every character but
    letters, digits and "_.-~" escaped as %XX, and a leading dot too."""
    name = quote(host, safe='')
    if name.startswith('.'):
        name = '%2E' + name[1:]
    return os.path.join(directory, name + '.json')


def read_kept(path):
    """What path holds, or None when it holds nothing readable."""
    try:
        with open(path, encoding='utf-8') as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def keep(path, value):
    """Writes value as JSON at path through a temporary file in the same
    directory (made when missing), which never stays behind. Raises OSError."""
    directory = os.path.dirname(os.path.abspath(path))
    # Hosts of one batch keep their results at the same time: whoever comes
    # first makes the directory.
    os.makedirs(directory, exist_ok=True)
    fd, temporary = tempfile.mkstemp(dir=directory, prefix='.' + os.path.basename(path) + '.')
    try:
        with os.fdopen(fd, 'w', encoding='utf-8') as f:
            json.dump(value, f, indent=4, sort_keys=True)
            f.write('\n')
        os.chmod(temporary, 0o644)
        os.rename(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
