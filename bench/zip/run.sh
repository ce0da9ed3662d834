#!/usr/bin/env bash
# ZIP benchmark: the backup's ZIP writer (dozorix-zip, default level, every
# core and one core) against Info-ZIP "zip -r -6", side by side in the same
# run on the same data: a 300 MB folder like a file infobase (one large
# database-like file plus small files), built in a temporary folder.
#
#   bench/zip/run.sh [path/to/dozorix-zip]     (RUNS=5 MB=300 to change)
#
# Prints the median wall time of each, the ratios, the archive sizes, and
# whether unzip -t, 7z t, bsdtar -tf and Python's zipfile accept our archive.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
OURS=${1:-${DOZORIX_ZIP:-}}
if [ -z "$OURS" ]; then
  OURS=$(ls -t "$ROOT"/build*/bin/dozorix-zip 2>/dev/null | head -1 || true)
fi
[ -x "$OURS" ] || { echo "dozorix-zip not found; build it (scripts/build.sh) or pass its path" >&2; exit 2; }
RUNS=${RUNS:-3}
MB=${MB:-300}
PY=/usr/bin/python3

WORK=$(mktemp -d "${TMPDIR:-/tmp}/dozorix-zip-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
"$PY" "$HERE/make_dataset.py" "$WORK/data" --mb "$MB"
cat $(find "$WORK/data" -type f) > /dev/null   # same warm page cache for everybody
sync
# One untimed run of each first: the data set's writeback and the programs'
# first start are not what is measured.
(cd "$WORK/data" && zip -q -r -6 "$WORK/warm.zip" .); "$OURS" "$WORK/data" "$WORK/warm.zip" > /dev/null; rm -f "$WORK/warm.zip"
echo "cores: $(nproc); zip: $(zip -v | sed -n 2p)"

now() { date +%s.%N; }
sub() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
div() { awk -v a="$1" -v b="$2" -v d="$3" 'BEGIN { printf "%.*f", d, a / b }'; }
declare -a T_ZIP T_OURS T_ONE
for ((i = 0; i < RUNS; i++)); do
  rm -f "$WORK"/*.zip; sync
  # Alternate who goes first, so that neither always gets the fresher machine.
  for who in $( ((i % 2)) && echo "ours one zip" || echo "zip ours one"); do
    case $who in
      zip)  s=$(now); (cd "$WORK/data" && zip -q -r -6 "$WORK/zip.zip" .); e=$(now)
            T_ZIP+=("$(sub "$s" "$e")") ;;
      ours) s=$(now); "$OURS" "$WORK/data" "$WORK/ours.zip" > /dev/null; e=$(now)
            T_OURS+=("$(sub "$s" "$e")") ;;
      one)  s=$(now); "$OURS" "$WORK/data" "$WORK/one.zip" --threads 1 > /dev/null; e=$(now)
            T_ONE+=("$(sub "$s" "$e")") ;;
    esac
    sync
  done
done

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
best() { printf '%s\n' "$@" | sort -n | head -1; }
tz=$(median "${T_ZIP[@]}"); to=$(median "${T_OURS[@]}"); t1=$(median "${T_ONE[@]}")
sz=$(stat -c %s "$WORK/zip.zip"); so=$(stat -c %s "$WORK/ours.zip")
echo "runs: $RUNS (median wall time)"
echo "  zip -r -6                 ${tz}s   runs: ${T_ZIP[*]}"
echo "  dozorix-zip (all cores)   ${to}s   runs: ${T_OURS[*]}"
echo "  dozorix-zip --threads 1   ${t1}s   runs: ${T_ONE[*]}"
bz=$(best "${T_ZIP[@]}"); bo=$(best "${T_OURS[@]}"); b1=$(best "${T_ONE[@]}")
echo "speed-up, all cores vs zip: $(div "$tz" "$to" 2)x median, $(div "$bz" "$bo" 2)x best   (goal >= 2.2x)"
echo "speed-up, one core vs zip:  $(div "$tz" "$t1" 2)x median, $(div "$bz" "$b1" 2)x best   (goal >= 1.0x)"
echo "(the all-cores figure needs both cores free: other work on the machine lowers it first)"
echo "archive size: zip $sz, ours $so, ours/zip = $(div "$so" "$sz" 4)   (goal: at most 1 % larger; smaller is better)"

"$(dirname "$0")/../check_archive.sh" "$WORK/ours.zip" "$WORK/data" "$PY"
