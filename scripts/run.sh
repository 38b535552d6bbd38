#!/usr/bin/env bash
# Builds torvo-agent and runs it in simulate mode in a scratch home until Ctrl-C.
# As root, the agent runs as the unprivileged user "nobody" (simulate mode refuses root).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target torvo-agent

scratch=$(mktemp -d /tmp/torvo-run-XXXXXX)
cp build/torvo-agent "$scratch/torvo-agent"
chmod 755 "$scratch" "$scratch/torvo-agent"
run=()
if [ "$(id -u)" -eq 0 ]; then
  chown 65534:65534 "$scratch"
  run=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
echo "run: scratch home $scratch/home; log $scratch/home/logs/agent.log; Ctrl-C stops the agent"
"${run[@]}" "$scratch/torvo-agent" --simulate --home "$scratch/home" "$@"
