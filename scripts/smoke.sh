#!/usr/bin/env bash
# smoke.sh <release build dir>: a short run of the shipped configuration.
set -euo pipefail
BUILD=${1:?build dir}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$BUILD/demo/qova_logcheck" "$dir"
