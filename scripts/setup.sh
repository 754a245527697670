#!/usr/bin/env bash
# Installs what is missing (Debian packages), then configures and builds Velune into build/.
# Safe to run again: it installs and rebuilds only what changed. Further package lists may be
# named as arguments (the benchmark's own).
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
while read -r pkg; do
    [[ -z "$pkg" || "$pkg" == \#* ]] && continue
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done < <(cat scripts/debian-packages.txt "$@")

if ((${#missing[@]})); then
    sudo=""
    if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build_dir=${VELUNE_BUILD_DIR:-build}
# A unity build (the sources of a target compiled a few at a time as one) parses the Qt, GoogleTest
# and FluidSynth headers once per batch rather than once per file: a clean build on two cores
# takes 2 min instead of 3. The Debian package builds file by file, so a file that leans on
# another's includes still fails there.
if [[ ! -f "$build_dir/CMakeCache.txt" ]]; then
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_UNITY_BUILD=ON ${VELUNE_CMAKE_ARGS:-}
fi
cmake --build "$build_dir" -j "$(nproc)" ${VELUNE_BUILD_TARGET:+--target "$VELUNE_BUILD_TARGET"}
