#!/usr/bin/env bash
# Installs what is missing, builds, puts the default settings file into the
# program directory (when it has none; mode 0600) and starts the console. With no display
# (neither DISPLAY nor WAYLAND_DISPLAY) the console runs offscreen. The console
# takes this script's PID, so SIGTERM to it ends the console the normal way.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
progdir=build/bin
# (grep reads the whole listing: with -q it could stop early and let a
# SIGPIPE in ls count as "no settings file" under pipefail)
if ! ls "$progdir" | grep -i '^example\.ini$' >/dev/null; then
  # Owner only: the settings file holds the passwords once they are typed in.
  install -m 600 data/Example.ini "$progdir/Example.ini"
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  export QT_QPA_PLATFORM=offscreen
  echo "run.sh: no display (DISPLAY and WAYLAND_DISPLAY unset): QT_QPA_PLATFORM=offscreen" >&2
fi
exec "$progdir/Dozorix" "$@"
