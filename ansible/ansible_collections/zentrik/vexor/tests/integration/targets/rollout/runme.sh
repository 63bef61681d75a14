#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The rollout on a simulated fleet (see fleet_test.py). Needs VEXOR_SIM and root.
set -euo pipefail
exec /usr/bin/python3 "$(dirname "$0")/fleet_test.py" "$@"
