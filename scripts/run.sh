#!/usr/bin/env bash
# Sets everything up, builds, and starts Velune.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec build/src/app/velune
