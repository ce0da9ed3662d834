#!/usr/bin/env bash
# Repeats the two README commands on a clean Debian 12 root: makes a minimal
# bookworm root with debootstrap, copies the committed tree into it, runs
# scripts/test.sh there, then scripts/run.sh with no display, and checks that
# the console comes up offscreen with the default settings file and ends
# cleanly on SIGTERM. Proves that scripts/install-deps.sh lists everything a
# fresh machine lacks. Needs root. Not part of scripts/test.sh.
#
#   scripts/check-fresh.sh [--root DIR] [REF]
#
# REF is the commit to copy (default HEAD). The root is DIR, else
# $DOZORIX_FRESH_ROOT, else /var/tmp/dozorix-fresh; an older root there is
# removed first. The mirror is the one this machine's apt uses; $MIRROR and
# $SECURITY_MIRROR override it.
set -euo pipefail

ROOT="${DOZORIX_FRESH_ROOT:-/var/tmp/dozorix-fresh}"
REF=HEAD
while [ $# -gt 0 ]; do
  case "$1" in
    --root) ROOT="$2"; shift 2 ;;
    --root=*) ROOT="${1#--root=}"; shift ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    -*) echo "unknown option: $1" >&2; exit 2 ;;
    *) REF="$1"; shift ;;
  esac
done

SUITE=bookworm
CONSOLE_UP_SECONDS=15   # how long the console must stay up before SIGTERM
CONSOLE_END_SECONDS=10  # how long it may take to end after SIGTERM
CHROOT_ENV=(env -i HOME=/root LANG=C.UTF-8 TERM=dumb
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)

say() { printf '== %s\n' "$*"; }
fail() { printf '== FAIL: %s\n' "$*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, mount, chroot)"
REPO="$(cd "$(dirname "$0")/.." && pwd)"
COMMIT="$(git -C "$REPO" rev-parse --verify --quiet "$REF^{commit}")" || fail "no such commit: $REF"
# The commit is fixed now: a commit made while the check runs changes nothing.
SHORT="$(git -C "$REPO" rev-parse --short "$COMMIT")"
ROOT="$(realpath -m "$ROOT")" # absolute, as /proc/PID/root and /proc/mounts show it
[ -n "$ROOT" ] && [ "$ROOT" != / ] || fail "refusing to use / as the root"

# --- stage bookkeeping -----------------------------------------------------
STAGES=()
STAGE_NAME=""
STAGE_START=0
RUN_START=$SECONDS
stage() {
  stage_end
  STAGE_NAME="$1"
  STAGE_START=$SECONDS
  say "stage: $STAGE_NAME"
}
stage_end() {
  if [ -n "$STAGE_NAME" ]; then
    local took=$((SECONDS - STAGE_START))
    STAGES+=("$(printf '%-34s %4dm%02ds' "$STAGE_NAME" $((took / 60)) $((took % 60)))")
    say "stage done: $STAGE_NAME (${took}s)"
    STAGE_NAME=""
  fi
}

# --- mounts and processes inside the root ----------------------------------
mounts_under() { # prints the mount points at or below $1, deepest first
  awk -v r="$1" '{ gsub(/\\040/, " ", $2); if ($2 == r || index($2, r "/") == 1) print $2 }' /proc/mounts | sort -r
}

unmount_root() {
  local m
  for m in $(mounts_under "$ROOT"); do
    umount "$m" 2>/dev/null || umount -l "$m" || true
  done
}

end_root_processes() { # only processes this script started: those whose root is $ROOT
  local p link pids=()
  for p in /proc/[0-9]*; do
    link="$(readlink "$p/root" 2>/dev/null)" || continue
    [ "$link" = "$ROOT" ] && pids+=("${p#/proc/}")
  done
  [ ${#pids[@]} -gt 0 ] || return 0
  kill -TERM "${pids[@]}" 2>/dev/null || true
  sleep 2
  kill -KILL "${pids[@]}" 2>/dev/null || true
}

# A long step runs in the background while the script waits for it, so that
# Ctrl-C or SIGTERM reach the trap at once instead of after the step.
STEP=""
step() { # step LOG COMMAND...: runs COMMAND, output to the terminal and LOG
  ( "${@:2}" 2>&1 | tee "$1" ) &
  STEP=$!
  local code=0
  wait "$STEP" || code=$?
  STEP=""
  return "$code"
}

RESULT=FAIL
cleanup() {
  local status=$?
  trap - EXIT INT TERM HUP
  set +e
  stage_end
  if [ -n "$STEP" ]; then
    pkill -TERM -P "$STEP" 2>/dev/null # the step's pipeline (debootstrap, chroot, tee)
    kill -TERM "$STEP" 2>/dev/null
  fi
  end_root_processes
  unmount_root
  if [ -n "$(mounts_under "$ROOT")" ]; then
    echo "warning: still mounted under $ROOT:" >&2
    mounts_under "$ROOT" >&2
  fi
  echo
  say "stage times:"
  local s
  for s in "${STAGES[@]}"; do echo "   $s"; done
  local total=$((SECONDS - RUN_START))
  printf '   %-34s %4dm%02ds\n' "total" $((total / 60)) $((total % 60))
  [ "$status" -eq 0 ] && [ "$RESULT" = PASS ] || RESULT=FAIL
  say "$RESULT: README commands on a clean Debian 12 root ($ROOT, $SHORT)"
  [ "$RESULT" = PASS ] || [ "$status" -ne 0 ] || status=1
  exit "$status"
}
trap cleanup EXIT
trap 'echo "interrupted" >&2; exit 130' INT
trap 'echo "terminated" >&2; exit 143' TERM
trap 'echo "hung up" >&2; exit 129' HUP

in_root() { chroot "$ROOT" "${CHROOT_ENV[@]}" "$@"; }

# --- the host's mirrors ----------------------------------------------------
# Reads deb822 *.sources files and the one-line sources.list format; prints
# "URI SUITE" pairs of the enabled deb entries.
host_sources() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -e 's/#.*//' "$f" | awk '$1 == "deb" {
      i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
      print $i, $(i + 1) }'
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    # Paragraphs are separated by blank lines (comment lines are not blank);
    # each may list several URIs and suites.
    sed -e '/^[[:space:]]*#/d' -e 's/#.*//' "$f" | awk '
      function flush(   i, j, nu, ns, u, s) {
        if (types ~ /(^| )deb( |$)/ && enabled != "no") {
          nu = split(uris, u, " "); ns = split(suites, s, " ")
          for (i = 1; i <= nu; i++) for (j = 1; j <= ns; j++) print u[i], s[j]
        }
        types = uris = suites = ""; enabled = "yes"
      }
      BEGIN { enabled = "yes" }
      /^[ \t]*$/ { flush(); next }
      { key = tolower($1); sub(/:$/, "", key); $1 = "" ; sub(/^ +/, "") }
      key == "types" { types = $0 }
      key == "uris" { uris = $0 }
      key == "suites" { suites = $0 }
      key == "enabled" { enabled = tolower($0) }
      END { flush() }'
  done
}

SOURCES="$(host_sources)"
if [ -z "${MIRROR:-}" ]; then
  MIRROR="$(awk -v s="$SUITE" '$2 == s { print $1; exit }' <<<"$SOURCES")"
  [ -n "$MIRROR" ] || MIRROR="$(awk '$2 !~ /security/ { print $1; exit }' <<<"$SOURCES")"
fi
[ -n "${MIRROR:-}" ] || fail "no Debian mirror found in /etc/apt/sources.list{,.d}; set MIRROR"
if [ -z "${SECURITY_MIRROR:-}" ]; then
  SECURITY_MIRROR="$(awk -v s="$SUITE-security" '$2 == s { print $1; exit }' <<<"$SOURCES")"
  [ -n "$SECURITY_MIRROR" ] || SECURITY_MIRROR="http://security.debian.org/debian-security"
fi
MIRROR="${MIRROR%/}"
SECURITY_MIRROR="${SECURITY_MIRROR%/}"
say "root: $ROOT"
say "commit: $SHORT ($REF)"
say "mirror: $MIRROR, security: $SECURITY_MIRROR"

# --- stages ----------------------------------------------------------------
stage "debootstrap"
if ! command -v debootstrap >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y debootstrap
fi
if [ -e "$ROOT" ]; then
  say "removing the older root at $ROOT"
  end_root_processes
  unmount_root
  [ -z "$(mounts_under "$ROOT")" ] || fail "cannot unmount everything under $ROOT"
  rm -rf --one-file-system "$ROOT"
fi
mkdir -p "$ROOT"
step "$ROOT.debootstrap.log" debootstrap --variant=minbase "$SUITE" "$ROOT" "$MIRROR" >/dev/null \
  || { tail -n 30 "$ROOT.debootstrap.log" >&2; fail "debootstrap (log: $ROOT.debootstrap.log)"; }

# The same suites as this machine: the release, its updates and security.
rm -f "$ROOT/etc/apt/sources.list"
cat >"$ROOT/etc/apt/sources.list.d/debian.sources" <<EOF
Types: deb
URIs: $MIRROR
Suites: $SUITE $SUITE-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: $SECURITY_MIRROR
Suites: $SUITE-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
# Name resolution for apt inside (debootstrap copies it, but only when the
# host's file is a plain file).
[ -s "$ROOT/etc/resolv.conf" ] || cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf"
# The one thing an installed Debian 12 has that minbase lacks and the tests
# need: /etc/hosts, which no package ships (the installer writes it). Without
# it the machine's own name does not resolve. The root shares this machine's
# host name, so that is the name to list, as the installer would.
HOSTNAME_NOW="$(uname -n)"
echo "$HOSTNAME_NOW" >"$ROOT/etc/hostname"
cat >"$ROOT/etc/hosts" <<EOF
127.0.0.1	localhost
127.0.1.1	$HOSTNAME_NOW

# The following lines are desirable for IPv6 capable hosts
::1     localhost ip6-localhost ip6-loopback
ff02::1 ip6-allnodes
ff02::2 ip6-allrouters
EOF

mkdir -p "$ROOT/root/project"
git -C "$REPO" archive "$COMMIT" | tar -x -C "$ROOT/root/project"

mount -t proc proc "$ROOT/proc"
mount -t sysfs sysfs "$ROOT/sys"
mount --bind /dev "$ROOT/dev"
mount --bind /dev/pts "$ROOT/dev/pts"
mount -t tmpfs tmpfs "$ROOT/dev/shm"

stage "scripts/test.sh in the root"
step "$ROOT.test.log" in_root bash -c 'cd /root/project && scripts/test.sh' \
  || fail "scripts/test.sh (log: $ROOT.test.log)"

stage "scripts/run.sh in the root"
PROGDIR="$ROOT/root/project/build/bin"
rm -f "$PROGDIR/Example.ini" "$PROGDIR/example.ini" "$PROGDIR/Dozorix.log"
# The root shares this machine's abstract socket namespace, where the console
# keeps its single-instance lock: a scope of its own keeps a console running
# on this machine from counting as "another instance".
CHROOT_ENV+=(DOZORIX_INSTANCE_SCOPE=check-fresh)
# chroot itself, not the in_root function: a function in the background is a
# subshell of its own. chroot, env and run.sh each exec the next, so this PID
# becomes the console's.
chroot "$ROOT" "${CHROOT_ENV[@]}" /root/project/scripts/run.sh >"$ROOT.run.log" 2>&1 &
CONSOLE=$!
state() { # R, S, ... while it runs; Z or gone once it ended
  local s
  s="$(awk '{ print $3 }' "/proc/$CONSOLE/stat" 2>/dev/null)" || true
  echo "${s:-gone}"
}
is_console() { [ "$(readlink "/proc/$CONSOLE/exe" 2>/dev/null || true)" = "$PROGDIR/Dozorix" ]; }
for ((i = 0; i < 600; i++)); do
  is_console && break
  st="$(state)"
  [ "$st" = gone ] || [ "$st" = Z ] && break
  sleep 1
done
if ! is_console; then
  cat "$ROOT.run.log" >&2
  fail "scripts/run.sh did not start the console"
fi
say "console started (pid $CONSOLE)"
sleep "$CONSOLE_UP_SECONDS"
st="$(state)"
if [ "$st" = gone ] || [ "$st" = Z ]; then
  cat "$ROOT.run.log" >&2
  wait "$CONSOLE" || true
  fail "the console ended by itself within ${CONSOLE_UP_SECONDS}s"
fi
say "console running after ${CONSOLE_UP_SECONDS}s (state $st)"
[ -f "$PROGDIR/Example.ini" ] || fail "no Example.ini in the program directory"
say "Example.ini is in the program directory"
# The event log is mirrored to Dozorix.log in the program directory.
STARTED='Программа Dozorix успешно стартовала.'
ENDING='Идет завершение работы Dozorix...'
grep -qF "$STARTED" "$PROGDIR/Dozorix.log" 2>/dev/null || fail "no start line in $PROGDIR/Dozorix.log"
say "Dozorix.log: $(grep -F "$STARTED" "$PROGDIR/Dozorix.log" | tail -n 1)"
grep -q 'QT_QPA_PLATFORM=offscreen' "$ROOT.run.log" || fail "run.sh did not say it chose the offscreen platform"
kill -TERM "$CONSOLE"
ended=""
for ((i = 0; i < CONSOLE_END_SECONDS * 10; i++)); do
  st="$(state)"
  if [ "$st" = gone ] || [ "$st" = Z ]; then ended=yes; break; fi
  sleep 0.1
done
[ -n "$ended" ] || { cat "$ROOT.run.log" >&2; fail "the console did not end within ${CONSOLE_END_SECONDS}s of SIGTERM"; }
code=0
wait "$CONSOLE" || code=$?
say "console output:"
sed 's/^/   | /' "$ROOT.run.log"
[ "$code" -eq 0 ] || fail "the console ended with status $code after SIGTERM"
grep -qF "$ENDING" "$PROGDIR/Dozorix.log" || fail "SIGTERM did not go through the program's shutdown"
say "Dozorix.log: $(grep -F "$ENDING" "$PROGDIR/Dozorix.log" | tail -n 1)"
say "console ended cleanly on SIGTERM (status 0)"

stage_end
RESULT=PASS
