#!/usr/bin/env bash
# Set-up, build, and vexor's main job on the simulated demo host.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
./build/vexor -h || true
