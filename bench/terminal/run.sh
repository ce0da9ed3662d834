#!/usr/bin/env bash
# Builds and runs the session-list benchmark: one refresh of the terminal
# tab's list over 500 sessions, processor time per refresh, side by side in
# the same run with `loginctl list-sessions` (a private bus with the logind
# stand-in holding the 500 sessions) and with `who FILE` (a utmp file of 500
# records of live processes).
#
#   bench/terminal/run.sh [sessions [rounds]]     default 500 sessions, 30 rounds
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${BUILD_DIR:-build}
sessions=${1:-500}
rounds=${2:-30}
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target bench_terminal >/dev/null

work=$(mktemp -d)
bus_pid=
standin_pid=
cleanup() {
  [ -n "$standin_pid" ] && kill "$standin_pid" 2>/dev/null || true
  [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The sessions: ssh logons on pseudo-terminals, remote desktops without a
# terminal, local consoles on seat0, greeters with logind's "c<N>" IDs; one
# in three in front, idle times and logon times spread over days.
/usr/bin/python3 - "$sessions" "$work/sessions.json" <<'PY'
import json, sys, time
n, path = int(sys.argv[1]), sys.argv[2]
now = int(time.time())
out = []
for i in range(n):
    kind = i % 10
    s = {"id": str(100 + i), "uid": 1000 + i % 97, "user": "user%d" % (i % 97),
         "seat": "", "tty": "", "remote_host": "",
         "active": i % 3 == 0, "state": "active" if i % 3 == 0 else "online",
         "idle_hint": i % 4 == 1, "idle_since_usec": (now - 60 * (i % 1500)) * 1000000 if i % 4 == 1 else 0,
         "timestamp_usec": (now - 3600 - 137 * i) * 1000000, "leader": 10000 + i}
    if kind < 6:
        s["tty"] = "pts/%d" % i
        s["remote_host"] = "10.0.%d.%d" % (i // 250, i % 250)
    elif kind < 8:
        s["remote_host"] = "host%d.example" % i
    elif kind == 8:
        s["seat"] = "seat0"
        s["tty"] = "tty%d" % (1 + i % 6)
    else:
        s["id"] = "c%d" % i
        s["seat"] = "seat0"
        s["state"] = "closing"
        s["active"] = False
        s["uid"] = 0
        s["user"] = "lightdm"
    out.append(s)
json.dump(out, open(path, "w"))
PY

# A bus of our own with the logind stand-in on it.
exec 3< <(dbus-daemon --session --nofork --print-address=1 --address="unix:path=$work/bus" 2>/dev/null & echo "pid $!")
read -r _ bus_pid <&3
read -r address <&3
/usr/bin/python3 tests/peers/logind_standin.py --bus "$address" --sessions "$work/sessions.json" \
  --calls "$work/calls.jsonl" --state-dir "$work/sessions" > "$work/standin.out" 2> "$work/standin.err" &
standin_pid=$!
for _ in $(seq 100); do grep -q ready "$work/standin.out" 2>/dev/null && break; sleep 0.1; done
grep -q ready "$work/standin.out" || { cat "$work/standin.err" >&2; exit 1; }

echo "$sessions sessions, $rounds refreshes per side, processor time (user + system) in ms"
echo
# loginctl refuses to work where systemd is not process 1 (it looks for
# /run/systemd/system/): on such a machine the logind side runs in a mount
# namespace of its own in which that folder exists; nothing else changes.
booted=()
if [ ! -d /run/systemd/system ]; then
  booted=(unshare -m --propagation private sh -c \
    'mount -t tmpfs tmpfs /run/systemd && mkdir /run/systemd/system && exec "$@"' booted)
fi
# The console reads logind's state files (the stand-in keeps them as logind
# does); loginctl asks over the bus.
DOZORIX_LOGIND_SESSIONS=$work/sessions DBUS_SYSTEM_BUS_ADDRESS=$address \
  "${booted[@]}" "$build/bench/terminal/bench_terminal" logind "$rounds" "$sessions"
echo
echo "(for comparison: the console without the state files, all over the bus)"
DBUS_SYSTEM_BUS_ADDRESS=$address "${booted[@]}" "$build/bench/terminal/bench_terminal" logind "$rounds" "$sessions"
echo
"$build/bench/terminal/bench_terminal" utmp "$sessions" "$rounds"
