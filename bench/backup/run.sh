#!/usr/bin/env bash
# Backup benchmark: a complete backup run without delay, as the backup does
# it (copy the infobase folder into a fresh folder with the copy thread, its
# per-file events on; pack that copy with the ZIP writer; delete the copy),
# against what an administrator would write in a shell instead
# (cp -r, then zip -r -6 over the copy, then rm -rf), side by side in the
# same run on the same data: a 300 MB folder like a file infobase
# (bench/zip/make_dataset.py), built in a temporary folder.
#
#   bench/backup/run.sh [path/to/dozorix-copy path/to/dozorix-zip]
#                                            (RUNS=5 MB=300 to change)
#
# Prints the median wall time of each (with the copy and pack steps apart),
# the wall-time ratio ours / shell (goal <= 0.5), the archive sizes and their
# ratio (goal: at most 1 % larger than zip's), and whether unzip -t, 7z t,
# bsdtar -tf and Python's zipfile accept our archive with the same content as
# the source.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
COPY=${1:-${DOZORIX_COPY:-}}
ZIPPER=${2:-${DOZORIX_ZIP:-}}
[ -n "$COPY" ] || COPY=$(ls -t "$ROOT"/build*/bin/dozorix-copy 2>/dev/null | head -1 || true)
[ -n "$ZIPPER" ] || ZIPPER=$(ls -t "$ROOT"/build*/bin/dozorix-zip 2>/dev/null | head -1 || true)
[ -x "$COPY" ] || { echo "dozorix-copy not found; build it (scripts/build.sh) or pass its path" >&2; exit 2; }
[ -x "$ZIPPER" ] || { echo "dozorix-zip not found; build it (scripts/build.sh) or pass its path" >&2; exit 2; }
RUNS=${RUNS:-5}
MB=${MB:-300}
PY=/usr/bin/python3

WORK=$(mktemp -d "${TMPDIR:-/tmp}/dozorix-backup-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
"$PY" "$HERE/../zip/make_dataset.py" "$WORK/data" --mb "$MB"
cat $(find "$WORK/data" -type f) > /dev/null   # same warm page cache for everybody
sync

now() { date +%s.%N; }
sub() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
div() { awk -v a="$1" -v b="$2" -v d="$3" 'BEGIN { printf "%.*f", d, a / b }'; }

# The shell an administrator would write: copy, pack the copy, delete it.
shell_backup() {
  local s m e
  s=$(now)
  cp -r "$WORK/data" "$WORK/copy-shell"
  m=$(now)
  (cd "$WORK/copy-shell" && zip -q -r -6 "$WORK/shell.zip" .)
  rm -rf "$WORK/copy-shell"
  e=$(now)
  echo "$(sub "$s" "$e") $(sub "$s" "$m") $(sub "$m" "$e")"
}

# The backup's engines in the same order: the copy thread (per-file events
# handed to the main thread, as to the window), the ZIP writer over the copy
# (every core, default level), then the copy deleted.
ours_backup() {
  local s m e
  s=$(now)
  "$COPY" "$WORK/data" "$WORK/copy-ours" > /dev/null
  m=$(now)
  "$ZIPPER" "$WORK/copy-ours" "$WORK/ours.zip" > /dev/null
  rm -rf "$WORK/copy-ours"
  e=$(now)
  echo "$(sub "$s" "$e") $(sub "$s" "$m") $(sub "$m" "$e")"
}

# One untimed run of each first: the data set's writeback and the programs'
# first start are not what is measured.
shell_backup > /dev/null; ours_backup > /dev/null
echo "cores: $(nproc); load average before the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "$(cp --version | head -1); zip: $(zip -v | sed -n 2p); file system: $(stat -f -c %T "$WORK")"

declare -a T_SH T_SH_CP T_SH_ZIP T_OU T_OU_CP T_OU_ZIP
for ((i = 0; i < RUNS; i++)); do
  # Alternate who goes first, so that neither always gets the fresher machine.
  for who in $( ((i % 2)) && echo "ours shell" || echo "shell ours"); do
    rm -f "$WORK/$who.zip"; sync
    read -r t c z < <("${who}_backup")
    if [ "$who" = shell ]; then T_SH+=("$t"); T_SH_CP+=("$c"); T_SH_ZIP+=("$z")
    else T_OU+=("$t"); T_OU_CP+=("$c"); T_OU_ZIP+=("$z"); fi
    sync
  done
done

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
best() { printf '%s\n' "$@" | sort -n | head -1; }
ts=$(median "${T_SH[@]}"); to=$(median "${T_OU[@]}")
sz=$(stat -c %s "$WORK/shell.zip"); so=$(stat -c %s "$WORK/ours.zip")
echo "load average after the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "runs: $RUNS (median wall time of the whole backup; copy and pack+delete steps apart)"
echo "  cp -r; zip -r -6; rm -rf             ${ts}s   (copy $(median "${T_SH_CP[@]}")s, pack $(median "${T_SH_ZIP[@]}")s)   runs: ${T_SH[*]}"
echo "  dozorix-copy; dozorix-zip; rm -rf    ${to}s   (copy $(median "${T_OU_CP[@]}")s, pack $(median "${T_OU_ZIP[@]}")s)   runs: ${T_OU[*]}"
echo "wall-time ratio ours / shell: $(div "$to" "$ts" 3) median, $(div "$(best "${T_OU[@]}")" "$(best "${T_SH[@]}")" 3) best   (goal <= 0.5)"
echo "archive size: zip $sz, ours $so, ours/zip = $(div "$so" "$sz" 4)   (goal: at most 1 % larger; smaller is better)"
echo "(the ratio needs both cores free: other work on the machine raises it first)"

"$(dirname "$0")/../check_archive.sh" "$WORK/ours.zip" "$WORK/data" "$PY"
