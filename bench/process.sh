#!/usr/bin/env bash
# Process-level figures of torvo-agent in simulate mode against a torvo-relay on 127.0.0.1:
# the time from start to a listening app socket (median of several launches), the resident
# memory once the launch check-in is done (VmRSS of /proc/<pid>/status), and the CPU time the
# idle agent uses over a window with the 30-second timer (utime + stime of /proc/<pid>/stat).
# Beside VmRSS it gives the agent's proportional share (Pss) and private pages of
# /proc/<pid>/smaps_rollup, and the peak RSS of "torvo-agent --version" (/usr/bin/time -v): what
# loading the program and its shared libraries costs before the agent does anything.
# As root the agent runs as uid/gid 65534 in a scratch home.
#
#   bash bench/process.sh BUILD_DIR [IDLE_SECONDS]    (IDLE_SECONDS defaults to 300)
#
# Prints "key=value" lines: start_ms, start_runs, rss_kib, pss_kib, private_kib,
# version_rss_kib, idle_seconds, idle_cpu_seconds.
set -euo pipefail

build=${1:?usage: process.sh BUILD_DIR [IDLE_SECONDS]}
idle=${2:-300}
launches=7

scratch=$(mktemp -d /tmp/torvo-bench-proc-XXXXXX)
cp "$build/torvo-agent" "$build/torvo-relay" "$build/bench/torvo-launch-probe" "$scratch/"
chmod 755 "$scratch" "$scratch/torvo-agent" "$scratch/torvo-relay" "$scratch/torvo-launch-probe"
home="$scratch/home"
run=()
if [ "$(id -u)" -eq 0 ]; then
  mkdir -p "$home"
  chown 65534:65534 "$home"
  run=(/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups)
fi

relay_pid=""
agent_pid=""
stop_agent() {
  [ -n "$agent_pid" ] || return 0
  kill -TERM "$agent_pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    [ -d "/proc/$agent_pid" ] || break
    sleep 0.05
  done
  kill -KILL "$agent_pid" 2>/dev/null || true
  agent_pid=""
}
cleanup() {
  stop_agent
  [ -z "$relay_pid" ] || kill "$relay_pid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

. "$(dirname "$0")/start_relay.sh"
start_relay "$scratch/torvo-relay" "$scratch" process

agent=("${run[@]}" "$scratch/torvo-agent" --simulate --home "$home" --relay "$relay_url" --poll-seconds 30)

# Starts the agent under the probe; sets agent_pid and prints the milliseconds to listening.
launch() {
  local out
  out=$("$scratch/torvo-launch-probe" "$home/agent.sock" 10 "${agent[@]}" 2>>"$scratch/agent.err")
  agent_pid=${out#* }
  echo "${out% *}"
}

# The first launch creates the home's files; the timed ones start as the service normally does.
launch >/dev/null
stop_agent
times=()
for _ in $(seq 1 "$launches"); do
  times+=("$(launch)")
  stop_agent
done
start_ms=$(printf '%s\n' "${times[@]}" | sort -g | sed -n "$(((launches + 1) / 2))p")

# One more launch that stays up: memory once the launch check-in is done, then idle CPU.
launch >/dev/null
log="$home/logs/agent.log"
for _ in $(seq 1 100); do
  grep -q 'check-in (launch)' "$log" 2>/dev/null && break
  sleep 0.1
done
grep -q 'check-in (launch)' "$log" || { echo "process: no launch check-in in the log" >&2; exit 1; }
sleep 1
rss_kib=$(awk '/^VmRSS:/ {print $2}' "/proc/$agent_pid/status")
pss_kib=$(awk '/^Pss:/ {print $2}' "/proc/$agent_pid/smaps_rollup")
private_kib=$(awk '/^Private_(Clean|Dirty):/ {n += $2} END {print n}' "/proc/$agent_pid/smaps_rollup")
version_rss_kib=$(/usr/bin/time -f '%M' "$scratch/torvo-agent" --version 2>&1 >/dev/null | tail -n 1)

ticks() { awk '{print $14 + $15}' "/proc/$agent_pid/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
sleep "$idle"
after=$(ticks)
[ -d "/proc/$agent_pid" ] || { echo "process: the agent ended during the idle window" >&2; exit 1; }
stop_agent

echo "start_ms=$start_ms"
echo "start_runs=$launches"
echo "rss_kib=$rss_kib"
echo "pss_kib=$pss_kib"
echo "private_kib=$private_kib"
echo "version_rss_kib=$version_rss_kib"
echo "idle_seconds=$idle"
echo "idle_cpu_seconds=$(awk -v t=$((after - before)) -v hz="$hz" 'BEGIN {printf "%.2f", t / hz}')"
