#!/usr/bin/env bash
# Sets everything up, builds, and runs every test: unit, widget and end-to-end tests on the
# normal build, then the unit and widget tests again built with AddressSanitizer and
# UndefinedBehaviorSanitizer, and that build of the program itself played under the end-to-end
# rig, which must end without leaks of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
ctest --test-dir build --output-on-failure -j 2 -LE e2e
# The end-to-end tests (on PulseAudio, playing and audio loss on PipeWire too) play real time
# audio on a two-core machine: a run that a busy moment spoiled gets one more try, and every
# failed try stays in the log.
ctest --test-dir build --output-on-failure -L e2e --repeat until-pass:2

VELUNE_BUILD_DIR=build-sanitize \
VELUNE_CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Debug -DVELUNE_SANITIZE=ON -DVELUNE_BUILD_E2E=OFF -DVELUNE_BUILD_BENCH=OFF" \
    scripts/setup.sh
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0" \
    ctest --test-dir build-sanitize --output-on-failure -j 2
VELUNE_SANITIZED_PROGRAM="$PWD/build-sanitize/src/app/velune" \
    ctest --test-dir build --output-on-failure -R '^Leaks\.'
