#!/usr/bin/env bash
# Copy benchmark: the backup's file copy thread (dozorix-copy) against
# "cp -r", side by side in the same run on the same data: a 300 MB folder
# like a file infobase, built in a temporary folder.
#
#   bench/copy/run.sh [path/to/dozorix-copy]     (RUNS=5 MB=300 to change)
#
# Prints the median wall time of each and the ratios ours / cp: the copy
# thread's own wall time with its per-file events on (goal <= 1.0; what
# dozorix-copy reports, without the program's start and exit), and the whole
# program's; and checks that the copy is identical to the source.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
OURS=${1:-${DOZORIX_COPY:-}}
if [ -z "$OURS" ]; then
  OURS=$(ls -t "$ROOT"/build*/bin/dozorix-copy 2>/dev/null | head -1 || true)
fi
[ -x "$OURS" ] || { echo "dozorix-copy not found; build it (scripts/build.sh) or pass its path" >&2; exit 2; }
RUNS=${RUNS:-5}
MB=${MB:-300}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/dozorix-copy-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
/usr/bin/python3 "$HERE/../zip/make_dataset.py" "$WORK/data" --mb "$MB"
cat $(find "$WORK/data" -type f) > /dev/null
sync
echo "cores: $(nproc); $(cp --version | head -1); file system: $(stat -f -c %T "$WORK")"

now() { date +%s.%N; }
sub() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
div() { awk -v a="$1" -v b="$2" -v d="$3" 'BEGIN { printf "%.*f", d, a / b }'; }
declare -a T_CP T_OURS T_THREAD T_QUIET
for ((i = 0; i < RUNS; i++)); do
  for who in $( ((i % 2)) && echo "ours quiet cp" || echo "cp ours quiet"); do
    rm -rf "$WORK/out-cp" "$WORK/out-ours"; sync
    case $who in
      cp)    s=$(now); cp -r "$WORK/data" "$WORK/out-cp"; e=$(now); T_CP+=("$(sub "$s" "$e")") ;;
      ours)  s=$(now); line=$("$OURS" "$WORK/data" "$WORK/out-ours" --time | tail -1); e=$(now); T_OURS+=("$(sub "$s" "$e")")
             T_THREAD+=("$(sed -n 's/.*copy thread \([0-9.]*\) s.*/\1/p' <<< "$line")") ;;
      quiet) s=$(now); "$OURS" "$WORK/data" "$WORK/out-ours" --no-events > /dev/null; e=$(now); T_QUIET+=("$(sub "$s" "$e")") ;;
    esac
  done
done
"$OURS" "$WORK/data" "$WORK/out-ours" > /dev/null

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
best() { printf '%s\n' "$@" | sort -n | head -1; }
tc=$(median "${T_CP[@]}"); to=$(median "${T_OURS[@]}"); tt=$(median "${T_THREAD[@]}"); tq=$(median "${T_QUIET[@]}")
echo "runs: $RUNS (median wall time)"
echo "  cp -r                              ${tc}s   runs: ${T_CP[*]}"
echo "  copy thread, events on             ${tt}s   runs: ${T_THREAD[*]}"
echo "  dozorix-copy (program, events on)  ${to}s   runs: ${T_OURS[*]}"
echo "  dozorix-copy --no-events           ${tq}s   runs: ${T_QUIET[*]}"
bc_=$(best "${T_CP[@]}"); bt=$(best "${T_THREAD[@]}"); bo=$(best "${T_OURS[@]}")
echo "ratio copy thread / cp: $(div "$tt" "$tc" 3) median, $(div "$bt" "$bc_" 3) best   (goal <= 1.0; events handed to the main thread per file, as in the backup)"
echo "ratio dozorix-copy program / cp: $(div "$to" "$tc" 3) median, $(div "$bo" "$bc_" 3) best   (with the program's start: Qt's libraries and QCoreApplication)"
echo "ratio without events / cp: $(div "$tq" "$tc" 3)   (the program, copy alone)"
if diff -r "$WORK/data" "$WORK/out-ours" > /dev/null; then
  echo "copy identical to the source"
else
  echo "copy differs from the source"; exit 1
fi
