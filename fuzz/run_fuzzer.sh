#!/bin/sh
# run_fuzzer.sh <target> <seed dir> <work dir> <seconds>
# New inputs go into the work directory; the committed seeds are only read.
set -eu
target=$1 seeds=$2 work=$3 seconds=$4
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
exec "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" "$work/corpus" "$seeds"
