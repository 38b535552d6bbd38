# Sourced by the bench scripts: start_relay PROGRAM FOLDER NAME starts torvo-relay on a free
# port of 127.0.0.1 with its output in FOLDER, waits up to five seconds for its first line and
# sets relay_pid and relay_url; it exits the script (naming NAME) when the relay does not start.
start_relay() {
  "$1" --listen 127.0.0.1:0 >"$2/relay.out" 2>"$2/relay.err" &
  relay_pid=$!
  for _ in $(seq 1 50); do
    [ -s "$2/relay.out" ] && break
    sleep 0.1
  done
  relay_url=$(sed -n 's/^listening on //p' "$2/relay.out" | head -n 1)
  [ -n "$relay_url" ] || { echo "$3: torvo-relay did not start" >&2; exit 1; }
}
