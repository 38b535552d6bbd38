#!/usr/bin/env bash
# The Debian package, installed and run on this machine:
#  1. its contents: paths, modes, root ownership, the client's app bundle and the link to it,
#     the maintainer scripts, the computed dependencies, man pages, and lintian without errors;
#  2. installing it with apt-get (no systemd as PID 1 needed): the agent's service enabled, the
#     relay's not, both units accepted by `systemd-analyze verify`;
#  3. the installed agent started as its unit starts it, with a private system bus carrying a
#     mock logind, a console user made of sd-login's seat and session files, and the installed
#     torvo-relay on 127.0.0.1: readiness through NOTIFY_SOCKET, the peer checks of the local
#     socket (console user answered; another user, root, a copy of the client outside the bundle
#     and a copy of the whole bundle refused), a Wake holding logind's idle and sleep locks and
#     its end releasing them, the alarm timer at the next check-in, a SIGKILL and a restart
#     (alarm armed again, the Wake held again), root answered once no console user is left, and
#     an orderly stop; the system setup pausing unattended upgrades in apt's configuration and
#     its undo giving apt its earlier values back;
#  4. removing it keeps /var/lib/torvo, purging deletes it and takes back the paused updates.
# Usage: package_test.sh PATH/torvo-agent_VERSION_ARCH.deb (as root, on a machine that may be
# changed: it installs and purges the package). Every process it starts and every file it
# places outside its scratch folder are removed on any exit.
set -uo pipefail

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
  echo "usage: $0 PATH/torvo-agent_VERSION_ARCH.deb" >&2
  exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "package test: needs root (it installs the package)" >&2
  exit 2
fi
deb=$(realpath "$1")
unset TORVO_AGENT_SOCKET
export DEBIAN_FRONTEND=noninteractive
python=/usr/bin/python3  # Debian's, which imports dbusmock
app=/usr/lib/torvo/Torvo.app
socket=/var/run/Torvo/agent.sock
another_uid=65533

scratch=$(mktemp -d /tmp/torvo-package-test-XXXXXX)
chmod 755 "$scratch"

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok: $1"; }
fail() {
  failed=$((failed + 1))
  echo "FAILED: $1"
  [ -n "${2:-}" ] && [ -s "$2" ] && sed 's/^/    /' "$2" | tail -n 30
  return 0
}
# check NAME COMMAND...: one check; its output is shown when it fails.
check() {
  local name="$1"
  shift
  if "$@" >"$scratch/check.out" 2>&1; then pass "$name"; else fail "$name" "$scratch/check.out"; fi
}
# need NAME COMMAND...: a check the later ones cannot do without.
need() {
  local before=$failed
  check "$@"
  if [ "$failed" -ne "$before" ]; then
    echo "package test: stopping, the remaining checks need this one"
    exit 1
  fi
}
# wait_for SECONDS COMMAND...: true as soon as the command succeeds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -ge "$deadline" ] && return 1
    sleep 0.1
  done
}

# -- cleanup --------------------------------------------------------------------------------

agent_pid="" relay_pid="" mock_pid="" bus_pid="" notify_pid=""
made_files=() made_dirs=()
stop_pid() {
  [ -n "$1" ] || return 0
  kill "$1" 2>/dev/null || return 0
  for _ in $(seq 1 50); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -9 "$1" 2>/dev/null || true
}
package_state() { dpkg-query -W -f='${db:Status-Status}' torvo-agent 2>/dev/null; }
cleanup() {
  stop_pid "$agent_pid"
  stop_pid "$relay_pid"
  stop_pid "$mock_pid"
  stop_pid "$bus_pid"
  stop_pid "$notify_pid"
  wait 2>/dev/null
  local i
  for ((i = ${#made_files[@]} - 1; i >= 0; i--)); do rm -f "${made_files[i]}"; done
  for ((i = ${#made_dirs[@]} - 1; i >= 0; i--)); do rmdir "${made_dirs[i]}" 2>/dev/null; done
  if [ -n "$(package_state)" ] && [ "$(package_state)" != "not-installed" ]; then
    apt-get purge -y -q torvo-agent >"$scratch/purge-on-exit.log" 2>&1 ||
      echo "package test: could not purge torvo-agent (see $scratch/purge-on-exit.log)"
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

case "$(package_state)" in
  "" | not-installed) ;;
  *)
    echo "package test: torvo-agent is already on this machine ($(package_state)); the test" \
      "installs and purges it: run 'apt-get purge torvo-agent' first" >&2
    trap - EXIT
    rm -rf "$scratch"
    exit 2
    ;;
esac

# -- 1. the package file --------------------------------------------------------------------

version=$(dpkg-deb -f "$deb" Version)
arch=$(dpkg-deb -f "$deb" Architecture)
check "the file is named after the package's name, version and architecture" \
  test "$(basename "$deb")" = "torvo-agent_${version}_${arch}.deb"
check "the package is built for this machine's architecture" \
  test "$arch" = "$(dpkg --print-architecture)"

dpkg-deb -c "$deb" >"$scratch/contents" || fail "dpkg-deb -c lists the package"
# mode, owner and path of each entry ("./usr/bin/x" -> "/usr/bin/x"); links keep their target.
awk '{ sub(/^\./, "", $6); print $1, $2, $6, ($7 == "->" ? $8 : "") }' "$scratch/contents" \
  >"$scratch/entries"

# path | mode | link target
expected_entries=(
  "/usr/sbin/torvo-agent|-rwxr-xr-x|"
  "/usr/bin/torvo-phone|-rwxr-xr-x|"
  "/usr/bin/torvo-relay|-rwxr-xr-x|"
  "/usr/bin/torvo-ctl|lrwxrwxrwx|../lib/torvo/Torvo.app/Contents/MacOS/torvo-ctl"
  "/usr/lib/torvo/|drwxr-xr-x|"
  "/usr/lib/torvo/Torvo.app/|drwxr-xr-x|"
  "/usr/lib/torvo/Torvo.app/Contents/|drwxr-xr-x|"
  "/usr/lib/torvo/Torvo.app/Contents/MacOS/|drwxr-xr-x|"
  "/usr/lib/torvo/Torvo.app/Contents/Info.plist|-rw-r--r--|"
  "/usr/lib/torvo/Torvo.app/Contents/MacOS/torvo-ctl|-rwxr-xr-x|"
  "/lib/systemd/system/torvo-agent.service|-rw-r--r--|"
  "/lib/systemd/system/torvo-relay.service|-rw-r--r--|"
  "/lib/systemd/system/torvo-wake-on-lan.service|-rw-r--r--|"
  "/usr/lib/torvo/restore-wake-on-lan|-rwxr-xr-x|"
  "/usr/share/man/man8/torvo-agent.8.gz|-rw-r--r--|"
  "/usr/share/man/man1/torvo-ctl.1.gz|-rw-r--r--|"
  "/usr/share/man/man1/torvo-phone.1.gz|-rw-r--r--|"
  "/usr/share/man/man1/torvo-relay.1.gz|-rw-r--r--|"
  "/usr/share/doc/torvo-agent/copyright|-rw-r--r--|"
  "/usr/share/doc/torvo-agent/changelog.gz|-rw-r--r--|"
  "/usr/share/torvo/phone/|drwxr-xr-x|"
  "/usr/share/torvo/phone/index.html|-rw-r--r--|"
  "/usr/share/torvo/phone/app.js|-rw-r--r--|"
  "/usr/share/torvo/phone/sw.js|-rw-r--r--|"
  "/usr/share/torvo/phone/manifest.webmanifest|-rw-r--r--|"
  "/usr/share/torvo/phone/icon-192.png|-rw-r--r--|"
)
entry_is() {
  local path="$1" mode="$2" target="$3"
  awk -v p="$path" -v m="$mode" -v t="$target" \
    '$3 == p { found = 1; if ($1 != m || $4 != t) { print "found:", $0; exit 1 } }
     END { if (!found) { print "missing"; exit 1 } }' "$scratch/entries"
}
for entry in "${expected_entries[@]}"; do
  IFS='|' read -r path mode target <<<"$entry"
  check "the package holds $path as $mode${target:+ -> $target}" entry_is "$path" "$mode" "$target"
done
check "every entry is owned by root/root" \
  awk '$2 != "root/root" { print; bad = 1 } END { exit bad }' "$scratch/entries"
check "no file or folder is writable by group or others" \
  awk '$1 !~ /^l/ && (substr($1, 6, 1) == "w" || substr($1, 9, 1) == "w") { print; bad = 1 }
       END { exit bad }' "$scratch/entries"

root="$scratch/root"
need "dpkg-deb -x unpacks the package" dpkg-deb -x "$deb" "$root"
check "/usr/bin/torvo-ctl leads to the program inside the app bundle" \
  test "$(readlink -f "$root/usr/bin/torvo-ctl")" = "$root$app/Contents/MacOS/torvo-ctl"

plist_is() {
  "$python" - "$root$app" "$version" <<'EOF'
import os, plistlib, sys
bundle, version = sys.argv[1], sys.argv[2]
with open(os.path.join(bundle, "Contents", "Info.plist"), "rb") as f:
    info = plistlib.load(f)
want = {"CFBundleIdentifier": "com.quorvantelix.Torvo", "CFBundleName": "Torvo",
        "CFBundleExecutable": "torvo-ctl", "CFBundleVersion": version}
wrong = {k: info.get(k) for k, v in want.items() if info.get(k) != v}
program = os.path.join(bundle, "Contents", "MacOS", str(info.get("CFBundleExecutable")))
if wrong or not os.access(program, os.X_OK):
    sys.exit(f"Info.plist differs: {wrong}, program {program} executable: {os.access(program, os.X_OK)}")
EOF
}
check "the bundle's Info.plist names the client, its program and the package's version" plist_is

elf_files=("$root/usr/sbin/torvo-agent" "$root/usr/bin/torvo-phone" "$root/usr/bin/torvo-relay"
  "$root$app/Contents/MacOS/torvo-ctl")
unstripped() {
  local file bad=0
  for file in "${elf_files[@]}"; do
    if readelf -S "$file" | grep -Eq '\.symtab|\.debug_'; then echo "not stripped: $file"; bad=1; fi
  done
  return $bad
}
check "the programs are stripped" unstripped

# Every shared library the programs link to directly comes from a package named in Depends.
depends_cover_libraries() {
  local depends file soname path owner bad=0
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "Depends: ${depends:-(none)}"
  [ -n "$depends" ] || return 1
  for file in "${elf_files[@]}"; do
    for soname in $(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      path=$(ldd "$file" | awk -v n="$soname" '$1 == n && $2 == "=>" { print $3 }')
      owner=$(dpkg -S "$path" 2>/dev/null || dpkg -S "/usr$path" 2>/dev/null || dpkg -S "${path#/usr}" 2>/dev/null)
      owner=${owner%%:*}
      if [ -z "$owner" ]; then
        echo "$file: no package owns $soname (${path:-not found})"
        bad=1
      elif ! tr ',' '\n' <<<"$depends" | awk -v p="$owner" '$1 == p { found = 1 } END { exit !found }'; then
        echo "$file: $soname comes from $owner, which Depends lacks"
        bad=1
      fi
    done
  done
  return $bad
}
check "Depends names the package of every library the programs link to" depends_cover_libraries

control="$scratch/control"
need "dpkg-deb -e unpacks the control files" dpkg-deb -e "$deb" "$control"
for script in postinst prerm postrm; do
  check "the $script script is executable and valid sh" \
    sh -c "test \"\$(stat -c %a '$control/$script')\" = 755 && sh -n '$control/$script'"
done

man_page_names_program() {
  local program section page
  for program in torvo-agent:8 torvo-ctl:1 torvo-phone:1 torvo-relay:1; do
    section=${program#*:}
    program=${program%:*}
    page="$root/usr/share/man/man$section/$program.$section.gz"
    LC_ALL=C MANWIDTH=200 man -P cat -l "$page" 2>/dev/null | sed -n '/^NAME/{n;p;q}' |
      grep -Eq "^ +$program - " || { echo "$page does not name $program"; return 1; }
  done
}
check "each program's man page names it" man_page_names_program

lintian --tag-display-limit 0 "$deb" >"$scratch/lintian" 2>&1
check "lintian reports no error" sh -c "! grep '^E: ' '$scratch/lintian'"

# -- 2. installing --------------------------------------------------------------------------

need "apt-get installs the package" apt-get install -y -q "$deb"
check "dpkg records the package as installed" test "$(package_state)" = installed
check "the agent's service is enabled for multi-user.target" \
  test "$(readlink /etc/systemd/system/multi-user.target.wants/torvo-agent.service)" = \
  /lib/systemd/system/torvo-agent.service
check "the relay's service is not enabled" \
  test ! -e /etc/systemd/system/multi-user.target.wants/torvo-relay.service
check "the Wake-on-LAN boot unit is enabled for multi-user.target" \
  test "$(readlink /etc/systemd/system/multi-user.target.wants/torvo-wake-on-lan.service)" = \
  /lib/systemd/system/torvo-wake-on-lan.service
verify_units() {
  # The units' Documentation= pages are looked up too, unless this machine's dpkg leaves man
  # pages out (path-exclude, as minimal container images do).
  local man=yes
  [ -e /usr/share/man/man8/torvo-agent.8.gz ] || { man=no; echo "note: man pages not installed here"; }
  systemd-analyze verify --man="$man" /lib/systemd/system/torvo-agent.service \
    /lib/systemd/system/torvo-relay.service /lib/systemd/system/torvo-wake-on-lan.service \
    >"$scratch/verify" 2>&1
  local status=$?
  cat "$scratch/verify"
  [ "$status" -eq 0 ] && [ ! -s "$scratch/verify" ]
}
check "systemd-analyze verify accepts the three units" verify_units
check "the installed agent prints the package's version" \
  test "$(/usr/sbin/torvo-agent --version)" = "$version"
for program in /usr/sbin/torvo-agent /usr/bin/torvo-relay /usr/bin/torvo-ctl /usr/bin/torvo-phone; do
  check "$program --help exits 0" "$program" --help
done

# -- 3. the installed agent -----------------------------------------------------------------

# A private system bus with logind mocked on it; its method calls go to a log.
bus_address=$(dbus-daemon --session --fork --address="unix:path=$scratch/system_bus_socket" \
  --print-address=1 --print-pid=3 3>"$scratch/bus.pid" | head -n 1)
bus_pid=$(cat "$scratch/bus.pid" 2>/dev/null)
need "a private bus runs" test -n "$bus_address" -a -n "$bus_pid"
export DBUS_SYSTEM_BUS_ADDRESS="$bus_address"
logind_log="$scratch/logind.log"
"$python" -m dbusmock --template logind --logfile "$logind_log" >"$scratch/dbusmock.out" 2>&1 &
mock_pid=$!
logind_on_bus() {
  dbus-send --bus="$bus_address" --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.login1 2>/dev/null | grep -q 'boolean true'
}
need "the mock logind is on the bus" wait_for 20 logind_on_bus

# The console user: sd-login's seat and session files, unless this machine has a seat already.
own_seat=0
if [ -e /run/systemd/seats/seat0 ]; then
  # Nobody active on it: root is the one answered.
  console_uid=$(sed -n 's/^ACTIVE_UID=//p' /run/systemd/seats/seat0)
  console_uid=${console_uid:-0}
  echo "note: this machine has a seat0 of its own; uid $console_uid stands for the console user"
else
  own_seat=1
  console_uid=65534
  for dir in /run/systemd /run/systemd/seats /run/systemd/sessions; do
    [ -d "$dir" ] || { mkdir "$dir" && made_dirs+=("$dir"); }
  done
  session=torvotest1
  made_files+=(/run/systemd/seats/seat0 "/run/systemd/sessions/$session")
  printf 'ACTIVE=%s\nACTIVE_UID=%s\n' "$session" "$console_uid" >/run/systemd/seats/seat0
  printf 'UID=%s\nCLASS=user\nSEAT=seat0\nACTIVE=1\nSTATE=active\n' "$console_uid" \
    >"/run/systemd/sessions/$session"
fi
[ "$console_uid" = "$another_uid" ] && another_uid=65532

# The installed relay on 127.0.0.1, as nobody.
setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/torvo-relay --listen 127.0.0.1:0 \
  >"$scratch/relay.out" 2>"$scratch/relay.err" &
relay_pid=$!
wait_for 10 grep -qs '^listening on ' "$scratch/relay.out"
relay_url=$(sed -n 's/^listening on //p' "$scratch/relay.out" | head -n 1)
need "the installed torvo-relay listens on 127.0.0.1" test -n "$relay_url"

# The service manager's side of sd_notify: each datagram on a line of its own.
notify_socket="$scratch/notify.sock"
notify_log="$scratch/notify.log"
: >"$notify_log"
"$python" -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
with open(sys.argv[2], "ab", buffering=0) as log:
    while True:
        log.write(s.recv(65536).rstrip(b"\n") + b"\n")
' "$notify_socket" "$notify_log" &
notify_pid=$!
need "the notify socket is bound" wait_for 10 test -S "$notify_socket"

# start_agent: the installed agent as its unit runs it; waits for its socket.
start_agent() {
  rm -f "$socket"
  NOTIFY_SOCKET="$notify_socket" /usr/sbin/torvo-agent --allowed-client "$app" --relay "$relay_url" \
    >>"$scratch/agent.out" 2>&1 &
  agent_pid=$!
  wait_for 20 test -S "$socket"
}
notifications() { grep -cx "$1" "$notify_log"; }
# notified_after NAME COUNT: more than COUNT notifications NAME (READY=1, STOPPING=1) so far.
notified_after() { [ "$(notifications "$1")" -gt "$2" ]; }
ctl_as() {
  local uid="$1" program="$2"
  shift 2
  setpriv --reuid="$uid" --regid="$uid" --clear-groups "$program" "$@"
}
# ctl_exits STATUS TEXT UID PROGRAM ARGS...: the exit status and a text in its output.
ctl_exits() {
  local want="$1" text="$2" status=0
  shift 2
  ctl_as "$@" >"$scratch/ctl.out" 2>&1 || status=$?
  cat "$scratch/ctl.out"
  [ "$status" -eq "$want" ] || { echo "exit status $status, expected $want"; return 1; }
  grep -qF -- "$text" "$scratch/ctl.out"
}
# The remaining seconds of the process's CLOCK_REALTIME_ALARM (clock id 8) timers, one a line.
alarm_timers() {
  local fd
  for fd in /proc/"$1"/fdinfo/*; do
    awk '/^clockid:/ { alarm = ($2 == 8) } alarm && /^it_value:/ { gsub(/[(,)]/, " "); print $2 }' \
      "$fd" 2>/dev/null
  done
}
# One alarm timer, set to the next check-in the agent reports, within 5 seconds.
alarm_at_next_check_in() {
  local pid="$1" next left now
  next=$(ctl_as "$console_uid" /usr/bin/torvo-ctl status --json |
    "$python" -c 'import json, sys; print(json.load(sys.stdin).get("nextCheckIn", ""))')
  now=$(date +%s)
  left=$(alarm_timers "$pid")
  echo "next check-in: ${next:-none}, now: $now, alarm timers (seconds left): ${left:-none}"
  [ -n "$next" ] && [ "$(wc -l <<<"$left")" -eq 1 ] && [ -n "$left" ] &&
    [ $((now + left - next)) -le 5 ] && [ $((next - now - left)) -le 5 ]
}
log_lines() { wc -l <"$logind_log" 2>/dev/null || echo 0; }
# Whether the logind log gained a blocking Inhibit of WHAT after line FROM (logind's "what" is a
# colon-separated list, such as "idle:sleep").
inhibited_since() {
  tail -n +"$(($2 + 1))" "$logind_log" | grep -Eq "Inhibit \"([a-z-]+:)*$1(:[a-z-]+)*\" .*\"block\"\$"
}
# called_inhibit WHAT FROM: within 10 seconds; otherwise shows the logind calls since line FROM.
called_inhibit() {
  wait_for 10 inhibited_since "$1" "$2" && return 0
  echo "logind calls since:"
  tail -n +"$(($2 + 1))" "$logind_log"
  return 1
}
# The inhibitor locks logind holds now, as "WHAT MODE" lines; a lock is held until every copy
# of its file descriptor is closed.
held_locks() {
  "$python" - "$bus_address" <<'EOF'
import dbus, sys
bus = dbus.bus.BusConnection(sys.argv[1])
logind = bus.get_object("org.freedesktop.login1", "/org/freedesktop/login1")
for what, who, why, mode, uid, pid in logind.ListInhibitors(dbus_interface="org.freedesktop.login1.Manager"):
    print(what, mode)
EOF
}
no_locks_held() {
  local held
  held=$(held_locks) || return 1
  [ -z "$held" ] || { echo "held: $held"; return 1; }
}
holds() { grep -Eq "^([a-z-]+:)*$1(:[a-z-]+)* block\$" <<<"$2"; }
# A Wake's hold: blocking idle and sleep locks, the same ones two seconds apart, so a check-in's
# short lock cannot pass for it.
wake_locks_held() {
  local first second
  first=$(held_locks) || return 1
  echo "held: ${first:-nothing}"
  holds idle "$first" && holds sleep "$first" || return 1
  sleep 2
  second=$(held_locks) || return 1
  [ "$first" = "$second" ]
}

need "the installed agent opens its socket" start_agent
check "the agent tells the service manager READY=1" wait_for 10 notified_after READY=1 0

check "the console user's status is answered" \
  ctl_exits 0 "version: $version" "$console_uid" /usr/bin/torvo-ctl status
mkdir -p "$scratch/elsewhere"
cp "$app/Contents/MacOS/torvo-ctl" "$scratch/elsewhere/torvo-ctl"
cp -a "$app" "$scratch/Torvo.app"
# uid | program | who
refused_peers=(
  "$another_uid|/usr/bin/torvo-ctl|another user running the installed client"
  "$console_uid|$scratch/elsewhere/torvo-ctl|the console user running a copy outside the bundle"
  "$console_uid|$scratch/Torvo.app/Contents/MacOS/torvo-ctl|the console user running a copy of the whole bundle"
  "0|/usr/bin/torvo-ctl|root while a console user is logged in"
)
for peer in "${refused_peers[@]}"; do
  IFS='|' read -r uid program who <<<"$peer"
  [ "$uid" = 0 ] && [ "$console_uid" = 0 ] && continue
  check "refused: $who" ctl_exits 3 "the agent refused this connection" "$uid" "$program" status
done

check "the agent keeps an alarm timer at its next check-in" alarm_at_next_check_in "$agent_pid"

check "between check-ins the agent holds no logind lock" wait_for 15 no_locks_held
before=$(log_lines)
check "torvo-ctl wake 1 is answered" ctl_exits 0 "" "$console_uid" /usr/bin/torvo-ctl wake 1
check "a Wake asks logind for a blocking idle lock" called_inhibit idle "$before"
check "a Wake asks logind for a blocking sleep lock" called_inhibit sleep "$before"
check "a running Wake holds logind's idle and sleep locks" wait_for 15 wake_locks_held

# A killed agent leaves nothing armed: the next one must arm its own alarm and hold the Wake.
{
  kill -9 "$agent_pid"
  wait "$agent_pid"
} 2>/dev/null
need "the killed agent's locks are gone" wait_for 10 no_locks_held
ready_before=$(notifications READY=1)
need "the agent starts again after SIGKILL" start_agent
check "the restarted agent tells READY=1 again" wait_for 10 notified_after READY=1 "$ready_before"
check "the restarted agent arms its alarm timer at the next check-in" \
  wait_for 10 alarm_at_next_check_in "$agent_pid"
check "the restarted agent holds the running Wake again" wait_for 15 wake_locks_held
check "torvo-ctl end is answered" ctl_exits 0 "" "$console_uid" /usr/bin/torvo-ctl end
check "ending the Wake releases logind's locks" wait_for 15 no_locks_held

# Wake for network access and restart after a power cut: Wake-on-LAN where a wired interface
# offers it (undone again), and no failure for what this machine does not offer.
check "setup-apply --wake-for-network --restart-after-power-cut is answered without a failure" \
  ctl_exits 0 "" "$console_uid" /usr/bin/torvo-ctl setup-apply --wake-for-network \
  --restart-after-power-cut
check "torvo-ctl setup-undo after the power choices is answered" \
  ctl_exits 0 "" "$console_uid" /usr/bin/torvo-ctl setup-undo
check "undo leaves no Wake-on-LAN record and no backup" \
  test ! -e /var/lib/torvo/wake-on-lan -a ! -e /var/lib/torvo/backup.json

# The system setup's paused updates against this machine's apt: the agent writes its drop-in,
# apt reads every periodic option off, and undo gives apt back the machine's own values.
drop_in=/etc/apt/apt.conf.d/99torvo-agent
periodic() { apt-config dump | grep '^APT::Periodic::' | sort; }
periodic >"$scratch/periodic-before"
# reads_periodic OPTION VALUE: apt reads the option with that value.
reads_periodic() { apt-config dump | grep -Fx "APT::Periodic::$1 \"$2\";"; }
same_periodic() { periodic | diff "$scratch/periodic-before" -; }
pause_updates() {
  ctl_exits 0 "" "$console_uid" /usr/bin/torvo-ctl setup-apply --pause-updates
}
if [ -e /usr/bin/unattended-upgrade ]; then
  check "torvo-ctl setup-apply --pause-updates is answered" pause_updates
  check "the setup writes its apt drop-in" test -s "$drop_in"
  for option in Unattended-Upgrade Download-Upgradeable-Packages Update-Package-Lists; do
    check "apt-config dump shows APT::Periodic::$option \"0\"" reads_periodic "$option" 0
  done
  check "the setup's backup is saved" test -s /var/lib/torvo/backup.json
  check "torvo-ctl setup-undo is answered" \
    ctl_exits 0 "restored: defaults" "$console_uid" /usr/bin/torvo-ctl setup-undo
  check "after undo apt reads the machine's earlier values" same_periodic
  check "undo removes the drop-in" test ! -e "$drop_in"
  check "undo removes the backup" test ! -e /var/lib/torvo/backup.json
  # Paused again, for purge to take back.
  check "updates can be paused again" pause_updates
else
  echo "note: unattended-upgrades is not installed here: updates read as paused, nothing to change"
  check "torvo-ctl setup-apply --pause-updates is answered" pause_updates
  check "with nothing to pause no drop-in is written" test ! -e "$drop_in"
fi

if [ "$own_seat" -eq 1 ]; then
  rm -f /run/systemd/seats/seat0
  check "with no console user, root's status is answered" \
    ctl_exits 0 "version: $version" 0 /usr/bin/torvo-ctl status
else
  echo "note: root without a console user not tried (this machine's seat0 is not the test's)"
fi

check "the agent writes its state in /var/lib/torvo" test -s /var/lib/torvo/state.json
check "the agent writes its log in /var/log/torvo" test -s /var/log/torvo/agent.log

stopping_before=$(notifications STOPPING=1)
kill -TERM "$agent_pid"
status=0
wait "$agent_pid" || status=$?
agent_pid=""
check "SIGTERM stops the agent with status 0" test "$status" -eq 0
check "the agent tells the service manager STOPPING=1" notified_after STOPPING=1 "$stopping_before"
check "the stopped agent's socket is gone" test ! -e "$socket"
if [ "$failed" -ne 0 ] && [ -s "$scratch/agent.out" ]; then
  echo "--- the agent's output"
  tail -n 20 "$scratch/agent.out"
fi

# -- 4. removing and purging ----------------------------------------------------------------

had_data=0
[ -d /var/lib/torvo ] && had_data=1
check "apt-get remove removes the package" apt-get remove -y -q torvo-agent
check "removal removes the programs" test ! -e /usr/sbin/torvo-agent -a ! -e "$app"
if [ "$had_data" -eq 1 ]; then
  check "removal keeps /var/lib/torvo" test -d /var/lib/torvo
fi
check "apt-get purge purges the package" apt-get purge -y -q torvo-agent
check "purge deletes /var/lib/torvo and /var/log/torvo" test ! -e /var/lib/torvo -a ! -e /var/log/torvo
check "purge takes back the paused updates" test ! -e "$drop_in"
check "after purge apt reads the machine's earlier values" same_periodic
check "purge removes the service's enablement" \
  test ! -L /etc/systemd/system/multi-user.target.wants/torvo-agent.service

echo "package test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
