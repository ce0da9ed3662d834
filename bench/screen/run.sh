#!/usr/bin/env bash
# Builds and runs the remote screen benchmark: the control window showing
# 1920x1080 frames from a screen service over loopback, against TurboJPEG's
# bare decode of the same frames, with the one-second refresh timed meanwhile.
#
#   bench/screen/run.sh [SECONDS] [offscreen|x11]   (default 20 offscreen;
#                                                    x11: under Xvfb)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${BUILD_DIR:-build}
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target bench_screen >/dev/null
if [ "${2:-offscreen}" = x11 ]; then
    QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1920x1080x24" "$build/bench/screen/bench_screen" "${1:-20}"
else
    QT_QPA_PLATFORM=offscreen "$build/bench/screen/bench_screen" "${1:-20}"
fi
