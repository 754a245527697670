#!/usr/bin/env bash
# Sets everything up, builds, and runs the benchmark on the rig (Xvfb, openbox, a null sink on a
# private PulseAudio and then on a private PipeWire): key-to-sound latency, dropouts and the
# buffer in force with no, one and both cores busy, processor at rest and memory of the real
# program, and of VMPK alongside (installed with the rest). The table goes to stdout, the figures
# to build/bench/bench-results.json; arguments are passed on (--help lists them).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh scripts/bench-packages.txt
exec build/bench/velune_bench --json build/bench/bench-results.json "$@"
