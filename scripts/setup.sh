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
if [[ ! -f "$build_dir/CMakeCache.txt" ]]; then
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${VELUNE_CMAKE_ARGS:-}
fi
cmake --build "$build_dir" -j "$(nproc)" ${VELUNE_BUILD_TARGET:+--target "$VELUNE_BUILD_TARGET"}
