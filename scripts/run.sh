#!/usr/bin/env bash
# Installs what is missing, builds, puts the default settings file into the
# program directory (when it has none) and starts the console.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
progdir=build/bin
if ! ls "$progdir" | grep -qi '^example\.ini$'; then
  cp data/Example.ini "$progdir/Example.ini"
fi
exec "$progdir/Dozorix" "$@"
