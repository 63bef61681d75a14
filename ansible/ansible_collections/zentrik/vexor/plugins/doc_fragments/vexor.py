# -*- coding: utf-8 -*-
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
'''
