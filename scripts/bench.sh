#!/usr/bin/env bash
# Builds torvo-agent in Release mode in build-bench/, runs the in-process benchmarks
# (torvo-bench, medians of repetitions), the process-level figures (bench/process.sh) and
# torvo-relay under 1,000 idle streams (torvo-relay-load),
# and prints one table: figure | measured | target | met?.
#
#   bash scripts/bench.sh [IDLE_SECONDS]    (the idle-CPU window, 300 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
idle=${1:-300}
bash scripts/setup.sh >/dev/null
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTORVO_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target torvo-bench torvo-agent torvo-relay torvo-ctl torvo-phone \
  torvo-launch-probe torvo-relay-load >/dev/null

out=$(mktemp -d /tmp/torvo-bench-out-XXXXXX)
trap 'rm -rf "$out"' EXIT
echo "bench: in-process benchmarks (5 repetitions each)" >&2
build-bench/bench/torvo-bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_out="$out/bench.json" --benchmark_out_format=json >&2
echo "bench: process figures (idle window ${idle} s)" >&2
bash bench/process.sh build-bench "$idle" >"$out/process.txt"
echo "bench: phone Wake to acknowledgement (20 samples)" >&2
bash bench/wake_latency.sh build-bench 20 >>"$out/process.txt"
echo "bench: torvo-relay with 1,000 idle streams" >&2
build-bench/bench/torvo-relay-load build-bench/torvo-relay 1000 >"$out/relay.txt"
echo
python3 bench/table.py "$out/bench.json" "$out/process.txt" "$out/relay.txt"
