#!/usr/bin/env bash
# Sets everything up, builds, and runs the benchmark on the end-to-end stage (Xvfb, openbox, a
# PulseAudio null sink): key-to-sound latency, start-up, memory, idle processor and dropouts of
# the real program, and of VMPK alongside when it is installed. The table goes to stdout, the
# figures to build/bench/bench-results.json; arguments are passed on (--help lists them).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec build/bench/velune_bench --json build/bench/bench-results.json "$@"
