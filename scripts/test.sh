#!/usr/bin/env bash
# The whole test suite: installs missing packages, builds, runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
cd build
ctest -j"$(nproc)" --output-on-failure --timeout 300
