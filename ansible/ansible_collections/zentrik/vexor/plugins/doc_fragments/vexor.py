# -*- coding: utf-8 -*-
# Copyright: the vexor developers
# SPDX-License-Identifier: MIT
# The options every module that runs vexor takes (common_options).


class ModuleDocFragment:
    DOCUMENTATION = r'''
options:
  dir:
    description:
      - The vexor component directory, where C(./vexor) is run and its reports are written.
    type: path
    default: /opt/vexor
  command_prefix:
    description:
      - Words run before C(./vexor), such as a wrapper that runs it inside another environment.
      - The component directory is the working directory of the whole command.
    type: list
    elements: str
    default: []
  query_timeout:
    description:
      - Seconds vexor waits for one query of the flash utility (C(VEXOR_QUERY_TIMEOUT)); vexor's own
        default, 60, when not given.
      - The module waits for each run of vexor no longer than the limits of vexor allow it (three
        queries per adapter, and one burn per planned adapter) and a minute more; then it sends
        vexor C(SIGTERM), fails with vexor's reason, and never leaves it running. So it does when
        the task itself is stopped.
    type: int
  burn_timeout:
    description:
      - Seconds vexor waits for one burn (C(VEXOR_BURN_TIMEOUT)); vexor's own default, 1800, when not
        given. vexor never kills a burn; past the limit it stops waiting, fails the adapter and ends.
    type: int
  keep_dir:
    description:
      - A directory on the controller where the result is kept, in a JSON file named after the
        inventory host (escaped so that no name leads out of the directory), also when the task
        fails or the host cannot be reached. Made when missing.
    type: path
  rollout:
    description:
      - A name for the rollout the task is part of, kept with the result in C(keep_dir).
    type: str
notes:
  - A host that cannot be reached fails the task (with C(host_unreachable) in the result), so that
    it counts as a failure for C(max_fail_percentage) and stops the later batches of a rollout.
'''
