#!/usr/bin/python
# -*- coding: utf-8 -*-

DOCUMENTATION = r'''
module: save_result
short_description: Keeps a value as a JSON file on the controller
version_added: 1.0.0
description:
  - Writes C(data) as indented JSON into C(dest) on the controller, replacing the file in one step;
    creates the directories on the way when they are missing.
  - Runs on the controller whatever the host of the task, and sends nothing to the host, so that
    a rollout can keep every host's result at almost no cost.
options:
  dest:
    description: The file on the controller.
    type: path
    required: true
  data:
    description: The value to write.
    type: raw
    required: true
extends_documentation_fragment:
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
    details: Writes nothing; says whether the file would change.
  diff_mode:
    support: none
  platform:
    support: full
    platforms: posix
author:
  - Zentrik firmware engineering (!UNKNOWN)
'''

EXAMPLES = r'''
- name: Keep this host's result on the controller
  zentrik.vexor.save_result:
    dest: "/srv/rollout/{{ inventory_hostname }}.json"
    data: "{{ vexor_result }}"
'''

RETURN = r'''
dest:
  description: The file written.
  returned: always
  type: str
'''
