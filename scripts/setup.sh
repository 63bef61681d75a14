#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks and builds vexor into build/.
# Idempotent, and quiet when everything is already there.
#   bash scripts/setup.sh            everything, tests included
#   bash scripts/setup.sh TARGET...  only those targets (and what they need)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make pkg-config libgtest-dev libxml2-dev libpci-dev pciutils pci.ids
          util-linux grep gawk coreutils valgrind libxml2-utils
          groff-base man-db tar gzip clang-14 libclang-rt-14-dev
          dpkg-dev file binutils lintian
          ansible-core ansible-lint yamllint pycodestyle pyflakes3 python3-voluptuous shellcheck
          universal-ctags clang-format-14)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build build -j"$(nproc)" "${targets[@]}" >/dev/null
