#!/usr/bin/env bash
# The main job on a fresh Debian 12 machine: install, build the shipped configuration, run the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNELL_BUILD_TESTS=OFF >/dev/null
cmake --build build/release
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
build/release/demo/qova_logcheck "$dir"
