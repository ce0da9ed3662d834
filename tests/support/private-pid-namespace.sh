#!/bin/sh
# Runs a program as PID 1 of a PID namespace of its own, with the /proc of
# that namespace: it sees, and can signal, only the processes it starts, and
# everything it started ends with it. ctest runs the programs of
# dozorix_private_pid_tests() (tests/CMakeLists.txt) through this script,
# for the discovery of their tests too.
#
#   tests/support/private-pid-namespace.sh PROGRAM [ARGUMENTS...]
#
# As root: new PID and mount namespaces. As another user: a user namespace
# as well, in which that user is root over the namespace's own processes.
# --propagation unchanged: in a chroot (scripts/check-fresh.sh) "/" is no
# mount point and cannot be made private; unshare makes the /proc it mounts
# private by itself. --kill-child: when unshare is ended (ctest's time
# limit), the program ends too, and with PID 1 the whole namespace.
set -eu
[ $# -gt 0 ] || { echo "usage: $0 PROGRAM [ARGUMENTS...]" >&2; exit 2; }
if [ "$(id -u)" -eq 0 ]; then
  exec unshare --pid --fork --mount-proc --propagation unchanged --kill-child "$@"
fi
exec unshare --user --map-root-user --pid --fork --mount-proc --propagation unchanged --kill-child "$@"
