#!/usr/bin/env bash
# The whole product on one machine with nothing prepared: builds what is missing, starts
# torvo-relay on 127.0.0.1 and torvo-agent in simulate mode in a scratch home, pairs a
# torvo-phone through torvo-ctl, sends a Wake from the phone and shows the acknowledgement and
# the "awake" report, ends the Wake and shows "asleep", shows the agent's log, and stops
# everything it started. Exits 0 when every step worked; otherwise names the step that failed.
# As root, the relay, the agent and the tools run as the unprivileged user "nobody" (simulate
# mode refuses root).
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "run: FAILED at step: $1" >&2
  [ -n "${2:-}" ] && [ -s "$2" ] && sed 's/^/    /' "$2" >&2
  exit 1
}

echo "== building"
bash scripts/setup.sh >/dev/null || fail "installing the build dependencies"
cmake -S . -B build >/dev/null || fail "configuring the build"
cmake --build build -j"$(nproc)" --target torvo-agent torvo-relay torvo-ctl torvo-phone >/dev/null ||
  fail "building the programs"

scratch=$(mktemp -d /tmp/torvo-run-XXXXXX)
for program in torvo-agent torvo-relay torvo-ctl torvo-phone; do
  cp "build/$program" "$scratch/"
done
chmod 755 "$scratch" "$scratch"/torvo-*
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  chown 65534:65534 "$scratch"
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
home="$scratch/home"
export TORVO_AGENT_SOCKET="$home/agent.sock"

relay_pid=""
agent_pid=""
stop_all() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null || true
  [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap stop_all EXIT

ctl() { "${as_user[@]}" "$scratch/torvo-ctl" "$@"; }
phone() {
  "${as_user[@]}" "$scratch/torvo-phone" --state "$scratch/phone" --name "Demo phone" \
    --timeout 30 "$@"
}
# Runs a step, shows its output indented, and stops the run when it fails or when its output
# lacks the expected text.
step() {
  local name="$1" expect="$2"
  shift 2
  echo "== $name"
  local out="$scratch/step.out"
  if ! "$@" >"$out" 2>&1; then fail "$name" "$out"; fi
  sed 's/^/    /' "$out"
  if [ -n "$expect" ] && ! grep -q -- "$expect" "$out"; then
    echo "run: expected \"$expect\" in the output" >&2
    fail "$name"
  fi
}

echo "== starting torvo-relay on 127.0.0.1"
"${as_user[@]}" "$scratch/torvo-relay" --listen 127.0.0.1:0 >"$scratch/relay.out" 2>"$scratch/relay.err" &
relay_pid=$!
for _ in $(seq 1 50); do
  [ -s "$scratch/relay.out" ] && break
  sleep 0.1
done
relay_url=$(sed -n 's/^listening on //p' "$scratch/relay.out" | head -n 1)
[ -n "$relay_url" ] || fail "starting torvo-relay" "$scratch/relay.err"
echo "    relay at $relay_url"

echo "== starting torvo-agent --simulate in $home"
"${as_user[@]}" "$scratch/torvo-agent" --simulate --home "$home" --relay "$relay_url" \
  --poll-seconds 2 >"$scratch/agent.out" 2>&1 &
agent_pid=$!
for _ in $(seq 1 100); do
  [ -S "$home/agent.sock" ] && break
  kill -0 "$agent_pid" 2>/dev/null || break
  sleep 0.1
done
[ -S "$home/agent.sock" ] || fail "starting torvo-agent" "$scratch/agent.out"
echo "    agent running (pid $agent_pid), socket $home/agent.sock"

step "opening a pairing code with torvo-ctl pair" "torvo://pair" ctl pair
link=$(grep -o 'torvo://pair?[^[:space:]]*' "$scratch/step.out" | head -n 1)
step "pairing torvo-phone with the link" "state: asleep" phone pair "$link"
step "sending a Wake of 2 hours from the phone" "state: awake until" phone wake 2
grep -q "ack: ok: Awake until" "$scratch/step.out" || fail "acknowledgement of the Wake"
step "the agent's status through torvo-ctl" "awake until" ctl status
step "ending the Wake from the phone" "state: asleep" phone end
grep -q "ack: ok" "$scratch/step.out" || fail "acknowledgement of the end"

echo "== the agent's log: $home/logs/agent.log"
[ -s "$home/logs/agent.log" ] || fail "reading the agent's log"
sed 's/^/    /' "$home/logs/agent.log"

echo "== stopping the agent and the relay"
kill -TERM "$agent_pid"
status=0
wait "$agent_pid" || status=$?
agent_pid=""
[ "$status" -eq 0 ] || fail "stopping torvo-agent (exit status $status)" "$scratch/agent.out"
kill "$relay_pid"
wait "$relay_pid" 2>/dev/null || true
relay_pid=""
echo "run: every step worked; scratch folder $scratch"
