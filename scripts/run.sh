#!/usr/bin/env bash
# Builds torvo-agent and torvo-relay, starts the relay on 127.0.0.1 and the agent in simulate
# mode in a scratch home pointed at it, and runs until Ctrl-C, which stops both.
# As root, the agent runs as the unprivileged user "nobody" (simulate mode refuses root).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target torvo-agent torvo-relay

scratch=$(mktemp -d /tmp/torvo-run-XXXXXX)
cp build/torvo-agent build/torvo-relay "$scratch/"
chmod 755 "$scratch" "$scratch/torvo-agent" "$scratch/torvo-relay"
run=()
if [ "$(id -u)" -eq 0 ]; then
  chown 65534:65534 "$scratch"
  run=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi

"$scratch/torvo-relay" --listen 127.0.0.1:0 >"$scratch/relay.out" 2>"$scratch/relay.err" &
relay_pid=$!
trap 'kill "$relay_pid" 2>/dev/null || true' EXIT
for _ in $(seq 1 50); do
  [ -s "$scratch/relay.out" ] && break
  sleep 0.1
done
relay_url=$(sed -n 's/^listening on //p' "$scratch/relay.out" | head -n 1)
[ -n "$relay_url" ] || { echo "run: torvo-relay did not start" >&2; cat "$scratch/relay.err" >&2; exit 1; }

echo "run: relay $relay_url; scratch home $scratch/home; log $scratch/home/logs/agent.log"
echo "run: Ctrl-C stops the agent and the relay"
"${run[@]}" "$scratch/torvo-agent" --simulate --home "$scratch/home" --relay "$relay_url" "$@" || true
