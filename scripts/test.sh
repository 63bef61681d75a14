#!/usr/bin/env bash
# Set-up, build, and the whole test suite (unit and simulated-host tests).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cd build
ctest --output-on-failure -j"$(nproc)" </dev/null
