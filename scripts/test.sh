#!/usr/bin/env bash
# Sets everything up, builds, and runs every test (unit, widget, end-to-end).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
ctest --test-dir build --output-on-failure -j 2
