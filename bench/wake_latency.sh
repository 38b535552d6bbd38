#!/usr/bin/env bash
# The time a phone waits for its answer while the computer is awake: torvo-relay on 127.0.0.1,
# torvo-agent in simulate mode at its default 30-second timer, one phone paired through
# torvo-ctl and torvo-phone. Each sample is one "torvo-phone wake 1" from start to exit, which
# is when the acknowledgement and the state report after it have arrived; samples start at
# uneven moments so they do not line up with the timer. As root the programs run as uid/gid
# 65534 in a scratch home.
#
#   bash bench/wake_latency.sh BUILD_DIR [SAMPLES]    (SAMPLES defaults to 20)
#
# Prints "key=value" lines: wake_ack_samples, wake_ack_median_s, wake_ack_worst_s.
set -euo pipefail

build=${1:?usage: wake_latency.sh BUILD_DIR [SAMPLES]}
samples=${2:-20}

scratch=$(mktemp -d /tmp/torvo-bench-wake-XXXXXX)
cp "$build/torvo-agent" "$build/torvo-relay" "$build/torvo-ctl" "$build/torvo-phone" "$scratch/"
chmod 755 "$scratch" "$scratch"/torvo-*
home="$scratch/home"
phone_state="$scratch/phone"
mkdir -p "$home" "$phone_state"
run=()
if [ "$(id -u)" -eq 0 ]; then
  chown 65534:65534 "$home" "$phone_state"
  run=(/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups)
fi

relay_pid=""
agent_pid=""
cleanup() {
  [ -z "$agent_pid" ] || kill -TERM "$agent_pid" 2>/dev/null || true
  [ -z "$relay_pid" ] || kill "$relay_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

. "$(dirname "$0")/start_relay.sh"
start_relay "$scratch/torvo-relay" "$scratch" wake_latency

"${run[@]}" "$scratch/torvo-agent" --simulate --home "$home" --relay "$relay_url" \
  >"$scratch/agent.out" 2>"$scratch/agent.err" &
agent_pid=$!
for _ in $(seq 1 200); do
  [ -S "$home/agent.sock" ] && break
  sleep 0.05
done
[ -S "$home/agent.sock" ] || { echo "wake_latency: the agent did not start" >&2; exit 1; }

ctl() { TORVO_AGENT_SOCKET="$home/agent.sock" TZ=UTC "${run[@]}" "$scratch/torvo-ctl" "$@"; }
phone() { "${run[@]}" "$scratch/torvo-phone" --state "$phone_state" --name "Bench phone" --timeout 60 "$@"; }

link=$(ctl pair | grep -o 'torvo://pair?[^ ]*' | head -n 1)
[ -n "$link" ] || { echo "wake_latency: no pairing link" >&2; exit 1; }
phone pair "$link" >/dev/null || { echo "wake_latency: pairing failed" >&2; exit 1; }

times=()
for i in $(seq 1 "$samples"); do
  # An uneven pause (0.3 to 3.9 s) so the samples fall anywhere in the timer's period.
  sleep "$(awk -v i="$i" 'BEGIN { printf "%.1f", 0.3 + (i * 7 % 13) * 0.3 }')"
  start=$(date +%s.%N)
  phone wake 1 >/dev/null || { echo "wake_latency: torvo-phone wake failed" >&2; exit 1; }
  end=$(date +%s.%N)
  times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')")
done

sorted=$(printf '%s\n' "${times[@]}" | sort -g)
echo "wake_ack_samples=$samples"
echo "wake_ack_median_s=$(printf '%s\n' "$sorted" | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }')"
echo "wake_ack_worst_s=$(printf '%s\n' "$sorted" | tail -n 1)"
