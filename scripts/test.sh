#!/usr/bin/env bash
# Sets everything up, builds, and runs every test: unit, widget and end-to-end tests on the
# normal build, then the unit and widget tests again built with AddressSanitizer and
# UndefinedBehaviorSanitizer, and that build of the program itself played under the end-to-end
# rig, which must end without leaks of its own; and the tests of code that runs on several
# threads built with ThreadSanitizer. Last, the Debian package is built, installed, played and
# removed (scripts/package-test.sh).
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

# ThreadSanitizer: the synthesizer loading in the background while the caller waits, the audio
# thread rendering, resting, waking and losing its server while messages arrive, the recording's
# saving thread. (The JACK port's threads are libjack's own; slowed down by the instrumentation its
# client misses the dummy server's cycles, so that test runs in the normal build only.)
VELUNE_BUILD_DIR=build-tsan \
VELUNE_CMAKE_ARGS="-DVELUNE_SANITIZE=thread -DVELUNE_BUILD_BENCH=OFF" \
VELUNE_BUILD_TARGET=velune_thread_tests \
    scripts/setup.sh
TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/tests/tsan.supp" \
    ctest --test-dir build-tsan --output-on-failure -j 2 -L threads -E '^PrivateJack\.'

# The Debian package: built from the tracked files, checked with lintian, installed, its program
# played on the rig, removed without a trace.
scripts/package-test.sh
