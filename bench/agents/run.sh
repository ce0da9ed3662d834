#!/usr/bin/env bash
# Builds and runs the agent server benchmark: the console and a bare
# QTcpServer under the same load, one after the other in one run.
#
#   bench/agents/run.sh            2 000 agents for 60 s each side
#   bench/agents/run.sh --quick    2 000 agents for 10 s each side
#   bench/agents/run.sh N S C      N agents, S seconds, C of them chatting
#   bench/agents/run.sh disconnect [N R]
#                                  N agents (8 000) with R rows (16) each leave
#                                  at once: processor time and timer delay
#   bench/agents/run.sh attack [--quick]
#                                  the console program under a row flood from
#                                  one host and a help-request flood, 5 minutes
#                                  (--quick: one): resident memory and disk
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${BUILD_DIR:-build}
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target bench_agents agent_load dozorix >/dev/null
# Two thousand connections on each side of the loopback need descriptors.
ulimit -n "$(ulimit -Hn)"
if [ "${1:-}" = "disconnect" ]; then
  exec env QT_QPA_PLATFORM=offscreen "$build/bench/agents/bench_agents" disconnect "${2:-8000}" "${3:-16}"
fi
if [ "${1:-}" = "attack" ]; then
  seconds=300
  [ "${2:-}" = "--quick" ] && seconds=60
  exec env QT_QPA_PLATFORM=offscreen "$build/bench/agents/bench_agents" attack "$seconds"
fi
if [ "${1:-}" = "--quick" ]; then
  set -- 2000 10 200
fi
QT_QPA_PLATFORM=offscreen "$build/bench/agents/bench_agents" "${1:-2000}" "${2:-60}" "${3:-200}"
