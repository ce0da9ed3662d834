#!/usr/bin/env bash
# Installs everything the console, its tests and its benchmarks need on a
# fresh Debian 12. Safe to run again: apt-get skips what is installed.
set -euo pipefail

PACKAGES=(
  # build
  g++ cmake ninja-build pkg-config
  # Qt 6 and the offscreen platform (Qt Charts' CMake files look for Qt6OpenGL,
  # which only libqt6opengl6-dev ships)
  qt6-base-dev libqt6charts6-dev libqt6opengl6-dev qt6-qpa-plugins libgl-dev
  fonts-dejavu-core
  # Qt's own Russian texts (the standard buttons and dialogs)
  qt6-translations-l10n
  # libraries
  zlib1g-dev libcurl4-openssl-dev libssl-dev
  # the ZIP reader of the restore (dozorix-zip --test / --extract)
  libarchive-dev
  # MS SQL Server through FreeTDS's db-lib (libsybdb); tsql of freetds-bin
  # talks to the tests' TDS server to prove it speaks real TDS
  freetds-dev freetds-bin
  # JPEG pictures of the remote screen (TurboJPEG)
  libturbojpeg0-dev
  # tests
  libgtest-dev libgmock-dev python3 procps psmisc
  # archive readers and peers used by tests and benchmarks
  zip unzip p7zip-full libarchive-tools
  python3-aiosmtpd python3-pyftpdlib openssl
  # the desktop-notification helper of msg (gdbus); a private D-Bus bus with
  # stand-ins for systemd-logind and a notification service (session tests)
  libglib2.0-bin dbus-daemon python3-dbus python3-gi
  # a real X server for the tests of what the window system shows
  xvfb x11-utils
  # the 1C designer of a client-server backup runs under xvfb-run, which needs xauth
  xauth
  # systemd-analyze checks the backup's systemd units (no running systemd needed)
  systemd
  # a console that is not root runs a refused action as root through pkexec
  # (which brings polkitd: its DTD and XML catalog, with which xmllint of
  # libxml2-utils checks the console's polkit action)
  pkexec polkitd libxml2-utils
  clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
